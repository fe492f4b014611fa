#pragma once

#include <signal.h>

#include "platform/named_event.hpp"

namespace platform {

// Holds SIGTERM and SIGINT pending in the calling thread and in every thread
// it starts afterwards. Call at the top of main, before any thread exists, so
// that a stop request that arrives during start-up waits for the program to
// be ready to handle it instead of killing it.
void hold_termination_signals();

// The signals a service takes as controls on a thread of its own (see
// TService): SIGTERM, and SIGINT, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2.
sigset_t control_signals();

// Holds the control signals pending in the calling thread and in every thread
// it starts afterwards, so that only the thread that waits for them takes
// them. Call at the top of main, before any thread exists.
void hold_control_signals();

// While alive, SIGTERM and SIGINT set the given event: the usual way to ask a
// Linux server to stop becomes the same as setting its shutdown event.
// Delivers the signals to the constructing thread only, which is expected to
// be the one waiting on the event; one forwarder at a time per process.
class termination_signal_forwarder {
  public:
    explicit termination_signal_forwarder(named_event& event);
    ~termination_signal_forwarder();

    termination_signal_forwarder(const termination_signal_forwarder&) = delete;
    termination_signal_forwarder& operator=(const termination_signal_forwarder&) = delete;
};

}  // namespace platform
