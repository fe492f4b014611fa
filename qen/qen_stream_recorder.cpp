#include "qen/qen_stream_recorder.hpp"

#include <algorithm>
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
    : qen_stream_recorder(nullptr, formats, base_path, std::move(settings)) {}

qen_stream_recorder::qen_stream_recorder(recording_lane& lane,
                                         const std::vector<std::string>& formats,
                                         const std::string& base_path, options settings)
    : qen_stream_recorder(&lane, formats, base_path, std::move(settings)) {}

qen_stream_recorder::qen_stream_recorder(recording_lane* lane,
                                         const std::vector<std::string>& formats,
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
    if (writer_ && lane == nullptr) {
        own_lane_ = std::make_unique<recording_lane>();
        lane = own_lane_.get();
    }
    if (writer_) {
        take_lane(lane);
    }
}

void qen_stream_recorder::open(recording_writers& writers, std::vector<std::string> formats,
                               std::string base_path, options settings, opened_handler opened) {
    recording_lane& lane = writers.pick();
    lane.file_work([&lane, formats = std::move(formats), base_path = std::move(base_path),
                    settings = std::move(settings), opened = std::move(opened)]() mutable {
        std::unique_ptr<qen_stream_recorder> recorder;
        std::string failure;
        try {
            recorder = std::make_unique<qen_stream_recorder>(lane, formats, base_path,
                                                             std::move(settings));
        } catch (const std::exception& e) {
            failure = e.what();
        }
        opened(std::move(recorder), std::move(failure));
    });
}

// The writer's slow work goes to the lane's file thread; a failure there
// stops the recording as one on the writer thread does.
void qen_stream_recorder::take_lane(recording_lane* lane) {
    lane_ = lane;
    writer_->defer_file_work([this](segment_writer::file_work work) {
        lane_->file_work([this, work = std::move(work)] {
            try {
                work();
            } catch (const std::exception& e) {
                std::unique_lock lock(mutex_);
                stop_recording(lock, e.what());
            }
        });
    });
    accepting_ = true;
    lane_->add(*this);
}

qen_stream_recorder::~qen_stream_recorder() {
    if (lane_ == nullptr) {
        return;  // wrote nothing; the lock file closes with its member
    }
    std::unique_lock lock(mutex_);
    if (!finishing_) {
        finishing_ = true;
        accepting_ = false;
        lock.unlock();
        lane_->wake();
        lock.lock();
    }
    written_.wait(lock, [this] { return finished_; });
    lock.unlock();
    lane_->remove(*this);
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
    callbacks.message = [this](std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                               std::uint32_t timestamp,
                               const std::shared_ptr<const rtmp::live_message>& kept) {
        queue(operation::message, type, data, size, timestamp, kept);
    };
    return callbacks;
}

void qen_stream_recorder::on_video(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    queue(operation::message, rtmp::message_type::video, data, size, timestamp, nullptr);
}

void qen_stream_recorder::on_audio(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    queue(operation::message, rtmp::message_type::audio, data, size, timestamp, nullptr);
}

void qen_stream_recorder::on_data(const buffer_reader& message, std::uint32_t timestamp) {
    // The writer keeps an "onMetaData" message as the recording's metadata.
    queue(operation::message, rtmp::message_type::data_amf0, message.data + message.pos,
          message.remaining(), timestamp, nullptr);
}

void qen_stream_recorder::end_as_vod() {
    queue(operation::end_as_vod, 0, nullptr, 0, 0, nullptr);
}

void qen_stream_recorder::end_as_fake_live() {
    queue(operation::end_as_fake_live, 0, nullptr, 0, 0, nullptr);
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
    if (lane_ == nullptr) {
        close_lock_file();
        finished();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        finishing_ = true;
        when_finished_ = std::move(finished);
    }
    lane_->wake();
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
    if (lane_ == nullptr) {
        return;
    }
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++written_wanted_;
    lock.unlock();
    lane_->wake();
    lock.lock();
    written_.wait(lock, [&] { return written_done_ >= ticket || finished_; });
}

// On the publisher's thread: the live stream's copy of the message is kept,
// or else the bytes copied into a block that many messages share; and
// nothing is woken unless the writer falls a write's worth behind.
void qen_stream_recorder::queue(operation what, std::uint8_t type, const std::uint8_t* data,
                                std::uint32_t size, std::uint32_t timestamp,
                                std::shared_ptr<const void> kept) {
    std::unique_lock lock(mutex_);
    if (!accepting_) {
        return;
    }
    if (what != operation::message) {
        // What follows is still queued: the writer drops it once the end has
        // been written, and writes it when the end fails.
        ending_ = true;
    } else if (queued_bytes_ + size > options_.queue_limit) {
        stop_recording(lock, "the disk does not keep up");
        return;
    }
    if (what == operation::message && kept == nullptr) {
        copy(data, size);
    }
    const bool early =
        queued_bytes_ < write_early_bytes && queued_bytes_ + size >= write_early_bytes;
    queue_.push_back({what, type, timestamp, {data, size}, std::move(kept)});
    queued_bytes_ += size;
    lock.unlock();
    if (early || what != operation::message) {
        lane_->wake();
    }
}

