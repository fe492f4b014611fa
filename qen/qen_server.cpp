#include "qen/qen_server.hpp"

#include <unistd.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "platform/named_event.hpp"
#include "platform/termination_signals.hpp"
#include "qen/client_admission.hpp"
#include "qen/qen_rtmfp_handler.hpp"
#include "qen/qen_stream_handler.hpp"
#include "qen/shutdown_event.hpp"

namespace qen {

std::uint16_t thread_count_from(const char* number_of_processors) {
    long count = 0;
    if (number_of_processors == nullptr) {
        // Windows always sets the variable; here its absence means "as many
        // as there are processors", which is what it would have said.
        count = static_cast<long>(std::thread::hardware_concurrency());
    } else {
        count = std::atol(number_of_processors);
    }
    return static_cast<std::uint16_t>(std::clamp(count, 1L, 65535L));
}

std::uint16_t thread_count() {
    return thread_count_from(std::getenv("NUMBER_OF_PROCESSORS"));
}

namespace {

// Timer ticks from a configured count; a negative count means none.
std::uint32_t ticks(std::int32_t configured) {
    return static_cast<std::uint32_t>(std::max(configured, 0));
}

// Makes a listener; one that cannot start names itself in the reason, as
// "RTMP on TCP 0.0.0.0:1935: bind: Address already in use".
template <class Make>
auto listener(const std::string& name, Make make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::exception& e) {
        throw std::runtime_error(name + ": " + e.what());
    }
}

std::string host_and_port(const std::string& address, std::uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace

qen_server_context::qen_server_context(const std::filesystem::path& config_file)
    : thread_count_(qen::thread_count()) {
    const qen_config config(config_file);
    apps_ = std::make_unique<app_manager>(config.domains(), config.default_domain(),
                                          ticks(config.settings().app_update_interval),
                                          ticks(config.settings().app_max_idle_time));
    if (config.settings().idle_timeout != 0) {
        idle_timeout = config.settings().idle_timeout;
    }
    settings_ = config.settings();
}

qen_server::qen_server(qen_server_context& context, qen_stream_recorder::options recording)
    : context_(context),
      writers_(context.thread_count()),
      recordings_{writers_, finisher_, std::move(recording)},
      pool_(context.thread_count()),
      timer_strand_(boost::asio::make_strand(pool_.pick())) {
    timer_.emplace(timer_strand_);
    const server_settings& settings = context.settings();
    if (settings.rtmp_enabled) {
        rtmp_server_ =
            listener("RTMP on TCP " + host_and_port(settings.rtmp_addr, settings.rtmp_port), [&] {
                const boost::asio::ip::tcp::endpoint endpoint(
                    boost::asio::ip::make_address(settings.rtmp_addr), settings.rtmp_port);
                return std::make_shared<rtmp::rtmp_server>(pool_, endpoint, context);
            });
        rtmp_server_->set_new_connection_handler(
            [this](const std::shared_ptr<rtmp::rtmp_server_connection>& connection) {
                on_new_connection(connection);
            });
        rtmp_server_->set_closed_connection_handler(
            [](const std::shared_ptr<rtmp::rtmp_server_connection>&) {});
    }
    if (settings.rtmfp_enabled) {
        build_rtmfp_server();
    }
    if (rtmp_server_) {
        rtmp_server_->start();
    }
    if (rtmfp_server_) {
        rtmfp_server_->start(context.thread_count());
    }
    boost::asio::post(timer_strand_, [this] { arm_timer(); });
}

qen_server::~qen_server() {
    stopping_ = true;
    // After a tick that may be re-arming the timer right now; the pool runs
    // this before it stops.
    boost::asio::post(timer_strand_, [this] { timer_->cancel(); });
    if (rtmp_server_) {
        rtmp_server_->stop();
    }
    pool_.stop();
    // Recordings being opened hand their recorders to the io contexts, and
    // finishes open the next recording of their name: both are over before
    // the contexts go.
    finisher_.wait_until_all_finished();
    writers_.wait_until_idle();
    if (rtmfp_server_) {
        // Every session is told it ends before the sockets close.
        rtmfp_server_->stop();
        rtmfp_server_->join();
    }
    timer_.reset();
    rtmfp_server_.reset();
    live_streams_.clear();
    rtmp_server_.reset();
}

void qen_server::build_rtmfp_server() {
    const server_settings& settings = context_.settings();
    rtmfp_server_limits limits;
    // RTMFP clients only meet here: they never create streams.
    limits.allow_create_stream = 0;
    limits.max_sessions_per_ip = settings.max_sessions_per_ip;
    limits.max_groups_per_session = settings.max_groups_per_session;
    limits.max_sessions = 0xFFFFFFFF;
    const std::string name = "RTMFP on UDP port " + std::to_string(settings.rtmfp_port) +
                             " (NAT detection " + std::to_string(settings.detect_nat_port1) +
                             " and " + std::to_string(settings.detect_nat_port2) + ")";
    rtmfp_server_ = listener(name, [&] {
        return std::make_shared<rtmfp_server>(rtmfp_listen_endpoints(settings.rtmfp_port),
                                              settings.detect_nat_port1, settings.detect_nat_port2,
                                              limits);
    });
    rtmfp_server_->sessions().add_handler(0, std::make_shared<qen_rtmfp_server_handler>(context_));
}

std::optional<boost::asio::ip::tcp::endpoint> qen_server::rtmp_endpoint() const {
    if (!rtmp_server_) {
        return std::nullopt;
    }
    return rtmp_server_->local_endpoint();
}

void qen_server::on_new_connection(
    const std::shared_ptr<rtmp::rtmp_server_connection>& connection) {
    auto context = std::make_shared<qen_connection_context>();
    rtmp::rtmp_server_connection* conn = connection.get();
    rtmp::rtmp_server_stack& stack = connection->stack();
    // The stack belongs to the connection and unbinds these when it closes.
    stack.connect_handler = [this, context](amf0_object& command, std::string& reason) {
        return on_connect(*context, command, reason);
    };
    stack.netstream_created_handler = [this, context, conn](rtmp::rtmp_server_netstream* stream) {
        on_create_netstream(context, *conn, *stream);
    };
}

bool qen_server::on_connect(qen_connection_context& context, amf0_object& command,
                            std::string& reason) {
    if (auto refusal = admit_client(context_.apps(), command, context)) {
        reason = std::move(*refusal);
        return false;
    }
    return true;
}

void qen_server::on_create_netstream(const std::shared_ptr<qen_connection_context>& context,
                                     rtmp::rtmp_server_connection& connection,
                                     rtmp::rtmp_server_netstream& netstream) {
    qen_stream_handler::bind(std::make_shared<qen_stream_handler>(live_streams_, recordings_,
                                                                  context, netstream, connection));
}

void qen_server::arm_timer() {
    timer_->expires_after(std::chrono::seconds(1));
    timer_->async_wait([this](const boost::system::error_code& e) { on_timer(e); });
}

void qen_server::on_timer(const boost::system::error_code&) {
    if (stopping_) {
        return;
    }
    // The application cache ages whether or not RTMP is enabled: with RTMP
    // disabled, RTMFP clients still use (and re-read) applications.
    context_.apps().on_timer();
    arm_timer();
}

void wait_for_shutdown() {
    std::optional<platform::named_event> event;
    try {
        event.emplace(shutdown_event_name(::getpid()));
    } catch (const std::system_error&) {
        throw std::runtime_error("Can't create shutdown event");
    }
    platform::termination_signal_forwarder stop_on_signal(*event);
    event->wait();
}

}  // namespace qen
