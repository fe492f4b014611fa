#include "rtmp/rtmp_net_stream.hpp"

#include <algorithm>
#include <cstring>

#include "rtmp/amf0_args.hpp"

namespace rtmp {

namespace {

bool is(light_string name, std::string_view command) {
    return light_string_equals(name, command);
}

// Writes the start of a command body: name, transaction id, null.
void write_command_head(buffer_writer& body, light_string name, double transaction) {
    amf0_string(name).write(body);
    amf0_number(transaction).write(body);
    amf0_null().write(body);
}

void write_status_object(buffer_writer& body, light_string level, light_string code,
                         light_string description) {
    body.write_u8(amf0_object::type_marker);
    amf0_write_level(body, level);
    amf0_write_code(body, code);
    amf0_write_description(body, description);
}

constexpr std::uint8_t end_of_sequence[5] = {0x17, 0x02, 0x00, 0x00, 0x00};

}  // namespace

std::optional<std::uint32_t> wire_uint32(double value) noexcept {
    if (!(value >= 0 && value < 4294967296.0)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

void message_body::grow(std::uint32_t needed) {
    const std::uint32_t new_capacity = std::max(needed, capacity * 2);
    auto bigger = std::make_unique<std::uint8_t[]>(new_capacity);
    std::memcpy(bigger.get(), data, size);
    heap_ = std::move(bigger);
    data = heap_.get();
    capacity = new_capacity;
}

rtmp_net_stream::rtmp_net_stream(rtmp_chunkstreams& chunkstreams, std::uint32_t stream_id)
    : chunkstreams_(chunkstreams),
      stream_id_(stream_id),
      command_stream_(&chunkstreams.open_output_stream(3 * stream_id + 3)) {}

rtmp_net_stream::~rtmp_net_stream() {
    for (const output_chunkstream* stream : {command_stream_, video_stream_, audio_stream_}) {
        if (stream != nullptr) {
            chunkstreams_.close_output_stream(stream->csid);
        }
    }
}

namespace {

void call(const rtmp_net_stream::media_handler& handler, const std::uint8_t* data,
          std::uint32_t size, std::uint32_t timestamp) {
    if (handler) {
        handler(data, size, timestamp);
    }
}

void call(const rtmp_net_stream::data_message_handler& handler, const std::uint8_t* data,
          std::uint32_t size, std::uint32_t timestamp) {
    if (handler) {
        buffer_reader reader(data, size);
        handler(reader, timestamp);
    }
}

}  // namespace

void rtmp_net_stream::on_message(const std::uint8_t* data, std::uint32_t size,
                                 std::uint32_t timestamp, std::uint8_t type) {
    switch (type) {
        case message_type::audio:
            call(audio_handler, data, size, timestamp);
            break;
        case message_type::video:
            call(video_handler, data, size, timestamp);
            break;
        case message_type::data_amf0:
            call(data_handler, data, size, timestamp);
            break;
        case message_type::data_amf3:
            call(data_amf3_handler, data, size, timestamp);
            break;
        case message_type::command_amf3:
        case message_type::command_amf0: {
            buffer_reader args(data, size);
            // A client that asked for AMF3 sends its commands as type 17: a
            // format byte, then the same AMF0 values.
            if (type == message_type::command_amf3) {
                args.read_u8();
            }
            const light_string name = read_amf0<amf0_string>(args);
            const double transaction = read_amf0<amf0_number>(args);
            on_command(name, transaction, args);
            break;
        }
        default:
            break;
    }
}

void rtmp_net_stream::send_command(const buffer_writer& body) {
    write(*command_stream_, message_type::command_amf0, chunkstreams_.now(), body.data, body.size);
}

void rtmp_net_stream::send_status(light_string code, light_string description, light_string level) {
    message_body body;
    write_command_head(body, "onStatus", 0);
    write_status_object(body, level, code, description);
    amf0_write_object_end(body);
    send_command(body);
}

void rtmp_net_stream::send_error(light_string code, double transaction, light_string description) {
    message_body body;
    write_command_head(body, "_error", transaction);
    write_status_object(body, "error", code, description);
    amf0_write_object_end(body);
    send_command(body);
}

void rtmp_net_stream::send_result(double transaction, double number) {
    message_body body;
    write_command_head(body, "_result", transaction);
    amf0_number(number).write(body);
    send_command(body);
}

void rtmp_net_stream::send_sample_access() {
    message_body body;
    amf0_string("|RtmpSampleAccess").write(body);
    amf0_bool(sample_access_audio).write(body);
    amf0_bool(sample_access_video).write(body);
    write(*command_stream_, message_type::data_amf0, chunkstreams_.now(), body.data, body.size);
}

void rtmp_net_stream::send_end_of_sequence_video() {
    if (video_stream_ != nullptr) {
        write(*video_stream_, message_type::video, video_stream_->last_timestamp, end_of_sequence,
              sizeof end_of_sequence);
    }
}

void rtmp_net_stream::send_empty_audio() {
    if (audio_stream_ != nullptr) {
        write(*audio_stream_, message_type::audio, audio_stream_->last_timestamp, nullptr, 0);
    }
}

// BufferEmpty, StreamBegin, BufferReady: the client starts buffering anew.
void rtmp_net_stream::send_buffer_reset() {
    chunkstreams_.send_buffer_empty(stream_id_);
    chunkstreams_.send_stream_begin(stream_id_);
    chunkstreams_.send_buffer_ready(stream_id_);
}

void rtmp_net_stream::send_play_reset_start() {
    send_buffer_reset();
    send_status("NetStream.Play.Reset", "Stream reset", "status");
    send_status("NetStream.Play.Start", "Play stream success", "status");
    send_sample_access();
    flush();
}

void rtmp_net_stream::send_recorded_play_start() {
    chunkstreams_.send_stream_begin(stream_id_);
    chunkstreams_.send_buffer_ready(stream_id_);
    send_status("NetStream.Play.Reset", "Stream reset", "status");
    send_status("NetStream.Play.Start", "Play stream success", "status");
    send_sample_access();
    flush();
}

void rtmp_net_stream::send_pause_notify() {
    chunkstreams_.send_buffer_ready(stream_id_);
    send_end_of_sequence_video();
    send_empty_audio();
    send_status("NetStream.Pause.Notify", "Pause success", "status");
}

void rtmp_net_stream::send_unpause_notify() {
    send_buffer_reset();
    send_status("NetStream.Unpause.Notify", "Unpause success", "status");
    send_status("NetStream.Play.Start", "Play stream starts", "status");
}

void rtmp_net_stream::send_seek_notify() {
    chunkstreams_.send_buffer_ready(stream_id_);
    send_end_of_sequence_video();
    send_empty_audio();
    send_buffer_reset();
    send_status("NetStream.Seek.Notify", "Stream seeking succeeded", "status");
    send_status("NetStream.Play.Start", "Play stream success", "status");
}

void rtmp_net_stream::send_play_stop() {
    chunkstreams_.send_buffer_ready(stream_id_);
    send_end_of_sequence_video();
    chunkstreams_.send_stream_eof(stream_id_);
    send_status("NetStream.Play.Stop", "Stream stopped", "status");
}

void rtmp_net_stream::send_seek_failed() {
    chunkstreams_.send_buffer_ready(stream_id_);
    send_end_of_sequence_video();
    send_empty_audio();
    chunkstreams_.send_buffer_empty(stream_id_);
    chunkstreams_.send_stream_dry(stream_id_);
    send_status("NetStream.Seek.Failed", "Stream seeking failed", "error");
    send_status("NetStream.Play.Stop", "Stream stopped", "status");
}

void rtmp_net_stream::send_publish_notify() {
    send_status("NetStream.Play.PublishNotify", "Stream now is published.", "status");
}

void rtmp_net_stream::send_unpublish_notify() {
    send_status("NetStream.Play.UnpublishNotify", "Stream now is unpublished.", "status");
}

bool rtmp_net_stream::open_media_streams() {
    const std::uint32_t missing = (video_stream_ == nullptr) + (audio_stream_ == nullptr);
    if (!chunkstreams_.has_room_for_output_streams(missing)) {
        return false;
    }
    video_stream_ = &chunkstreams_.open_output_stream(3 * stream_id_ + 4);
    audio_stream_ = &chunkstreams_.open_output_stream(3 * stream_id_ + 5);
    return true;
}

void rtmp_server_netstream::on_command(light_string name, double transaction, buffer_reader& args) {
    if (stream_id() == 0) {
        on_connection_command(name, transaction, args);
    } else {
        on_stream_command(name, transaction, args);
    }
}

void rtmp_server_netstream::on_connection_command(light_string name, double transaction,
                                                  buffer_reader& args) {
    if (is(name, "connect")) {
        on_connect(transaction, args);
        return;
    }
    if (is(name, "createStream")) {
        std::uint32_t id = 0;
        if (create_stream_handler && create_stream_handler(id)) {
            send_result(transaction, id);
        } else {
            send_error("NetStream.Failed", transaction, "createStream failed");
        }
    } else if (is(name, "deleteStream")) {
        read_amf0_null(args);
        // An id that is no unsigned 32-bit number names no stream.
        const auto id = wire_uint32(read_amf0<amf0_number>(args));
        if (id && delete_stream_handler) {
            delete_stream_handler(*id);
        }
    } else if (is(name, "close")) {
        if (close_handler) {
            close_handler();
        }
    } else if (call_handler) {
        call_handler(name, transaction, args);
    } else {
        send_error("NetConnection.Call.Failed", transaction, "Not implemented");
    }
    flush();
}

void rtmp_server_netstream::on_connect(double transaction, buffer_reader& args) {
    amf0_object command;
    amf0_read_expected(args, command);
    std::string reason;
    const bool accepted =
        connect_handler ? connect_handler(command, reason) : (reason = "Not implemented", false);
    if (!accepted) {
        send_error("NetConnection.Connect.Rejected", transaction, reason);
        flush();
        throw connection_refused();
    }

    rtmp_chunkstreams& chunks = chunkstreams();
    chunks.send_window_ack_size(rtmp_chunkstreams::default_window);
    chunks.send_peer_bandwidth();
    chunks.send_chunk_size();
    chunks.send_stream_begin(0);

    const amf0_based* encoding = command.find("objectEncoding");
    message_body result;
    amf0_string("_result").write(result);
    amf0_number(1).write(result);
    result.write_u8(amf0_object::type_marker);
    amf0_write_fms_ver(result, "FMS/4,0,0,1121");
    amf0_write_key(result, "capabilities");
    amf0_number(255).write(result);
    amf0_write_key(result, "mode");
    amf0_number(1).write(result);
    amf0_write_object_end(result);
    write_status_object(result, "status", "NetConnection.Connect.Success", "Connection succeeded");
    amf0_write_object_encoding(result,
                               encoding != nullptr && encoding->marker == amf0_number::type_marker
                                   ? static_cast<const amf0_number*>(encoding)->value
                                   : 0);
    amf0_write_object_end(result);
    send_command(result);
    flush();

    message_body bandwidth_done;
    write_command_head(bandwidth_done, "onBWDone", 0);
    send_command(bandwidth_done);
    flush();
}

void rtmp_server_netstream::on_stream_command(light_string name, double transaction,
                                              buffer_reader& args) {
    if (is(name, "play")) {
        on_play(args);
    } else if (is(name, "play2")) {
        // Bitrate switching is not offered.
    } else if (is(name, "publish")) {
        on_publish(args);
    } else if (is(name, "pause")) {
        on_pause(args);
    } else if (is(name, "pauseRaw")) {
        read_amf0_null(args);
        const bool flag = read_amf0<amf0_bool>(args);
        const double milliseconds = read_amf0<amf0_number>(args);
        if (pause_raw_handler) {
            pause_raw_handler(flag, milliseconds);
        }
    } else if (is(name, "seek")) {
        on_seek(args);
    } else if (is(name, "receiveVideo") || is(name, "receiveAudio")) {
        read_amf0_null(args);
        const bool flag = read_amf0<amf0_bool>(args);
        const auto& handler =
            is(name, "receiveVideo") ? receive_video_handler : receive_audio_handler;
        if (handler) {
            handler(flag);
        }
    } else if (is(name, "closeStream")) {
        if (close_stream_handler) {
            close_stream_handler();
        }
        flush();
    } else if (call_handler) {
        // A publisher's own commands (ending a recording, for one).
        call_handler(name, transaction, args);
    }
}

void rtmp_server_netstream::on_play(buffer_reader& args) {
    read_amf0_null(args);
    const light_string name = read_amf0<amf0_string>(args);
    double start = -2000, duration = -1000;
    bool reset = false;
    if (args.remaining() != 0) {
        start = read_amf0<amf0_number>(args);
    }
    if (args.remaining() != 0) {
        duration = read_amf0<amf0_number>(args);
    }
    if (args.remaining() != 0) {
        reset = args.peek_u8() == amf0_bool::type_marker ? read_amf0<amf0_bool>(args)
                                                         : read_amf0<amf0_number>(args) != 0;
    }
    if (!play_handler) {
        send_status("NetStream.Play.StreamNotFound", "Not implemented", "error");
    } else if (!play_handler(name, start, duration, reset)) {
        send_status("NetStream.Play.StreamNotFound", "Play stream error", "error");
    }
    flush();
}

void rtmp_server_netstream::on_publish(buffer_reader& args) {
    read_amf0_null(args);
    const light_string name = read_amf0<amf0_string>(args);
    const light_string type = read_amf0<amf0_string>(args);
    publish_answer_deferred_ = false;
    if (!publish_handler) {
        send_status("NetStream.Publish.BadName", "Publish failed, not implemented", "error");
        flush();
        return;
    }
    const bool started = publish_handler(name, type);
    if (!publish_answer_deferred_) {
        answer_publish(started);
    }
}

void rtmp_server_netstream::answer_publish(bool started) {
    publish_answer_deferred_ = false;
    if (started) {
        send_status("NetStream.Publish.Start", "Publish started", "status");
    } else {
        send_status("NetStream.Publish.BadName", "Publish failed, bad name", "error");
    }
    flush();
}

void rtmp_server_netstream::on_pause(buffer_reader& args) {
    read_amf0_null(args);
    bool pause = false, toggle = false;
    if (args.peek_u8() == amf0_undefined::type_marker) {
        amf0_undefined undefined;
        amf0_read_expected(args, undefined);
        toggle = true;
    } else {
        pause = read_amf0<amf0_bool>(args);
    }
    const double milliseconds = read_amf0<amf0_number>(args);
    if (pause_handler) {
        pause_handler(pause, toggle, milliseconds);
    }
    flush();
}

void rtmp_server_netstream::on_seek(buffer_reader& args) {
    read_amf0_null(args);
    const double milliseconds = read_amf0<amf0_number>(args);
    if (!seek_handler) {
        send_status("NetStream.Seek.Failed", "Seek failed, not implemented", "error");
    } else if (!seek_handler(milliseconds)) {
        send_status("NetStream.Seek.Failed", "Seek failed", "error");
    }
    flush();
}

}  // namespace rtmp
