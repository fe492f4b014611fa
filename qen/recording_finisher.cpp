#include "qen/recording_finisher.hpp"

#include <algorithm>
#include <iterator>

namespace qen {

recording_finisher::recording_finisher() : thread_([this] { run(); }) {}

recording_finisher::~recording_finisher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void recording_finisher::finish(std::unique_ptr<qen_stream_recorder> recorder) {
    if (!recorder) {
        return;
    }
    qen_stream_recorder& handed = *recorder;
    std::string base_path = recorder->base_path();
    finishing* entry = nullptr;
    {
        std::lock_guard lock(mutex_);
        entry = &finishing_.emplace_back(finishing{std::move(recorder), std::move(base_path)});
    }
    // Outside the lock: a recorder without a thread of its own is done at
    // once, on this thread.
    handed.finish_in_background([this, entry] {
        std::vector<waiter> ready;
        {
            std::lock_guard lock(mutex_);
            entry->complete = true;
            const std::string& base_path = entry->base_path;
            if (!still_finishing(base_path)) {
                const auto first_ready = std::stable_partition(
                    waiting_.begin(), waiting_.end(),
                    [&](const waiter& w) { return w.base_path != base_path; });
                std::move(first_ready, waiting_.end(), std::back_inserter(ready));
                waiting_.erase(first_ready, waiting_.end());
            }
        }
        changed_.notify_all();
        // Before the recorder is given up, so that whoever waits for every
        // finish knows that what came after them has started.
        for (waiter& w : ready) {
            w.then();
        }
        // Notified under the lock: once it is free, the finisher may destroy
        // the recorder and then itself, condition variable included, while
        // this thread would still be inside the notification.
        std::lock_guard lock(mutex_);
        entry->done = true;
        changed_.notify_all();
    });
}

bool recording_finisher::still_finishing(const std::string& base_path) const {
    return std::any_of(finishing_.begin(), finishing_.end(),
                       [&](const finishing& f) { return !f.complete && f.base_path == base_path; });
}

void recording_finisher::wait_until_finished(const std::string& base_path) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !still_finishing(base_path); });
}

void recording_finisher::wait_until_all_finished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return std::all_of(finishing_.begin(), finishing_.end(),
                           [](const finishing& f) { return f.done; });
    });
}

void recording_finisher::after_finished(const std::string& base_path, std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        if (still_finishing(base_path)) {
            waiting_.push_back({base_path, std::move(then)});
            return;
        }
    }
    then();
}

bool recording_finisher::any_done() const {
    return std::any_of(finishing_.begin(), finishing_.end(),
                       [](const finishing& f) { return f.done; });
}

void recording_finisher::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return any_done() || (stopping_ && finishing_.empty()); });
        if (finishing_.empty()) {
            return;
        }
        std::list<finishing> done;
        for (auto it = finishing_.begin(); it != finishing_.end();) {
            const auto next = std::next(it);
            if (it->done) {
                done.splice(done.end(), finishing_, it);
            }
            it = next;
        }
        lock.unlock();
        // Their threads have nothing left to do but end.
        done.clear();
        lock.lock();
    }
}

}  // namespace qen
