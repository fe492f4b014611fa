#include "rtmfp/packet.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/hex.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmfp/cipher.hpp"
#include "rtmfp/tests/test_bytes.hpp"

namespace {

namespace ip = boost::asio::ip;
using namespace std::string_literals;
using namespace rtmfp_test;

// Session keys of the known-answer vectors below.
constexpr rtmfp_key session_key = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                   0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};

TEST(RtmfpVlu, EncodesEveryLengthBoundary) {
    const struct {
        std::uint32_t value;
        std::string wire;
    } cases[] = {
        {0, "\x00"s},
        {127, "\x7F"},
        {128, "\x81\x00"s},
        {200, "\x81\x48"},
        {8191, "\xBF\x7F"},
        // From 8192 the writer takes three bytes although two would do.
        {8192, "\x80\xC0\x00"s},
        {16383, "\x80\xFF\x7F"},
        {16384, "\x81\x80\x00"s},
        {1048575, "\xBF\xFF\x7F"},
        {1048576, "\x80\xC0\x80\x00"s},
        {rtmfp_max_vlu, "\xFF\xFF\xFF\x7F"},
    };
    for (const auto& c : cases) {
        const bytes wire = to_bytes(c.wire);
        EXPECT_EQ(rtmfp_vlu_size(c.value), wire.size()) << c.value;

        std::uint8_t storage[8];
        rtmfp_packet_writer out(storage, sizeof storage);
        rtmfp_write_vlu(out, c.value);
        EXPECT_EQ(output_of(out), wire) << c.value;

        own_buffer_writer flow_out;
        rtmfp_write_vlu(flow_out, c.value);
        EXPECT_EQ(bytes(flow_out.data, flow_out.data + flow_out.size), wire) << c.value;

        rtmfp_packet_reader in(wire);
        EXPECT_EQ(rtmfp_read_vlu(in), c.value);
        EXPECT_EQ(in.pos, wire.size());

        buffer_reader flow_in(wire.data(), static_cast<std::uint32_t>(wire.size()));
        EXPECT_EQ(rtmfp_read_vlu(flow_in), c.value);
        EXPECT_EQ(flow_in.pos, wire.size());
    }
}

TEST(RtmfpVlu, ReadsAtMostFourBytes) {
    // The fourth byte ends the number even when it asks for more; the value
    // then carries one more empty 7-bit group.
    const bytes wire = {0x81, 0x80, 0x80, 0x80, 0x05};
    rtmfp_packet_reader in(wire);
    EXPECT_EQ(rtmfp_read_vlu(in), 1u << 28);
    EXPECT_EQ(in.pos, 4u);
    EXPECT_EQ(in.read_u8(), 0x05);

    // Non-minimal forms are read for what they say.
    const bytes padded = {0x80, 0x80, 0x05};
    rtmfp_packet_reader padded_in(padded);
    EXPECT_EQ(rtmfp_read_vlu(padded_in), 5u);
}

TEST(RtmfpVlu, RefusesWhatItCannotReadOrWrite) {
    const bytes cut = {0x01, 0x81, 0x80};
    rtmfp_packet_reader in(cut);
    in.pos = 1;
    EXPECT_EQ(thrown_message([&] { rtmfp_read_vlu(in); }), "Packet eof");
    EXPECT_EQ(in.pos, 1u);

    buffer_reader flow_in(cut.data(), 3);
    flow_in.pos = 1;
    EXPECT_EQ(thrown_message([&] { rtmfp_read_vlu(flow_in); }), "Buffer eof");
    EXPECT_EQ(flow_in.pos, 1u);

    // Above 28 bits the high bits would be lost on the wire.
    std::uint8_t storage[8];
    rtmfp_packet_writer out(storage, sizeof storage);
    EXPECT_THROW(rtmfp_write_vlu(out, rtmfp_max_vlu + 1), std::out_of_range);
    EXPECT_EQ(out.size, 0u);

    // A number that does not fit whole is not started.
    rtmfp_packet_writer small(storage, 2);
    EXPECT_EQ(thrown_message([&] { rtmfp_write_vlu(small, 8192); }), "Buffer overflow");
    EXPECT_EQ(small.size, 0u);
}

