#include "platform/testing/process_groups.hpp"

#include "platform/testing/test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace platform::testing {
namespace {

struct process_stat {
    char state = 0;
    pid_t parent = 0;
    pid_t group = 0;
    unsigned long long start_time = 0;  // clock ticks after boot
};

std::optional<process_stat> read_stat(const std::string& pid) {
    // Plain reads: a process that ends meanwhile fails the read (ESRCH),
    // which a stream would throw.
    std::string stat;
    const int fd = ::open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char buffer[1024];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        stat.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    // "pid (command) state ppid pgrp ...": the command may hold spaces and
    // parentheses, so the fields are counted from the last ')'.
    const auto command_end = stat.rfind(')');
    if (command_end == std::string::npos) {
        return std::nullopt;  // ended while we looked
    }
    std::istringstream fields(stat.substr(command_end + 1));
    process_stat result;
    std::string skipped;
    fields >> result.state >> result.parent >> result.group;
    for (int field = 6; field < 22; ++field) {
        fields >> skipped;
    }
    fields >> result.start_time;
    if (!fields) {
        return std::nullopt;
    }
    return result;
}

// The processes that have not ended (zombies do not count) and match.
template <typename Predicate>
std::vector<pid_t> live_processes(Predicate matches) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const auto stat = read_stat(name);
        if (stat && stat->state != 'Z' && stat->state != 'X' && matches(*stat)) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return found;
}

}  // namespace

std::vector<pid_t> live_processes_in_group(pid_t group) {
    return live_processes([group](const process_stat& stat) { return stat.group == group; });
}

std::vector<pid_t> live_children_of(pid_t parent) {
    return live_processes([parent](const process_stat& stat) { return stat.parent == parent; });
}

bool catches_signal(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigCgt:")) {
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal_number - 1)) & 1;
        }
    }
    return false;
}

std::optional<unsigned long long> process_start_time(pid_t pid) {
    const auto stat = read_stat(std::to_string(pid));
    if (!stat) {
        return std::nullopt;
    }
    return stat->start_time;
}

bool wait_group_gone(pid_t group, std::chrono::milliseconds timeout) {
    return eventually([group] { return live_processes_in_group(group).empty(); }, timeout);
}

void group_killer::add(pid_t group) {
    if (const auto leader = read_stat(std::to_string(group))) {
        groups_.emplace(group, leader->start_time);
    }
}

group_killer::~group_killer() {
    for (const auto& [group, leader_start] : groups_) {
        if (live_processes_in_group(group).empty()) {
            continue;
        }
        // While a group has members its id is not given to a new process,
        // so with the leader gone the members are those of our group; a
        // leader of that id that started at another time leads another.
        const auto leader = read_stat(std::to_string(group));
        if (!leader || leader->start_time == leader_start) {
            ::kill(-group, SIGKILL);
        }
    }
}

}  // namespace platform::testing
