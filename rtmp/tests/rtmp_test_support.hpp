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
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/block_pool.hpp"
#include "platform/testing/hex.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/connection_callbacks.hpp"

namespace rtmp_test {

using namespace std::chrono_literals;

using platform::testing::hex_bytes;
std::string be32(std::uint32_t value);

using platform::testing::eventually;

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

// AMF0 values written by hand, apart from the foundation's encoder.
class amf0_bytes {
  public:
    amf0_bytes& string(std::string_view text);
    amf0_bytes& number(double value);
    amf0_bytes& boolean(bool value);
    amf0_bytes& null();
    amf0_bytes& undefined();
    amf0_bytes& begin_object();
    amf0_bytes& key(std::string_view name);
    amf0_bytes& end_object();
    const std::string& str() const { return out_; }
    operator std::string_view() const { return out_; }
    operator std::string() const { return out_; }

  private:
    std::string out_;
};

// A command body's start: name and transaction id.
amf0_bytes command(std::string_view name, double transaction);

// AMF0 values in wire order as text: 'text', numbers, true/false, null,
// undefined, {key:value,...}. Bytes it cannot read end with "<?>".
std::string describe_amf0(std::string_view body);
// A message as text: "csid:stream " then, by type, "cmd"/"data" and its
// values, "event N id", "window N", "bandwidth N limit", "chunk N", "ack N",
// or "video"/"audio" and the body's size.
std::string describe(const message& m);

// One message as a format 0 chunk followed by format 3 chunks.
std::string encode_message(std::uint32_t csid, std::uint8_t type, std::uint32_t stream_id,
                           std::uint32_t timestamp, std::string_view body,
                           std::uint32_t chunk_size = 128);
// The first `chunks` chunks of a video message of `size` bytes on chunk
// stream `csid`, cut at `chunk_size`: a message that is never finished.
std::string unfinished_message(std::uint32_t csid, std::uint32_t size, std::uint32_t chunks,
                               std::uint32_t chunk_size);

// A connection stand-in: blocks come from a pool of its own and what is sent
// is appended to `sent`. Unfinished messages draw on `budget` when given.
struct capture_owner {
    explicit capture_owner(rtmp::pending_message_budget* budget = nullptr);
    ~capture_owner();
    capture_owner(const capture_owner&) = delete;
    capture_owner& operator=(const capture_owner&) = delete;

    block_malloc_array pool;
    std::string sent;
    std::size_t blocks_sent = 0;
    // Of those, the ones that carried shared bodies, and the size of the
    // largest one.
    std::size_t shared_items = 0;
    std::size_t largest_item = 0;
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

using platform::testing::make_sample_flv;

// A blocking client on 127.0.0.1 with timeouts on every wait.
class tcp_client {
  public:
    // A receive buffer size other than 0 is set before connecting: a small
    // one makes a slow reader's lag reach the server soon.
    explicit tcp_client(unsigned short port, int receive_buffer = 0);
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
    // Whether a read has met the end of the connection.
    bool peer_closed() const { return peer_closed_; }
    // C0+C1 out, S0+S1+S2 in, C2 out (an echo of S1). Returns S0+S1+S2.
    std::string handshake(const std::string& c0c1);
    std::string handshake() { return handshake(plain_c0c1()); }

  private:
    bool wait_readable(std::chrono::steady_clock::time_point deadline);
    boost::asio::io_context context_;
    boost::asio::ip::tcp::socket socket_;
    bool peer_closed_ = false;
};

// An RTMP client on 127.0.0.1 that keeps every message it receives.
class rtmp_client {
  public:
    explicit rtmp_client(unsigned short port, int receive_buffer = 0)
        : socket_(port, receive_buffer) {}

    // Handshake, then connect to the application.
    void connect(std::string_view app = "live");
    // Handshake, then connect with this tcUrl; whether the server accepted.
    bool connect_url(std::string_view tc_url);
    // createStream; the new stream id, or 0 when refused.
    std::uint32_t create_stream();
    void publish(std::uint32_t stream_id, std::string_view name);
    void play(std::uint32_t stream_id, std::string_view name, double start = -2000);

    // A message on chunk stream 3 + stream id (media on 4 + stream id).
    void send(std::uint8_t type, std::uint32_t stream_id, std::uint32_t timestamp,
              std::string_view body);
    void send_command(std::uint32_t stream_id, std::string_view body) {
        send(20, stream_id, 0, body);
    }
    // Set Chunk Size: later messages go out in chunks of this size.
    void set_chunk_size(std::uint32_t size);

    // Reads until a message fits; nothing when the time runs out or the
    // server closes.
    std::optional<message> wait_for(const std::function<bool(const message&)>& fits,
                                    std::chrono::milliseconds timeout = 3s);
    // Reads until a status with this code arrives.
    bool wait_for_status(std::string_view code, std::chrono::milliseconds timeout = 3s);
    // Takes what arrives within the time.
    void receive_for(std::chrono::milliseconds time);
    // Takes at most this many bytes, as a slow reader does.
    void receive(std::size_t max_bytes, std::chrono::milliseconds timeout);
    // Takes bytes that were read from the socket elsewhere, in order.
    void take(std::string_view bytes) { decoder_.feed(bytes); }

    tcp_client& socket() { return socket_; }
    std::vector<message>& received() { return decoder_.messages; }

  private:
    tcp_client socket_;
    chunk_decoder decoder_;
    std::size_t seen_ = 0;
    double transaction_ = 1;
    std::uint32_t chunk_size_ = 128;
};

}  // namespace rtmp_test
