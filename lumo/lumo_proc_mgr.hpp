#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform_process.hpp"
#include "qen/qen_config.hpp"

namespace lumo {

// The server programs the supervisor runs as its children, in two groups:
// web & db (the database server, then the administration web server with
// PHP) and the media services (qen, then the HTTP-streaming web server).
// Each child's configuration files are rendered just before it starts, and
// a child still running after the start check counts as started.
//
// A child that ends on its own is not restarted. Every operation that looks
// at a child notices that it has ended: the child is reaped, what is left of
// its process group is killed (a web server's workers would keep its port)
// and its slot is free for the next start.
//
// Stopping a child asks it to stop (qen through its shutdown event, the
// others with SIGTERM), waits up to the stop bound and then kills its process
// group, so every stop ends within the bound.
//
// Threads: the operations take the configuration lock given at construction,
// which serialises them with each other and with the configuration's other
// users; stop_all expects its caller to hold it.
class lumo_proc_mgr {
  public:
    enum class child { web_admin, mysql, http_streaming, media_server };

    // Reads the installation root, config.lumo.path; throws when it is
    // missing or not a folder. The configuration and the lock are borrowed.
    lumo_proc_mgr(const qen::qen_config& config, std::mutex& config_lock,
                  std::chrono::milliseconds start_check = std::chrono::milliseconds(3000),
                  std::chrono::milliseconds stop_bound = std::chrono::milliseconds(20000));
    // Stops every child, under the lock.
    virtual ~lumo_proc_mgr();

    lumo_proc_mgr(const lumo_proc_mgr&) = delete;
    lumo_proc_mgr& operator=(const lumo_proc_mgr&) = delete;

    // Starts the database server, then the administration web server, each
    // unless it runs. On failure stops everything and gives false and the
    // reason in `error`.
    bool start_web_and_db(std::string& error);
    // Starts qen, then the HTTP-streaming web server, each unless it runs;
    // refused with "Start web & db first" while either of web & db is down.
    // A child that started stays running when the next one fails.
    bool start_media_services(std::string& error);
    // Stops qen, then the HTTP-streaming web server.
    void stop_media_services();
    // Stops the administration web server, the database server, the
    // HTTP-streaming web server and qen, in this order. The caller holds the
    // configuration lock.
    void stop_all();

    // Whether the child runs (started by us, not stopped, not ended).
    bool is_running(child which);
    // The running child's process id, which is also its process group's.
    std::optional<pid_t> process_id(child which);

  private:
    using process_slot = std::unique_ptr<platform::platform_process>;

    void start(child which);
    void stop(child which);
    void release(child which);
    void release_if_ended(child which);
    void render_configuration(child which) const;
    std::vector<std::string> command_line(child which) const;
    process_slot& slot(child which) { return slots_[static_cast<std::size_t>(which)]; }

    const qen::qen_config& config_;
    std::mutex& config_lock_;
    const std::chrono::milliseconds start_check_;
    const std::chrono::milliseconds stop_bound_;
    std::filesystem::path root_;
    std::array<process_slot, 4> slots_;
};

}  // namespace lumo