TEST(RtmfpVlu, LengthPrefixedBytesAreViewsAndCannotWrap) {
    const bytes wire = {0x03, 'a', 'b', 'c', 'd'};
    rtmfp_packet_reader in(wire);
    const rtmfp_bytes view = rtmfp_read_vlu_bytes(in);
    EXPECT_EQ(view.data(), wire.data() + 1);
    EXPECT_EQ(view.size(), 3u);
    EXPECT_EQ(in.pos, 4u);

    const struct {
        const char* name;
        bytes wire;
    } refused[] = {
        {"one byte short", {0x05, 'a', 'b', 'c', 'd'}},
        // The largest length a VLU can say: pos + length would wrap.
        {"length near 2^32", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}},
        {"length cut", {0x81}},
    };
    for (const auto& c : refused) {
        rtmfp_packet_reader packet(c.wire);
        EXPECT_EQ(thrown_message([&] { rtmfp_read_vlu_bytes(packet); }), "Packet eof") << c.name;
        EXPECT_EQ(packet.pos, 0u) << c.name;

        buffer_reader message(c.wire.data(), static_cast<std::uint32_t>(c.wire.size()));
        EXPECT_EQ(thrown_message([&] { rtmfp_read_vlu_bytes(message); }), "Buffer eof") << c.name;
        EXPECT_EQ(message.pos, 0u) << c.name;
    }

    // The room for the length and the data is checked before either is
    // written.
    std::uint8_t storage[4];
    rtmfp_packet_writer out(storage, sizeof storage);
    const std::uint8_t data[] = {1, 2, 3, 4};
    EXPECT_EQ(thrown_message([&] { rtmfp_write_vlu_bytes(out, data); }), "Buffer overflow");
    EXPECT_EQ(out.size, 0u);
    rtmfp_write_vlu_bytes(out, rtmfp_bytes(data, 3));
    EXPECT_EQ(output_of(out), (bytes{3, 1, 2, 3}));
}

TEST(RtmfpAddress, RecordsForIpv4AndIpv6) {
    const struct {
        const char* name;
        ip::udp::endpoint endpoint;
        bool is_public;
        std::string wire;
    } cases[] = {
        {"public IPv4", {ip::make_address("1.2.3.4"), 1935}, true, "\x02\x01\x02\x03\x04\x07\x8F"},
        {"local IPv4",
         {ip::make_address("192.168.0.10"), 50000},
         false,
         "\x01\xC0\xA8\x00\x0A\xC3\x50"s},
        {"public IPv6",
         {ip::make_address("2001:db8::1"), 443},
         true,
         "\x82\x20\x01\x0D\xB8\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x01\xBB"s},
        {"local IPv6",
         {ip::make_address("fe80::2"), 1},
         false,
         "\x81\xFE\x80\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x01"s},
    };
    for (const auto& c : cases) {
        const rtmfp_address record = rtmfp_make_address(c.endpoint, c.is_public);
        std::uint8_t storage[32];
        rtmfp_packet_writer out(storage, sizeof storage);
        rtmfp_write_address(out, record);
        EXPECT_EQ(output_of(out), to_bytes(c.wire)) << c.name;

        const bytes wire = to_bytes(c.wire);
        rtmfp_packet_reader in(wire);
        const rtmfp_address read = rtmfp_read_address(in);
        EXPECT_EQ(read, record) << c.name;
        EXPECT_EQ(in.pos, wire.size()) << c.name;
        EXPECT_EQ(read.endpoint(), c.endpoint) << c.name;

        // A record cut anywhere is refused and leaves the reader in place.
        for (std::size_t length = 0; length < wire.size(); ++length) {
            rtmfp_packet_reader cut(wire.data(), static_cast<std::uint32_t>(length));
            EXPECT_EQ(thrown_message([&] { rtmfp_read_address(cut); }), "Packet eof")
                << c.name << " cut at " << length;
            EXPECT_EQ(cut.pos, 0u);
        }
        // A writer without room for the whole record writes none of it.
        rtmfp_packet_writer small(storage, static_cast<std::uint32_t>(wire.size() - 1));
        EXPECT_EQ(thrown_message([&] { rtmfp_write_address(small, record); }), "Buffer overflow")
            << c.name;
        EXPECT_EQ(small.size, 0u) << c.name;
    }
}

