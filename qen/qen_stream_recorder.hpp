#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/exclusive_ofstream.hpp"
#include "foundation/segment_writer.hpp"
#include "qen/recording_writers.hpp"
#include "rtmp/rtmp_live_streams.hpp"

namespace qen {

// Records one publish: holds the recording's lock file (the name's
// ".locked" file, kept open without sharing for the recorder's life, which
// keeps a second publisher of the name out) and writes the publisher's
// messages with the format's writer.
//
// The writing happens on a lane's writer thread, which serves many
// recordings in turn (recording_lane): the sinks only queue the live
// stream's own message (nothing is copied, nothing woken), so a slow or
// stalled disk never holds up the live stream (whose lock the sinks run
// under) or an io thread, and each turn writes a publisher's messages in one
// write. The slow file work (opening, index saves, the end) runs on the
// lane's file thread. The queue is bounded: when the disk falls that far
// behind, the recording stops there, with "the disk does not keep up" as its
// reason, and what was written stays readable and resumable; the live
// stream goes on.
//
// The sinks and the end commands come from the publisher's thread, one at a
// time and in the order of the publish.
class qen_stream_recorder : private served_recording {
  public:
    // What the queue may hold before the recording stops.
    static constexpr std::size_t default_queue_limit = 32u << 20;
    // Queued bytes that have the writer served before its turn.
    static constexpr std::size_t write_early_bytes = 1u << 20;
    // What the bytes of messages that the live stream kept no copy of are
    // copied into, a block at a time.
    static constexpr std::size_t copy_block_bytes = 32u << 10;
    // Written copy blocks each recording keeps to fill again.
    static constexpr std::size_t spare_copy_blocks = 2;

    struct options {
        std::size_t queue_limit = default_queue_limit;
        // Runs on the writer thread before each message or end is written: a
        // test's stalled disk, or by throwing a failing one.
        std::function<void()> before_write;
    };

    using opened_handler =
        std::function<void(std::unique_ptr<qen_stream_recorder> recorder, std::string failure)>;

    // Takes the lock file of `base_path` (the application's directory and the
    // stream name) and builds the writer of each format, on this thread; the
    // writing has a lane of its own. Throws when the lock is held by another
    // recorder, or "Can't build format recorder".
    qen_stream_recorder(const std::vector<std::string>& formats, const std::string& base_path);
    qen_stream_recorder(const std::vector<std::string>& formats, const std::string& base_path,
                        options settings);
    // The same on `lane`, which then writes it.
    qen_stream_recorder(recording_lane& lane, const std::vector<std::string>& formats,
                        const std::string& base_path, options settings);

    // Builds a recorder as above on the file thread of a lane of `writers`
    // (the lock file, the writer, the resume of its index are file work),
    // and calls `opened` there with it, or with none and the reason.
    static void open(recording_writers& writers, std::vector<std::string> formats,
                     std::string base_path, options settings, opened_handler opened);

    // Writes what is queued, finishes the recording (it stays resumable by
    // the next publish of the name) and closes the lock file, waiting for
    // it; after finish_in_background, only for that. Never on its lane's
    // threads.
    ~qen_stream_recorder();

    qen_stream_recorder(const qen_stream_recorder&) = delete;
    qen_stream_recorder& operator=(const qen_stream_recorder&) = delete;

    // Builds the writer of one format: "zpk" records segments; any other
    // format records nothing but still counts as added.
    bool add_format(const std::string& format, const std::string& base_path);

    // The publisher's messages, as bytes that last for the call (copied).
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    // The message starts at the reader's position, which is left as it was.
    void on_data(const buffer_reader& message, std::uint32_t timestamp);
    // The sinks to register with the live stream.
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
    // Blocks until everything queued so far has been written, and the file
    // work it made done.
    void wait_until_written();

    // The publish has ended: no further message is taken, and the lane
    // writes what is queued, finishes the recording, closes the lock file
    // and then calls `finished` (at once, on this thread, for a recorder
    // that writes nothing). Returns without waiting for the disk.
    void finish_in_background(std::function<void()> finished);

    const std::string& base_path() const noexcept { return base_path_; }

  private:
    enum class operation : std::uint8_t { message, end_as_vod, end_as_fake_live };
    struct work {
        operation what;
        std::uint8_t type;
        std::uint32_t timestamp;
        std::span<const std::uint8_t> body;
        // The live stream's copy of the message; none when the body is in a
        // copy block, which the recorder keeps until it has been written.
        std::shared_ptr<const void> owner;
    };
    struct copy_block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    // On `lane`, or on one of its own.
    qen_stream_recorder(recording_lane* lane, const std::vector<std::string>& formats,
                        const std::string& base_path, options settings);
    void take_lane(recording_lane* lane);
    void queue(operation what, std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
               std::uint32_t timestamp, std::shared_ptr<const void> kept);
    // Under the lock.
    void copy(const std::uint8_t*& data, std::uint32_t size);
    void stop_recording(std::unique_lock<std::mutex>& lock, const std::string& reason);
    bool serve() override;
    void perform(const work& item);
    void write_out();
    void finish_on_lane();
    // After a successful end: no writer, and nothing more is taken.
    void ended();
    void close_lock_file() noexcept;

    // A lane of its own, for a recorder built without writers; goes last.
    std::unique_ptr<recording_lane> own_lane_;
    recording_lane* lane_ = nullptr;
    exclusive_ofstream lock_file_;
    std::string base_path_;
    options options_;
    // Only the lane's threads use it once it is served.
    std::unique_ptr<segment_writer> writer_;
    // The writer thread's batch, kept for its room, and the copy blocks
    // that hold its bodies.
    std::vector<work> batch_;
    std::vector<copy_block> batch_blocks_;

    mutable std::mutex mutex_;
    std::condition_variable written_;
    std::vector<work> queue_;
    std::size_t queued_bytes_ = 0;
    // The block being filled; the filled ones whose messages are queued;
    // written ones, to be filled again.
    copy_block block_;
    std::size_t block_used_ = 0;
    std::vector<copy_block> filled_blocks_;
    std::vector<copy_block> spare_blocks_;
    // Messages are taken; false once ended, stopped or without a writer.
    bool accepting_ = false;
    // An end is queued: recording() says no, although messages are still
    // taken until the end has been written.
    bool ending_ = false;
    // The writer is to go after what is queued (an end or a failure).
    bool drop_writer_ = false;
    bool finishing_ = false;
    bool finished_ = false;
    // wait_until_written's tickets: asked for, and written up to.
    std::uint64_t written_wanted_ = 0;
    std::uint64_t written_done_ = 0;
    // Called by the lane as its last act for the recorder.
    std::function<void()> when_finished_;
    std::string failure_;
};

}  // namespace qen
