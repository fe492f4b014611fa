#include "rtmfp/netconnection.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "rtmfp/flows.hpp"
#include "rtmfp/packet.hpp"
#include "rtmfp/server_session.hpp"

namespace {

constexpr std::uint8_t command_message = 0x14;
// What answers setPeerInfo: a message of its own type with fixed values.
constexpr std::uint8_t peer_info_message = 0x04;
constexpr std::uint16_t peer_info_kind = 41;
constexpr std::uint32_t peer_info_interval = 15000;
// Announced addresses beyond these are not read.
constexpr int max_announced_addresses = 12;
constexpr double object_encoding = 3;

// A message into the stream's out flow; nothing when it has none (it is
// closing).
template <class Write>
void reply(rtmfp_netstream& stream, Write&& write) {
    if (rtmfp_out_flow_writer* out = stream.begin_message()) {
        write(*out);
        out->flush();
    }
}

void write_command_header(buffer_writer& out, light_string name, double transaction_id) {
    out.write_u8(command_message);
    out.write_u32_be(0);
    amf0_string(name).write(out);
    amf0_number(transaction_id).write(out);
    amf0_null().write(out);
}

void write_status(buffer_writer& out, light_string level, light_string code,
                  light_string description) {
    out.write_u8(amf0_object::type_marker);
    amf0_write_level(out, level);
    amf0_write_code(out, code);
    if (!description.empty()) {
        amf0_write_description(out, description);
    }
    amf0_write_object_end(out);
}

void write_number_property(buffer_writer& out, light_string key, double value) {
    amf0_write_key(out, key);
    amf0_number(value).write(out);
}

void reply_create_stream_failed(rtmfp_netstream& stream, double transaction_id,
                                light_string description) {
    reply(stream, [&](buffer_writer& out) {
        write_command_header(out, "_error", transaction_id);
        write_status(out, "error", "NetConnection.CreateStream.Failed", description);
    });
}

// A stream id the client may name: an integer from 1 to 2^31 - 1 (NaN fails
// every comparison).
bool is_stream_id(double value) {
    return value >= 1 && value <= std::numeric_limits<std::int32_t>::max() &&
           std::floor(value) == value;
}

}  // namespace

rtmfp_server_netconnection::rtmfp_server_netconnection(
    const std::shared_ptr<rtmfp_server_session>& session)
    : rtmfp_netstream(netconnection_id, session) {}

rtmfp_server_session& rtmfp_server_netconnection::server_session() const {
    if (!session()) {
        throw std::logic_error("The NetConnection is closed");
    }
    return static_cast<rtmfp_server_session&>(*session());
}

void rtmfp_server_netconnection::on_command(buffer_reader& args, light_string name,
                                            double transaction_id, amf0_based& command_object) {
    if (light_string_equals(name, "connect")) {
        connect(args, transaction_id, command_object);
    } else if (light_string_equals(name, "createStream")) {
        create_stream(transaction_id);
    } else if (light_string_equals(name, "setPeerInfo")) {
        set_peer_info(args);
    } else if (light_string_equals(name, "deleteStream")) {
        delete_stream(args);
    } else if (light_string_equals(name, "stat")) {
        stat(transaction_id);
    } else {
        server_session().run_call(name, transaction_id, command_object, args);
    }
}

void rtmfp_server_netconnection::connect(buffer_reader& args, double transaction_id,
                                         amf0_based& command_object) {
    rtmfp_server_session& session = server_session();
    auto* command = dynamic_cast<amf0_object*>(&command_object);
    if (session.state() != rtmfp_session::state_type::fresh || command == nullptr) {
        throw std::runtime_error("Invalid connect command");
    }
    if (!session.run_connect(*command, args)) {
        throw std::runtime_error("Server rejected the connection");
    }
    session.set_connected();
    reply(*this, [&](buffer_writer& out) {
        write_command_header(out, "_result", transaction_id);
        out.write_u8(amf0_object::type_marker);
        amf0_write_level(out, "status");
        amf0_write_code(out, "NetConnection.Connect.Success");
        amf0_write_description(out, "RTMFP Connection succeeded");
        amf0_write_object_encoding(out, object_encoding);
        amf0_write_object_end(out);
    });
}

void rtmfp_server_netconnection::create_stream(double transaction_id) {
    rtmfp_server_session& session = server_session();
    if (session.state() != rtmfp_session::state_type::connected) {
        throw std::runtime_error("Invalid createStream command");
    }
    if (session.server_state().limits.allow_create_stream == 0) {
        reply_create_stream_failed(*this, transaction_id, "Not allow to create stream");
        return;
    }
    std::shared_ptr<rtmfp_netstream> stream;
    try {
        stream = session.allocate_stream();
    } catch (const std::exception&) {
        // Every id is taken.
    }
    if (!stream) {
        reply_create_stream_failed(*this, transaction_id, "Too many streams");
        return;
    }
    session.run_stream_created(stream);
    reply(*this, [&](buffer_writer& out) {
        write_command_header(out, "_result", transaction_id);
        amf0_number(stream->stream_id()).write(out);
    });
}

void rtmfp_server_netconnection::set_peer_info(buffer_reader& args) {
    rtmfp_server_session& session = server_session();
    if (session.state() != rtmfp_session::state_type::connected) {
        throw std::runtime_error("Invalid call");
    }
    reply(*this, [](buffer_writer& out) {
        out.write_u8(peer_info_message);
        out.write_u32_be(0);
        out.write_u16_be(peer_info_kind);
        out.write_u32_be(peer_info_interval);
        out.write_u32_be(peer_info_interval);
    });
    std::vector<rtmfp_session::endpoint> announced;
    for (int i = 0; i < max_announced_addresses && args.remaining() != 0; ++i) {
        amf0_string text;
        amf0_read_expected(args, text);
        // One that does not parse is passed over.
        if (const auto address = parse_endpoint_text(text.value.view())) {
            announced.push_back(*address);
        }
    }
    session.set_peer_info(announced);
}

void rtmfp_server_netconnection::delete_stream(buffer_reader& args) {
    amf0_number id;
    amf0_read_expected(args, id);
    if (!is_stream_id(id.value)) {
        return;
    }
    rtmfp_server_session& session = server_session();
    const auto stream_id = static_cast<std::uint32_t>(id.value);
    if (const std::shared_ptr<rtmfp_netstream> stream = session.find_stream(stream_id)) {
        session.run_stream_deleted(stream);
        session.remove_stream(stream_id);
    }
}

void rtmfp_server_netconnection::stat(double transaction_id) {
    rtmfp_server_session& session = server_session();
    reply(*this, [&](buffer_writer& out) {
        write_command_header(out, "_result", transaction_id);
        out.write_u8(amf0_object::type_marker);
        write_number_property(out, "sessions", session.server_state().session_count.load());
        write_number_property(out, "groupSessions",
                              static_cast<double>(session.group_session_count()));
        amf0_write_object_end(out);
    });
}
