#pragma once

#include <boost/function.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"

namespace rtmp {

// A number from the wire as an unsigned 32-bit integer (truncated), or
// nothing when it is NaN, infinite, negative or too large: converting such a
// double is undefined behaviour.
std::optional<std::uint32_t> wire_uint32(double value) noexcept;

// A growable output buffer that holds an AMF0 message body on the stack
// unless it outgrows 4096 bytes.
class message_body : public buffer_writer {
  public:
    message_body() noexcept : buffer_writer(inline_, sizeof inline_) {}

  protected:
    void grow(std::uint32_t needed) override;

  private:
    std::uint8_t inline_[4096];
    std::unique_ptr<std::uint8_t[]> heap_;
};

// One message stream of a connection. It owns the stream's output chunk
// streams, splits incoming messages by type and hands them to its handlers,
// and sends the status messages and user control sequences players need.
//
// Like everything of its connection, it is used on the connection's thread
// only (see rtmp_server_connection).
class rtmp_net_stream {
  public:
    using media_handler =
        boost::function<void(const std::uint8_t*, std::uint32_t size, std::uint32_t timestamp)>;
    using data_message_handler = boost::function<void(buffer_reader&, std::uint32_t timestamp)>;

    // Opens the command chunk stream (3 x id + 3).
    rtmp_net_stream(rtmp_chunkstreams& chunkstreams, std::uint32_t stream_id);
    // Closes the stream's output chunk streams.
    virtual ~rtmp_net_stream();

    rtmp_net_stream(const rtmp_net_stream&) = delete;
    rtmp_net_stream& operator=(const rtmp_net_stream&) = delete;

    // One complete message of this stream.
    void on_message(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp,
                    std::uint8_t type);
    // A command: its name, transaction id, and the reader after them.
    virtual void on_command(light_string name, double transaction, buffer_reader& args) = 0;

    // The closeStream command.
    boost::function<void()> close_stream_handler;
    // The stream is being deleted (deleteStream, or the connection closing).
    boost::function<void()> destroy_handler;
    // Types 9 and 8.
    media_handler video_handler;
    media_handler audio_handler;
    // Types 18 and 15, a reader over the whole body.
    data_message_handler data_handler;
    data_message_handler data_amf3_handler;

    // onStatus: "onStatus", 0, null, {level, code, description}.
    void send_status(light_string code, light_string description, light_string level);
    // "_error", transaction, null, {level "error", code, description}.
    void send_error(light_string code, double transaction, light_string description);
    // "_result", transaction, null, number.
    void send_result(double transaction, double number);
    // "|RtmpSampleAccess" with the two sample_access flags (a data message).
    void send_sample_access();

    // Status sequences; only the play starts flush by themselves.
    void send_play_reset_start();
    // The same for a stored stream, without the leading BufferEmpty:
    // downloaders (librtmp's) answer BufferEmpty with a pause and an unpause
    // at the last timestamp they have read, which at the start is 0, and the
    // unpause would then play the stream from the start a second time.
    void send_recorded_play_start();
    void send_pause_notify();
    void send_unpause_notify();
    void send_seek_notify();
    void send_play_stop();
    void send_seek_failed();
    void send_publish_notify();
    void send_unpublish_notify();
    // The AVC end-of-sequence video message (17 02 00 00 00) and the empty
    // audio message, each at its chunk stream's last timestamp; nothing when
    // that chunk stream is not open.
    void send_end_of_sequence_video();
    void send_empty_audio();

    // Opens the video and audio chunk streams (3 x id + 4, 3 x id + 5) a
    // player writes on; false, with nothing opened, when the connection has
    // no room for them.
    bool open_media_streams();
    output_chunkstream* video_stream() const noexcept { return video_stream_; }
    output_chunkstream* audio_stream() const noexcept { return audio_stream_; }
    output_chunkstream& command_stream() const noexcept { return *command_stream_; }

    // One message of this stream on a chunk stream of its own.
    void write(output_chunkstream& on, std::uint8_t type, std::uint32_t timestamp, const void* data,
               std::uint32_t size) {
        chunkstreams_.write_message(on, type, stream_id_, timestamp, data, size);
    }
    void flush() { chunkstreams_.flush(); }

    std::uint32_t stream_id() const noexcept { return stream_id_; }
    rtmp_chunkstreams& chunkstreams() const noexcept { return chunkstreams_; }

    // Sent in "|RtmpSampleAccess".
    bool sample_access_audio = false;
    bool sample_access_video = false;

  protected:
    // A command message body on the command chunk stream.
    void send_command(const buffer_writer& body);

  private:
    void send_buffer_reset();

    rtmp_chunkstreams& chunkstreams_;
    const std::uint32_t stream_id_;
    output_chunkstream* command_stream_;
    output_chunkstream* video_stream_ = nullptr;
    output_chunkstream* audio_stream_ = nullptr;
};

// The server's net stream: stream 0 answers the NetConnection commands,
// the others the NetStream commands, each through a handler the application
// binds when the stack reports the new stream. Unbound handlers get fixed
// error replies.
class rtmp_server_netstream : public rtmp_net_stream {
  public:
    using rtmp_net_stream::rtmp_net_stream;

    // Stream 0.
    boost::function<bool(amf0_object& command, std::string& reason)> connect_handler;
    boost::function<bool(std::uint32_t& new_id)> create_stream_handler;
    boost::function<void(std::uint32_t id)> delete_stream_handler;
    // Commands of other names; on streams other than 0 too, without reply.
    boost::function<void(light_string name, double transaction, buffer_reader& args)> call_handler;
    boost::function<void()> close_handler;

    // Other streams. A handler that refuses (false) may first tell the client
    // why with a status of its own; the refusal's error-level status follows
    // it in every case, since that is what ends a client's wait.
    boost::function<bool(light_string name, double start, double duration, bool reset)>
        play_handler;
    boost::function<bool(light_string name, light_string type)> publish_handler;
    boost::function<bool(double milliseconds)> seek_handler;
    boost::function<void(bool pause, bool toggle, double milliseconds)> pause_handler;
    boost::function<void(bool pause, double milliseconds)> pause_raw_handler;
    // Called by the stack with the client's buffer length.
    boost::function<void(std::uint32_t milliseconds)> buffer_length_handler;
    boost::function<void(bool)> receive_video_handler;
    boost::function<void(bool)> receive_audio_handler;

    void on_command(light_string name, double transaction, buffer_reader& args) override;

    // A publish handler that cannot decide at once (its recording is being
    // prepared on another thread) calls this and returns true; it answers
    // later with answer_publish.
    void defer_publish_answer() noexcept { publish_answer_deferred_ = true; }
    // Answers the last publish command as its handler's result would have:
    // NetStream.Publish.Start, or the error-level refusal. Under the stack
    // lock.
    void answer_publish(bool started);

  private:
    void on_connection_command(light_string name, double transaction, buffer_reader& args);
    void on_stream_command(light_string name, double transaction, buffer_reader& args);
    void on_connect(double transaction, buffer_reader& args);
    void on_play(buffer_reader& args);
    void on_publish(buffer_reader& args);
    void on_seek(buffer_reader& args);
    void on_pause(buffer_reader& args);

    bool publish_answer_deferred_ = false;
};

// Thrown after the reply to a refused connect has been queued: the
// connection closes once that reply has been written.
class connection_refused : public std::runtime_error {
  public:
    connection_refused() : std::runtime_error("Connection has been refused") {}
};

}  // namespace rtmp
