#pragma once

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "foundation/io_service_pool.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_config.hpp"

namespace qen {

// The worker thread count from the value of NUMBER_OF_PROCESSORS: that
// number, 1 when it is "0", the machine's processor count when it is unset.
// Always between 1 and 65535, so the server never starts without a worker.
std::uint16_t thread_count_from(const char* number_of_processors);

// The worker thread count of this process (reads NUMBER_OF_PROCESSORS).
std::uint16_t thread_count();

// What every connection of the server sees: the settings loaded from the
// configuration file and the applications of its domains.
class qen_server_context {
  public:
    // Loads the configuration; throws what the loader throws.
    explicit qen_server_context(const std::filesystem::path& config_file);
    virtual ~qen_server_context() = default;

    qen_server_context(const qen_server_context&) = delete;
    qen_server_context& operator=(const qen_server_context&) = delete;

    std::uint16_t thread_count() const { return thread_count_; }
    const server_settings& settings() const { return settings_; }
    app_manager& apps() { return *apps_; }

    // RTMP idle time-out in seconds.
    std::int32_t idle_timeout = 60;

  private:
    std::uint16_t thread_count_;
    server_settings settings_;
    std::unique_ptr<app_manager> apps_;
};

// The running server: the worker pool, the protocol servers and the
// one-second housekeeping tick. Built and started by the constructor, stopped
// and torn down by the destructor.
class qen_server {
  public:
    explicit qen_server(qen_server_context& context);
    virtual ~qen_server();

    qen_server(const qen_server&) = delete;
    qen_server& operator=(const qen_server&) = delete;

  private:
    void arm_timer();
    void on_timer(const boost::system::error_code& error);

    qen_server_context& context_;
    io_service_pool pool_;
    std::optional<boost::asio::steady_timer> timer_;
    std::atomic<bool> stopping_{false};
};

// The name of this process's shutdown event: "qen_shutdown_" and the pid.
std::string shutdown_event_name();

// Creates the shutdown event and blocks until it is set. SIGTERM and SIGINT
// set it too.
void wait_for_shutdown();

}  // namespace qen
