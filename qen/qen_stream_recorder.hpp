#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/exclusive_ofstream.hpp"
#include "foundation/segment_writer.hpp"
#include "rtmp/rtmp_live_streams.hpp"

namespace qen {

// Records one publish: holds the recording's lock file (the name's
// ".locked" file, kept open without sharing for the recorder's life, which
// keeps a second publisher of the name out) and writes the publisher's
// messages with the format's writer.
//
// The writing happens on a thread of the recorder's own: the sinks only
// queue a copy of each message, so a slow or stalled disk never holds up the
// live stream (whose lock the sinks run under) or an io thread. The queue is
// bounded: when the disk falls that far behind, the recording stops there,
// with "the disk does not keep up" as its reason, and what was written stays
// readable and resumable; the live stream goes on.
//
// The sinks and the end commands come from the publisher's thread, one at a
// time and in the order of the publish.
class qen_stream_recorder {
  public:
    // What the queue may hold before the recording stops.
    static constexpr std::size_t default_queue_limit = 32u << 20;

    struct options {
        std::size_t queue_limit = default_queue_limit;
        // Runs on the recorder's thread before each write: a test's stalled
        // disk, or by throwing a failing one.
        std::function<void()> before_write;
    };

    // Takes the lock file of `base_path` (the application's directory and the
    // stream name) and builds the writer of each format. Throws when the lock
    // is held by another recorder, or "Can't build format recorder".
    qen_stream_recorder(const std::vector<std::string>& formats, const std::string& base_path);
    qen_stream_recorder(const std::vector<std::string>& formats, const std::string& base_path,
                        options settings);

    // Writes what is queued, finishes the recording (it stays resumable by
    // the next publish of the name) and closes the lock file; after
    // finish_in_background, only waits for its thread to end.
    ~qen_stream_recorder();

    qen_stream_recorder(const qen_stream_recorder&) = delete;
    qen_stream_recorder& operator=(const qen_stream_recorder&) = delete;

    // Builds the writer of one format: "zpk" records segments; any other
    // format records nothing but still counts as added.
    bool add_format(const std::string& format, const std::string& base_path);

    // The sinks of the published live stream.
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    // The message starts at the reader's position, which is left as it was.
    void on_data(const buffer_reader& message, std::uint32_t timestamp);
    // The three sinks, to register with the live stream.
    rtmp::player_callbacks sinks();

    // The publisher ends the recording early, after what it sent before;
    // later messages are not recorded. An exception while ending leaves
    // the writer in place, and the later messages are recorded after all.
    void end_as_vod();
    void end_as_fake_live();

    // Messages are recorded: a writer was built and the recording has
    // neither been ended nor stopped.
    bool recording() const;
    // Why the recording stopped early; empty while it has not.
    std::string failure() const;
    // Blocks until everything queued so far has been written.
    void wait_until_written();

    // The publish has ended: no further message is taken, and the recorder's
    // thread writes what is queued, finishes the recording, closes the lock
    // file and then calls `finished` (at once, on this thread, for a
    // recorder that writes nothing). Returns without waiting for the disk.
    void finish_in_background(std::function<void()> finished);

    const std::string& base_path() const noexcept { return base_path_; }

  private:
    enum class operation : std::uint8_t { video, audio, data, end_as_vod, end_as_fake_live };
    struct work {
        operation what;
        std::uint32_t timestamp;
        std::vector<std::uint8_t> body;
    };

    void queue(operation what, std::uint32_t timestamp, const std::uint8_t* data,
               std::uint32_t size);
    void stop_recording(std::unique_lock<std::mutex>& lock, const std::string& reason);
    void run();
    void perform(work& item);
    void write_out();
    // After a successful end: no writer, and nothing more is taken.
    void ended();
    void close_lock_file() noexcept;

    exclusive_ofstream lock_file_;
    std::string base_path_;
    options options_;
    // Only the recorder's thread uses it once that thread runs.
    std::unique_ptr<segment_writer> writer_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<work> queue_;
    std::size_t queued_bytes_ = 0;
    std::uint64_t queued_count_ = 0;
    std::uint64_t written_count_ = 0;
    // Messages are taken; false once ended, stopped or without a writer.
    bool accepting_ = false;
    // An end is queued: recording() says no, although messages are still
    // taken until the end has been written.
    bool ending_ = false;
    // The writer is to go after what is queued (an end or a failure).
    bool drop_writer_ = false;
    bool stopping_ = false;
    // Called by the recorder's thread as its last act.
    std::function<void()> finished_;
    std::string failure_;
    std::thread thread_;
};

}  // namespace qen
