#include "lumo/lumo_service.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <utility>

namespace lumo {
namespace {

std::string environment_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

lumo_service::lumo_service(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {
    set_service_manager(environment_or("LUMO_UNIT_DIR", "/etc/systemd/system"),
                        environment_or("LUMO_SYSTEMCTL", "systemctl"));
}

lumo_service::~lumo_service() = default;

int lumo_service::usage() {
    std::cerr << "Usage: lumo install config_file_path\nlumo remove\nlumo start\nlumo stop\n";
    return 0;
}

int lumo_service::command_failed(const std::string& message) const {
    std::cerr << message << '\n' << last_error() << '\n';
    return 1;
}

int lumo_service::execute() {
    if (arguments_.empty()) {
        return usage();
    }
    const std::string& command = arguments_[0];
    const bool one_path = arguments_.size() == 2 && !arguments_[1].empty();
    if (command == "install") {
        if (!one_path) {
            return usage();
        }
        const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
        const std::string config = std::filesystem::absolute(arguments_[1]).string();
        return install({program, "run", config}) ? 0 : command_failed("Install service failed.");
    }
    if (command == "remove") {
        return remove() ? 0 : command_failed("Remove service failed.");
    }
    if (command == "start") {
        return start() ? 0 : command_failed("Start service failed.");
    }
    if (command == "stop") {
        return stop() ? 0 : command_failed("Stop service failed.");
    }
    if (command == "run" || command == "embed") {
        if (!one_path) {
            return usage();
        }
        config_path_ = arguments_[1];
        return command == "run" ? run_as_service() : run_in_console();
    }
    return usage();
}

bool lumo_service::init() {
    std::lock_guard<std::mutex> lock(app_mutex_);
    // Made before anything starts, so that a stop during the start-up is
    // kept: its name needs nothing but our pid.
    try {
        shutdown_event_ =
            std::make_unique<platform::named_event>("lumo_shutdown_" + std::to_string(::getpid()));
    } catch (const std::exception&) {
        log("Can't create shutdown event", event_type::error);
        return false;
    }
    try {
        config_ = std::make_unique<qen::qen_config>(config_path_);
        app_ = std::make_unique<lumo_main_app>(*config_);
    } catch (const std::exception& e) {
        log(e.what(), event_type::error);
        app_.reset();
        config_.reset();
        shutdown_event_.reset();
        return false;
    }
    // The supervisor serves without the media services too: the
    // administration site may start them once their cause is mended.
    if (!stop_requested()) {
        std::string error;
        if (!app_->process_manager().start_media_services(error)) {
            log(error, event_type::error);
        }
    }
    return true;
}

void lumo_service::run() {
    shutdown_event_->wait();
}

void lumo_service::on_exit() {
    std::lock_guard<std::mutex> lock(app_mutex_);
    app_.reset();
    config_.reset();
    shutdown_event_.reset();
}

void lumo_service::on_stop() {
    std::lock_guard<std::mutex> lock(app_mutex_);
    if (app_) {
        app_->stop();
    }
    if (shutdown_event_) {
        shutdown_event_->set();
    }
}

void lumo_service::on_pause() {
    std::lock_guard<std::mutex> lock(app_mutex_);
    if (!app_ || stop_requested()) {
        return;
    }
    app_->process_manager().stop_media_services();
    set_status(state::paused);
}

void lumo_service::on_continue() {
    std::lock_guard<std::mutex> lock(app_mutex_);
    if (!app_ || stop_requested()) {
        return;
    }
    std::string error;
    if (!app_->process_manager().start_media_services(error)) {
        log(error, event_type::error);
    }
    set_status(state::running);
}

}  // namespace lumo
