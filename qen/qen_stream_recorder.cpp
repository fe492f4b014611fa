#include "qen/qen_stream_recorder.hpp"

#include <filesystem>
#include <iostream>
#include <span>
#include <stdexcept>

namespace qen {

qen_stream_recorder::qen_stream_recorder(const std::vector<std::string>& formats,
                                         const std::string& base_path)
    : qen_stream_recorder(formats, base_path, options{}) {}

qen_stream_recorder::qen_stream_recorder(const std::vector<std::string>& formats,
                                         const std::string& base_path, options settings)
    : base_path_(base_path), options_(std::move(settings)) {
    lock_file_.exceptions(std::ios::failbit | std::ios::badbit);
    lock_file_.open(std::filesystem::path(base_path + ".locked"));
    lock_file_ << "lock" << std::flush;
    for (const auto& format : formats) {
        if (!add_format(format, base_path)) {
            writer_.reset();
            throw std::runtime_error("Can't build format recorder");
        }
    }
    if (writer_) {
        accepting_ = true;
        thread_ = std::thread([this] { run(); });
    }
}

qen_stream_recorder::~qen_stream_recorder() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

bool qen_stream_recorder::add_format(const std::string& format, const std::string& base_path) {
    if (format != "zpk") {
        return true;
    }
    try {
        const std::filesystem::path base(base_path);
        writer_ = std::make_unique<segment_writer>(base.parent_path(), base.filename().string(),
                                                   true, false);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

rtmp::player_callbacks qen_stream_recorder::sinks() {
    rtmp::player_callbacks callbacks;
    callbacks.video = [this](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        on_video(data, size, time);
    };
    callbacks.audio = [this](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        on_audio(data, size, time);
    };
    callbacks.data = [this](buffer_reader& message, std::uint32_t time) { on_data(message, time); };
    return callbacks;
}

void qen_stream_recorder::on_video(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    queue(operation::video, timestamp, data, size);
}

void qen_stream_recorder::on_audio(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    queue(operation::audio, timestamp, data, size);
}

void qen_stream_recorder::on_data(const buffer_reader& message, std::uint32_t timestamp) {
    // The writer keeps an "onMetaData" message as the recording's metadata.
    queue(operation::data, timestamp, message.data + message.pos, message.remaining());
}

void qen_stream_recorder::end_as_vod() {
    queue(operation::end_as_vod, 0, nullptr, 0);
}

void qen_stream_recorder::end_as_fake_live() {
    queue(operation::end_as_fake_live, 0, nullptr, 0);
}

bool qen_stream_recorder::recording() const {
    std::lock_guard lock(mutex_);
    return accepting_ && !ending_;
}

std::string qen_stream_recorder::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

void qen_stream_recorder::finish_in_background(std::function<void()> finished) {
    if (!thread_.joinable()) {
        close_lock_file();
        finished();
        return;
    }
    // Notified under the lock: once it is released, the recorder's thread
    // may finish, and the recorder be destroyed, before this returns.
    std::lock_guard lock(mutex_);
    accepting_ = false;
    stopping_ = true;
    finished_ = std::move(finished);
    wake_.notify_one();
}

void qen_stream_recorder::close_lock_file() noexcept {
    try {
        lock_file_.close();
    } catch (const std::exception& e) {
        // The lock goes all the same; the file only says "lock".
        std::cerr << "Recording " << base_path_ << ": closing the lock file: " << e.what()
                  << std::endl;
    }
}

void qen_stream_recorder::wait_until_written() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queued_count_;
    written_.wait(lock, [&] { return written_count_ >= target || !thread_.joinable(); });
}

// On the publisher's thread: a copy goes into the queue, whatever the disk
// is doing.
void qen_stream_recorder::queue(operation what, std::uint32_t timestamp, const std::uint8_t* data,
                                std::uint32_t size) {
    std::unique_lock lock(mutex_);
    if (!accepting_) {
        return;
    }
    if (what == operation::end_as_vod || what == operation::end_as_fake_live) {
        // What follows is still queued: the recorder's thread drops it once
        // the end has been written, and writes it when the end fails.
        ending_ = true;
    } else if (queued_bytes_ + size > options_.queue_limit) {
        stop_recording(lock, "the disk does not keep up");
        return;
    }
    queue_.push_back({what, timestamp, std::vector<std::uint8_t>(data, data + size)});
    queued_bytes_ += size;
    ++queued_count_;
    lock.unlock();
    wake_.notify_one();
}

void qen_stream_recorder::stop_recording(std::unique_lock<std::mutex>& lock,
                                         const std::string& reason) {
    accepting_ = false;
    drop_writer_ = true;
    if (failure_.empty()) {
        failure_ = reason;
    }
    lock.unlock();
    wake_.notify_one();
    std::cerr << "Recording " << base_path_ << " stopped: " << reason << std::endl;
}

void qen_stream_recorder::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return !queue_.empty() || stopping_ || drop_writer_; });
        if (queue_.empty()) {
            if (drop_writer_ && writer_) {
                // Ended or stopped: finishing saves the index, here too.
                lock.unlock();
                writer_.reset();
                lock.lock();
                continue;
            }
            if (stopping_) {
                break;
            }
            if (drop_writer_) {
                // Nothing more to do until the recorder goes.
                wake_.wait(lock, [&] { return stopping_; });
                break;
            }
            continue;
        }
        work item = std::move(queue_.front());
        queue_.pop_front();
        const bool last_queued = queue_.empty();
        lock.unlock();
        perform(item);
        if (last_queued) {
            // What waits in the writer goes to the file: a kill loses no
            // more than the queue held.
            write_out();
        }
        lock.lock();
        queued_bytes_ -= item.body.size();
        ++written_count_;
        written_.notify_all();
    }
    lock.unlock();
    // The last of the recording, off the io threads as the rest; the next
    // publisher of the name may come in once it is complete.
    writer_.reset();
    close_lock_file();
    lock.lock();
    written_count_ = queued_count_;
    written_.notify_all();
    const auto finished = std::move(finished_);
    lock.unlock();
    if (finished) {
        finished();
    }
}

void qen_stream_recorder::write_out() {
    if (!writer_) {
        return;
    }
    try {
        writer_->flush();
    } catch (const std::exception& e) {
        writer_.reset();
        std::unique_lock lock(mutex_);
        stop_recording(lock, e.what());
    }
}

void qen_stream_recorder::ended() {
    writer_.reset();
    std::lock_guard lock(mutex_);
    accepting_ = false;
}

// On the recorder's thread.
void qen_stream_recorder::perform(work& item) {
    if (!writer_) {
        return;
    }
    const std::span<const std::uint8_t> body(item.body);
    try {
        if (options_.before_write) {
            options_.before_write();
        }
        switch (item.what) {
            case operation::video:
                writer_->on_video(item.timestamp, body);
                break;
            case operation::audio:
                writer_->on_audio(item.timestamp, body);
                break;
            case operation::data:
                writer_->on_data(item.timestamp, body);
                break;
            case operation::end_as_vod:
                writer_->end_as_vod();
                ended();
                break;
            case operation::end_as_fake_live:
                writer_->end_as_fake_live();
                ended();
                break;
        }
    } catch (const std::exception& e) {
        if (item.what == operation::end_as_vod || item.what == operation::end_as_fake_live) {
            // The recording goes on as it was, with the messages queued
            // after the end.
            std::lock_guard lock(mutex_);
            ending_ = false;
            return;
        }
        // The publish goes on without its recording; what was written stays
        // readable and resumable.
        writer_.reset();
        std::unique_lock lock(mutex_);
        stop_recording(lock, e.what());
    }
}

}  // namespace qen
