#include "platform/platform_process.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// glibc 2.36's header lacks its C linkage block.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <string_view>
#include <system_error>

extern char** environ;

namespace platform {
namespace {

class spawn_file_actions {
  public:
    spawn_file_actions() { posix_spawn_file_actions_init(&actions_); }
    ~spawn_file_actions() { posix_spawn_file_actions_destroy(&actions_); }
    spawn_file_actions(const spawn_file_actions&) = delete;
    spawn_file_actions& operator=(const spawn_file_actions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

class spawn_attributes {
  public:
    spawn_attributes() { posix_spawnattr_init(&attributes_); }
    ~spawn_attributes() { posix_spawnattr_destroy(&attributes_); }
    spawn_attributes(const spawn_attributes&) = delete;
    spawn_attributes& operator=(const spawn_attributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

// The environment a child gets: ours, without the service manager's
// notification socket, which would take the child's reports for ours.
std::vector<char*> child_environment() {
    static constexpr std::string_view notify_socket = "NOTIFY_SOCKET=";
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).substr(0, notify_socket.size()) != notify_socket) {
            environment.push_back(*entry);
        }
    }
    environment.push_back(nullptr);
    return environment;
}

}  // namespace

platform_process::platform_process(std::vector<std::string> argv, bool wait_on_destroy)
    : argv_(std::move(argv)), wait_on_destroy_(wait_on_destroy) {
    if (argv_.empty()) {
        throw std::invalid_argument("platform_process: no program");
    }
}

platform_process::~platform_process() {
    if (!pidfd_) {
        return;
    }
    int status = 0;
    if (wait_on_destroy_) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    } else {
        ::waitpid(pid_, &status, WNOHANG);
    }
}

bool platform_process::run() {
    if (pid_ != -1) {
        throw std::logic_error("The process has run already");
    }

    spawn_file_actions actions;
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    // A blocked or ignored signal survives exec; the parent's choices are
    // not the child's.
    spawn_attributes attributes;
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(attributes.get(), &none);
    posix_spawnattr_setsigdefault(attributes.get(), &all);
    posix_spawnattr_setpgroup(attributes.get(), 0);
    posix_spawnattr_setflags(
        attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> arguments;
    for (auto& argument : argv_) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);

    std::vector<char*> environment = child_environment();
    const bool search_path = argv_[0].find('/') == std::string::npos;
    pid_t pid = -1;
    if ((search_path ? posix_spawnp : posix_spawn)(&pid, arguments[0], actions.get(),
                                                   attributes.get(), arguments.data(),
                                                   environment.data()) != 0) {
        return false;
    }
    // Nobody but us reaps the child, so the pid still names it here.
    const int pidfd = pidfd_open(pid, 0);
    if (pidfd < 0) {
        ::kill(-pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    pid_ = pid;
    pidfd_.reset(pidfd);
    return true;
}

void platform_process::check_started() const {
    if (pid_ == -1) {
        throw std::logic_error("The process has not run");
    }
}

std::optional<int> platform_process::try_exit_code() {
    check_started();
    siginfo_t info{};
    // WNOWAIT leaves the child unreaped, its pid still ours.
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitid");
        }
    }
    if (info.si_pid == 0) {
        return std::nullopt;
    }
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

bool platform_process::wait_for_exit(std::chrono::milliseconds timeout) {
    check_started();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto poll_ms = std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX);
        pollfd watched{.fd = pidfd_.get(), .events = POLLIN};
        const int ready = ::poll(&watched, 1, static_cast<int>(poll_ms));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
    }
}

bool platform_process::signal(int signal_number) {
    check_started();
    return pidfd_send_signal(pidfd_.get(), signal_number, nullptr, 0) == 0;
}

void platform_process::terminate() {
    check_started();
    ::kill(-pid_, SIGKILL);
}

}  // namespace platform