TEST(RtmfpAddress, ParsesAnnouncedEndpointTexts) {
    const struct {
        std::string text;
        std::optional<ip::udp::endpoint> expected;
    } cases[] = {
        {"192.168.1.2:1935", ip::udp::endpoint(ip::make_address("192.168.1.2"), 1935)},
        {"10.0.0.1:0", ip::udp::endpoint(ip::make_address("10.0.0.1"), 0)},
        {"[::1]:80", ip::udp::endpoint(ip::make_address("::1"), 80)},
        {"[2001:db8::5]:65535", ip::udp::endpoint(ip::make_address("2001:db8::5"), 65535)},
        {"192.168.1.2", std::nullopt},
        {":80", std::nullopt},
        {"1.2.3.4:", std::nullopt},
        {"1.2.3.4:65536", std::nullopt},
        {"1.2.3.4:99999999999999999999999", std::nullopt},
        {"1.2.3.4:+80", std::nullopt},
        {"1.2.3.4:-1", std::nullopt},
        {"1.2.3.4: 80", std::nullopt},
        {"1.2.3.4:80a", std::nullopt},
        {"1.2.3.4:0x50", std::nullopt},
        {"1.2.3:80", std::nullopt},
        {"host.example:80", std::nullopt},
        {"::1:80", std::nullopt},
        {"[::1:80", std::nullopt},
        {"[::1]", std::nullopt},
        {"[1.2.3.4]:80", std::nullopt},
        {"[::1]:", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_endpoint_text(c.text), c.expected) << c.text;
    }
}

TEST(RtmfpChecksum, MatchesKnownSums) {
    const struct {
        const char* name;
        std::string bytes;
        std::uint16_t expected;
    } cases[] = {
        {"nothing", "", 0xFFFF},
        // The worked example of the Internet checksum.
        {"internet example", "\x00\x01\xF2\x03\xF4\xF5\xF6\xF7"s, 0x220D},
        {"all ones", "\xFF\xFF\xFF\xFF", 0x0000},
        {"odd length", "\x01", 0xFEFF},
        // The plain packets of the sealed vectors below, from the marker on.
        {"keep-alive packet", "\x4A\x12\x34\x01\x00\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, 0x81EC},
        {"data packet",
         "\x4E\x01\x02\x03\x04\x10\x00\x17\x00\x02\x01\x01hello, rtmfp world!"
         "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s,
         0x4D36},
    };
    for (const auto& c : cases) {
        const bytes data = to_bytes(c.bytes);
        EXPECT_EQ(rtmfp_checksum(data.data(), static_cast<std::uint32_t>(data.size())), c.expected)
            << c.name;
    }
}

TEST(RtmfpCipher, MatchesAesCbcWithAZeroIv) {
    // Ciphertexts from `openssl enc -aes-128-cbc -nopad -iv 0...0 -K <key>`.
    bytes counting(32);
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::uint8_t>(i);
    }
    bytes pattern(48);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const struct {
        const char* name;
        const rtmfp_key& key;
        bytes plain;
        std::string cipher;
    } cases[] = {
        {"default key", rtmfp_default_key, counting,
         "\xFB\xAE\xF6\xFC\x92\x22\xA6\x9A\xD8\x3C\x15\xB0\xF6\x7F\x54\x99"
         "\x31\xA1\xC8\x1C\xCB\xFE\x8E\x7A\xD3\x5C\x0C\x1F\xB4\x99\xF4\x3E"},
        {"session key", session_key, pattern,
         "\xC7\x7D\x42\xD2\x77\xD1\x10\x1A\xB4\xBD\x7D\xAA\x88\x4F\x77\x14"
         "\x2E\xD8\x19\x76\xDD\x06\x80\x80\x18\x85\xE5\x2D\x19\x70\x18\x14"
         "\x7C\x42\xAF\x1A\x8B\x50\xE5\x45\xAB\xF0\x17\x02\xA3\xEC\xBA\x79"},
    };
    for (const auto& c : cases) {
        rtmfp_cipher encrypt(c.key, rtmfp_cipher::direction::encrypt);
        rtmfp_cipher decrypt(c.key, rtmfp_cipher::direction::decrypt);
        bytes data = c.plain;
        // Twice: every call starts again from the zero IV.
        for (int round = 0; round < 2; ++round) {
            encrypt.apply(data.data(), static_cast<std::uint32_t>(data.size()));
            EXPECT_EQ(data, to_bytes(c.cipher)) << c.name << " round " << round;
            decrypt.apply(data.data(), static_cast<std::uint32_t>(data.size()));
            EXPECT_EQ(data, c.plain) << c.name << " round " << round;
        }
    }

    rtmfp_cipher encrypt(session_key, rtmfp_cipher::direction::encrypt);
    bytes partial(20, 0xAB);
    EXPECT_THROW(encrypt.apply(partial.data(), 20), std::invalid_argument);
    EXPECT_EQ(partial, bytes(20, 0xAB));
}

