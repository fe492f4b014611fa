#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/io_service_pool.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_app.hpp"
#include "qen/qen_config.hpp"
#include "qen/qen_stream_handler.hpp"
#include "qen/recording_finisher.hpp"
#include "qen/recording_writers.hpp"
#include "rtmfp/server.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_server.hpp"

namespace qen {

// The worker thread count from the value of NUMBER_OF_PROCESSORS: that
// number, 1 when it is "0", the machine's processor count when it is unset.
// Always between 1 and 65535, so the server never starts without a worker.
std::uint16_t thread_count_from(const char* number_of_processors);

// The worker thread count of this process (reads NUMBER_OF_PROCESSORS).
std::uint16_t thread_count();

// What every connection of the server sees: the block pool and idle time-out
// of the RTMP side, the settings loaded from the configuration file and the
// applications of its domains.
class qen_server_context : public rtmp::rtmp_server_context {
  public:
    // Loads the configuration; throws what the loader throws.
    explicit qen_server_context(const std::filesystem::path& config_file);

    std::uint16_t thread_count() const { return thread_count_; }
    const server_settings& settings() const { return settings_; }
    app_manager& apps() { return *apps_; }

  private:
    std::uint16_t thread_count_;
    server_settings settings_;
    std::unique_ptr<app_manager> apps_;
};

// The running server: the worker pool, the live streams, the protocol
// servers and the one-second housekeeping tick. Built and started by the
// constructor, stopped and torn down by the destructor.
class qen_server {
  public:
    // Throws what binding the listener throws (an address that does not
    // parse, a port in use). Publishes are recorded with `recording` (a
    // test's disk).
    explicit qen_server(qen_server_context& context, qen_stream_recorder::options recording = {});
    virtual ~qen_server();

    qen_server(const qen_server&) = delete;
    qen_server& operator=(const qen_server&) = delete;

    // The RTMP listener's address; none when RTMP is disabled.
    std::optional<boost::asio::ip::tcp::endpoint> rtmp_endpoint() const;
    // The RTMFP server; null when RTMFP is disabled.
    const rtmfp_server* rtmfp() const noexcept { return rtmfp_server_.get(); }

  private:
    void build_rtmfp_server();
    void on_new_connection(const std::shared_ptr<rtmp::rtmp_server_connection>& connection);
    bool on_connect(qen_connection_context& context, amf0_object& command, std::string& reason);
    void on_create_netstream(const std::shared_ptr<qen_connection_context>& context,
                             rtmp::rtmp_server_connection& connection,
                             rtmp::rtmp_server_netstream& netstream);

    void arm_timer();
    void on_timer(const boost::system::error_code& error);

    qen_server_context& context_;
    // The lanes go last, the finisher before them: the connections hand the
    // finisher their recorders until the pool has stopped, and it waits for
    // their recordings, which the lanes write, to be complete.
    recording_writers writers_;
    recording_finisher finisher_;
    recording_services recordings_;
    io_service_pool pool_;
    std::shared_ptr<rtmp::rtmp_server> rtmp_server_;
    rtmp::rtmp_live_streams live_streams_;
    std::shared_ptr<rtmfp_server> rtmfp_server_;
    // The tick re-arms itself on the pool while the destructor cancels it:
    // both run on this strand, since a timer takes one operation at a time.
    boost::asio::strand<boost::asio::io_context::executor_type> timer_strand_;
    std::optional<boost::asio::steady_timer> timer_;
    std::atomic<bool> stopping_{false};
};

// Creates the shutdown event and blocks until it is set. SIGTERM and SIGINT
// set it too.
void wait_for_shutdown();

}  // namespace qen
