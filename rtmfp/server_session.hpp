#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtmfp/detect_nat.hpp"
#include "rtmfp/handlers.hpp"
#include "rtmfp/netgroups.hpp"
#include "rtmfp/session.hpp"

// What the application allows the RTMFP server.
struct rtmfp_server_limits {
    // Non-zero lets clients create NetStreams on the server.
    std::uint32_t allow_create_stream = 0;
    // Sessions one IP address may hold at once; an address without any is
    // always let in.
    std::int32_t max_sessions_per_ip = 100;
    // NetGroups one session may join.
    std::int32_t max_groups_per_session = 16;
    // Sessions the server holds at once.
    std::uint32_t max_sessions = 0xFFFFFFFF;
};

// What the server shares with its registry and every session.
struct rtmfp_server_state {
    std::uint16_t detect_nat_port1 = 0;
    std::uint16_t detect_nat_port2 = 0;
    rtmfp_server_limits limits;
    // Sessions created and not yet removed.
    std::atomic<std::int32_t> session_count{0};
    // The NetGroups of all sessions.
    std::shared_ptr<rtmfp_server_netgroups> netgroups = std::make_shared<rtmfp_server_netgroups>();
    // By socket index: where the answers to NAT probes are awaited (the
    // first detection port), and where the probes leave from (the second).
    // Their retry and deadline run on the timers.
    std::vector<boost::asio::ip::udp::endpoint> detect_nat_endpoints;
    std::vector<std::shared_ptr<rtmfp_socket>> detect_nat_port2_sockets;
    std::shared_ptr<rtmfp_timers> timers;
};

// A session of the server: the peer's identity and addresses, the
// NetConnection (stream 0) with the server's answers to its calls, the
// registry's hooks and the application's connection handlers.
class rtmfp_server_session : public rtmfp_session {
  public:
    using connect_hook = std::function<bool(const std::shared_ptr<rtmfp_server_session>&,
                                            amf0_object& command, buffer_reader& args)>;
    using close_hook = std::function<void(const std::shared_ptr<rtmfp_server_session>&)>;

    rtmfp_server_session(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                         std::int32_t socket_index, const rtmfp_session_setup& setup,
                         const rtmfp_server_state& server);
    ~rtmfp_server_session() override;

    // Set by the registry before the session receives anything: the server
    // handlers' say on a connect, and their news of the session's end
    // (given once, before the session end goes out).
    void set_on_connect(connect_hook hook) { on_connect_ = std::move(hook); }
    void set_on_close(close_hook hook) { on_close_ = std::move(hook); }

    void close_locked() override;

    const rtmfp_server_state& server_state() const noexcept { return server_; }

    // The application's handlers of this session; the rest runs them. All
    // under the processing mutex (the application adds its handler while
    // the server handlers decide on the connect).
    void add_connection_handler(std::int32_t key,
                                std::unique_ptr<rtmfp_connection_handler> handler);
    // True without a connect hook.
    bool run_connect(amf0_object& command, buffer_reader& args);
    void run_stream_created(const std::shared_ptr<rtmfp_netstream>& stream);
    void run_stream_deleted(const std::shared_ptr<rtmfp_netstream>& stream);
    // False when a handler refuses; without handlers the key stays the id.
    bool resolve_group_name(const std::string& group_id, std::string& group_key);
    void run_call(light_string name, double transaction_id, amf0_based& command_object,
                  buffer_reader& args);

    // The local addresses the peer announced (setPeerInfo), after its
    // public one. One that equals where its datagrams come from means no
    // NAT stands between, which the peer is told at once; otherwise its NAT
    // is probed. Under the processing mutex.
    void set_peer_info(const std::vector<endpoint>& announced);

    // NAT detection. The probe introduces the peer to the server's first
    // detection port: first from the second detection port and, when no
    // answer came within half a second, again from the main socket. From
    // which probe got through, and from where the answer comes, follows
    // the NAT type; without an answer within 2 s of the first probe it is
    // unknown. Under the processing mutex (the probe), or without it (the
    // answer, from the detection endpoint's thread).
    void probe_nat(bool retry);
    void on_nat_probe_reply(const endpoint& from, rtmfp_bytes tag);
    // Tells the NetGroups what they hand out and then the peer its NAT
    // type. Under the processing mutex.
    void report_connectivity();

    // Members of the NetGroups the session joined, for "stat".
    std::int64_t group_session_count() const;

  protected:
    // The NetConnection for id 0; a plain stream for any other id.
    std::shared_ptr<rtmfp_netstream> create_stream(std::uint32_t id) override;

  private:
    std::shared_ptr<rtmfp_server_session> shared_server_session() {
        return std::static_pointer_cast<rtmfp_server_session>(shared_from_this());
    }

    // Timer callbacks: the probe they were set for must still be pending.
    void after(std::chrono::milliseconds delay, void (rtmfp_server_session::*due)(std::uint64_t),
               std::uint64_t probe);
    void on_nat_probe_retry(std::uint64_t probe);
    void on_nat_probe_timeout(std::uint64_t probe);
    // Under the processing mutex.
    void settle_nat_type(std::int32_t type);
    std::weak_ptr<rtmfp_server_session> weak_server_session() { return shared_server_session(); }

    const rtmfp_server_state& server_;
    connect_hook on_connect_;
    close_hook on_close_;
    rtmfp_handler_chain<rtmfp_connection_handler> connection_handlers_;

    // The pending NAT probe, under the processing mutex. Every probe gets
    // a new number; timers of an earlier one find it changed.
    std::optional<rtmfp_probe_tag> probe_tag_;
    bool probe_via_port2_ = false;
    std::uint64_t probe_number_ = 0;
};