std::string hex_of(const rtmfp_key& key) {
    return hex_encode(key.data(), key.size());
}

TEST(RtmfpCipher, AgreesWithTheOpensslCommandOnRandomData) {
    namespace testing = platform::testing;
    ASSERT_TRUE(testing::have_program("openssl"));
    testing::temp_dir dir;
    std::mt19937 random(20240611);
    for (std::uint32_t length : {16u, 48u, 1200u}) {
        bytes plain(length);
        for (auto& byte : plain) {
            byte = static_cast<std::uint8_t>(random());
        }
        rtmfp_key key;
        for (auto& byte : key) {
            byte = static_cast<std::uint8_t>(random());
        }
        testing::write_file(dir / "plain", std::string(plain.begin(), plain.end()));
        const auto result =
            testing::run({"openssl", "enc", "-aes-128-cbc", "-nopad", "-K", hex_of(key), "-iv",
                          std::string(32, '0'), "-in", (dir / "plain").string(), "-out",
                          (dir / "cipher").string()},
                         std::chrono::seconds(20));
        ASSERT_EQ(result.exit_code, 0) << result.err;

        bytes ours = plain;
        rtmfp_cipher(key, rtmfp_cipher::direction::encrypt).apply(ours.data(), length);
        EXPECT_EQ(ours, to_bytes(testing::read_file(dir / "cipher"))) << length;
    }
}

