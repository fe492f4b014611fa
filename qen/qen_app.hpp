#pragma once

#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qen/qen_url.hpp"

namespace qen {

class qen_app;
using app_ptr = std::shared_ptr<const qen_app>;

// The current application of one cache key. A child application reaches its
// parent through the parent's slot, so when the parent's settings file is
// re-read the child sees the new settings although it was built before.
class app_slot {
  public:
    explicit app_slot(app_ptr app) : app_(std::move(app)) {}

    app_ptr get() const {
        std::lock_guard lock(mutex_);
        return app_;
    }

    void set(app_ptr app) {
        std::lock_guard lock(mutex_);
        app_ = std::move(app);
    }

    // Whether no one but this slot holds the application.
    bool used_by_slot_alone() const {
        std::lock_guard lock(mutex_);
        return app_.use_count() == 1;
    }

  private:
    mutable std::mutex mutex_;
    app_ptr app_;
};

using app_slot_ptr = std::shared_ptr<app_slot>;

// The clients of one application path. A re-read settings file replaces the
// application object while its clients keep the one they connected to; the
// new object takes over this count, so max_concurrents counts them all.
class client_count {
  public:
    std::size_t value() const noexcept { return clients_.load(std::memory_order_relaxed); }

  private:
    friend class client_hold;
    std::atomic<std::size_t> clients_{0};
};

// One client's place in its application's count, for as long as it lives.
class client_hold {
  public:
    client_hold() = default;
    explicit client_hold(std::shared_ptr<client_count> count) : count_(std::move(count)) {
        if (count_) {
            count_->clients_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    ~client_hold() { release(); }

    client_hold(client_hold&& other) noexcept : count_(std::move(other.count_)) {}
    client_hold& operator=(client_hold&& other) noexcept {
        if (this != &other) {
            release();
            count_ = std::move(other.count_);
        }
        return *this;
    }

  private:
    void release() noexcept {
        if (count_) {
            count_->clients_.fetch_sub(1, std::memory_order_relaxed);
            count_.reset();
        }
    }

    std::shared_ptr<client_count> count_;
};

// One level of a domain's directory tree: a directory on disk with the
// optional settings file ".flaccess" in it. Immutable once built; always
// owned by shared pointers.
class qen_app : public std::enable_shared_from_this<qen_app> {
  public:
    // Reads the settings file of the directory. Throws "Bad app path" when the
    // directory does not exist; a missing or malformed settings file only
    // leaves the application without settings of its own. A re-read of an
    // application passes on the clients of the one it replaces.
    qen_app(app_slot_ptr parent, std::string directory, std::string key,
            std::shared_ptr<client_count> clients = std::make_shared<client_count>());

    app_ptr parent() const { return parent_ ? parent_->get() : nullptr; }
    const std::string& directory() const { return directory_; }
    const std::string& key() const { return key_; }
    const boost::property_tree::ptree& settings() const { return settings_; }
    bool finalized() const { return finalized_; }
    std::int64_t settings_time() const { return settings_time_; }

    // The clients of this application's path, whichever version of it each
    // one holds.
    const std::shared_ptr<client_count>& clients() const { return clients_; }

    // A setting under config.qen_app, inherited from the parents under the
    // allow_override rule. Absent when no level defines a convertible value.
    template <typename T>
    std::optional<T> get_optional(const std::string& key) const;

    template <typename T>
    T get(const std::string& key, T fallback) const {
        return get_optional<T>(key).value_or(std::move(fallback));
    }

    // The nearest convertible definition of the key from this level upwards.
    template <typename T>
    std::optional<T> find_inherited(const std::string& key) const;

    // The level nearest the root, from this one upwards, that forbids its
    // descendants to override the key; none when no level does.
    app_ptr find_final_owner(const std::string& key) const;

    // The last-write time of a directory's settings file (nanoseconds since
    // the file clock's epoch), 0 when it cannot be read.
    static std::int64_t settings_time_of(const std::string& directory);

  private:
    template <typename T>
    std::optional<T> own(const std::string& key) const {
        if (settings_.empty()) {
            return std::nullopt;
        }
        auto value = settings_.get_optional<T>(setting_path(key));
        return value ? std::optional<T>(*value) : std::nullopt;
    }

    bool forbids_override(const std::string& key) const;

    static boost::property_tree::ptree::path_type setting_path(const std::string& key);

    app_slot_ptr parent_;
    std::string directory_;
    std::string key_;
    boost::property_tree::ptree settings_;
    bool finalized_ = false;
    std::int64_t settings_time_ = 0;
    std::shared_ptr<client_count> clients_;
};

template <typename T>
std::optional<T> qen_app::find_inherited(const std::string& key) const {
    if (auto value = own<T>(key)) {
        return value;
    }
    for (app_ptr level = parent(); level; level = level->parent()) {
        if (auto value = level->own<T>(key)) {
            return value;
        }
    }
    return std::nullopt;
}

template <typename T>
std::optional<T> qen_app::get_optional(const std::string& key) const {
    const app_ptr up = parent();
    if (!up) {
        return own<T>(key);
    }
    if (const app_ptr owner = up->find_final_owner(key)) {
        return owner->find_inherited<T>(key);
    }
    if (auto value = own<T>(key)) {
        return value;
    }
    return up->find_inherited<T>(key);
}

// What a connection carries: its parsed URL and, once admitted, its
// application and its place among the application's clients.
struct qen_connection_context : url_parts {
    app_ptr app;
    client_hold client;
};

}  // namespace qen
