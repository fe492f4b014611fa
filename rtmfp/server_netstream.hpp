#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "rtmfp/handlers.hpp"
#include "rtmfp/netstream.hpp"

// What a deployment that lets clients create streams does with a stream's
// commands. Called under the session's processing mutex; false stops the
// handlers after this one.
class rtmfp_netstream_handler {
  public:
    virtual ~rtmfp_netstream_handler() = default;

    virtual bool on_play(const amf0_string& name, double start, double duration, bool reset) = 0;
    virtual bool on_publish(const amf0_string& name, const amf0_string& type) = 0;
    virtual bool on_pause(bool pause, double time) = 0;
    virtual bool on_seek(double time) = 0;
    // closeStream: the stream is idle again and its sinks are gone.
    virtual void on_close() = 0;
};

// Where the audio and video that a client publishes go. `bytes` follow the
// message's type byte and time, and live only for the call.
class rtmfp_media_sink {
  public:
    virtual ~rtmfp_media_sink() = default;

    virtual void on_video(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) = 0;
    virtual void on_audio(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) = 0;
};

// A NetStream of a server session: decodes play, publish, pause, seek and
// closeStream for its handlers and passes published media to its sinks.
// The server adds neither: the handler that takes a play or publish marks
// the stream's mode and attaches the sinks.
//
// Wrongly typed or missing arguments, and media while nothing is
// published, throw, which closes the session.
class rtmfp_server_netstream : public rtmfp_netstream {
  public:
    enum mode_type : std::int32_t { idle = 0, playing = 1, publishing = 2 };

    rtmfp_server_netstream(std::uint32_t stream_id, std::shared_ptr<rtmfp_session> session);
    ~rtmfp_server_netstream() override;

    void on_audio(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) override;
    void on_video(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) override;
    void on_command(buffer_reader& args, light_string name, double transaction_id,
                    amf0_based& command_object) override;

    void add_handler(std::int32_t key, std::unique_ptr<rtmfp_netstream_handler> handler) {
        handlers_.add(key, std::move(handler));
    }
    void add_sink(std::unique_ptr<rtmfp_media_sink> sink) { sinks_.push_back(std::move(sink)); }
    std::size_t sink_count() const noexcept { return sinks_.size(); }

    // Any mode but idle refuses another play or publish; media are taken
    // only while publishing.
    void set_mode(mode_type mode) noexcept { mode_ = mode; }
    mode_type mode() const noexcept { return mode_; }

  private:
    void play(buffer_reader& args);
    void publish(buffer_reader& args);
    void close_stream();
    void refuse_play();

    rtmfp_handler_chain<rtmfp_netstream_handler> handlers_;
    std::deque<std::unique_ptr<rtmfp_media_sink>> sinks_;
    mode_type mode_ = idle;
};
