#pragma once

// What the RTMP tests share: a chunk decoder and encoder written apart from
// the server's (so each checks the other), a stand-in for a connection that
// captures what the layers send, the client side of the handshake, and a
// blocking loopback client.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/block_pool.hpp"
#include "platform/testing/hex.hpp"
#include "rtmp/connection_callbacks.hpp"

namespace rtmp_test {

using namespace std::chrono_literals;

using platform::testing::hex_bytes;
std::string be32(std::uint32_t value);

struct message {
    std::uint32_t csid = 0;
    std::uint8_t type = 0;
    std::uint32_t stream_id = 0;
    std::uint32_t timestamp = 0;
    std::string body;
};

// Reassembles the messages of a byte stream the way a client does; follows
// Set Chunk Size messages it decodes. Throws std::runtime_error on bytes no
// client would accept.
class chunk_decoder {
  public:
    void feed(std::string_view bytes);
    std::vector<message> messages;
    // Chunks seen, by header format.
    std::vector<unsigned> formats;

  private:
    struct state {
        message current;
        std::uint32_t length = 0;
        std::uint32_t delta = 0;
        bool extended = false;
        bool pending = false;
    };
    bool parse_one();
    std::string input_;
    std::size_t used_ = 0;
    std::map<std::uint32_t, state> streams_;
    std::uint32_t chunk_size_ = 128;
};

// One message as a format 0 chunk followed by format 3 chunks.
std::string encode_message(std::uint32_t csid, std::uint8_t type, std::uint32_t stream_id,
                           std::uint32_t timestamp, std::string_view body,
                           std::uint32_t chunk_size = 128);

// A connection stand-in: blocks come from a pool of its own and what is sent
// is appended to `sent`.
struct capture_owner {
    capture_owner();
    ~capture_owner();
    capture_owner(const capture_owner&) = delete;
    capture_owner& operator=(const capture_owner&) = delete;

    block_malloc_array pool;
    std::string sent;
    std::size_t blocks_sent = 0;
    rtmp::connection_callbacks callbacks;

    std::string take() { return std::exchange(sent, {}); }
};

// The client side of the digest handshake.
enum class digest_layout { a, b };
// C0+C1: plain (version word 0), or carrying the client digest.
std::string plain_c0c1(std::uint32_t client_time = 0x01020304);
std::string digest_c0c1(digest_layout layout, std::uint32_t version = 0x80000702);
// Where a client expects the digest in a packet of the given layout.
std::uint32_t digest_offset(std::string_view packet, digest_layout layout);
std::string hmac_sha256(std::string_view key, std::string_view data);
// The 30-byte client key text, 36-byte server key text and 68-byte full
// server key, as a client holds them.
std::string client_key();
std::string server_key();
std::string full_server_key();

// Makes a short FLV sample with H.264 video (one keyframe a second) and AAC
// audio from ffmpeg's test sources; returns ffmpeg's error text on failure.
std::string make_sample_flv(const std::filesystem::path& file, double seconds = 3);

// A blocking client on 127.0.0.1 with timeouts on every wait.
class tcp_client {
  public:
    explicit tcp_client(unsigned short port);
    void send(std::string_view bytes);
    // False, instead of throwing, once the peer has closed.
    bool try_send(std::string_view bytes) noexcept;
    // Up to `count` bytes, fewer when the time runs out or the peer closes.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout = 3s);
    // Whatever arrives within the time.
    std::string receive_for(std::chrono::milliseconds time);
    // Whether the peer closed the connection within the time (bytes that
    // arrive meanwhile are dropped).
    bool wait_closed(std::chrono::milliseconds timeout);
    // C0+C1 out, S0+S1+S2 in, C2 out (an echo of S1). Returns S0+S1+S2.
    std::string handshake(const std::string& c0c1);
    std::string handshake() { return handshake(plain_c0c1()); }

  private:
    bool wait_readable(std::chrono::steady_clock::time_point deadline);
    boost::asio::io_context context_;
    boost::asio::ip::tcp::socket socket_;
};

}  // namespace rtmp_test
