#include "qen/recording_writers.hpp"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <iostream>

namespace qen {

recording_lane::recording_lane() : writer_([this] { write(); }), files_([this] { work_files(); }) {
    // Named for whoever looks at the process (top -H, perf, bench/ingest.sh).
    ::pthread_setname_np(writer_.native_handle(), "qen-rec-write");
    ::pthread_setname_np(files_.native_handle(), "qen-rec-files");
}

recording_lane::~recording_lane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
    {
        std::lock_guard lock(file_mutex_);
        file_stopping_ = true;
    }
    file_changed_.notify_all();
    files_.join();
}

void recording_lane::add(served_recording& recording) {
    std::lock_guard lock(mutex_);
    recordings_.push_back(&recording);
}

void recording_lane::remove(served_recording& recording) {
    std::unique_lock lock(mutex_);
    std::erase(recordings_, &recording);
    changed_.wait(lock, [&] { return serving_ != &recording; });
}

void recording_lane::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

void recording_lane::file_work(std::function<void()> work) {
    {
        std::lock_guard lock(file_mutex_);
        file_work_.push_back(std::move(work));
    }
    file_changed_.notify_one();
}

void recording_lane::write() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        changed_.wait_for(lock, turn, [this] { return woken_ || stopping_; });
        woken_ = false;
        // Recordings come and go while the lock is released.
        const std::vector<served_recording*> turn_of = recordings_;
        for (served_recording* recording : turn_of) {
            if (std::find(recordings_.begin(), recordings_.end(), recording) == recordings_.end()) {
                continue;
            }
            serving_ = recording;
            lock.unlock();
            bool more = false;
            try {
                more = recording->serve();
            } catch (const std::exception& e) {
                // A recording deals with its own failures; this one is lost.
                std::cerr << "Recording writer: " << e.what() << std::endl;
            }
            lock.lock();
            serving_ = nullptr;
            if (!more) {
                std::erase(recordings_, recording);
            }
            changed_.notify_all();
        }
    }
}

void recording_lane::work_files() {
    std::unique_lock lock(file_mutex_);
    for (;;) {
        file_changed_.wait(lock, [this] { return !file_work_.empty() || file_stopping_; });
        if (file_work_.empty()) {
            return;
        }
        std::function<void()> work = std::move(file_work_.front());
        file_work_.pop_front();
        file_working_ = true;
        lock.unlock();
        try {
            work();
        } catch (const std::exception& e) {
            std::cerr << "Recording file work: " << e.what() << std::endl;
        }
        work = nullptr;
        lock.lock();
        file_working_ = false;
        file_changed_.notify_all();
    }
}

void recording_lane::wait_until_idle() {
    std::unique_lock lock(file_mutex_);
    file_changed_.wait(lock, [this] { return file_work_.empty() && !file_working_; });
}

recording_writers::recording_writers(std::size_t lanes) {
    lanes_.reserve(std::max<std::size_t>(lanes, 1));
    for (std::size_t i = 0; i < std::max<std::size_t>(lanes, 1); ++i) {
        lanes_.push_back(std::make_unique<recording_lane>());
    }
}

void recording_writers::wait_until_idle() {
    for (const auto& lane : lanes_) {
        lane->wait_until_idle();
    }
}

recording_lane& recording_writers::pick() {
    return *lanes_[next_.fetch_add(1, std::memory_order_relaxed) % lanes_.size()];
}

}  // namespace qen
