#pragma once

#include <semaphore.h>

#include <chrono>
#include <string>

namespace platform {

// A cross-process auto-reset event known by name.
//
// Backed by a POSIX named semaphore: the event "qen_shutdown_1234" is the
// semaphore "/qen_shutdown_1234", so any process of the same user sets it
// with sem_open + sem_post (see set_named_event). The owner creates the
// semaphore, replacing a stale one left by a crashed process whose pid has
// been reused, and removes it again when destroyed.
class named_event {
  public:
    // Creates the event, unsignalled. Throws std::system_error on failure.
    explicit named_event(const std::string& name);
    ~named_event();

    named_event(const named_event&) = delete;
    named_event& operator=(const named_event&) = delete;

    // Blocks until the event is set, then resets it.
    void wait();

    // Like wait, but gives up after the timeout. Returns whether it was set.
    bool wait_for(std::chrono::milliseconds timeout);

    // Sets the event; setting an event that is already set changes nothing.
    void set();

    const std::string& name() const { return name_; }

    // The semaphore behind the event, for async-signal-safe setting.
    sem_t* native_handle() const { return semaphore_; }

  private:
    std::string name_;
    sem_t* semaphore_;
};

// The semaphore name of an event name: "/" followed by the event name.
std::string semaphore_name(const std::string& event_name);

// Sets the event of that name owned by another process (or this one).
// Returns false when no such event exists.
bool set_named_event(const std::string& name);

// Removes the event of that name, left behind by a process that was killed
// before it could remove its own. Nothing happens when there is none.
void remove_named_event(const std::string& name);

}  // namespace platform
