#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "rtmfp/handlers.hpp"
#include "rtmfp/handshake.hpp"
#include "rtmfp/handshake_gate.hpp"
#include "rtmfp/handshake_queue.hpp"
#include "rtmfp/server_session.hpp"

// Re-arms a socket's receive at most once: the session path does it before
// it decodes, so that another thread can receive meanwhile, and the server
// does it after anything else.
class rtmfp_rearm {
  public:
    explicit rtmfp_rearm(std::function<void()> arm) : arm_(std::move(arm)) {}

    void operator()() {
        if (!done_) {
            done_ = true;
            arm_();
        }
    }

  private:
    std::function<void()> arm_;
    bool done_ = false;
};

// The sessions of an RTMFP server: routes each datagram by its session id
// (0 to the handshake endpoint of the socket it came in on, through the
// handshake queue), creates the sessions the handshakes agree on within the
// limits, keeps them by id, peer id, endpoint and IP address, ages
// handshakes and sessions once a second and runs the application's server
// handlers.
//
// Locks: the registry's lock guards its maps and is never held while a
// session is locked or called; a session may call in here under its
// processing mutex (processing mutex first, registry lock second). The rate
// gates and the handshake queue have locks of their own under which
// nothing is called.
class rtmfp_server_sessions final : private rtmfp_handshake_host {
  public:
    using endpoint = boost::asio::ip::udp::endpoint;

    // One main socket per listen address, in order; the sockets, pool and
    // shared state outlive the registry. The timer and the handshake work
    // run on `io`, which must not run them once the registry is gone.
    rtmfp_server_sessions(boost::asio::io_context& io, block_malloc& pool,
                          std::vector<std::shared_ptr<rtmfp_socket>> sockets,
                          rtmfp_server_state& state, rtmfp_pending_limits pending = {},
                          const rtmfp_handshake_limits& handshakes = {});
    ~rtmfp_server_sessions();

    rtmfp_server_sessions(const rtmfp_server_sessions&) = delete;
    rtmfp_server_sessions& operator=(const rtmfp_server_sessions&) = delete;

    // Before the server starts; the chain is read without a lock later.
    void add_handler(std::int32_t key, std::shared_ptr<rtmfp_server_handler> handler);

    // A datagram from main socket `socket_index` that passed the size
    // filter. A session's datagram is decoded here, after `rearm`; a
    // handshake datagram waits in the handshake queue, unless its address
    // or all addresses are beyond their rates or the queue is full. Throws
    // "Bad session id" for a datagram of no session.
    void dispatch(std::size_t socket_index, block_buffer datagram, const endpoint& from,
                  rtmfp_rearm& rearm);
    // The handlers that may decode handshakes at once.
    void set_handshake_workers(std::size_t workers) { handshake_queue_.set_workers(workers); }
    // The same from a detect_nat_port1 socket: answers to NAT probes, which
    // go to the session they name. Anything else is dropped.
    void dispatch_detect_nat(std::size_t socket_index, block_buffer datagram, const endpoint& from);

    // Ticks every second from now on; tests that call tick() themselves
    // leave it off.
    void start_timer();
    // Ages the handshakes and ticks the sessions, removing the dead ones.
    void tick();
    // Closes every session and the timer; once. No session is made after.
    void stop();

    // Some session still has packets on their way out.
    bool sending() const;
    std::size_t session_count() const;
    std::shared_ptr<rtmfp_server_session> find_session(std::uint32_t id) const;
    // Sessions counted for an IP address.
    std::int32_t sessions_of(const boost::asio::ip::address& address) const;
    // Handshakes between first contact and ageing out.
    std::size_t pending_handshakes() const { return budget_.count(); }
    const rtmfp_certificate& certificate() const noexcept { return certificate_; }
    const rtmfp_peer_id& server_peer_id() const noexcept { return server_peer_id_; }

  private:
    struct session_entry {
        std::shared_ptr<rtmfp_server_session> session;
        // Where the session is known in by_endpoint_ and per_ip_.
        endpoint counted_at;
    };

    bool admit(const boost::asio::ip::address& address) const override;
    bool admit_key_exchange(const boost::asio::ip::address& address) override;
    void decode_handshake(std::size_t socket_index, block_buffer datagram,
                          const endpoint& from) noexcept;
    std::shared_ptr<rtmfp_server_session> create_session(std::int32_t socket_index,
                                                         rtmfp_session_setup setup) override;
    introduction find_for_introduction(const endpoint& requester,
                                       const rtmfp_peer_id& target) const override;

    void on_address_changed(rtmfp_server_session& session, const endpoint& now);
    void on_nat_probe_reply(std::uint32_t session_id, const endpoint& from, rtmfp_bytes tag);
    bool run_connect_handlers(const std::shared_ptr<rtmfp_server_session>& session,
                              amf0_object& command, buffer_reader& args);
    void run_disconnect_handlers(const std::shared_ptr<rtmfp_server_session>& session);

    // Under the exclusive lock.
    bool admits(const boost::asio::ip::address& address) const;
    std::uint32_t next_free_id();
    void count(const boost::asio::ip::address& address, int change);
    void remove(const std::shared_ptr<rtmfp_server_session>& session);

    // Of a peer id's sessions, the one introductions reach: the newest live
    // one that has shown it holds the session's keys.
    static std::shared_ptr<rtmfp_server_session> newest_of(
        const std::vector<std::weak_ptr<rtmfp_server_session>>& sessions);
    std::vector<std::shared_ptr<rtmfp_server_session>> snapshot() const;
    void arm_timer();

    block_malloc& pool_;
    const std::vector<std::shared_ptr<rtmfp_socket>> sockets_;
    rtmfp_server_state& state_;
    const rtmfp_certificate certificate_;
    const rtmfp_peer_id server_peer_id_;
    rtmfp_pending_budget budget_;
    std::vector<std::shared_ptr<rtmfp_server_handshake>> handshakes_;
    std::vector<std::unique_ptr<rtmfp_detect_nat>> detect_nat_;
    rtmfp_rate_gate handshake_datagrams_;
    rtmfp_rate_gate key_exchanges_;
    rtmfp_handshake_queue handshake_queue_;
    rtmfp_handler_chain<rtmfp_server_handler, std::shared_ptr<rtmfp_server_handler>> handlers_;

    std::mutex timer_mutex_;
    boost::asio::steady_timer timer_;
    std::atomic<bool> stopped_{false};

    mutable std::shared_mutex mutex_;
    std::uint32_t next_session_id_ = 1;
    std::map<std::uint32_t, session_entry> by_id_;
    // A client that comes back with its key pair has the same peer id:
    // each of its sessions, oldest first.
    std::map<rtmfp_peer_id, std::vector<std::weak_ptr<rtmfp_server_session>>> by_peer_id_;
    std::map<endpoint, std::weak_ptr<rtmfp_server_session>> by_endpoint_;
    // IPv4 addresses order before IPv6 ones.
    std::map<boost::asio::ip::address, std::int32_t> per_ip_;
};
