#include "rtmfp/server_netstream.hpp"

#include <stdexcept>

#include "rtmfp/flows.hpp"
#include "rtmfp/netconnection.hpp"

rtmfp_server_netstream::rtmfp_server_netstream(std::uint32_t stream_id,
                                               std::shared_ptr<rtmfp_session> session)
    : rtmfp_netstream(stream_id, std::move(session)) {}

rtmfp_server_netstream::~rtmfp_server_netstream() = default;

void rtmfp_server_netstream::on_audio(std::uint32_t time, const std::uint8_t* bytes,
                                      std::uint32_t length) {
    if (mode_ != publishing) {
        throw std::runtime_error("Publish has not called");
    }
    for (const auto& sink : sinks_) {
        sink->on_audio(time, bytes, length);
    }
}

void rtmfp_server_netstream::on_video(std::uint32_t time, const std::uint8_t* bytes,
                                      std::uint32_t length) {
    if (mode_ != publishing) {
        throw std::runtime_error("Publish has not called");
    }
    for (const auto& sink : sinks_) {
        sink->on_video(time, bytes, length);
    }
}

void rtmfp_server_netstream::on_command(buffer_reader& args, light_string name, double,
                                        amf0_based&) {
    if (light_string_equals(name, "play")) {
        play(args);
    } else if (light_string_equals(name, "publish")) {
        publish(args);
    } else if (light_string_equals(name, "pause")) {
        amf0_bool pause;
        amf0_read_expected(args, pause);
        amf0_number time;
        amf0_read_expected(args, time);
        handlers_.run_until_refused([&](rtmfp_netstream_handler& handler) {
            return handler.on_pause(pause.value, time.value);
        });
    } else if (light_string_equals(name, "seek")) {
        amf0_number time;
        amf0_read_expected(args, time);
        handlers_.run_until_refused(
            [&](rtmfp_netstream_handler& handler) { return handler.on_seek(time.value); });
    } else if (light_string_equals(name, "closeStream")) {
        close_stream();
    }
}

void rtmfp_server_netstream::play(buffer_reader& args) {
    amf0_string stream_name;
    amf0_read_expected(args, stream_name);
    amf0_number start(0);
    amf0_number duration(-1);
    amf0_bool reset(false);
    // The three go together: a start without the others is malformed.
    if (args.remaining() != 0) {
        amf0_read_expected(args, start);
        amf0_read_expected(args, duration);
        amf0_read_expected(args, reset);
    }
    if (mode_ != idle) {
        refuse_play();
        return;
    }
    handlers_.run_until_refused([&](rtmfp_netstream_handler& handler) {
        return handler.on_play(stream_name, start.value, duration.value, reset.value);
    });
}

void rtmfp_server_netstream::publish(buffer_reader& args) {
    amf0_string stream_name;
    amf0_read_expected(args, stream_name);
    amf0_string type;
    amf0_read_expected(args, type);
    if (mode_ != idle) {
        refuse_play();
        return;
    }
    handlers_.run_until_refused(
        [&](rtmfp_netstream_handler& handler) { return handler.on_publish(stream_name, type); });
}

void rtmfp_server_netstream::close_stream() {
    mode_ = idle;
    handlers_.run_all([](rtmfp_netstream_handler& handler) { handler.on_close(); });
    sinks_.clear();
}

void rtmfp_server_netstream::refuse_play() {
    if (rtmfp_out_flow_writer* out = begin_message()) {
        rtmfp_write_command_header(*out, "onStatus", 0);
        rtmfp_write_status(*out, "status", "NetStream.Play.Failed",
                           "Another play or publish is in progress");
        out->flush();
    }
}
