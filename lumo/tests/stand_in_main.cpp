// A stand-in for the supervisor's children (the database server, Apache,
// qen). Tests link it into an installation root under the real programs'
// names; it behaves as the file beside the link says and reports what it
// sees.
//
// <argv[0]>.behaviour holds lines "KEY WORDS...": the first line whose KEY
// is "*" or occurs in one of the arguments applies. Words:
//   exit N       exits with code N at once
//   crash        dies from SIGKILL at once
//   ignore-term  ignores SIGTERM
//   event        makes the shutdown event "qen_shutdown_<pid>" and stops
//                when it is set
//   fork-worker  forks a worker that runs until SIGTERM (or forever with
//                ignore-term), like a web server's
// Without a file, or with no matching line, it runs until SIGTERM.
//
// At start it writes <argv[0]>.<pid>.seen: its pid, process group, blocked
// and ignored signals, open descriptors, the service manager's socket when it
// has one, and arguments, one per line. When
// STAND_IN_LOG names a file, it appends "start PID", "worker PID", "ready
// PID" (its signal handling and event are in place), "stop-term PID" and
// "stop-event PID" lines to it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_event.hpp"
#include "qen/shutdown_event.hpp"

namespace {

using namespace std::chrono_literals;

volatile sig_atomic_t stop_requested = 0;

void on_sigterm(int) {
    stop_requested = 1;
}

void log_event(const std::string& what) {
    const char* path = std::getenv("STAND_IN_LOG");
    if (path == nullptr) {
        return;
    }
    const std::string line = what + " " + std::to_string(::getpid()) + "\n";
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // One write per line: lines of processes writing at once stay whole.
        [[maybe_unused]] const auto written = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

// What the process was started with, taken before it opens anything.
std::string describe_self(int argc, char** argv) {
    std::ostringstream out;
    out << "pid " << ::getpid() << "\npgid " << ::getpgrp() << "\nblocked";
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (sigismember(&blocked, signal_number) == 1) {
            out << ' ' << signal_number;
        }
    }
    out << "\nignored";
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction action {};
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            out << ' ' << signal_number;
        }
    }
    out << "\nfds";
    for (int fd = 0; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            out << ' ' << fd;
        }
    }
    out << '\n';
    if (const char* notify_socket = std::getenv("NOTIFY_SOCKET")) {
        out << "notify_socket " << notify_socket << '\n';
    }
    for (int i = 0; i < argc; ++i) {
        out << "arg " << argv[i] << '\n';
    }
    return out.str();
}

std::vector<std::string> behaviour(int argc, char** argv) {
    std::ifstream file(std::string(argv[0]) + ".behaviour");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        bool applies = key == "*";
        for (int i = 1; i < argc && !applies; ++i) {
            applies = std::string(argv[i]).find(key) != std::string::npos;
        }
        if (applies) {
            std::vector<std::string> result;
            for (std::string word; words >> word;) {
                result.push_back(word);
            }
            return result;
        }
    }
    return {};
}

void run_until_stopped(platform::named_event* event) {
    while (stop_requested == 0) {
        if (event != nullptr) {
            if (event->wait_for(20ms)) {
                log_event("stop-event");
                return;
            }
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
    log_event("stop-term");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string seen = describe_self(argc, argv);
    std::ofstream(std::string(argv[0]) + "." + std::to_string(::getpid()) + ".seen") << seen;
    log_event("start");

    const std::vector<std::string> words = behaviour(argc, argv);
    const auto has = [&](const std::string& word) {
        return std::find(words.begin(), words.end(), word) != words.end();
    };
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == "exit") {
            return std::atoi(words[i + 1].c_str());
        }
    }
    if (has("crash")) {
        ::kill(::getpid(), SIGKILL);
    }

    struct sigaction action {};
    action.sa_handler = has("ignore-term") ? SIG_IGN : on_sigterm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);

    if (has("fork-worker")) {
        const pid_t worker = ::fork();
        if (worker == 0) {
            log_event("worker");
            run_until_stopped(nullptr);
            ::_exit(0);
        }
    }

    std::unique_ptr<platform::named_event> event;
    if (has("event")) {
        event = std::make_unique<platform::named_event>(qen::shutdown_event_name(::getpid()));
    }
    log_event("ready");
    run_until_stopped(event.get());
    return 0;
}
