#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "foundation/block_pool.hpp"

// Handshake datagrams on their way from the receive path to their
// decoding, which runs in handlers of the io context: at most `workers` of
// them at once, each taking a few datagrams before it lets the context's
// other work go first. So a socket receives again at once, and the
// datagrams of established sessions never wait for a key exchange's
// Diffie-Hellman work. Datagrams beyond the room are dropped unread.
class rtmfp_handshake_queue {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;
    // Decodes one datagram of main socket `socket_index`; must not throw.
    using handshake_work =
        std::function<void(std::size_t socket_index, block_buffer datagram, const endpoint& from)>;

    // Handlers are posted to `io`, which must not run them once the queue
    // is gone.
    rtmfp_handshake_queue(boost::asio::io_context& io, std::size_t max_queued, handshake_work work);

    rtmfp_handshake_queue(const rtmfp_handshake_queue&) = delete;
    rtmfp_handshake_queue& operator=(const rtmfp_handshake_queue&) = delete;

    // Handlers that may decode at once (at least one); the server leaves
    // one of its threads to the rest.
    void set_workers(std::size_t workers);
    // False when the datagram was dropped: no room, or stopped.
    bool push(std::size_t socket_index, block_buffer datagram, const endpoint& from);
    // Drops what waits and whatever comes later.
    void stop();
    std::size_t queued() const;

  private:
    // Datagrams a handler decodes before it goes behind the context's other
    // work.
    static constexpr int batch = 8;

    struct job {
        std::size_t socket_index = 0;
        block_buffer datagram;
        endpoint from;
    };

    void drain();

    boost::asio::io_context& io_;
    const std::size_t max_queued_;
    const handshake_work work_;

    mutable std::mutex mutex_;
    std::deque<job> jobs_;
    std::size_t workers_ = 1;
    std::size_t running_ = 0;
    bool stopped_ = false;
};
