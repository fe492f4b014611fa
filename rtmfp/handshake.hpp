#pragma once

// The server's side of the RTMFP handshake: a client's first contact is
// answered with a cookie and the server certificate, its key exchange with
// the server's Diffie-Hellman public key and a new session, and a request
// to meet another peer with that peer's addresses. Handshake packets are
// sealed with the default key both ways.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/crypto.hpp"
#include "rtmfp/pipe.hpp"
#include "rtmfp/session.hpp"

class rtmfp_server_session;

inline constexpr std::uint32_t rtmfp_cookie_size = 64;

using rtmfp_certificate = std::array<std::uint8_t, rtmfp_certificate_size>;

// 01 0A 41 0E, 64 random bytes, 02 15 02 02 15 05 02 15 0E.
rtmfp_certificate rtmfp_make_server_certificate();

// What the server's key exchange reply carries before its public key; with
// the key it is the server nonce.
inline constexpr std::array<std::uint8_t, 11> rtmfp_server_nonce_prefix = {
    0x03, 0x1A, 0x00, 0x00, 0x02, 0x1E, 0x00, 0x81, 0x02, 0x0D, 0x02};

struct rtmfp_session_keys {
    // For the packets to the initiator.
    rtmfp_key encrypt{};
    // For the packets from it.
    rtmfp_key decrypt{};
};

// The responder's session keys: decrypt is the first 16 bytes of
// HMAC(secret, HMAC(server nonce, initiator nonce)), encrypt those of
// HMAC(secret, HMAC(initiator nonce, server nonce)), HMAC being
// HMAC-SHA256 with its key first.
rtmfp_session_keys rtmfp_derive_keys(byte_view secret, byte_view server_nonce,
                                     byte_view initiator_nonce);

using rtmfp_key_source = std::function<dh1024_key_pair()>;

// The server's half of a key exchange.
struct rtmfp_key_agreement {
    dh1024_key_pair::key_bytes server_public_key{};
    dh1024_key_pair::key_bytes secret{};
};

// Agrees a secret with a client's public key (at most 128 bytes, taken as a
// big-endian number). Clients take the secret without its leading zero
// bytes, the server as 128 bytes: key pairs are drawn from `draw` until
// neither the public key nor the secret begins with a zero byte, so that
// both sides mean the same bytes. Throws "DH_compute_key failed" for a key
// the group refuses, and the texts of dh1024_key_pair.
rtmfp_key_agreement rtmfp_agree(rtmfp_bytes client_public_key,
                                const rtmfp_key_source& draw = dh1024_key_pair::generate);

struct rtmfp_pending_limits {
    // Handshakes between first contact and ageing out, over all addresses.
    std::size_t max_count = 65536;
    // Their memory, the URLs they keep included.
    std::size_t max_bytes = 16 * 1024 * 1024;
    // Once more than half of either is taken, an address that holds this
    // many handshakes without a session gets no more until some age out: a
    // few busy addresses cannot take the room of everyone else.
    std::size_t max_per_address_when_busy = 64;
};

// The room all handshake endpoints of a server share for pending
// handshakes; used from any thread.
class rtmfp_pending_budget {
  public:
    explicit rtmfp_pending_budget(rtmfp_pending_limits limits) : limits_(limits) {}

    // Room for one more handshake of `bytes` from an address that holds
    // `held` without a session; false (nothing taken) beyond the limits.
    bool reserve(std::size_t bytes, std::size_t held);
    void release(std::size_t bytes) noexcept;
    std::size_t count() const;

  private:
    const rtmfp_pending_limits limits_;
    mutable std::mutex mutex_;
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

// What the handshake needs of the session registry.
class rtmfp_handshake_host {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;

    struct introduction {
        // The session of the peer that asks, found by its endpoint.
        std::shared_ptr<rtmfp_server_session> requester;
        std::shared_ptr<rtmfp_server_session> target;
    };

