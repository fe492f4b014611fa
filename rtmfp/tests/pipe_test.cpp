#include "rtmfp/pipe.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rtmfp/tests/test_bytes.hpp"

namespace {

namespace ip = boost::asio::ip;
using namespace std::string_literals;
using namespace rtmfp_test;

constexpr rtmfp_key server_to_client = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr rtmfp_key client_to_server = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                                        0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};

// A pipe that keeps what it decoded: each chunk as it writes itself back.
class recording_pipe : public rtmfp_pipe {
  public:
    recording_pipe(block_malloc& pool, std::uint32_t session_id, std::uint32_t far_session_id,
                   const rtmfp_key& encrypt_key, const rtmfp_key& decrypt_key,
                   std::shared_ptr<rtmfp_socket> socket = nullptr, rtmfp_clock clock = rtmfp_now)
        : rtmfp_pipe(pool, std::move(socket), 0, session_id, far_session_id, encrypt_key,
                     decrypt_key, std::move(clock)) {}

    bool tick() override { return true; }

    void set_idle_count(std::int32_t count) { idle_count_ = count; }

    std::vector<bytes> chunks() const {
        std::lock_guard lock(mutex_);
        return chunks_;
    }
    std::vector<endpoint> senders() const {
        std::lock_guard lock(mutex_);
        return senders_;
    }
    int packets() const {
        std::lock_guard lock(mutex_);
        return packets_;
    }

