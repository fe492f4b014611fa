#pragma once

// What NAT detection needs besides the session: the tags that name a probe,
// the endpoint that takes the answers on the first detection port, and the
// one-shot timers of the retry and the deadline.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "foundation/block_pool.hpp"
#include "rtmfp/cipher.hpp"
#include "rtmfp/packet.hpp"

// 16 bytes: the session's id folded with bytes 4-11 (as a packet's session
// id is), eight random bytes from OpenSSL's generator, and "DNAT". The
// random bytes keep anyone but the probed client from answering for it.
using rtmfp_probe_tag = std::array<std::uint8_t, 16>;

rtmfp_probe_tag rtmfp_make_probe_tag(std::uint32_t session_id);
// The session a tag names; none for one shorter than 16 bytes or without
// "DNAT" at bytes 12-15.
std::optional<std::uint32_t> rtmfp_probe_tag_session(rtmfp_bytes tag);

// Where the answers to NAT probes arrive: datagrams with session id 0 on a
// detect_nat_port1 socket, sealed with the default key. Of every 0x70 chunk
// only the tag is read (the cookie and certificate behind it are the
// client's, of its lengths); each tag that names a session goes to
// `on_reply` with the sender of its own datagram. Used by any number of
// threads at once.
class rtmfp_detect_nat {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;
    using reply_handler =
        std::function<void(std::uint32_t session_id, const endpoint& from, rtmfp_bytes tag)>;

    explicit rtmfp_detect_nat(reply_handler on_reply);

    // Anything that is not such an answer is dropped without a word.
    void receive(block_buffer& datagram, const endpoint& from);

  private:
    rtmfp_cipher decrypt_;
    const reply_handler on_reply_;
};

// One-shot timers for the NAT probes. A timer cannot be cancelled: whoever
// set it checks when it fires whether it still matters.
class rtmfp_timers {
  public:
    virtual ~rtmfp_timers() = default;
    // Calls `due` once, on some thread, after `delay`.
    virtual void after(std::chrono::milliseconds delay, std::function<void()> due) = 0;
};

// Timers on an io context; those pending when it stops never fire.
class rtmfp_io_timers final : public rtmfp_timers {
  public:
    explicit rtmfp_io_timers(boost::asio::io_context& io) : io_(io) {}

    void after(std::chrono::milliseconds delay, std::function<void()> due) override;

  private:
    boost::asio::io_context& io_;
};
