#pragma once

// Our own RTMFP client for tests. It seals and opens packets with the codec
// but builds and reads its chunks, runs its flows, acknowledges and resends
// by its own code, so that it checks the server rather than agreeing with
// it: flows are numbered from 1, several fragments of a flow share a packet
// (0x10 then 0x11 chunks), a packet sent in the same 4-ms tick as the one
// before goes without a timestamp, fragments that arrive early are kept
// until the gap before them is filled, and acknowledgements name them,
// alternating between their two forms (0x51 with ranges, 0x50 with a
// bitmap).
//
// It also speaks the handshake, built by its own code from the bytes on the
// wire: a client made without keys meets the server (handshake()), agrees
// the keys of a session and uses them from then on.
//
// One thread drives a client: it sends when asked and reads its socket in
// receive(), pump() and run_until().

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/crypto.hpp"
#include "rtmfp/cipher.hpp"
#include "rtmfp/session.hpp"

namespace rtmfp_test {

using bytes = std::vector<std::uint8_t>;
using udp_endpoint = boost::asio::ip::udp::endpoint;

// A session's keys and ids as the client sees them.
struct client_keys {
    // Ours: the id the server's packets carry.
    std::uint32_t client_session_id = 0;
    // The server's: the id our packets carry.
    std::uint32_t server_session_id = 0;
    rtmfp_key encrypt_key{};
    rtmfp_key decrypt_key{};

    // The other side of what a session was made with.
    static client_keys facing(const rtmfp_session_setup& session);
};

enum class ack_form { short_form, bitmap, alternate };

struct client_options {
    // Payload bytes of one fragment.
    std::uint32_t fragment_size = 1024;
    // Fragments of a flow sent and not yet acknowledged.
    std::uint32_t window = 16;
    // Everything unacknowledged goes again when nothing moved for this long.
    std::chrono::milliseconds resend_after{60};
    ack_form acks = ack_form::alternate;
    // Announced in acknowledgements; above 127 it takes two bytes.
    std::uint32_t buffer_space = 200;
    // Acknowledge the server's data as it arrives.
    bool auto_ack = true;
    // Echo the server's timestamps.
    bool echo = true;
    // Answer the server's keep-alive requests.
    bool answer_keep_alives = true;
    // How long run_until() and handshake() wait for datagrams between
    // looking at their timers.
    std::chrono::milliseconds poll_interval{2};
    // Where our socket is bound; the loopback address of the server's
    // family when none is given.
    std::optional<boost::asio::ip::address> local_address;
};

// One chunk of a received packet: its type and body.
struct received_chunk {
    std::uint8_t type = 0;
    bytes body;
};

struct received_packet {
    std::uint8_t marker = 0;
    std::optional<std::uint16_t> timestamp;
    std::optional<std::uint16_t> echo;
    std::vector<received_chunk> chunks;
};

// What the server answered in the handshake, as the client read it.
struct handshake_answers {
    // From the first 0x70 with our tag.
    bytes cookie;
    bytes server_certificate;
    // From the first 0x78.
    std::uint32_t server_session_id = 0;
    bytes server_nonce;
    bytes server_public_key;
};

// A fragment of a server flow as it was first taken.
struct received_fragment {
    std::uint32_t sequence = 0;
    std::uint8_t flags = 0;
    std::uint32_t fsn_offset = 0;
    std::size_t payload_size = 0;
    // Index of the packet in packets().
    std::size_t packet = 0;
};

// A flow of the server's, as received.
struct server_flow {
    std::uint32_t id = 0;
    // The first option of its first fragment (after the length).
    bytes signature;
    // The flow of ours it answers, from its 0x0A option.
    std::optional<std::uint32_t> answers;
    std::uint32_t last_in_order = 0;
    // Fragments beyond a gap: flags and payload.
    std::map<std::uint32_t, std::pair<std::uint8_t, bytes>> ahead;
    bytes partial;
    std::vector<bytes> messages;
    std::vector<received_fragment> fragments;
    // It sent its final fragment.
    bool ended = false;
};

class test_client {
  public:
    // Markers of our packets: 0x81 with bit 0x08 when a timestamp follows
    // and 0x04 when an echo follows.
    static constexpr std::uint8_t marker_base = 0x81;

    // A client with a session's keys already (the tests of sessions).
    test_client(const client_keys& keys, const udp_endpoint& server, client_options options = {});
    // A client that meets the server first: handshake(). Its socket is on
    // the loopback address of the server's family.
    explicit test_client(const udp_endpoint& server, client_options options = {});
    ~test_client();

