#include "platform/termination_signals.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <stdexcept>

namespace platform {
namespace {

// A signal handler can reach nothing but globals; this is the one semaphore
// that the running forwarder posts to.
std::atomic<sem_t*> forwarded_semaphore{nullptr};

void on_termination_signal(int) {
    if (sem_t* semaphore = forwarded_semaphore.load()) {
        sem_post(semaphore);  // async-signal-safe
    }
}

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void hold(const sigset_t& set) {
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

void hold_termination_signals() {
    hold(termination_signals());
}

sigset_t control_signals() {
    sigset_t set = termination_signals();
    for (const int number : {SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&set, number);
    }
    return set;
}

void hold_control_signals() {
    hold(control_signals());
}

termination_signal_forwarder::termination_signal_forwarder(named_event& event) {
    sem_t* expected = nullptr;
    if (!forwarded_semaphore.compare_exchange_strong(expected, event.native_handle())) {
        throw std::logic_error("termination signals are already forwarded");
    }
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    const sigset_t set = termination_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

termination_signal_forwarder::~termination_signal_forwarder() {
    const sigset_t set = termination_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    forwarded_semaphore.store(nullptr);
}

}  // namespace platform