// Blocks go round between the two threads under the lock, whole: no count
// of references per message, and no allocation while the writer keeps up.
void qen_stream_recorder::copy(const std::uint8_t*& data, std::uint32_t size) {
    if (block_.size - block_used_ < size) {
        if (block_.bytes) {
            filled_blocks_.push_back(std::move(block_));
        }
        if (size <= copy_block_bytes && !spare_blocks_.empty()) {
            block_ = std::move(spare_blocks_.back());
            spare_blocks_.pop_back();
        } else {
            block_.size = std::max<std::size_t>(copy_block_bytes, size);
            block_.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(block_.size);
        }
        block_used_ = 0;
    }
    // The writer reads the bytes before these, the publisher's thread
    // writes these: they never share a byte.
    std::uint8_t* into = block_.bytes.get() + block_used_;
    std::copy_n(data, size, into);
    block_used_ += size;
    data = into;
}

void qen_stream_recorder::stop_recording(std::unique_lock<std::mutex>& lock,
                                         const std::string& reason) {
    const bool first = failure_.empty();
    accepting_ = false;
    drop_writer_ = true;
    if (first) {
        failure_ = reason;
    }
    lock.unlock();
    lane_->wake();
    if (first) {
        std::cerr << "Recording " << base_path_ << " stopped: " << reason << std::endl;
    }
}

// On the writer thread: what the publisher sent since the last turn, in one
// write.
bool qen_stream_recorder::serve() {
    bool finish = false;
    bool drop = false;
    std::uint64_t wanted = 0;
    {
        std::lock_guard lock(mutex_);
        batch_.swap(queue_);
        // The block being filled stays with the publisher's thread; the
        // bodies this batch has in it are before what it copies next.
        batch_blocks_.swap(filled_blocks_);
        finish = finishing_;
        wanted = written_wanted_;
    }
    std::size_t bytes = 0;
    for (const work& item : batch_) {
        bytes += item.body.size();
        perform(item);
    }
    batch_.clear();
    {
        // Stopped: what was taken before is written, and then the writer
        // goes; what was written stays readable and resumable.
        std::lock_guard lock(mutex_);
        drop = drop_writer_ && queue_.empty();
    }
    if (drop && writer_) {
        writer_.reset();
    }
    // The writer holds no tag after this: the blocks are free again.
    write_out();
    {
        std::lock_guard lock(mutex_);
        queued_bytes_ -= bytes;
        for (copy_block& block : batch_blocks_) {
            if (spare_blocks_.size() < spare_copy_blocks && block.size == copy_block_bytes) {
                spare_blocks_.push_back(std::move(block));
            }
        }
    }
    batch_blocks_.clear();
    if (finish) {
        finish_on_lane();
        return false;
    }
    if (wanted != 0) {
        // Written once the file work this turn made is done too.
        lane_->file_work([this, wanted] {
            std::lock_guard lock(mutex_);
            written_done_ = std::max(written_done_, wanted);
            written_.notify_all();
        });
    }
    return true;
}

// The last of the recording, off the io threads as the rest; the next
// publisher of the name may come in once it is complete.
void qen_stream_recorder::finish_on_lane() {
    writer_.reset();
    lane_->file_work([this] {
        close_lock_file();
        std::function<void()> finished;
        {
            std::lock_guard lock(mutex_);
            finished = std::move(when_finished_);
            finished_ = true;
            written_.notify_all();
        }
        // The recorder may be gone from here on.
        if (finished) {
            finished();
        }
    });
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

// On the writer thread. A body in a copy block is the recorder's until the
// turn's write is over, which the writer's hold on it never outlasts.
void qen_stream_recorder::perform(const work& item) {
    if (!writer_) {
        return;
    }
    try {
        if (options_.before_write) {
            options_.before_write();
        }
        // Says "kept" to the writer without counting a reference.
        const std::shared_ptr<const void> owner =
            item.owner
                ? item.owner
                : std::shared_ptr<const void>(std::shared_ptr<const void>(), item.body.data());
        switch (item.what) {
            case operation::message:
                switch (item.type) {
                    case rtmp::message_type::video:
                        writer_->on_video(item.timestamp, item.body, owner);
                        break;
                    case rtmp::message_type::audio:
                        writer_->on_audio(item.timestamp, item.body, owner);
                        break;
                    case rtmp::message_type::data_amf0:
                        writer_->on_data(item.timestamp, item.body, owner);
                        break;
                    default:
                        break;
                }
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
        if (item.what != operation::message) {
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
