#include "rtmp/rtmp_recorded_stream_player.hpp"

#include <cassert>
#include <exception>
#include <utility>

#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_server.hpp"

namespace rtmp {

namespace {

// A net stream of a connection as the player's output.
class net_stream_output : public recorded_stream_output {
  public:
    net_stream_output(rtmp_net_stream& netstream, rtmp_server_connection& connection)
        : netstream_(netstream), connection_(connection) {}

    std::uint64_t unwritten_bytes() const override { return connection_.queued_bytes(); }
    void when_written(std::function<void()> resume) override {
        connection_.when_written(std::move(resume));
    }
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
    void flush() override {
        netstream_.flush();
        connection_.write_now();
    }

  private:
    rtmp_net_stream& netstream_;
    rtmp_server_connection& connection_;
};

}  // namespace

rtmp_recorded_stream_player::rtmp_recorded_stream_player(media_source_callbacks source,
                                                         rtmp_net_stream& netstream,
                                                         rtmp_server_connection& connection,
                                                         clock now)
    : rtmp_recorded_stream_player(connection.context(), std::move(source),
                                  std::make_unique<net_stream_output>(netstream, connection),
                                  std::move(now)) {}

rtmp_recorded_stream_player::rtmp_recorded_stream_player(
    boost::asio::io_context& io, media_source_callbacks source,
    std::unique_ptr<recorded_stream_output> output, clock now, std::chrono::milliseconds interval)
    : output_(std::move(output)),
      playback_(std::move(source), *output_, std::move(now)),
      interval_(interval),
      executor_(io.get_executor()),
      timer_(io) {}

rtmp_recorded_stream_player::~rtmp_recorded_stream_player() = default;

bool rtmp_recorded_stream_player::start(std::uint32_t from) {
    assert(on_own_thread());
    if (!playback_.start(from)) {
        return false;
    }
    arm(std::chrono::milliseconds::zero());
    return true;
}

void rtmp_recorded_stream_player::pause(bool pause, bool toggle, std::uint32_t milliseconds) {
    assert(on_own_thread());
    playback_.pause(pause, toggle, milliseconds);
    wake();
}

void rtmp_recorded_stream_player::pause_raw(bool flag, std::uint32_t milliseconds) {
    assert(on_own_thread());
    playback_.pause_raw(flag, milliseconds);
    wake();
}

void rtmp_recorded_stream_player::seek(std::uint32_t milliseconds) {
    assert(on_own_thread());
    playback_.seek(milliseconds);
    wake();
}

void rtmp_recorded_stream_player::set_buffer_length(std::uint32_t milliseconds) {
    assert(on_own_thread());
    playback_.set_buffer_length(milliseconds);
}

void rtmp_recorded_stream_player::stop() {
    assert(on_own_thread());
    stopped_ = true;
    // The pending wait ends now and drops its hold on the player.
    wake();
}

void rtmp_recorded_stream_player::pump() {
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
    if (playback_.held_back()) {
        // The writes that make room wake the next run; a player that has
        // gone by then is not kept for it.
        output_->when_written([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->wake();
            }
        });
    }
    // Also while held back: the wait is what a command wakes.
    arm(interval_);
}

void rtmp_recorded_stream_player::arm(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait(
        [self = shared_from_this()](const boost::system::error_code&) { self->pump(); });
}

void rtmp_recorded_stream_player::wake() {
    timer_.cancel();
}

bool rtmp_recorded_stream_player::on_own_thread() const noexcept {
    return executor_.running_in_this_thread();
}

}  // namespace rtmp
