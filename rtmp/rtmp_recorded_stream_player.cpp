#include "rtmp/rtmp_recorded_stream_player.hpp"

#include <exception>
#include <utility>

#include "rtmp/rtmp_net_stream.hpp"

namespace rtmp {

namespace {

// A net stream of a connection as the player's output.
class net_stream_output : public recorded_stream_output {
  public:
    net_stream_output(rtmp_net_stream& netstream, rtmp_send_queue& send_queue)
        : netstream_(netstream), send_queue_(send_queue) {}

    std::uint32_t pending() const override { return send_queue_.pending(); }
    bool open_media_streams() override { return netstream_.open_media_streams(); }

    void send_stream_is_recorded() override {
        netstream_.chunkstreams().send_stream_is_recorded(netstream_.stream_id());
    }
    void send_stream_begin() override {
        netstream_.chunkstreams().send_stream_begin(netstream_.stream_id());
    }
    void send_play_reset_start() override { netstream_.send_recorded_play_start(); }
    void send_pause_notify() override { netstream_.send_pause_notify(); }
    void send_unpause_notify() override { netstream_.send_unpause_notify(); }
    void send_seek_notify() override { netstream_.send_seek_notify(); }
    void send_seek_failed() override { netstream_.send_seek_failed(); }
    void send_play_stop() override { netstream_.send_play_stop(); }

    // The media streams were opened by start, before any run.
    void send_video(std::uint8_t type, std::uint32_t timestamp, const std::uint8_t* data,
                    std::uint32_t size) override {
        netstream_.write(*netstream_.video_stream(), type, timestamp, data, size);
    }
    void send_audio(std::uint32_t timestamp, const std::uint8_t* data,
                    std::uint32_t size) override {
        netstream_.write(*netstream_.audio_stream(), message_type::audio, timestamp, data, size);
    }
    void flush() override { netstream_.flush(); }

  private:
    rtmp_net_stream& netstream_;
    rtmp_send_queue& send_queue_;
};

}  // namespace

rtmp_recorded_stream_player::rtmp_recorded_stream_player(boost::asio::io_context& io,
                                                         media_source_callbacks source,
                                                         rtmp_net_stream& netstream,
                                                         rtmp_send_queue& send_queue, clock now)
    : rtmp_recorded_stream_player(io, std::move(source),
                                  std::make_unique<net_stream_output>(netstream, send_queue),
                                  std::move(now)) {}

rtmp_recorded_stream_player::rtmp_recorded_stream_player(
    boost::asio::io_context& io, media_source_callbacks source,
    std::unique_ptr<recorded_stream_output> output, clock now, std::chrono::milliseconds interval)
    : output_(std::move(output)),
      playback_(std::move(source), *output_, std::move(now)),
      interval_(interval),
      timer_(io) {}

rtmp_recorded_stream_player::~rtmp_recorded_stream_player() = default;

bool rtmp_recorded_stream_player::start(std::uint32_t from) {
    if (!playback_.start(from)) {
        return false;
    }
    arm(std::chrono::milliseconds::zero());
    return true;
}

void rtmp_recorded_stream_player::pause(bool pause, bool toggle, std::uint32_t milliseconds) {
    playback_.pause(pause, toggle, milliseconds);
    wake();
}

void rtmp_recorded_stream_player::pause_raw(bool flag, std::uint32_t milliseconds) {
    playback_.pause_raw(flag, milliseconds);
    wake();
}

void rtmp_recorded_stream_player::seek(std::uint32_t milliseconds) {
    playback_.seek(milliseconds);
    wake();
}

void rtmp_recorded_stream_player::set_buffer_length(std::uint32_t milliseconds) {
    playback_.set_buffer_length(milliseconds);
}

void rtmp_recorded_stream_player::stop() {
    std::lock_guard player(lock_);
    stopped_ = true;
    // The pending wait ends now and drops its hold on the player.
    wake();
}

void rtmp_recorded_stream_player::pump() {
    std::lock_guard player(lock_);
    if (stopped_) {
        return;
    }
    try {
        playback_.run();
    } catch (const std::exception&) {
        // The connection cannot take what we write (it is closing, or out
        // of blocks): nothing more can be played on it.
        stopped_ = true;
        return;
    }
    // Armed before any later command runs on this thread, so that command
    // finds the wait to cancel.
    arm(interval_);
}

void rtmp_recorded_stream_player::arm(std::chrono::milliseconds after) {
    std::lock_guard timer(timer_lock_);
    timer_.expires_after(after);
    timer_.async_wait(
        [self = shared_from_this()](const boost::system::error_code&) { self->pump(); });
}

void rtmp_recorded_stream_player::wake() {
    std::lock_guard timer(timer_lock_);
    timer_.cancel();
}

}  // namespace rtmp
