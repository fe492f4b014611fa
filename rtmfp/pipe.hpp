#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include "foundation/block_pool.hpp"
#include "rtmfp/chunks.hpp"
#include "rtmfp/cipher.hpp"
#include "rtmfp/packet.hpp"

// A UDP socket that the server receives on while pipes send from it on any
// thread. Asio allows no two threads to start operations on one socket
// object at the same time, so every start goes through one lock.
class rtmfp_socket {
  public:
    using udp = boost::asio::ip::udp;

    explicit rtmfp_socket(udp::socket socket) : socket_(std::move(socket)) {}

    rtmfp_socket(const rtmfp_socket&) = delete;
    rtmfp_socket& operator=(const rtmfp_socket&) = delete;

    template <class Handler>
    void async_send_to(boost::asio::const_buffer bytes, const udp::endpoint& to, Handler&& done) {
        std::lock_guard lock(mutex_);
        socket_.async_send_to(bytes, to, std::forward<Handler>(done));
    }

    template <class Handler>
    void async_receive_from(boost::asio::mutable_buffer bytes, udp::endpoint& from,
                            Handler&& done) {
        async_receive_from(bytes, from, 0, std::forward<Handler>(done));
    }

    template <class Handler>
    void async_receive_from(boost::asio::mutable_buffer bytes, udp::endpoint& from,
                            boost::asio::socket_base::message_flags flags, Handler&& done) {
        std::lock_guard lock(mutex_);
        socket_.async_receive_from(bytes, from, flags, std::forward<Handler>(done));
    }

    // Where the socket's handlers run; safe from any thread.
    udp::socket::executor_type get_executor() noexcept { return socket_.get_executor(); }

    udp::endpoint local_endpoint() const {
        std::lock_guard lock(mutex_);
        return socket_.local_endpoint();
    }

    // Sends at once from the calling thread (the NAT probe needs to know
    // whether it left).
    std::size_t send_to(boost::asio::const_buffer bytes, const udp::endpoint& to,
                        boost::system::error_code& error) {
        std::lock_guard lock(mutex_);
        return socket_.send_to(bytes, to, 0, error);
    }

    void close(boost::system::error_code& error) {
        std::lock_guard lock(mutex_);
        socket_.close(error);
    }

  private:
    mutable std::mutex mutex_;
    udp::socket socket_;
};

// The time in 4-ms units (rtmfp_now unless a test drives it).
using rtmfp_clock = std::function<std::uint64_t()>;

// Called when a send has completed (whatever its result) with the packet's
// block, which goes back to its pool unless the callee keeps it.
using rtmfp_send_completion =
    std::function<void(block_buffer packet, const boost::system::error_code& error)>;

// One end of an exchange of RTMFP packets: the handshake and NAT-detection
// endpoints of a socket and every session. It decrypts, checks and parses
// the datagrams addressed to it and hands their chunks to the derived class,
// and it builds, seals and sends its own packets.
//
// Packets are built in blocks of the pool, which must be at least
// rtmfp_max_packet_size bytes. The pool must outlive every pipe and every
// block they hand out.
class rtmfp_pipe : public std::enable_shared_from_this<rtmfp_pipe> {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;

    virtual ~rtmfp_pipe();

    rtmfp_pipe(const rtmfp_pipe&) = delete;
    rtmfp_pipe& operator=(const rtmfp_pipe&) = delete;

    // A datagram (the block sized to its length) arrived from `from`. True
    // when the pipe has taken the block: the base remembers `from` as the
    // peer endpoint and decodes at once. False leaves the block with the
    // caller, who must hand it to process() now, with the same sender.
    virtual bool receive(block_buffer& datagram, const endpoint& from);
    // Decodes a datagram that receive() left to the caller; the base has
    // nothing to do.
    virtual void process(block_buffer datagram, const endpoint& from);
    // Once a second; false when the pipe is dead.
    virtual bool tick() = 0;

