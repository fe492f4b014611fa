#include "platform/named_event.hpp"

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <system_error>

namespace platform {
namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Posts unless the semaphore already holds a post, so that repeated sets
// behave like setting an event: one waiter wakes once.
void post_once(sem_t* semaphore) {
    int value = 0;
    if (sem_getvalue(semaphore, &value) == 0 && value > 0) {
        return;
    }
    sem_post(semaphore);
}

}  // namespace

std::string semaphore_name(const std::string& event_name) {
    return "/" + event_name;
}

named_event::named_event(const std::string& name) : name_(name) {
    const std::string path = semaphore_name(name_);
    sem_unlink(path.c_str());
    semaphore_ = sem_open(path.c_str(), O_CREAT | O_EXCL, 0600, 0);
    if (semaphore_ == SEM_FAILED) {
        throw_errno("sem_open " + path);
    }
}

named_event::~named_event() {
    sem_close(semaphore_);
    sem_unlink(semaphore_name(name_).c_str());
}

void named_event::wait() {
    while (sem_wait(semaphore_) != 0) {
        if (errno != EINTR) {
            throw_errno("sem_wait " + name_);
        }
    }
}

bool named_event::wait_for(std::chrono::milliseconds timeout) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const auto total_ns = deadline.tv_nsec + std::chrono::nanoseconds(timeout).count();
    deadline.tv_sec += static_cast<time_t>(total_ns / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(total_ns % 1'000'000'000);
    while (sem_timedwait(semaphore_, &deadline) != 0) {
        if (errno == ETIMEDOUT) {
            return false;
        }
        if (errno != EINTR) {
            throw_errno("sem_timedwait " + name_);
        }
    }
    return true;
}

void named_event::set() {
    post_once(semaphore_);
}

bool set_named_event(const std::string& name) {
    sem_t* semaphore = sem_open(semaphore_name(name).c_str(), 0);
    if (semaphore == SEM_FAILED) {
        return false;
    }
    post_once(semaphore);
    sem_close(semaphore);
    return true;
}

void remove_named_event(const std::string& name) {
    sem_unlink(semaphore_name(name).c_str());
}

}  // namespace platform
