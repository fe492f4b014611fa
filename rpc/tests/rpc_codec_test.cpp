#include "rpc/rpc_codec.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "rpc/rpc_frame.hpp"
#include "rpc/tests/hex_bytes.hpp"

namespace rpc {
namespace {

using testing::hex;
using testing::plain_hex;
using testing::to_hex;

template <typename T>
void expect_round_trip(const T& value, const std::string& expected_hex) {
    SCOPED_TRACE(expected_hex);
    byte_buffer encoded;
    append_values(encoded, value);
    EXPECT_EQ(to_hex(encoded), plain_hex(expected_hex));
    const auto [decoded] = decode_values<T>(encoded.data(), encoded.size());
    EXPECT_EQ(decoded, value);
}

TEST(RpcCodec, EncodesEveryTypeLittleEndianAndReadsItBack) {
    expect_round_trip(std::int32_t{-2}, "feffffff");
    expect_round_trip(std::int32_t{0x01020304}, "04030201");
    expect_round_trip(std::uint32_t{0xF0000001}, "010000f0");
    expect_round_trip(true, "01");
    expect_round_trip(false, "00");
    expect_round_trip(std::string(), "0000");
    expect_round_trip(std::string("abc"), "0300 616263");
    // Bytes pass through unchanged, a zero byte included.
    expect_round_trip(std::string("\xc3\xa9\0x", 4), "0400 c3a90078");
    expect_round_trip(string_map{}, "0000");
    // Pairs leave in ascending byte order of their keys: "z" (0x7a) before
    // "\xc3\xa9" (a high byte that a signed comparison would put first), and
    // a key before the longer keys it begins.
    expect_round_trip(string_map{{"\xc3\xa9", "1"}, {"z", "2"}, {"za", ""}},
                      "0300"
                      "0100 7a 0100 32"
                      "0200 7a61 0000"
                      "0200 c3a9 0100 31");
    expect_round_trip(string_map_vector{}, "0000");
    expect_round_trip(string_map_vector{{{"k", "v"}}, {}},
                      "0200"
                      "0100 0100 6b 0100 76"
                      "0000");
}

TEST(RpcCodec, DecodesArgumentsInDeclarationOrder) {
    const byte_buffer payload =
        hex("07000000"                // integer 7
            "0400 6c697665"           // "live"
            "0100 0100 61 0200 6262"  // {"a": "bb"}
            "02");                    // any non-zero byte is true
    const auto [number, name, parameters, flag] =
        decode_values<std::int32_t, std::string, string_map, bool>(payload.data(), payload.size());
    EXPECT_EQ(number, 7);
    EXPECT_EQ(name, "live");
    EXPECT_EQ(parameters, (string_map{{"a", "bb"}}));
    EXPECT_TRUE(flag);
}

TEST(RpcCodec, RepeatedMapKeyKeepsItsFirstValue) {
    const byte_buffer payload = hex("0200 0100 6b 0100 31 0100 6b 0100 32");
    const auto [map] = decode_values<string_map>(payload.data(), payload.size());
    EXPECT_EQ(map, (string_map{{"k", "1"}}));
}

TEST(RpcCodec, DecodeErrorsNameWhatWentWrong) {
    struct decode_case {
        const char* name;
        std::string payload;
        std::function<void(const byte_buffer&)> decode;
        const char* message;
    };
    const auto as_string = [](const byte_buffer& b) {
        decode_values<std::string>(b.data(), b.size());
    };
    const decode_case cases[] = {
        {"half a string length", "03", as_string, "stream error"},
        {"string shorter than its length", "0300 6162", as_string, "stream error"},
        {"short integer", "010203",
         [](const byte_buffer& b) { decode_values<std::uint32_t>(b.data(), b.size()); },
         "stream error"},
        {"missing boolean", "",
         [](const byte_buffer& b) { decode_values<bool>(b.data(), b.size()); }, "stream error"},
        {"map without its last value", "0100 0100 61",
         [](const byte_buffer& b) { decode_values<string_map>(b.data(), b.size()); },
         "stream error"},
        {"vector with fewer maps than counted", "0200 0000",
         [](const byte_buffer& b) { decode_values<string_map_vector>(b.data(), b.size()); },
         "stream error"},
        {"second argument missing", "0000",
         [](const byte_buffer& b) { decode_values<std::string, bool>(b.data(), b.size()); },
         "stream error"},
        {"byte after the last argument", "0000 00", as_string, "parameter error"},
        {"payload for a method without arguments", "00",
         [](const byte_buffer& b) { decode_values<>(b.data(), b.size()); }, "parameter error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.decode(hex(c.payload));
            ADD_FAILURE() << "decoded";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

TEST(RpcCodec, CountsOverSixteenBitsFailWithSizeError) {
    const std::string longest(0xFFFF, 'x');
    byte_buffer out;
    append_values(out, longest);
    ASSERT_EQ(out.size(), 2u + 0xFFFF);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(std::get<0>(decode_values<std::string>(out.data(), out.size())), longest);

    string_map too_many_pairs;
    string_map_vector too_many_maps(0x10000);
    for (std::uint32_t i = 0; i < 0x10000; ++i) {
        too_many_pairs.emplace(std::to_string(i), "");
    }
    const std::function<void(byte_buffer&)> over_limit[] = {
        [](byte_buffer& b) { append_values(b, std::string(0x10000, 'x')); },
        [&](byte_buffer& b) { append_values(b, too_many_pairs); },
        [&](byte_buffer& b) { append_values(b, too_many_maps); },
        [](byte_buffer& b) {
            append_values(b, string_map{{std::string(0x10000, 'k'), ""}});
        },
    };
    for (const auto& encode : over_limit) {
        byte_buffer buffer;
        try {
            encode(buffer);
            ADD_FAILURE() << "encoded " << buffer.size() << " bytes";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "size error");
        }
    }
}

TEST(RpcFrame, FramesHaveTheirFiveLittleEndianHeaderWords) {
    struct frame_case {
        const char* name;
        byte_buffer frame;
        std::string expected;
    };
    const frame_case cases[] = {
        {"reply with results", encode_reply(0x0000000200000001, true, std::string("ok")),
         "00000000 01000000 02000000 00000000 05000000  01 0200 6f6b"},
        {"request", encode_request(9, 0xAABBCCDD11223344, std::string("p")),
         "09000000 44332211 ddccbbaa 00000000 03000000  0100 70"},
        {"error reply", encode_error_reply(0x0000000300000004, call_status::bad_arguments),
         "00000000 04000000 03000000 02000000 00000000"},
        {"keep-alive", encode_keep_alive(), "ffffffff 00000000 00000000 00000000 00000000"},
        {"keep-alive answer", encode_keep_alive_answer(),
         "00000000 00000000 00000000 00000000 00000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to_hex(c.frame), plain_hex(c.expected));
    }

    const frame_header header =
        read_frame_header(hex("09000000 44332211 ddccbbaa 07000000 03000000").data());
    EXPECT_EQ(header.kind, 9u);
    EXPECT_EQ(header.call_id, 0xAABBCCDD11223344u);
    EXPECT_EQ(header.status, static_cast<call_status>(7));
    EXPECT_EQ(header.payload_length, 3u);
}

TEST(RpcFrame, ReplyOverItsLimitsIsNotEncoded) {
    try {
        encode_reply(1, false, std::string(0x10000, 'e'));
        ADD_FAILURE() << "encoded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "size error");
    }
}

}  // namespace
}  // namespace rpc
