#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"
#include "foundation/media_source_callbacks.hpp"
#include "qen/qen_app.hpp"
#include "qen/qen_media_source.hpp"
#include "qen/qen_stream_recorder.hpp"
#include "qen/recording_finisher.hpp"
#include "qen/stream_policy.hpp"
#include "rtmp/rtmp_live_stream_player.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_recorded_stream_player.hpp"
#include "rtmp/rtmp_server.hpp"

namespace qen {

// The application's side of one net stream: decides whether a play or a
// publish is allowed by the application's settings, what a stream name
// means, where its file or live stream is, and whether a publish is
// recorded.
//
// Like its net stream, it belongs to its connection's thread: every callback
// runs there.
//
// A recorded publish is answered once its recording can start: when the
// name's last recording is still being finished, the answer waits for that
// on the connection's thread, which goes on serving meanwhile.
// What a server records its publishes with: the lanes their recorders
// write on, the finisher that takes the recorders of ended publishes, and
// the recorders' options.
struct recording_services {
    recording_writers& writers;
    recording_finisher& finisher;
    qen_stream_recorder::options options;
};

class qen_stream_handler : public std::enable_shared_from_this<qen_stream_handler> {
  public:
    enum class mode { idle, playing, publishing };

    // Throws "App not set" when the connection has no application.
    qen_stream_handler(rtmp::rtmp_live_streams& live_streams, recording_services& recordings,
                       std::shared_ptr<qen_connection_context> context,
                       rtmp::rtmp_server_netstream& netstream,
                       rtmp::rtmp_server_connection& connection);
    // Goes with the net stream's handlers, which hold it: by then the net
    // stream's destroy_handler has stopped what it played or published.
    ~qen_stream_handler();

    qen_stream_handler(const qen_stream_handler&) = delete;
    qen_stream_handler& operator=(const qen_stream_handler&) = delete;

    // Binds the net stream's callbacks to a shared handler; the net stream
    // keeps it until the stream is destroyed.
    static void bind(const std::shared_ptr<qen_stream_handler>& handler);

    bool on_play(light_string name, double start, double duration, bool reset);
    void on_pause(bool pause, bool toggle, double milliseconds);
    void on_close();
    bool on_publish(light_string name, light_string type);
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_data(buffer_reader& message, std::uint32_t timestamp);
    void on_data_amf3(buffer_reader& message, std::uint32_t timestamp);
    void on_set_buffer_length(std::uint32_t milliseconds);
    void on_receive_video(bool receive);
    void on_receive_audio(bool receive);
    bool on_seek(double milliseconds);
    void on_pause_raw(bool pause, double milliseconds);
    void on_call(light_string name, double transaction, buffer_reader& args);

    mode current_mode() const noexcept { return mode_; }

  private:
    // Tells the client why its play or publish is refused.
    void refuse(const policy_refusal& refusal);
    // Plays a stored stream from `from` milliseconds on.
    bool play_recorded(const std::string& file_name, const std::string& format, std::uint32_t from);
    // Answers publish attempt `attempt` once its recorder has been opened,
    // unless the stream stopped or was published again meanwhile.
    void publish_recorded(std::uint64_t attempt, const std::string& stream_name,
                          std::unique_ptr<qen_stream_recorder> recorder);
    // Claims the live stream of the name for this publisher, with the
    // recorder (if any) as its sink; false when it has another publisher.
    bool publish_live(const std::string& stream_name,
                      std::unique_ptr<qen_stream_recorder> recorder);
    void end_recording(bool as_vod);
    // Stops whatever plays or is published on the stream.
    void stop();

    rtmp::rtmp_live_streams& live_streams_;
    recording_services& recordings_;
    rtmp::rtmp_server_connection& connection_;
    rtmp::rtmp_server_netstream& netstream_;
    mode mode_ = mode::idle;
    std::unique_ptr<rtmp::rtmp_live_stream_player> live_player_;
    std::shared_ptr<rtmp::rtmp_recorded_stream_player> recorded_player_;
    std::unique_ptr<media_source> media_source_;
    std::uint32_t buffer_length_ = 100;
    rtmp::rtmp_live_stream* published_ = nullptr;
    std::unique_ptr<qen_stream_recorder> recorder_;
    std::int32_t recorder_sink_ = -1;
    // Counts publish commands and stops: a recorded publish that waited is
    // only answered while no other came after it.
    std::uint64_t publish_attempt_ = 0;
    std::shared_ptr<qen_connection_context> context_;
};

}  // namespace qen