TEST(RtmfpSeal, ProducesKnownDatagramsAndOpensThem) {
    // Datagrams made outside: the checksum of bytes 6.. at offset 4, the
    // bytes from 4 on run through `openssl enc -aes-128-cbc -nopad` with a
    // zero IV, then the far session id XOR the encrypted words at 4 and 8.
    const struct {
        const char* name;
        const rtmfp_key& key;
        std::uint32_t far_session_id;
        std::string plain;  // from the marker on
        std::string sealed;
    } cases[] = {
        {"keep-alive, default key", rtmfp_default_key, 0x01020304,
         "\x4A\x12\x34\x01\x00\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s,
         "\x1A\x36\x4B\x30\x87\x6C\x29\xA8\x9C\x58\x61\x9C\xEF\x85\xFB\xD0\xC7\xF4\x18\x1A"},
        {"data, session key", session_key, 0xCAFEBABE,
         "\x4E\x01\x02\x03\x04\x10\x00\x17\x00\x02\x01\x01hello, rtmfp world!"
         "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s,
         "\x49\xBD\xD8\x47\xA2\xB4\x86\xA0\x21\xF7\xE4\x59\x6B\xDB\xAF\x37\x4A\x6B\x42\xEA\x3D"
         "\x9B\x5E\x3C\x17\x60\x9D\x3D\x65\x74\xA6\xD7\x35\xCE\x03\xCE\x8E\x3C\x6A\x34\xE7\x2E"
         "\x65\x53\xF3\xE3\xB5\x67\x45\x4D\xD8\x93"},
    };
    for (const auto& c : cases) {
        const bytes plain_body = to_bytes(c.plain);
        bytes packet(6, 0);
        packet.insert(packet.end(), plain_body.begin(), plain_body.end());
        const auto length = static_cast<std::uint32_t>(packet.size());

        rtmfp_cipher encrypt(c.key, rtmfp_cipher::direction::encrypt);
        rtmfp_seal_packet(packet.data(), length, c.far_session_id, encrypt);
        EXPECT_EQ(packet, to_bytes(c.sealed)) << c.name;
        EXPECT_EQ(rtmfp_session_id_of(packet), c.far_session_id) << c.name;

        rtmfp_cipher decrypt(c.key, rtmfp_cipher::direction::decrypt);
        EXPECT_TRUE(rtmfp_open_packet(packet.data(), length, decrypt)) << c.name;
        EXPECT_EQ(bytes(packet.begin() + 6, packet.end()), plain_body) << c.name;

        // Any changed bit of the encrypted part fails the checksum.
        bytes damaged = to_bytes(c.sealed);
        damaged[length - 1] ^= 0x01;
        EXPECT_FALSE(rtmfp_open_packet(damaged.data(), length, decrypt)) << c.name;
    }
}

TEST(RtmfpSeal, RefusesLengthsThatBreakThePaddingRule) {
    rtmfp_cipher encrypt(rtmfp_default_key, rtmfp_cipher::direction::encrypt);
    rtmfp_cipher decrypt(rtmfp_default_key, rtmfp_cipher::direction::decrypt);
    for (std::uint32_t length : {0u, 4u, 12u, 19u, 21u, 35u, 37u, 1203u}) {
        bytes packet(length + 1, 0x5A);
        EXPECT_THROW(rtmfp_seal_packet(packet.data(), length, 1, encrypt), std::invalid_argument)
            << length;
        // A datagram of such a length is dropped untouched.
        EXPECT_FALSE(rtmfp_open_packet(packet.data(), length, decrypt)) << length;
        EXPECT_EQ(packet, bytes(length + 1, 0x5A)) << length;
    }
}

TEST(RtmfpPadding, FillsToWholeBlocksAndTheMinimum) {
    const struct {
        std::uint32_t end;
        std::uint32_t padded;
    } cases[] = {{9, 20}, {12, 20}, {20, 20}, {21, 36}, {29, 36}, {36, 36}, {37, 52}, {1204, 1204}};
    for (const auto& c : cases) {
        bytes storage(rtmfp_max_packet_size, 0);
        rtmfp_packet_writer out(storage.data(), rtmfp_max_packet_size);
        out.size = out.pos = c.end;
        EXPECT_EQ(rtmfp_pad_packet(out), c.padded) << c.end;
        EXPECT_EQ(out.size, c.padded) << c.end;
        EXPECT_EQ(bytes(storage.begin() + c.end, storage.begin() + c.padded),
                  bytes(c.padded - c.end, 0xFF))
            << c.end;
    }
    // No room for the padding: nothing is written.
    bytes storage(32, 0);
    rtmfp_packet_writer out(storage.data(), 32);
    out.size = out.pos = 29;
    EXPECT_EQ(thrown_message([&] { rtmfp_pad_packet(out); }), "Buffer overflow");
    EXPECT_EQ(out.size, 29u);
    EXPECT_EQ(storage, bytes(32, 0));
}