  protected:
    void on_packet(const endpoint&) override {
        std::lock_guard lock(mutex_);
        ++packets_;
    }
    void handle_command(rtmfp_command& command, const endpoint& from) override {
        std::lock_guard lock(mutex_);
        chunks_.push_back(written(command));
        senders_.push_back(from);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<bytes> chunks_;
    std::vector<endpoint> senders_;
    int packets_ = 0;
};

// The two ends of a session: the server's pipe and the client's.
struct session_ends {
    explicit session_ends(block_malloc& pool, const rtmfp_key& to_client = server_to_client,
                          const rtmfp_key& to_server = client_to_server,
                          rtmfp_clock clock = rtmfp_now)
        : server(std::make_shared<recording_pipe>(pool, 7, 0x11223344, to_client, to_server,
                                                  nullptr, clock)),
          client(std::make_shared<recording_pipe>(pool, 0x11223344, 7, to_server, to_client,
                                                  nullptr, clock)) {}
    std::shared_ptr<recording_pipe> server;
    std::shared_ptr<recording_pipe> client;
};

// A datagram sealed outside the pipes, from its plain bytes after the
// checksum (marker on); padded as the pipes pad.
block_buffer sealed(block_malloc& pool, const bytes& from_marker, std::uint32_t session_id,
                    const rtmfp_key& key) {
    block_buffer packet(pool);
    rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
    out.fill(0, rtmfp_marker_offset);
    out.write_bytes(from_marker);
    rtmfp_pad_packet(out);
    rtmfp_cipher encrypt(key, rtmfp_cipher::direction::encrypt);
    rtmfp_seal_packet(packet.data(), out.size, session_id, encrypt);
    packet.set_size(out.size);
    return packet;
}

// The plain bytes of a sealed packet, for checking its header.
bytes opened(const block_buffer& packet, const rtmfp_key& key) {
    bytes copy(packet.data(), packet.data() + packet.size());
    rtmfp_cipher decrypt(key, rtmfp_cipher::direction::decrypt);
    EXPECT_TRUE(rtmfp_open_packet(copy.data(), static_cast<std::uint32_t>(copy.size()), decrypt));
    return copy;
}

const ip::udp::endpoint somewhere(ip::make_address("192.0.2.1"), 5000);

TEST(RtmfpPipe, BuiltPacketsDecodeAtTheOtherEnd) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    const bytes payload(16, 0x5C);
    const rtmfp_block_data_compact compact(0x20, payload);
    const rtmfp_keep_alive_req keep_alive;
    const bytes big_payload(1100, 0x33);
    const rtmfp_block_data big(0x10, 3, 9, 1, {}, big_payload);
    const struct {
        const char* name;
        const rtmfp_key& to_client;
        const rtmfp_key& to_server;
        std::optional<std::uint32_t> explicit_id;
        std::uint8_t marker;
        const rtmfp_command& chunk;
        std::uint32_t length;
    } cases[] = {
        {"default key, handshake marker", rtmfp_default_key, rtmfp_default_key, 0x0A0B0C0D,
         rtmfp_marker_handshake, keep_alive, 20},
        {"session keys, no echo", server_to_client, client_to_server, std::nullopt,
         rtmfp_marker_session, keep_alive, 20},
        // The chunk ends at 29: padded to 36.
        {"session keys, chunk ending at 29", server_to_client, client_to_server, std::nullopt,
         rtmfp_marker_session, compact, 36},
        {"session keys, echo", server_to_client, client_to_server, std::nullopt,
         rtmfp_marker_session_echo, compact, 36},
        {"almost a full block", server_to_client, client_to_server, std::nullopt,
         rtmfp_marker_session_echo, big, 1124},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The pipes' clock stands at 4660.0 seconds (0x1234 units of 4 ms).
        session_ends ends(pool, c.to_client, c.to_server, [] { return std::uint64_t{0x51234}; });
        // The client's timestamp, which the server echoes with marker 0x4E.
        ASSERT_TRUE(ends.server->decode_packet(
            sealed(pool, to_bytes("\x4A\x12\x34"), 7, c.to_server), somewhere));
        EXPECT_EQ(ends.server->peer_time(), 0x1234);

        block_buffer packet = ends.server->begin_packet(c.explicit_id, c.marker, c.chunk);
        EXPECT_EQ(packet.size(), c.length);
        EXPECT_EQ(rtmfp_session_id_of({packet.data(), packet.size()}),
                  c.explicit_id.value_or(0x11223344));

        const bytes plain = opened(packet, c.to_client);
        EXPECT_EQ(plain[6], c.marker);
        const auto timestamp = static_cast<std::uint16_t>(plain[7] << 8 | plain[8]);
        EXPECT_EQ(timestamp, 0x1234) << "the low 16 bits of the clock";
        if (c.marker & rtmfp_marker_echo_bit) {
            EXPECT_EQ(plain[9] << 8 | plain[10], 0x1234);
        }

        ASSERT_TRUE(ends.client->decode_packet(std::move(packet), somewhere));
        EXPECT_EQ(ends.client->chunks(), std::vector<bytes>{written(c.chunk)});
        EXPECT_EQ(ends.client->peer_time(), timestamp);
    }
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, DatagramsThatFailTheirChecksChangeNothing) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    const std::function<void(block_buffer&)> damages[] = {
        [](block_buffer& d) { d.data()[d.size() - 1] ^= 0x40; },
        [](block_buffer& d) { d.data()[4] ^= 0x01; },
        // The encrypted part is no longer whole AES blocks.
        [](block_buffer& d) { d.set_size(d.size() - 1); },
        [](block_buffer& d) { d.set_size(d.size() + 1); },
        [](block_buffer& d) { d.set_size(12); },
        [](block_buffer& d) { d.set_size(0); },
    };
    for (std::size_t i = 0; i < std::size(damages); ++i) {
        session_ends ends(pool);
        block_buffer packet =
            ends.server->begin_packet(std::nullopt, rtmfp_marker_session, rtmfp_keep_alive_req());
        damages[i](packet);
        ends.client->set_idle_count(12);
        EXPECT_FALSE(ends.client->decode_packet(std::move(packet), somewhere)) << i;
        // A forged datagram must not keep a dead session alive.
        EXPECT_EQ(ends.client->idle_count(), 12) << i;
        EXPECT_EQ(ends.client->packets(), 0) << i;
        EXPECT_TRUE(ends.client->chunks().empty()) << i;
    }

    // Sealed with the other direction's key: dropped the same way.
    session_ends ends(pool);
    block_buffer packet =
        sealed(pool, to_bytes("\x4A\x00\x01\x01\x00\x00"s), 0x11223344, client_to_server);
    EXPECT_FALSE(ends.client->decode_packet(std::move(packet), somewhere));
    EXPECT_EQ(pool.outstanding(), 0u);

    // A genuine one does.
    ends.client->set_idle_count(12);
    EXPECT_TRUE(ends.client->decode_packet(
        ends.server->begin_packet(std::nullopt, rtmfp_marker_session, rtmfp_keep_alive_req()),
        somewhere));
    EXPECT_EQ(ends.client->idle_count(), 0);
}

