#include "qen/qen_server.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/named_event.hpp"
#include "platform/termination_signals.hpp"

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

qen_server::qen_server(qen_server_context& context)
    : context_(context), pool_(context.thread_count()) {
    timer_.emplace(pool_.pick());
    arm_timer();
}

qen_server::~qen_server() {
    stopping_ = true;
    timer_->cancel();
    pool_.stop();
    timer_.reset();
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

std::string shutdown_event_name() {
    return "qen_shutdown_" + std::to_string(::getpid());
}

void wait_for_shutdown() {
    std::optional<platform::named_event> event;
    try {
        event.emplace(shutdown_event_name());
    } catch (const std::system_error&) {
        throw std::runtime_error("Can't create shutdown event");
    }
    platform::termination_signal_forwarder stop_on_signal(*event);
    event->wait();
}

}  // namespace qen