    // Whether a first contact from the address is answered.
    virtual bool admit(const boost::asio::ip::address& address) const = 0;
    // Whether a key exchange from the address may go on to the
    // Diffie-Hellman work now; each that may counts.
    virtual bool admit_key_exchange(const boost::asio::ip::address& address) = 0;
    // A new session for what the key exchange agreed (its id is the
    // registry's to choose); none when the limits refuse it.
    virtual std::shared_ptr<rtmfp_server_session> create_session(std::int32_t socket_index,
                                                                 rtmfp_session_setup setup) = 0;
    virtual introduction find_for_introduction(const endpoint& requester,
                                               const rtmfp_peer_id& target) const = 0;

  protected:
    ~rtmfp_handshake_host() = default;
};

// The handshake endpoint of one listen address, reached by the handlers of
// the handshake queue. Datagrams are decoded at once and answered to their
// sender; only a datagram's first chunk is looked at.
class rtmfp_server_handshake final : public rtmfp_pipe {
  public:
    // A pending handshake lives through this many ticks and goes at the
    // next.
    static constexpr std::int32_t max_age = 5;
    // Beyond this many tags, an address's next new tag makes the server
    // forget its other pending handshakes.
    static constexpr std::size_t max_tags_per_address = 1280;

    rtmfp_server_handshake(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                           std::int32_t socket_index, rtmfp_handshake_host& host,
                           const rtmfp_certificate& certificate, rtmfp_pending_budget& budget,
                           rtmfp_key_source key_source = dh1024_key_pair::generate);
    ~rtmfp_server_handshake() override;

    bool receive(block_buffer& datagram, const endpoint& from) override;
    // Ages the pending handshakes; the endpoint itself never dies.
    bool tick() override;

    std::size_t pending_count() const;

  protected:
    void handle_command(rtmfp_command& command, const endpoint& from) override;

  private:
    using cookie_type = std::array<std::uint8_t, rtmfp_cookie_size>;
    using tag_type = std::array<std::uint8_t, rtmfp_tag_size>;

    struct pending_handshake {
        tag_type tag{};
        // Kept, not checked.
        std::string url;
        // What the handshake's room in the budget is.
        std::size_t cost = 0;
        std::int32_t age = 0;
        // A key exchange works on it.
        bool claimed = false;
        // Set once a session exists for the cookie: a repeated key
        // exchange gets the same answer.
        std::uint32_t session_id = 0;
        dh1024_key_pair::key_bytes server_public_key{};
    };
    struct address_table {
        std::map<cookie_type, pending_handshake> by_cookie;
        std::map<tag_type, cookie_type> by_tag;
        // Those without a session yet: what counts against the address
        // when the room runs short (a busy address's clients that got in
        // do not keep the next out).
        std::size_t unanswered = 0;
    };
    struct answer {
        std::uint32_t session_id = 0;
        dh1024_key_pair::key_bytes server_public_key{};
    };

    void on_first_contact(const rtmfp_handshake_req& request, const endpoint& from);
    void on_key_exchange(const rtmfp_handshake_exchg_key_req& request, const endpoint& from);
    void introduce(const rtmfp_handshake_req& request, const endpoint& from);
    // Makes the session a key exchange asks for; none when refused.
    std::optional<answer> open_session(const rtmfp_handshake_exchg_key_req& request,
                                       const endpoint& from);
    void answer_key_exchange(std::uint32_t initiator_session_id, const answer& reply,
                             const endpoint& to);

    // Under tables_mutex_.
    pending_handshake* find_pending(const boost::asio::ip::address& address, rtmfp_bytes cookie);
    void forget_all(address_table& table) noexcept;
    void release_claim(const boost::asio::ip::address& address, rtmfp_bytes cookie);

    void reply(std::uint32_t session_id, const rtmfp_command& chunk, const endpoint& to);

    rtmfp_handshake_host& host_;
    const rtmfp_certificate certificate_;
    rtmfp_pending_budget& budget_;
    const rtmfp_key_source key_source_;

    mutable std::mutex tables_mutex_;
    std::map<boost::asio::ip::address, address_table> tables_;
};
