// Writes the seed corpora of the session and group-text fuzzers (their
// inputs are described in session_fuzzer.cpp and group_text_fuzzer.cpp)
// from what our test client sends: the NetConnection's calls, NetGroup
// joins and NetStream commands on the flows the session fuzzer opens, and
// group specifiers. scripts/make-fuzz-seeds.py runs it.
//
//   rtmfp_fuzz_seeds SEEDS_DIR   writes SEEDS_DIR/rtmfp_session/* and
//                                SEEDS_DIR/rtmfp_group_text/* anew
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/hex.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
namespace fs = std::filesystem;

// The session fuzzer's flows: 1 the NetConnection, 2 NetStream 1, 3 the
// NetGroup stream, each with its first message taken; 4 opens NetStream 5.
constexpr std::uint32_t netconnection_flow = 1;
constexpr std::uint32_t netstream_flow = 2;
constexpr std::uint32_t netgroup_flow = 3;
constexpr std::uint32_t new_netstream_flow = 4;
const bytes new_netstream_signature{0x00, 0x54, 0x43, 0x04, 0x05};

// Steps of the session fuzzer.
class session_steps {
  public:
    // A packet from its marker on, with the chunks.
    session_steps& packet(const std::vector<bytes>& chunks, bool from_elsewhere = false) {
        bytes body{0x89, 0x12, 0x34};
        for (const bytes& chunk : chunks) {
            body.insert(body.end(), chunk.begin(), chunk.end());
        }
        out_.push_back(from_elsewhere ? 5 : 0);
        put_u16(body.size());
        out_.insert(out_.end(), body.begin(), body.end());
        return *this;
    }
    // Messages of a flow from `sequence` on, in one packet: the first in a
    // 0x10 chunk, each further one in a 0x11 that continues it.
    session_steps& messages(std::uint32_t flow, std::uint32_t sequence,
                            const std::vector<bytes>& messages,
                            const std::optional<bytes>& signature = std::nullopt) {
        std::vector<bytes> chunks;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            chunks.push_back(
                i == 0 ? test_client::user_data(0x00, flow, sequence, 1, signature, messages[i])
                       : test_client::next_user_data(0x00, messages[i]));
        }
        return packet(chunks);
    }
    // A message cut into fragments of `size` bytes, each in its own packet.
    session_steps& fragments(std::uint32_t flow, std::uint32_t sequence, const bytes& message,
                             std::size_t size) {
        const std::size_t count = (message.size() + size - 1) / size;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t position = i == 0 ? 0x10 : i + 1 == count ? 0x20 : 0x30;
            const auto from = message.begin() + static_cast<std::ptrdiff_t>(i * size);
            const bytes piece(from, from + static_cast<std::ptrdiff_t>(
                                               std::min(size, message.size() - i * size)));
            const auto n = static_cast<std::uint32_t>(sequence + i);
            packet({test_client::user_data(position, flow, n, 1 + i, std::nullopt, piece)});
        }
        return *this;
    }
    session_steps& tick(std::uint8_t units = 250) {
        out_.insert(out_.end(), {1, units});
        return *this;
    }
    session_steps& ack(std::uint8_t flow, std::uint16_t cumulative, bool bitmap) {
        out_.insert(out_.end(), {3, flow});
        put_u16(cumulative);
        out_.push_back(bitmap ? 0 : 1);
        return *this;
    }
    // The NetConnection writes a message of `size` bytes to the client.
    session_steps& server_writes(std::uint16_t size) {
        out_.push_back(4);
        put_u16(size);
        return *this;
    }
    const bytes& bytes_() const { return out_; }

  private:
    void put_u16(std::size_t value) {
        out_.push_back(static_cast<std::uint8_t>(value >> 8));
        out_.push_back(static_cast<std::uint8_t>(value));
    }
    bytes out_;
};

bytes amf0_true() {
    return {0x01, 0x01};
}

bytes media(std::uint8_t type, std::uint32_t time, const bytes& payload) {
    return cat(bytes{type, std::uint8_t(time >> 24), std::uint8_t(time >> 16),
                     std::uint8_t(time >> 8), std::uint8_t(time)},
               payload);
}

// A NetGroup join: kind 0x01, then the VLU length of 0x10 and a specifier,
// or of 0x15 and a group id.
bytes join(std::uint8_t by, const bytes& name) {
    const bytes body = cat(bytes{by}, name);
    return cat(bytes{0x01}, test_client::vlu(static_cast<std::uint32_t>(body.size())), body);
}

// A specifier: "G:" and the hex digits of its options, each a VLU length and
// a type and value; an empty option is the separator.
std::string specifier(const std::vector<bytes>& options) {
    bytes encoded;
    for (const bytes& option : options) {
        encoded = cat(encoded, test_client::vlu(static_cast<std::uint32_t>(option.size())), option);
    }
    return "G:" + hex_encode(encoded.data(), encoded.size());
}

const bytes separator{};

