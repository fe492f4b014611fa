#pragma once

#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/block_pool.hpp"
#include "foundation/io_service_pool.hpp"
#include "rtmfp/server_sessions.hpp"

struct rtmfp_server_options {
    // The server ages its handshakes and sessions once a second; a test
    // turns this off and calls sessions().tick() itself.
    bool tick_timer = true;
    rtmfp_pending_limits pending;
    // The NAT probes' retry and deadline; the server's own io context when
    // none is given (a test gives timers it fires itself).
    std::shared_ptr<rtmfp_timers> timers;
    // What the handshakes of one address, and of all, may cost.
    rtmfp_handshake_limits handshakes;
};

// The UDP side of RTMFP. Each listen address gets three sockets: the main
// port, where handshakes and sessions are received, and the two NAT
// detection ports. The server runs its own io context on its own threads,
// receives into pooled 1204-byte blocks and hands what passes the size
// filter to its session registry.
//
// IPv6 sockets take IPv6 only: IPv4 clients never arrive as mapped
// addresses, and both families can use one port number.
class rtmfp_server {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;

    // Binds the sockets of every listen address it can (one that fails is
    // skipped); throws "No sockets were opened successfully" when none
    // could be. Port 0 gets a free port.
    rtmfp_server(const std::vector<endpoint>& listen, std::uint16_t detect_nat_port1,
                 std::uint16_t detect_nat_port2, const rtmfp_server_limits& limits,
                 rtmfp_server_options options = {});
    // stop(), join().
    virtual ~rtmfp_server();

    rtmfp_server(const rtmfp_server&) = delete;
    rtmfp_server& operator=(const rtmfp_server&) = delete;

    // The application registers its handlers here before start().
    rtmfp_server_sessions& sessions() noexcept { return *sessions_; }

    // Starts receiving and `threads` threads (at least one) on the
    // server's io context. Handshakes are decoded on all of them but one,
    // which the sessions' datagrams then always find free.
    void start(std::size_t threads);
    // Closes every session (each peer is told) and, once their last
    // packets have left, the sockets; once. Not from the server's threads.
    void stop();
    // After stop(): waits until the threads have finished what was under
    // way.
    void join();

    // Where each listen address's main and first NAT detection sockets are
    // bound, in order.
    std::vector<endpoint> local_endpoints() const;
    std::vector<endpoint> detect_nat_endpoints() const;
    const rtmfp_server_state& state() const noexcept { return state_; }
    const block_malloc& pool() const noexcept { return pool_; }

  private:
    struct listen_sockets {
        std::shared_ptr<rtmfp_socket> main;
        std::shared_ptr<rtmfp_socket> detect_nat_port1;
        std::shared_ptr<rtmfp_socket> detect_nat_port2;
        // Senders of the pending receives.
        endpoint main_sender;
        endpoint detect_nat_sender;
    };
    enum class socket_kind { main, detect_nat };

    void arm_receive(std::size_t index, socket_kind kind);
    void on_receive(std::size_t index, socket_kind kind, block_buffer block,
                    const boost::system::error_code& error, std::size_t length);

    const rtmfp_server_options options_;
    // Outlives the io context: handlers still queued hold its blocks.
    block_malloc pool_;
    rtmfp_server_state state_;
    io_service_pool io_;
    std::vector<listen_sockets> sockets_;
    std::unique_ptr<rtmfp_server_sessions> sessions_;
    std::atomic<bool> stopping_{false};
};