TEST(RtmfpPipe, APacketWithoutTimestampKeepsTheLastOne) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    session_ends ends(pool);
    const auto decode = [&](const std::string& plain) {
        ASSERT_TRUE(ends.server->decode_packet(sealed(pool, to_bytes(plain), 7, client_to_server),
                                               somewhere));
    };
    decode("\x89\x12\x34\x01\x00\x00"s);
    EXPECT_EQ(ends.server->peer_time(), 0x1234);
    // Marker 0x81: no timestamp; the keep-alive right behind the marker is
    // still read as a chunk.
    decode("\x81\x01\x00\x00"s);
    EXPECT_EQ(ends.server->peer_time(), 0x1234);
    EXPECT_EQ(ends.server->packets(), 2);
    EXPECT_EQ(ends.server->chunks(), (std::vector<bytes>(2, to_bytes("\x01\x00\x00"s))));
}

TEST(RtmfpPipe, HandsOverTheChunksUpToThePadding) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    const struct {
        const char* name;
        std::string plain;  // from the marker on
        std::vector<std::string> chunks;
    } cases[] = {
        {"header and padding only", "\x4A\x00\x01", {}},
        {"two chunks",
         "\x4A\x00\x01\x01\x00\x00\x51\x00\x03\x02\x3F\x05"s,
         {"\x01\x00\x00"s, "\x51\x00\x03\x02\x3F\x05"s}},
        // Unknown types are skipped; the chunks around them are handled.
        {"unknown type between",
         "\x4E\x00\x01\x00\x00\x41\x00\x00\x7F\x00\x02\xAA\xBB\x4C\x00\x00"s,
         {"\x41\x00\x00"s, "\x4C\x00\x00"s}},
        {"0xFF before more chunks", "\x4A\x00\x01\x41\x00\x00\xFF\x01\x00\x00"s, {"\x41\x00\x00"s}},
    };
    for (const auto& c : cases) {
        session_ends ends(pool);
        const ip::udp::endpoint from(ip::make_address("198.51.100.4"), 61000);
        ASSERT_TRUE(
            ends.server->decode_packet(sealed(pool, to_bytes(c.plain), 7, client_to_server), from))
            << c.name;
        EXPECT_EQ(ends.server->packets(), 1) << c.name;
        std::vector<bytes> expected;
        for (const auto& chunk : c.chunks) {
            expected.push_back(to_bytes(chunk));
        }
        EXPECT_EQ(ends.server->chunks(), expected) << c.name;
        EXPECT_EQ(ends.server->senders(), std::vector<ip::udp::endpoint>(expected.size(), from))
            << c.name;
    }
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, MalformedPacketsThrowAndReturnTheirBlock) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    const struct {
        const char* name;
        std::string plain;
    } cases[] = {
        // 14 bytes fill the packet exactly, so the last chunk is cut inside
        // its header by the end of the datagram.
        {"chunk header cut", "\x4A\x00\x01\x01\x00\x00\x41\x00\x00\x01\x00\x00\x41\x00"s},
        {"chunk body cut", "\x4A\x00\x01\x70\x00\x03\x10\xAA\xBB"s},
        {"zero-length discriminator", "\x4A\x00\x01\x30\x00\x13\x01\x00\x0A"s},
    };
    for (const auto& c : cases) {
        session_ends ends(pool);
        block_buffer packet = sealed(pool, to_bytes(c.plain), 7, client_to_server);
        EXPECT_EQ(thrown_message([&] { ends.server->decode_packet(std::move(packet), somewhere); }),
                  "Packet eof")
            << c.name;
        EXPECT_EQ(pool.outstanding(), 0u) << c.name;
    }
}

