#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

#include "foundation/media_source_callbacks.hpp"
#include "rtmp/recorded_playback.hpp"

namespace rtmp {

class rtmp_net_stream;
class rtmp_server_connection;

// The operations of a source (an flv_stream_source, a zpk_reader) as the
// player's callbacks; the source must outlive every call through them.
template <class Source>
media_source_callbacks bind_media_source(Source& source) {
    return {
        [&source](std::uint32_t& size) { return source.audio_config(size); },
        [&source](std::uint32_t& size) { return source.video_config(size); },
        [&source](std::uint32_t& size) { return source.metadata(size); },
        [&source](std::uint32_t& size, std::uint32_t& timestamp, std::uint8_t& type,
                  std::int32_t& status) { return source.read_tag(size, timestamp, type, status); },
        [&source](std::uint32_t& ms) { return source.seek(ms); },
        [&source] { source.release_buffer(); },
    };
}

// Plays a stored stream into one net stream of a connection at the stream's
// own pace: once a second (at once after a command, and as soon as the
// connection has written what held a run back) a run sends its tags until
// the client holds one buffer length ahead of real time.
//
// Belongs to the connection's thread, like the net stream it plays into:
// every call is made there, and its runs run there, so it needs no lock.
// Always owned by a std::shared_ptr: a pending timer wait holds one, so the
// player outlives every run its timer can still start.
class rtmp_recorded_stream_player
    : public std::enable_shared_from_this<rtmp_recorded_stream_player> {
  public:
    using clock = recorded_playback::clock;

    // Plays into `netstream` of `connection`; both must outlive every run,
    // that is until stop() has been called.
    rtmp_recorded_stream_player(media_source_callbacks source, rtmp_net_stream& netstream,
                                rtmp_server_connection& connection,
                                clock now = std::chrono::steady_clock::now);
    // The same through any output, whose thread runs `io` (which must
    // outlive the player).
    rtmp_recorded_stream_player(boost::asio::io_context& io, media_source_callbacks source,
                                std::unique_ptr<recorded_stream_output> output,
                                clock now = std::chrono::steady_clock::now,
                                std::chrono::milliseconds interval = default_interval);
    virtual ~rtmp_recorded_stream_player();

    rtmp_recorded_stream_player(const rtmp_recorded_stream_player&) = delete;
    rtmp_recorded_stream_player& operator=(const rtmp_recorded_stream_player&) = delete;

    // Announces the recorded stream and starts the runs, from the start
    // offset (at the keyframe at or before it) when one is given; false,
    // with nothing sent, when the connection has no room for the media
    // chunk streams.
    bool start(std::uint32_t from = 0);
    // Queued for the next run, which they start at once.
    void pause(bool pause, bool toggle, std::uint32_t milliseconds);
    void pause_raw(bool flag, std::uint32_t milliseconds);
    void seek(std::uint32_t milliseconds);
    // Clamped to 5000..60000.
    void set_buffer_length(std::uint32_t milliseconds);

    // Ends the runs: from now on the player calls its source and touches
    // the connection no more.
    void stop();

    // Runs are this far apart while nothing wakes them.
    static constexpr std::chrono::milliseconds default_interval{1000};

  private:
    void pump();
    void arm(std::chrono::milliseconds after);
    void wake();
    bool on_own_thread() const noexcept;

    std::unique_ptr<recorded_stream_output> output_;
    recorded_playback playback_;
    const std::chrono::milliseconds interval_;
    bool stopped_ = false;
    const boost::asio::io_context::executor_type executor_;
    boost::asio::steady_timer timer_;
};

}  // namespace rtmp
