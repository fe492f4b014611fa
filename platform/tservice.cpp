#include "platform/tservice.hpp"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "foundation/replace_file.hpp"
#include "platform/platform_process.hpp"
#include "platform/termination_signals.hpp"

namespace platform {
namespace {

bool has_control_character(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

// systemd expands "%" specifiers in every value of a unit.
std::string escape_specifiers(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    return escaped;
}

// One word of a command line in a unit, whatever its bytes: quoted, with
// the quote and the backslash escaped, and "%" and "$" doubled, since systemd
// expands specifiers and environment variables there.
std::string quote_exec_word(const std::string& word) {
    if (has_control_character(word)) {
        // Not echoed: the reason is printed on one line.
        throw std::invalid_argument(
            "A control character in the command line would add a line to the unit");
    }
    std::string quoted = "\"";
    for (const char c : word) {
        switch (c) {
            case '"':
            case '\\':
                quoted += '\\';
                quoted += c;
                break;
            case '%':
            case '$':
                quoted += c;
                quoted += c;
                break;
            default:
                quoted += c;
        }
    }
    return quoted + '"';
}

int syslog_priority(TService::event_type type) {
    switch (type) {
        case TService::event_type::error:
            return LOG_ERR;
        case TService::event_type::warning:
            return LOG_WARNING;
        case TService::event_type::information:
            break;
    }
    return LOG_INFO;
}

std::string command_text(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& word : argv) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

}  // namespace

// Takes the control signals, held in every thread, one at a time with
// sigwait, until it is destroyed.
class TService::control_thread {
  public:
    explicit control_thread(TService& service) : service_(service) {
        // Held here too, should main have forgotten: a control must never
        // end the process by default.
        hold_control_signals();
        thread_ = std::thread([this] { take_signals(); });
    }

    ~control_thread() {
        closing_ = true;
        // SIGHUP changes nothing; it only wakes the thread to see closing_.
        pthread_kill(thread_.native_handle(), SIGHUP);
        thread_.join();
    }

    control_thread(const control_thread&) = delete;
    control_thread& operator=(const control_thread&) = delete;

  private:
    void take_signals() {
        const sigset_t signals = control_signals();
        for (;;) {
            int signal_number = 0;
            if (sigwait(&signals, &signal_number) != 0) {
                continue;
            }
            if (closing_) {
                return;
            }
            service_.take_control(signal_number);
        }
    }

    TService& service_;
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

TService::TService() = default;

TService::~TService() {
    if (log_open_) {
        closelog();
    }
}

void TService::set_service_manager(std::filesystem::path unit_dir, std::string systemctl) {
    unit_dir_ = std::move(unit_dir);
    systemctl_ = std::move(systemctl);
}

std::string TService::unit_text(const std::vector<std::string>& command_line) const {
    const std::string description = display_name();
    if (has_control_character(description) || description.ends_with('\\')) {
        throw std::invalid_argument("The display name does not fit on one line of the unit");
    }
    std::string exec_start;
    for (const auto& word : command_line) {
        if (!exec_start.empty()) {
            exec_start += ' ';
        }
        exec_start += quote_exec_word(word);
    }
    // KillMode=mixed: a stop signals the service alone, which stops its
    // children in its own order; whatever is left when it ends is killed.
    return "[Unit]\n"
           "Description=" +
           escape_specifiers(description) +
           "\n\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           exec_start +
           "\n"
           "KillMode=mixed\n"
           "TimeoutStopSec=" +
           std::to_string(stop_timeout().count()) +
           "\n\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool TService::install(const std::vector<std::string>& command_line) {
    if (command_line.empty()) {
        return fail("No command line to install");
    }
    try {
        replace_file(unit_file(), unit_text(command_line));
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return systemctl({"daemon-reload"}) && systemctl({"enable", unit_name()});
}

bool TService::remove() {
    stop();
    if (!systemctl({"disable", unit_name()})) {
        return false;
    }
    std::error_code error;
    if (!std::filesystem::remove(unit_file(), error)) {
        return fail("Can't remove " + unit_file().string() + ": " +
                    (error ? error.message() : "there is no such file"));
    }
    return systemctl({"daemon-reload"});
}

bool TService::start() {
    return systemctl({"start", unit_name()});
}

bool TService::stop() {
    return systemctl({"stop", unit_name()});
}

bool TService::systemctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{systemctl_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    platform_process process(argv, true);
    if (!process.run()) {
        return fail("Can't run " + systemctl_);
    }
    while (!process.wait_for_exit(std::chrono::hours(1))) {
    }
    const int exit_code = process.try_exit_code().value_or(-1);
    if (exit_code != 0) {
        return fail(command_text(argv) + " failed with exit code " + std::to_string(exit_code));
    }
    return succeed();
}

bool TService::succeed() {
    last_error_.clear();
    return true;
}

bool TService::fail(std::string reason) {
    last_error_ = std::move(reason);
    return false;
}

int TService::run_as_service() {
    return run_service(false);
}

int TService::run_in_console() {
    return run_service(true);
}

int TService::run_service(bool in_console) {
    notify_ = !in_console;
    open_log(in_console);
    const control_thread controls(*this);

    set_status(state::start_pending);
    int exit_code = 1;
    if (init()) {
        set_status(state::running);
        try {
            run();
            exit_code = 0;
        } catch (const std::exception& e) {
            log(e.what(), event_type::error);
        }
        set_status(state::stop_pending);
        on_exit();
    }
    set_status(state::stopped);
    return exit_code;
}

void TService::take_control(int signal_number) {
    switch (signal_number) {
        case SIGTERM:
            set_status(state::stop_pending);
            stop_requested_ = true;
            on_stop();
            break;
        case SIGUSR1:
            on_pause();
            break;
        case SIGUSR2:
            on_continue();
            break;
        default:
            // Ctrl+C, Ctrl+\ and a closed terminal leave the service running.
            break;
    }
}

void TService::open_log(bool in_console) {
    log_identity_ = service_name();
    openlog(log_identity_.c_str(), LOG_PID | (in_console ? LOG_PERROR : 0), LOG_DAEMON);
    log_open_ = true;
}

void TService::log(const std::string& text, event_type type) {
    if (log_open_) {
        syslog(syslog_priority(type), "%s", text.c_str());
    }
}

void TService::set_status(state new_state) {
    state_ = new_state;
    if (!notify_) {
        return;
    }
    const char* report = nullptr;
    switch (new_state) {
        case state::running:
            report = "READY=1\nSTATUS=running";
            break;
        case state::stop_pending:
            report = "STOPPING=1";
            break;
        case state::paused:
            report = "STATUS=paused";
            break;
        case state::start_pending:
        case state::stopped:
            // systemd sees these from the process itself.
            return;
    }
    const int result = sd_notify(0, report);
    if (result < 0) {
        log("Can't report the service's state to systemd: " +
                std::system_category().message(-result),
            event_type::warning);
    }
}

}  // namespace platform
