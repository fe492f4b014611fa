#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "foundation/unique_fd.hpp"

namespace platform {

// One child process, started from an argument vector.
//
// The child starts clean whatever the parent does with its own state: no
// blocked signals, every signal at its default disposition, only descriptors
// 0-2 inherited (sockets of the parent are not close-on-exec), the parent's
// environment without NOTIFY_SOCKET (the service manager listens there to the
// parent alone), and a process group of its own, so that a terminal's Ctrl+C
// reaches the parent only and terminate() reaches every process the child
// has forked.
//
// The handle is a pidfd taken right after the start. Waits poll it and
// signals go through it. The child is reaped only by the destructor, so until
// then its pid, and with it its process group id, cannot belong to anyone
// else.
class platform_process {
  public:
    // argv[0] is the program's path; a name without a "/" is looked up along
    // PATH, as a shell does.
    platform_process(std::vector<std::string> argv, bool wait_on_destroy);
    // Closes the handle. A child that has ended is reaped; one still running
    // is waited for without a time limit when wait_on_destroy is set, and
    // left to run otherwise.
    virtual ~platform_process();

    platform_process(const platform_process&) = delete;
    platform_process& operator=(const platform_process&) = delete;

    // Starts the child with this process's environment and working folder.
    // False when it cannot be started (no such program, not executable...).
    // Throws std::logic_error "The process has run already" on a second call.
    bool run();

    // The operations below throw std::logic_error "The process has not run"
    // before run().

    // The exit code once the child has ended (128 + the signal's number when
    // a signal ended it); nothing while it runs. Does not reap it.
    std::optional<int> try_exit_code();

    // Whether the child ends within the timeout.
    bool wait_for_exit(std::chrono::milliseconds timeout);

    // Sends a signal to the child alone; false when it could not be sent.
    bool signal(int signal_number);

    // Kills the child's whole process group (SIGKILL): the child, whatever
    // it has forked, and what is left of the group after the child ended.
    void terminate();

    // The child's process id, which is also its process group id; -1 before
    // run().
    pid_t id() const { return pid_; }
    const std::vector<std::string>& argv() const { return argv_; }

  private:
    void check_started() const;

    std::vector<std::string> argv_;
    bool wait_on_destroy_;
    pid_t pid_ = -1;
    unique_fd pidfd_;
};

}  // namespace platform