TEST(RtmfpPipe, EchoesUpdateTheRoundTripEstimate) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    std::uint64_t now = 0x30000;
    session_ends ends(pool, server_to_client, client_to_server, [&] { return now; });
    const auto echoed = [&](std::uint16_t echo) {
        const bytes plain = {rtmfp_marker_session_echo, 0x00, 0x01,
                             static_cast<std::uint8_t>(echo >> 8), static_cast<std::uint8_t>(echo)};
        ASSERT_TRUE(
            ends.server->decode_packet(sealed(pool, plain, 7, client_to_server), somewhere));
    };
    EXPECT_EQ(ends.server->rtt(), 10);

    // Sent 100 units ago: (10 + 100) / 2.
    echoed(static_cast<std::uint16_t>(now - 100));
    EXPECT_EQ(ends.server->rtt(), 55);

    // A sample of 2000 or more is not believed: 55 + 1945.
    echoed(static_cast<std::uint16_t>(now - 1945));
    EXPECT_EQ(ends.server->rtt(), 55);
    echoed(static_cast<std::uint16_t>(now - 1944));
    EXPECT_EQ(ends.server->rtt(), 999);

    // An echo from the "future" (the 16-bit clock wrapped): a small sample.
    now = 0x40005;
    echoed(0xFFF0);
    EXPECT_EQ(ends.server->rtt(), (999 + 0x15) / 2);
    echoed(static_cast<std::uint16_t>(now + 20));
    EXPECT_EQ(ends.server->rtt(), (510 - 20) / 2);

    // Without the echo bit nothing changes.
    const std::uint16_t before = ends.server->rtt();
    ASSERT_TRUE(ends.server->decode_packet(
        sealed(pool, {rtmfp_marker_session, 0x00, 0x01, 0x00, 0x00}, 7, client_to_server),
        somewhere));
    EXPECT_EQ(ends.server->rtt(), before);
}

TEST(RtmfpPipe, StampsPacketsPreparedBehindTheHeaderArea) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    session_ends ends(pool);
    ASSERT_TRUE(ends.server->decode_packet(
        sealed(pool, to_bytes("\x4A\xBE\xEF"), 7, client_to_server), somewhere));

    block_buffer packet(pool);
    rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
    out.pos = out.size = rtmfp_stamped_header_size;
    const rtmfp_ack_cmd first(2, 5);
    const rtmfp_ack_cmd second(3, 300);
    first.write(out);
    second.write(out);
    packet.set_size(out.size);
    ends.server->stamp_packet(packet);
    // 11 + 6 + 7 bytes, padded to whole AES blocks.
    EXPECT_EQ(packet.size(), 36u);

    const bytes plain = opened(packet, server_to_client);
    EXPECT_EQ(plain[6], rtmfp_marker_session_echo);
    EXPECT_EQ(plain[9] << 8 | plain[10], 0xBEEF);
    ASSERT_TRUE(ends.client->decode_packet(std::move(packet), somewhere));
    EXPECT_EQ(ends.client->chunks(), (std::vector<bytes>{written(first), written(second)}));
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, StampedLengthsStayWithinOnePacket) {
    // Blocks larger than a packet: the caller's length is cut to 1204.
    block_malloc pool(2048, 10);
    session_ends ends(pool);
    const struct {
        std::uint32_t given;
        std::uint32_t stamped;
    } cases[] = {{0, 20}, {11, 20}, {29, 36}, {1203, 1204}, {1204, 1204}, {2000, 1204}};
    for (const auto& c : cases) {
        block_buffer packet(pool);
        std::memset(packet.data(), rtmfp_padding_byte, packet.capacity());
        packet.set_size(c.given);
        ends.server->stamp_packet(packet);
        EXPECT_EQ(packet.size(), c.stamped) << c.given;
        EXPECT_TRUE(ends.client->decode_packet(std::move(packet), somewhere)) << c.given;
    }
}

