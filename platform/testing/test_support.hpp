#pragma once

// Helpers for tests that run real programs against our binaries on loopback.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::testing {

// A fresh directory, removed with everything in it on destruction.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& file, const std::string& content);
std::string read_file(const std::filesystem::path& file);
// The names in a folder, sorted.
std::vector<std::string> folder_entries(const std::filesystem::path& folder);

enum class transport { tcp, udp };

// A port on 127.0.0.1 that was free a moment ago.
unsigned short free_port(transport kind = transport::tcp);

// Waits for a condition that another thread or process makes true.
template <class Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool wait_for_tcp_port(unsigned short port, std::chrono::milliseconds timeout);

struct spawn_options {
    std::optional<std::filesystem::path> working_dir;
    std::map<std::string, std::string> set_env;  // added to (or replacing in) our environment
    std::vector<std::string> unset_env;
};

// A child program with its standard output and error kept in files. The
// destructor kills it (SIGKILL) if it still runs and reaps it.
class child_process {
  public:
    child_process(std::vector<std::string> argv, spawn_options options = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }

    // The exit code, or 128 + signal number when a signal ended it; nothing
    // when it still runs after the timeout.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
    bool running();

    void signal(int signal_number);

    std::string stdout_text() const;
    std::string stderr_text() const;

  private:
    temp_dir output_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

struct run_result {
    int exit_code = -1;  // -1: killed after the timeout
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after the timeout).
run_result run(std::vector<std::string> argv, std::chrono::milliseconds timeout,
               spawn_options options = {});

// Whether a program can be found on PATH.
bool have_program(const std::string& name);

// The resident memory of this process, in bytes. Under AddressSanitizer it
// includes the freed memory the sanitizer keeps aside (its quarantine): a
// test that measures memory keeps that small.
std::uint64_t own_resident_bytes();

}  // namespace platform::testing