    test_client(const test_client&) = delete;
    test_client& operator=(const test_client&) = delete;

    udp_endpoint local_endpoint() const;
    // Where our datagrams go (the server, or a relay before it).
    void set_server(const udp_endpoint& server) { server_ = server; }
    const client_options& options() const noexcept { return options_; }

    // Chunks written out, for tests that send them by hand.
    static bytes vlu(std::uint32_t value);
    static bytes chunk(std::uint8_t type, const bytes& body);
    // 0x10: with `signature` the fragment opens the flow (flag 0x80 and the
    // options: the signature and the end byte).
    static bytes user_data(std::uint8_t flags, std::uint32_t flow, std::uint32_t sequence,
                           std::uint32_t fsn_offset, const std::optional<bytes>& signature,
                           const bytes& payload);
    static bytes next_user_data(std::uint8_t flags, const bytes& payload);
    // Fragments held beyond the cumulative number, `first` to `last`.
    struct held_range {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
    };
    static constexpr std::size_t max_ack_ranges = 64;
    static bytes ack(std::uint32_t flow, std::uint32_t cumulative, std::uint32_t buffer_space,
                     const std::vector<held_range>& held = {});
    static bytes ack_bitmap(std::uint32_t flow, std::uint32_t cumulative,
                            std::uint32_t buffer_space, const bytes& bitmap);
    static bytes ping(const bytes& body = {});

    struct header_fields {
        bool timestamp = true;
        bool echo = true;
    };
    // A sealed datagram carrying the chunks. Without `header` the client
    // decides (timestamp unless one went out in this 4-ms tick, echo when
    // it has a timestamp of the server's).
    bytes datagram(const std::vector<bytes>& chunks,
                   std::optional<header_fields> header = std::nullopt);
    void send_datagram(const bytes& datagram);
    void send_chunks(const std::vector<bytes>& chunks,
                     std::optional<header_fields> header = std::nullopt) {
        send_datagram(datagram(chunks, header));
    }

    // The handshake. Chunks for tests that send them by hand: a first
    // contact for a URL, a request to meet a peer, a key exchange.
    static bytes first_contact(const std::string& url, const bytes& tag);
    static bytes introduction_request(const bytes& peer_id, const bytes& tag);
    static bytes key_exchange(std::uint32_t initiator_session_id, const bytes& cookie,
                              const bytes& certificate, const bytes& nonce);
    // Our certificate: the public key in option 1D after its group byte.
    static bytes certificate_of(const bytes& public_key);
    // A handshake datagram: sealed with the default key, marker 0x0B.
    bytes handshake_datagram(const std::vector<bytes>& chunks, std::uint32_t session_id = 0);
    void send_handshake(const std::vector<bytes>& chunks, std::uint32_t session_id = 0) {
        send_datagram(handshake_datagram(chunks, session_id));
    }

    // First contact until a cookie comes, then the key exchange until its
    // answer (each sent again while nothing comes, after resend_after and
    // then twice as long each time); then the session's keys. False when
    // the time runs out.
    bool handshake(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                   const std::string& url = "rtmfp://localhost/app");
    // Before handshake(): the id the server's session packets are to carry.
    void set_session_id(std::uint32_t id) { keys_.client_session_id = id; }
    // What the server answered (also to first contacts and key exchanges
    // sent by hand).
    const handshake_answers& answers() const noexcept { return answers_; }
    const client_keys& keys() const noexcept { return keys_; }
    bool has_session() const noexcept { return session_cipher_ != nullptr; }
    // The key pair the handshake uses (a fresh one unless set); with
    // `short_form` a public key that begins with zero bytes goes without
    // them, as it is a shorter number.
    void set_key_pair(dh1024_key_pair pair, bool short_form = false);
    // Our Diffie-Hellman key and the peer id the server derives from our
    // certificate.
    const bytes& public_key() const noexcept { return public_key_; }
    rtmfp_peer_id peer_id() const;

    // Our flows. `signature` is the first option's value (without its
    // length), e.g. 00 54 43 04 00 for the NetConnection.
    std::uint32_t open_flow(const bytes& signature);
    // Queued as fragments of fragment_size bytes; sent by flush() and the
    // pumping calls.
    void send_message(std::uint32_t flow, const bytes& message);
    // An empty fragment with flags 0x03 after what is queued.
    void end_flow(std::uint32_t flow);
    // Sends what the windows allow, and resends after a loss.
    void flush();
    // Every fragment of the flow is acknowledged.
    bool flow_acknowledged(std::uint32_t flow) const;
    std::uint32_t flow_acknowledged_up_to(std::uint32_t flow) const;

