#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "qen/qen_app.hpp"
#include "qen/qen_config.hpp"

namespace qen {

// Turns client URLs into applications and keeps them cached: re-reads an
// application's settings when its file changes and drops applications that
// nobody has used for a while. Lookups may come from any thread.
class app_manager {
  public:
    // The intervals count calls of on_timer (one a second in the server).
    app_manager(domain_map domains, domain_ptr default_domain, std::uint32_t app_update_interval,
                std::uint32_t app_max_idle_time);
    virtual ~app_manager() = default;

    app_manager(const app_manager&) = delete;
    app_manager& operator=(const app_manager&) = delete;

    // Splits the URL into the context and finds the application it names,
    // following redirections. Empty when there is none, which refuses the
    // client.
    app_ptr find_app_by_url(const std::string& url, url_parts& context);

    // The application of a path (segments separated by "/") in a domain.
    app_ptr resolve_app_path(const domain& d, const std::string& path);

    // Housekeeping, once a tick.
    void on_timer();

  protected:
    // Builds the application of a directory, counting its clients in
    // `clients`; throws when it cannot.
    virtual app_ptr build_app(const app_slot_ptr& parent, const std::string& directory,
                              const std::string& key, std::shared_ptr<client_count> clients);

  private:
    struct entry {
        app_slot_ptr slot;     // empty while the first load runs
        bool loading = false;  // a thread loads or re-checks this key
        std::uint32_t ticks_since_check = 0;
        std::uint32_t idle_ticks = 0;
    };

    // What a look-up of a key found under the lock, and what is left to do
    // without it.
    struct lookup {
        enum class then { done, load, recheck };
        then next = then::done;
        app_slot_ptr slot;            // done: the answer; recheck: the slot checked
        std::int64_t known_time = 0;  // recheck: the settings time it was built from
    };

    // The slot of a key, loading or re-checking it as needed: the cache is
    // looked at and updated under the lock, each time in a function of its
    // own, and the file-system work between runs without it. A key being
    // loaded is marked so (entry::loading), which keeps its entry for its
    // loader and makes other look-ups of it wait for the first load.
    app_slot_ptr get_or_load_app(const std::string& directory, const std::string& key,
                                 const app_slot_ptr& parent);
    lookup look_up(const std::string& key, const app_slot_ptr& parent);
    app_slot_ptr finish_load(const std::string& key, app_ptr app);
    app_slot_ptr finish_recheck(const std::string& key, const app_slot_ptr& slot, app_ptr fresh,
                                bool failed);

    const domain_map domains_;
    const domain_ptr default_domain_;
    const std::uint32_t app_update_interval_;
    const std::uint32_t app_max_idle_time_;

    // Guards the cache. Taken before a slot's own lock; building an
    // application (reading its settings file) never runs under it.
    std::mutex mutex_;
    std::condition_variable load_done_;
    std::map<std::string, entry> cache_;
};

}  // namespace qen