std::vector<std::pair<std::string, std::string>> group_texts() {
    const bytes digest(32, 0xA7);
    return {
        {"identity_and_options", specifier({hex("01"), hex("0100"), separator, hex("0e")})},
        {"without_separator", specifier({hex("01"), hex("0100"), hex("0e")})},
        {"two_byte_types", specifier({hex("8101ff"), separator, hex("8201")})},
        {"long_option", specifier({cat(hex("1b"), digest), separator, hex("0d")})},
        {"upper_case_digits", "G:0101010200010E"},
        {"separator_first", specifier({separator, hex("01")})},
        {"two_separators", specifier({hex("01"), separator, separator})},
        {"option_past_the_end", "G:0501020300"},
        {"odd_length", "G:010101020"},
        {"not_hex", "G:01010102000z0e"},
        {"too_short", "G:0101"},
        {"no_prefix", "H:0101010200010e"},
    };
}

std::vector<std::pair<std::string, bytes>> session_seeds() {
    const std::string group = "G:0101010200010e";
    const bytes group_id(32, 0x42);
    std::vector<std::pair<std::string, bytes>> seeds;

    seeds.emplace_back(
        "netconnection_calls",
        session_steps()
            .messages(netconnection_flow, 2,
                      {set_peer_info({"127.0.0.1:5000", "[fe80::1]:2222", "10.0.0.5:1111"}),
                       stat_call(3), command_message("createStream", 4, amf0_null_value()),
                       command_message("deleteStream", 0, amf0_null_value(), {amf0_num(1)}),
                       command_message("custom", 6, amf0_null_value(), {amf0_text("x")})})
            .tick()
            .bytes_());
    seeds.emplace_back(
        "second_connect",
        session_steps()
            .messages(netconnection_flow, 2, {command_message("connect", 2, connect_object())})
            .bytes_());
    seeds.emplace_back(
        "netgroup_joins",
        session_steps()
            .messages(netgroup_flow, 2,
                      {join(0x10, to_bytes("G:01010102000216ff")), join(0x15, group_id),
                       join(0x15, group_id), join(0x12, group_id), join(0x10, to_bytes(group))})
            .messages(netconnection_flow, 2, {stat_call(2)})
            .bytes_());
    seeds.emplace_back("malformed_group_text",
                       session_steps()
                           .messages(netgroup_flow, 2, {join(0x10, to_bytes("G:0101000001"))})
                           .bytes_());
    seeds.emplace_back(
        "netstream_play",
        session_steps()
            .messages(
                netstream_flow, 2,
                {command_message("play", 0, amf0_null_value(),
                                 {amf0_text("clip"), amf0_num(5), amf0_num(10), amf0_true()}),
                 command_message("pause", 0, amf0_null_value(), {amf0_true(), amf0_num(1500)}),
                 command_message("seek", 0, amf0_null_value(), {amf0_num(2500)}),
                 command_message("receiveAudio", 0, amf0_null_value(), {amf0_true()}),
                 command_message("closeStream", 0, amf0_null_value())})
            .bytes_());
    seeds.emplace_back(
        "netstream_publish",
        session_steps()
            .messages(netstream_flow, 2,
                      {command_message("publish", 0, amf0_null_value(),
                                       {amf0_text("live"), amf0_text("record")}),
                       cat(bytes{0x0F, 0x00, 0x00, 0x00, 0x00}, amf0_text("@setDataFrame"),
                           amf0_text("onMetaData"),
                           amf0_object_of({{"width", amf0_num(320)}, {"height", amf0_num(240)}})),
                       media(0x08, 0, hex("af 00 12 10")), media(0x09, 0, hex("17 00 00 00 00")),
                       media(0x09, 40, hex("27 01 00 00 00 aa bb"))})
            .bytes_());
    seeds.emplace_back("new_netstream_flow",
                       session_steps()
                           .messages(new_netstream_flow, 1,
                                     {command_message("publish", 0, amf0_null_value(),
                                                      {amf0_text("other"), amf0_text("live")}),
                                      media(0x08, 20, hex("af 01 21 00"))},
                                     new_netstream_signature)
                           .bytes_());
    seeds.emplace_back(
        "fragmented_message",
        session_steps()
            .fragments(netstream_flow, 2, cat(bytes{0x09, 0, 0, 0, 80}, bytes(2500, 0x5C)), 1000)
            .bytes_());
    seeds.emplace_back("server_writes_and_acks", session_steps()
                                                     .server_writes(4000)
                                                     .ack(2, 1, false)
                                                     .tick()
                                                     .ack(2, 2, true)
                                                     .server_writes(300)
                                                     .tick()
                                                     .tick()
                                                     .ack(2, 5, false)
                                                     .bytes_());
    seeds.emplace_back("keep_alive_move_and_end",
                       session_steps()
                           .packet({test_client::ping(hex("01 02")), test_client::chunk(0x41, {})})
                           .packet({test_client::ping()}, true)
                           .messages(netconnection_flow, 2, {stat_call(2)})
                           .packet({test_client::chunk(0x4C, {})})
                           .bytes_());
    return seeds;
}

void write_folder(const fs::path& folder, const std::vector<std::pair<std::string, bytes>>& seeds) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& [name, data] : seeds) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rtmfp_fuzz_seeds SEEDS_DIR\n");
        return 2;
    }
    const fs::path seeds = argv[1];
    write_folder(seeds / "rtmfp_session", session_seeds());
    std::vector<std::pair<std::string, bytes>> texts;
    for (const auto& [name, text] : group_texts()) {
        texts.emplace_back(name, to_bytes(text));
    }
    write_folder(seeds / "rtmfp_group_text", texts);
    return 0;
}