    // Reads and handles the datagrams that arrive within `wait` (none: only
    // those already there); returns how many.
    std::size_t receive(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // flush() and receive() once.
    void pump(std::chrono::milliseconds wait = std::chrono::milliseconds(5));
    // Pumps until `done` or the timeout.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // What arrived, oldest first.
    const std::vector<received_packet>& packets() const noexcept { return packets_; }
    std::size_t count_chunks(std::uint8_t type) const;
    void forget_packets() { packets_.clear(); }
    std::map<std::uint32_t, server_flow>& server_flows() noexcept { return server_flows_; }
    // The server flow that answers one of ours, or null.
    server_flow* flow_answering(std::uint32_t our_flow);
    bool session_ended() const noexcept { return session_ended_; }

    std::uint64_t fragments_sent() const noexcept { return fragments_sent_; }
    std::uint64_t fragments_resent() const noexcept { return fragments_resent_; }
    std::uint64_t datagrams_sent() const noexcept { return datagrams_sent_; }

  private:
    using clock = std::chrono::steady_clock;

    struct fragment {
        std::uint32_t sequence = 0;
        std::uint8_t flags = 0;
        bytes payload;
    };
    struct our_flow {
        std::uint32_t id = 0;
        bytes signature;
        std::uint32_t next_sequence = 1;
        std::uint32_t acknowledged = 0;
        // Unacknowledged fragments from acknowledged + 1 on.
        std::deque<fragment> fragments;
        // The next fragment to (re)send.
        std::uint32_t next_to_send = 1;
        std::uint32_t highest_sent = 0;
        // Resending from a gap the server reported.
        bool recovering = false;
        clock::time_point last_progress;
        clock::time_point last_resend;
    };

    void flush_flow(our_flow& flow);
    void go_back(our_flow& flow);
    void on_ack(std::uint32_t flow_id, std::uint32_t cumulative);
    void handle_datagram(bytes datagram);
    void on_user_data(std::size_t packet, const bytes& body);
    void take_fragment(server_flow& flow, std::uint32_t sequence, std::uint8_t flags,
                       std::uint32_t fsn_offset, bytes payload, std::size_t packet);
    void accept_fragment(server_flow& flow, std::uint8_t flags, const bytes& payload);
    void acknowledge(const std::vector<std::uint32_t>& flows);
    std::uint16_t now_ticks() const;
    bytes seal(std::uint8_t marker, bool timestamp, bool echo, const std::vector<bytes>& chunks,
               std::uint32_t session_id, rtmfp_cipher& cipher);
    void on_handshake_chunk(const received_chunk& chunk);
    void use_session_keys();

    client_keys keys_;
    const client_options options_;
    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_;
    udp_endpoint server_;
    rtmfp_cipher handshake_encrypt_;
    rtmfp_cipher handshake_decrypt_;
    // Once the session's keys are known.
    std::unique_ptr<rtmfp_cipher> session_cipher_;
    std::unique_ptr<rtmfp_cipher> session_decipher_;

    // The handshake's own state.
    std::optional<dh1024_key_pair> key_pair_;
    bytes public_key_;
    bytes tag_;
    bytes nonce_;
    handshake_answers answers_;
    const clock::time_point started_ = clock::now();
    std::optional<std::uint16_t> last_sent_tick_;
    std::optional<std::uint16_t> server_time_;

    std::uint32_t next_flow_id_ = 1;
    std::map<std::uint32_t, our_flow> flows_;
    std::map<std::uint32_t, server_flow> server_flows_;
    std::vector<received_packet> packets_;
    bytes receive_buffer_;
    bool session_ended_ = false;
    bool bitmap_next_ = false;
    // The flow of the last 0x10 chunk of the packet being read.
    std::optional<std::uint32_t> data_flow_;
    std::uint32_t data_sequence_ = 0;
    std::uint32_t data_fsn_offset_ = 0;

    std::uint64_t fragments_sent_ = 0;
    std::uint64_t fragments_resent_ = 0;
    std::uint64_t datagrams_sent_ = 0;
};

}  // namespace rtmfp_test