    // The receive path: decrypts in place, checks the checksum, reads the
    // header and hands each known chunk to handle_command. The block returns
    // to its pool in every case. False when the datagram was dropped quietly
    // (a length that breaks the padding rule or a wrong checksum): such a
    // datagram changes nothing, not even the idle count, so that forged
    // datagrams cannot keep a pipe alive. Malformed content throws
    // ("Packet eof", "No more commands"). Only the first `chunk_limit`
    // chunks are looked at.
    bool decode_packet(block_buffer datagram, const endpoint& from,
                       std::uint32_t chunk_limit = std::numeric_limits<std::uint32_t>::max());

    // A sealed packet that carries one chunk, in a fresh block. It goes to
    // `session_id`, or to the far session id when none is given.
    block_buffer begin_packet(std::optional<std::uint32_t> session_id, std::uint8_t marker,
                              const rtmfp_command& chunk);
    // Completes a packet whose chunks were written behind the 11-byte header
    // area: writes the header (marker 0x4E with the echo), pads and seals it.
    // The block's size is the packet length in and out (at most
    // rtmfp_max_packet_size).
    void stamp_packet(block_buffer& packet);

    // Sends a finished packet to the peer endpoint (or to `to`) without
    // waiting; `on_sent` gets the block back when the send completes.
    void send_to(block_buffer packet, rtmfp_send_completion on_sent = {});
    void send_to(block_buffer packet, const endpoint& to, rtmfp_send_completion on_sent = {});

    std::uint32_t session_id() const noexcept { return session_id_; }
    std::uint32_t far_session_id() const noexcept { return far_session_id_; }
    std::int32_t socket_index() const noexcept { return socket_index_; }
    // Timestamp of the last packet with a valid checksum that carried one,
    // echoed back.
    std::uint16_t peer_time() const noexcept { return peer_time_; }
    // Round-trip estimate in 4-ms units.
    std::uint16_t rtt() const noexcept { return rtt_; }
    std::int32_t idle_count() const noexcept { return idle_count_; }
    endpoint peer_endpoint() const;
    block_malloc& pool() const noexcept { return pool_; }
    // Low 16 bits of the pipe's clock: the timestamps of its packets.
    std::uint16_t now16() const { return static_cast<std::uint16_t>(clock_()); }
    const std::shared_ptr<rtmfp_socket>& socket() const noexcept { return socket_; }

  protected:
    rtmfp_pipe(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket, std::int32_t socket_index,
               std::uint32_t session_id, std::uint32_t far_session_id, const rtmfp_key& encrypt_key,
               const rtmfp_key& decrypt_key, rtmfp_clock clock = rtmfp_now);

    // Once per genuine packet (its checksum passed), before its chunks;
    // `from` is its sender.
    virtual void on_packet(const endpoint& from);
    // Once per known chunk of a decoded packet. `from` is the sender of the
    // datagram being decoded: endpoints that serve many clients on several
    // threads at once answer it rather than the shared peer endpoint.
    virtual void handle_command(rtmfp_command& command, const endpoint& from) = 0;

    // Guards peer_endpoint_ and what a derived pipe keeps with it.
    mutable std::mutex endpoint_mutex_;
    endpoint peer_endpoint_;
    // Reset by every genuine datagram; the session's tick counts it up.
    std::atomic<std::int32_t> idle_count_{0};

  private:
    void finish_packet(rtmfp_packet_writer& out, std::uint32_t session_id);
    void update_rtt(std::uint16_t echo);

    block_malloc& pool_;
    const std::shared_ptr<rtmfp_socket> socket_;
    const std::int32_t socket_index_;
    const std::uint32_t session_id_;
    const std::uint32_t far_session_id_;
    const rtmfp_clock clock_;
    rtmfp_cipher encrypt_;
    rtmfp_cipher decrypt_;
    std::atomic<std::uint16_t> peer_time_{0};
    std::atomic<std::uint16_t> rtt_{10};
};