TEST(RtmfpPipe, AChunkTooLargeForAPacketIsRefused) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    session_ends ends(pool);
    const bytes payload(1195, 0);
    EXPECT_EQ(thrown_message([&] {
                  ends.server->begin_packet(std::nullopt, rtmfp_marker_session_echo,
                                            rtmfp_block_data_compact(0, payload));
              }),
              "Buffer overflow");
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, OneCipherServesSeveralThreads) {
    // A session seals on its decoding thread and on timers at once.
    block_malloc pool(rtmfp_max_packet_size, 1000);
    session_ends ends(pool);
    constexpr int threads = 4;
    constexpr int packets_each = 300;
    std::vector<std::future<int>> decoded;
    for (int t = 0; t < threads; ++t) {
        decoded.push_back(std::async(std::launch::async, [&, t] {
            const bytes payload(40 + 16 * t, static_cast<std::uint8_t>(t));
            int ok = 0;
            for (int i = 0; i < packets_each; ++i) {
                block_buffer packet = ends.server->begin_packet(
                    std::nullopt, rtmfp_marker_session_echo, rtmfp_block_data_compact(0, payload));
                ok += ends.client->decode_packet(std::move(packet), somewhere) ? 1 : 0;
            }
            return ok;
        }));
    }
    for (auto& result : decoded) {
        EXPECT_EQ(result.get(), packets_each);
    }
    EXPECT_EQ(ends.client->packets(), threads * packets_each);
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, SendsToThePeerOverUdp) {
    block_malloc pool(rtmfp_max_packet_size, 1000);
    boost::asio::io_context io;
    const ip::udp::endpoint loopback(ip::make_address("127.0.0.1"), 0);
    auto server_socket = std::make_shared<rtmfp_socket>(ip::udp::socket(io, loopback));
    ip::udp::socket client_socket(io, loopback);
    ip::udp::socket probe_socket(io, loopback);
    const auto server = std::make_shared<recording_pipe>(pool, 7, 0x11223344, server_to_client,
                                                         client_to_server, server_socket);
    const auto client =
        std::make_shared<recording_pipe>(pool, 0x11223344, 7, client_to_server, server_to_client);

    // The client's first datagram teaches the server where the peer is.
    block_buffer hello = sealed(pool, to_bytes("\x4A\x00\x01\x01\x00\x00"s), 7, client_to_server);
    // Deliver it as the server's receive path would, from the client socket.
    ASSERT_TRUE(server->receive(hello, client_socket.local_endpoint()));
    EXPECT_FALSE(hello);
    EXPECT_EQ(server->peer_endpoint(), client_socket.local_endpoint());

    std::vector<boost::system::error_code> completions;
    const auto on_sent = [&](block_buffer packet, const boost::system::error_code& error) {
        EXPECT_TRUE(packet);
        completions.push_back(error);
    };
    server->send_to(
        server->begin_packet(std::nullopt, rtmfp_marker_session_echo, rtmfp_keep_alive_rep()),
        on_sent);
    server->send_to(
        server->begin_packet(std::nullopt, rtmfp_marker_session, rtmfp_session_end_cmd()),
        probe_socket.local_endpoint(), on_sent);
    io.run();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_FALSE(completions[0]);
    EXPECT_FALSE(completions[1]);

    const auto receive_on = [&](ip::udp::socket& socket) {
        block_buffer datagram(pool);
        ip::udp::endpoint from;
        datagram.set_size(static_cast<std::uint32_t>(
            socket.receive_from(boost::asio::buffer(datagram.data(), datagram.capacity()), from)));
        return datagram;
    };
    ASSERT_TRUE(client->decode_packet(receive_on(client_socket), somewhere));
    ASSERT_TRUE(client->decode_packet(receive_on(probe_socket), somewhere));
    EXPECT_EQ(client->chunks(),
              (std::vector<bytes>{to_bytes("\x41\x00\x00"s), to_bytes("\x4C\x00\x00"s)}));
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(RtmfpPipe, RefusesPoolsWithBlocksSmallerThanAPacket) {
    block_malloc small(1024, 1);
    EXPECT_THROW(recording_pipe(small, 1, 1, rtmfp_default_key, rtmfp_default_key),
                 std::invalid_argument);
}

}  // namespace