TEST(RtmfpHeader, ReadsMarkerTimestampEchoAndCountsChunks) {
    const struct {
        const char* name;
        std::string packet;  // from the marker on
        rtmfp_header expected;
    } cases[] = {
        {"only padding",
         "\x4A\x00\x10\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s,
         {0x4A, true, 0x0010, false, 0, 0, 3}},
        {"echo and two chunks",
         "\x4E\x12\x34\xAB\xCD\x01\x00\x00\x51\x00\x02\x03\x3F\xFF\xFF"s,
         {0x4E, true, 0x1234, true, 0xABCD, 2, 5}},
        // 0xFF where a type is expected ends the list even if chunks follow.
        {"padding before a chunk",
         "\x0B\x00\x01\x41\x00\x00\xFF\x01\x00\x00"s,
         {0x0B, true, 0x0001, false, 0, 1, 3}},
        {"chunks up to the end",
         "\x4A\x00\x01\x01\x00\x00\x41\x00\x00"s,
         {0x4A, true, 1, false, 0, 2, 3}},
        // A chunk that claims more bytes than the packet holds is the last.
        {"chunk runs past the end",
         "\x4A\x00\x01\x10\x00\x40\x00\x01"s,
         {0x4A, true, 1, false, 0, 1, 3}},
        // Clients leave the timestamp out of a packet sent in the same 4-ms
        // tick as their previous one; the chunks then follow the marker.
        {"no timestamp", "\x81\x01\x00\x00\x41\x00\x00"s, {0x81, false, 0, false, 0, 2, 1}},
        {"echo without timestamp",
         "\x85\xAB\xCD\x01\x00\x00"s,
         {0x85, false, 0, true, 0xABCD, 1, 3}},
        {"client marker with both",
         "\x8D\x12\x34\xAB\xCD\x4C\x00\x00"s,
         {0x8D, true, 0x1234, true, 0xABCD, 1, 5}},
    };
    for (const auto& c : cases) {
        const bytes packet = to_bytes(c.packet);
        rtmfp_packet_reader in(packet);
        const rtmfp_header header = rtmfp_read_header(in);
        EXPECT_EQ(header.marker, c.expected.marker) << c.name;
        EXPECT_EQ(header.has_timestamp, c.expected.has_timestamp) << c.name;
        EXPECT_EQ(header.timestamp, c.expected.timestamp) << c.name;
        EXPECT_EQ(header.has_echo, c.expected.has_echo) << c.name;
        EXPECT_EQ(header.echo, c.expected.echo) << c.name;
        EXPECT_EQ(header.chunk_count, c.expected.chunk_count) << c.name;
        EXPECT_EQ(header.chunks_start, c.expected.chunks_start) << c.name;
        EXPECT_EQ(in.pos, header.chunks_start) << c.name;

        std::uint32_t walked = 0;
        while (auto chunk = rtmfp_next_chunk(in)) {
            EXPECT_LE(chunk->data + chunk->size, packet.data() + packet.size()) << c.name;
            ++walked;
        }
        EXPECT_EQ(walked, header.chunk_count) << c.name;
    }

    const std::string refused[] = {
        "\x4A\x00"s,                          // no room for the timestamp
        "\x4E\x00\x01\x00"s,                  // no room for the echo
        "\x85\x00"s,                          // no room for the echo after the marker
        "\x4A\x00\x01\x01\x00\x00\x41\x00"s,  // second chunk cut inside its header
    };
    for (const auto& text : refused) {
        const bytes packet = to_bytes(text);
        rtmfp_packet_reader in(packet);
        EXPECT_EQ(thrown_message([&] { rtmfp_read_header(in); }), "Packet eof") << text.size();
    }
}

TEST(RtmfpClock, CountsFourMillisecondUnitsSinceMidnight) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::uint64_t expected = static_cast<std::uint64_t>(ms % 86'400'000) / 4;
    const std::uint64_t now = rtmfp_now();
    EXPECT_LT(now, 86'400'000u / 4);
    // Allow a second of scheduling delay, and the wrap at midnight.
    EXPECT_TRUE(now - expected < 250 || now < 250) << now << " vs " << expected;
}

}  // namespace
