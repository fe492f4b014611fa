#include "qen/recording_finisher.hpp"

#include <algorithm>

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
    finishing* entry = nullptr;
    {
        std::lock_guard lock(mutex_);
        entry = &finishing_.emplace_back(finishing{std::move(recorder)});
    }
    // Outside the lock: a recorder without a thread of its own is done at
    // once, on this thread.
    handed.finish_in_background([this, entry] {
        {
            std::lock_guard lock(mutex_);
            entry->done = true;
        }
        changed_.notify_all();
    });
}

void recording_finisher::wait_until_finished(const std::string& base_path) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return std::none_of(finishing_.begin(), finishing_.end(), [&](const finishing& f) {
            return !f.done && f.recorder->base_path() == base_path;
        });
    });
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
