#pragma once

// Process groups seen from outside, for tests whose children fork.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <vector>

namespace platform::testing {

// The processes of a group that have not ended (zombies do not count).
std::vector<pid_t> live_processes_in_group(pid_t group);

// The children of a process that have not ended.
std::vector<pid_t> live_children_of(pid_t parent);

// When a process started, in clock ticks after boot; nothing when there is
// no such process.
std::optional<unsigned long long> process_start_time(pid_t pid);

// Whether a process has a handler of its own for the signal (its caught
// signals in /proc); false when there is no such process.
bool catches_signal(pid_t pid, int signal_number);

// Whether every process of the group ends within the timeout.
bool wait_group_gone(pid_t group, std::chrono::milliseconds timeout);

// Kills the groups it was given that still have live processes when it is
// destroyed, so that a failing test leaves nothing running. A group is
// known by its leader, seen when added: the leader may have been reaped
// since, and its id given to another process.
class group_killer {
  public:
    group_killer() = default;
    ~group_killer();
    group_killer(const group_killer&) = delete;
    group_killer& operator=(const group_killer&) = delete;

    // The group of a running leader.
    void add(pid_t group);

  private:
    std::map<pid_t, unsigned long long> groups_;  // group -> its leader's start time
};

}  // namespace platform::testing
