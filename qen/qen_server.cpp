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

qen_server_context::qen_server_context(const std::filesystem::path& config_file)
    : thread_count_(qen::thread_count()) {
    const qen_config config(config_file);
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
