#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "foundation/media_source_callbacks.hpp"

namespace rtmp {

// What recorded playback writes to: one net stream of a connection. Every
// call is made on the connection's thread.
class recorded_stream_output {
  public:
    virtual ~recorded_stream_output() = default;

    // Bytes handed to the connection that it has not written yet.
    virtual std::uint64_t unwritten_bytes() const = 0;
    // Calls `resume` once the connection has written some of what it holds
    // now (at once when it holds nothing), from a handler of its own on the
    // connection's thread; never when the connection closes first.
    virtual void when_written(std::function<void()> resume) = 0;
    // Opens the stream's video and audio chunk streams; false when the
    // connection has no room for them.
    virtual bool open_media_streams() = 0;

    virtual void send_stream_is_recorded() = 0;
    virtual void send_stream_begin() = 0;
    virtual void send_play_reset_start() = 0;
    virtual void send_pause_notify() = 0;
    virtual void send_unpause_notify() = 0;
    virtual void send_seek_notify() = 0;
    virtual void send_seek_failed() = 0;
    virtual void send_play_stop() = 0;

    // A message on the video chunk stream (video, AMF0 and AMF3 data).
    virtual void send_video(std::uint8_t type, std::uint32_t timestamp, const std::uint8_t* data,
                            std::uint32_t size) = 0;
    // An audio message on the audio chunk stream.
    virtual void send_audio(std::uint32_t timestamp, const std::uint8_t* data,
                            std::uint32_t size) = 0;
    // Hands everything sent so far to the connection, which starts writing
    // it at once.
    virtual void flush() = 0;
};

// The pacing and command logic of a recorded-stream player, apart from its
// timer: each run sends the stored stream's tags until the output is one
// client buffer length ahead of the clock, after carrying out the pause, raw
// pause and seek commands queued since the last run.
//
// A run writes as it goes: once the connection holds `max_unwritten_bytes`
// it has not written, the run flushes, and when the socket does not take
// that at once it stops; the next run, once the connection has written
// some, goes on from there. A client that reads slowly (or not at all) so
// holds its stream back instead of piling it up in the server, and one that
// reads fast gets a buffer of any length at its own pace. From the time the
// socket does not take a flush whole until a run ends caught up with its
// pace, the steps are `slow_step_bytes`: what a lagging client holds in the
// server is about that and a tag.
//
// Not locked: its owner calls it on the connection's thread only.
class recorded_playback {
  public:
    using clock = std::function<std::chrono::steady_clock::time_point()>;

    // About four of the chunk layer's blocks: what the connection writes in
    // one go, small enough that a server with thousands of players holds
    // little for each.
    static constexpr std::uint64_t max_unwritten_bytes = 64 * 1024;
    // One block: the step for a client that does not keep up with what it
    // is sent.
    static constexpr std::uint64_t slow_step_bytes = 16 * 1024;
    static constexpr unsigned max_tags_per_run = 514;
    static constexpr std::uint32_t min_buffer_length = 5000;
    static constexpr std::uint32_t max_buffer_length = 60000;
    // A seek whose keyframe is closer than this to the target shows nothing
    // before the target: the catch-up video is framed by 57 00 / 57 01 and
    // the audio before the target dropped.
    static constexpr std::uint32_t framed_seek_reach = 20000;

    // `output` must outlive this object. Pacing follows `now` (a monotonic
    // clock: a wrapping time of day would burst at its wrap).
    recorded_playback(media_source_callbacks source, recorded_stream_output& output,
                      clock now = std::chrono::steady_clock::now);

    recorded_playback(const recorded_playback&) = delete;
    recorded_playback& operator=(const recorded_playback&) = delete;

    // Opens the media chunk streams and announces a recorded stream; false,
    // with nothing sent, when the connection has no room for the streams.
    // A start offset (a play's start) makes the first run seek to it, the
    // way a seek does but without a seek's statuses: those begin with
    // BufferEmpty, which downloaders (librtmp's) answer with a pause and an
    // unpause at the last time they have read, before any media 0.
    bool start(std::uint32_t from = 0);

    // Queued for the next run.
    void pause(bool pause, bool toggle, std::uint32_t milliseconds);
    void pause_raw(bool flag, std::uint32_t milliseconds);
    void seek(std::uint32_t milliseconds);

    // Clamped to 5000..60000.
    void set_buffer_length(std::uint32_t milliseconds);
    std::uint32_t buffer_length() const noexcept { return buffer_length_; }

    // One run: nothing while the connection holds a step's worth or more;
    // otherwise the queued commands, then a burst of at most 514 tags that
    // ends early when the connection holds that much.
    void run();
    // The last run stopped (or did nothing) because of what the connection
    // holds: run again once it has written some.
    bool held_back() const noexcept { return held_back_; }

  private:
    enum class command_kind { pause = 1, pause_raw = 2, seek = 3, start_at = 4 };
    struct command {
        command_kind kind;
        std::uint32_t milliseconds;
        bool flag;
        bool toggle;
    };
    // A seek carried out, until the tags reach its target: within the run
    // that carried it out, and the runs after it that go on from where a
    // held-back run stopped.
    struct seek_in_run {
        std::uint32_t target;
        bool framed = false;  // 57 00 sent, 57 01 not yet
    };

    bool connection_full() const {
        return output_.unwritten_bytes() >= (slow_ ? slow_step_bytes : max_unwritten_bytes);
    }
    // Flushes; a socket that does not take everything makes the steps small.
    void write_out();
    void run_command(const command& c);
    // Positions the source for a seek to `target`; false when it cannot.
    bool seek_to(std::uint32_t target);
    void send_burst();
    // Sends 57 01 for a framed seek that ends before its target is reached.
    void end_seek();
    void start_after_reset(std::uint32_t time);
    void send_tag(std::uint8_t type, std::uint32_t time, const std::uint8_t* body,
                  std::uint32_t size);
    void send_seek_frame(std::uint8_t frame, std::uint32_t target);
    void send_metadata_once();
    bool seek_source(std::uint32_t& milliseconds);

    media_source_callbacks source_;
    recorded_stream_output& output_;
    clock now_;
    std::deque<command> commands_;
    std::optional<seek_in_run> seek_;
    bool held_back_ = false;
    // Small steps: since the socket did not take a flush whole, until a run
    // ends caught up; at first too, so that a crowd of players that start
    // together takes little each before their sockets have shown their pace.
    bool slow_ = true;

    // Source time of the first tag after the last reset: out_pos_ counts
    // from it, and the clock from clock_base_.
    std::uint32_t source_base_ = 0;
    std::uint32_t out_pos_ = 0;
    std::chrono::steady_clock::time_point clock_base_;
    std::uint32_t buffer_length_ = min_buffer_length;
    bool playing_ = true;
    bool raw_pause_ = false;
    // The next run restarts its pacing at the next tag.
    bool reset_ = true;
    bool metadata_sent_ = false;
    // The source had metadata of its own to send.
    bool stored_metadata_sent_ = false;
    // Where the stream was last started or sought to. A client that pauses
    // before it has read any media names 0 (librtmp's answer to a
    // BufferEmpty): once the stream starts later than that, an unpause at 0
    // resumes where the stream was instead of going back to the start.
    std::uint32_t origin_ = 0;
};

}  // namespace rtmp
