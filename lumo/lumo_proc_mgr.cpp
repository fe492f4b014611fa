#include "lumo/lumo_proc_mgr.hpp"

#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "lumo/config_checks.hpp"
#include "lumo/config_templates.hpp"
#include "platform/named_event.hpp"
#include "qen/shutdown_event.hpp"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using child = lumo_proc_mgr::child;

// How each child is named in "Can't start ... process" and in "... process
// quit unexpected".
struct child_names {
    const char* in_start_failure;
    const char* in_quit_failure;
};

const child_names& names_of(child which) {
    static const child_names names[] = {
        {"web admin", "web admin"},
        {"mysql", "Mysql"},
        {"http streaming", "http streaming"},
        {"QEN", "QEN"},
    };
    return names[static_cast<std::size_t>(which)];
}

}  // namespace

lumo_proc_mgr::lumo_proc_mgr(const qen::qen_config& config, std::mutex& config_lock,
                             std::chrono::milliseconds start_check,
                             std::chrono::milliseconds stop_bound)
    : config_(config),
      config_lock_(config_lock),
      start_check_(start_check),
      stop_bound_(stop_bound) {
    root_ = installation_root(config_.tree());
    std::error_code error;
    if (!fs::is_directory(root_, error)) {
        throw std::runtime_error("lumo configuration bad, config.lumo.path is bad");
    }
}

lumo_proc_mgr::~lumo_proc_mgr() {
    std::lock_guard<std::mutex> lock(config_lock_);
    stop_all();
}

bool lumo_proc_mgr::start_web_and_db(std::string& error) {
    std::lock_guard<std::mutex> lock(config_lock_);
    const std::pair<child, const char*> steps[] = {
        {child::mysql, "Error when running mysql: "},
        {child::web_admin, "Error when running web admin apache: "},
    };
    for (const auto& [which, failure] : steps) {
        try {
            release_if_ended(which);
            if (!slot(which)) {
                start(which);
            }
        } catch (const std::exception& e) {
            error = failure + std::string(e.what());
            stop_all();
            return false;
        }
    }
    return true;
}

bool lumo_proc_mgr::start_media_services(std::string& error) {
    std::lock_guard<std::mutex> lock(config_lock_);
    try {
        release_if_ended(child::mysql);
        release_if_ended(child::web_admin);
        if (!slot(child::mysql) || !slot(child::web_admin)) {
            error = "Start web & db first";
            return false;
        }
        for (const child which : {child::media_server, child::http_streaming}) {
            release_if_ended(which);
            if (!slot(which)) {
                start(which);
            }
        }
    } catch (const std::exception& e) {
        error = "Error when running QEN & Http streaming: " + std::string(e.what());
        return false;
    }
    return true;
}

void lumo_proc_mgr::stop_media_services() {
    std::lock_guard<std::mutex> lock(config_lock_);
    try {
        stop(child::media_server);
        stop(child::http_streaming);
    } catch (const std::exception&) {
    }
}

void lumo_proc_mgr::stop_all() {
    for (const child which :
         {child::web_admin, child::mysql, child::http_streaming, child::media_server}) {
        try {
            stop(which);
        } catch (const std::exception&) {
        }
    }
}

bool lumo_proc_mgr::is_running(child which) {
    std::lock_guard<std::mutex> lock(config_lock_);
    release_if_ended(which);
    return slot(which) != nullptr;
}

std::optional<pid_t> lumo_proc_mgr::process_id(child which) {
    std::lock_guard<std::mutex> lock(config_lock_);
    release_if_ended(which);
    if (!slot(which)) {
        return std::nullopt;
    }
    return slot(which)->id();
}

void lumo_proc_mgr::start(child which) {
    render_configuration(which);
    process_slot& process = slot(which);
    process = std::make_unique<platform::platform_process>(command_line(which), true);
    if (!process->run()) {
        process.reset();
        throw std::runtime_error("Can't start " + std::string(names_of(which).in_start_failure) +
                                 " process");
    }
    if (process->wait_for_exit(start_check_)) {
        release(which);
        throw std::runtime_error(std::string(names_of(which).in_quit_failure) +
                                 " process quit unexpected");
    }
}

void lumo_proc_mgr::stop(child which) {
    process_slot& process = slot(which);
    if (!process) {
        return;
    }
    if (!process->try_exit_code()) {
        // qen has no shutdown event until its servers run; SIGTERM stops it
        // as well, and is the only request the other children know.
        const bool event_set = which == child::media_server &&
                               platform::set_named_event(qen::shutdown_event_name(process->id()));
        if (!event_set) {
            process->signal(SIGTERM);
        }
        process->wait_for_exit(stop_bound_);
    }
    release(which);
}

// Kills the child's process group, which is all of it when the child ignored
// its stop and only what it left behind otherwise, then reaps the child. The
// child is unreaped until then, so the group id is still its own.
void lumo_proc_mgr::release(child which) {
    process_slot& process = slot(which);
    process->terminate();
    if (which == child::media_server) {
        // A killed qen leaves its event behind, where it would catch the
        // stop of a later process with the same id.
        platform::remove_named_event(qen::shutdown_event_name(process->id()));
    }
    process.reset();
}

void lumo_proc_mgr::release_if_ended(child which) {
    if (slot(which) && slot(which)->try_exit_code()) {
        release(which);
    }
}

void lumo_proc_mgr::render_configuration(child which) const {
    const config_templates templates(config_, root_);
    switch (which) {
        case child::mysql:
            templates.render_mysql_files();
            break;
        case child::web_admin:
            templates.render_web_admin_files();
            break;
        case child::http_streaming:
            templates.render_http_streaming_files();
            break;
        case child::media_server:
            break;
    }
}

std::vector<std::string> lumo_proc_mgr::command_line(child which) const {
    const auto under_root = [this](const char* relative) { return (root_ / relative).string(); };
    switch (which) {
        case child::mysql: {
            std::vector<std::string> argv{under_root("mysql/bin/mariadbd"),
                                          "--defaults-file=" + under_root("mysql/my.ini")};
            // The database server refuses to run as root unless told to.
            if (::geteuid() == 0) {
                argv.push_back("--user=root");
            }
            return argv;
        }
        case child::web_admin:
            return {under_root("apache/bin/apache2"), "-f", under_root("apache/conf/admin.conf"),
                    "-DFOREGROUND"};
        case child::http_streaming:
            return {under_root("apache/bin/apache2"), "-f", under_root("apache/conf/stream.conf"),
                    "-DFOREGROUND"};
        case child::media_server:
            return {under_root("bin/qen"), config_.path().string()};
    }
    throw std::logic_error("unknown child");
}

}  // namespace lumo
