#include "qen/app_manager.hpp"

#include <optional>
#include <vector>

#include "foundation/file_name.hpp"

namespace qen {
namespace {

// How many redirections one lookup follows.
constexpr int max_redirections = 4;

}  // namespace

app_manager::app_manager(domain_map domains, domain_ptr default_domain,
                         std::uint32_t app_update_interval, std::uint32_t app_max_idle_time)
    : domains_(std::move(domains)),
      default_domain_(std::move(default_domain)),
      app_update_interval_(app_update_interval),
      app_max_idle_time_(app_max_idle_time) {}

app_ptr app_manager::find_app_by_url(const std::string& url, url_parts& context) {
    if (!split_url(url, context)) {
        return nullptr;
    }
    context.host = to_lower_ascii(context.host);
    const auto found = domains_.find(context.host);
    const domain_ptr d = found != domains_.end() ? found->second : default_domain_;
    if (!d) {
        return nullptr;
    }
    for (int redirections = 0;; ++redirections) {
        app_ptr app = resolve_app_path(*d, context.path);
        if (!app) {
            return nullptr;
        }
        std::string target = app->get<std::string>("app_redirection", "");
        if (target.empty()) {
            return app;
        }
        if (redirections == max_redirections) {
            return nullptr;
        }
        context.path = std::move(target);
    }
}

app_ptr app_manager::resolve_app_path(const domain& d, const std::string& path) {
    const auto segments = valid_path_segments(path);
    if (!segments) {
        return nullptr;
    }
    auto next = segments->begin();
    std::string key = d.names.front();
    std::string directory = d.path;

    const std::string* virtual_dir = nullptr;
    if (next != segments->end()) {
        const auto found = d.virtual_dirs.find(*next);
        if (found != d.virtual_dirs.end()) {
            virtual_dir = &found->second;
        }
    }

    app_slot_ptr level = get_or_load_app(directory, key, nullptr);
    if (!level) {
        return nullptr;
    }
    if (virtual_dir) {
        key += "/" + *next++;
        directory = *virtual_dir;
        level = get_or_load_app(directory, key, level);
        if (!level) {
            return nullptr;
        }
    }
    for (; next != segments->end(); ++next) {
        key += "/" + *next;
        directory += "/" + *next;
        level = get_or_load_app(directory, key, level);
        if (!level) {
            return nullptr;
        }
    }
    return level->get();
}

app_ptr app_manager::build_app(const app_slot_ptr& parent, const std::string& directory,
                               const std::string& key, std::shared_ptr<client_count> clients) {
    return std::make_shared<const qen_app>(parent, directory, key, std::move(clients));
}

app_slot_ptr app_manager::get_or_load_app(const std::string& directory, const std::string& key,
                                          const app_slot_ptr& parent) {
    const lookup found = look_up(key, parent);
    switch (found.next) {
        case lookup::then::done:
            return found.slot;
        case lookup::then::load: {
            app_ptr app;
            try {
                app = build_app(parent, directory, key, std::make_shared<client_count>());
            } catch (const std::exception&) {
            }
            return finish_load(key, std::move(app));
        }
        case lookup::then::recheck: {
            const app_ptr current = found.slot->get();
            app_ptr fresh;
            bool failed = false;
            if (qen_app::settings_time_of(directory) != found.known_time) {
                try {
                    // The clients of the application stay its clients.
                    fresh = build_app(parent, directory, key, current->clients());
                } catch (const std::exception&) {
                    failed = true;
                }
            }
            return finish_recheck(key, found.slot, std::move(fresh), failed);
        }
    }
    return nullptr;
}

app_manager::lookup app_manager::look_up(const std::string& key, const app_slot_ptr& parent) {
    std::unique_lock lock(mutex_);
    auto found = cache_.find(key);
    if (found == cache_.end()) {
        if (parent && parent->get()->finalized()) {
            return {};
        }
        cache_[key].loading = true;
        return {.next = lookup::then::load};
    }
    if (found->second.loading) {
        if (found->second.slot) {
            return {.slot = found->second.slot};  // being re-checked: the current one serves
        }
        load_done_.wait(lock, [&] {
            found = cache_.find(key);
            return found == cache_.end() || !found->second.loading;
        });
        return {.slot = found == cache_.end() ? nullptr : found->second.slot};
    }
    entry& cached = found->second;
    cached.idle_ticks = 0;
    if (cached.ticks_since_check <= app_update_interval_) {
        return {.slot = cached.slot};
    }
    cached.loading = true;
    cached.ticks_since_check = 0;
    return {.next = lookup::then::recheck,
            .slot = cached.slot,
            .known_time = cached.slot->get()->settings_time()};
}

app_slot_ptr app_manager::finish_load(const std::string& key, app_ptr app) {
    std::lock_guard lock(mutex_);
    // The entry cannot have gone meanwhile: nothing erases an entry that is
    // being loaded but its loader.
    const auto found = cache_.find(key);
    app_slot_ptr slot;
    if (app) {
        slot = std::make_shared<app_slot>(std::move(app));
        found->second.slot = slot;
        found->second.loading = false;
    } else {
        cache_.erase(found);
    }
    load_done_.notify_all();
    return slot;
}

app_slot_ptr app_manager::finish_recheck(const std::string& key, const app_slot_ptr& slot,
                                         app_ptr fresh, bool failed) {
    std::lock_guard lock(mutex_);
    const auto found = cache_.find(key);
    load_done_.notify_all();
    if (failed) {
        cache_.erase(found);
        return nullptr;
    }
    found->second.loading = false;
    if (fresh) {
        slot->set(std::move(fresh));
    }
    return slot;
}

void app_manager::on_timer() {
    std::lock_guard lock(mutex_);
    for (auto it = cache_.begin(); it != cache_.end();) {
        entry& e = it->second;
        ++e.idle_ticks;
        ++e.ticks_since_check;
        // Clients of a replaced version still count: dropping the entry
        // would start their path's count again from zero.
        const bool unused = e.slot && e.slot.use_count() == 1 && e.slot->used_by_slot_alone() &&
                            e.slot->get()->clients()->value() == 0;
        if (!e.loading && e.idle_ticks > app_max_idle_time_ && unused) {
            it = cache_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace qen
