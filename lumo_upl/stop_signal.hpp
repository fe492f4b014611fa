#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumo_upl {

// A stop request for worker threads: polled between steps, and it ends a
// worker's pause at once, so that joining a worker never waits for a
// pause to run out.
class stop_signal {
  public:
    bool is_set() const { return set_; }

    void set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }

    void clear() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }

    // Waits until `deadline` or the request; true when stopped.
    bool wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return set_.load(); });
    }

    bool wait_for(std::chrono::steady_clock::duration pause) {
        return wait_until(std::chrono::steady_clock::now() + pause);
    }

  private:
    std::atomic<bool> set_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace lumo_upl
