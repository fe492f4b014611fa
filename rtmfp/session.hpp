#pragma once

#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/id_map.hpp"
#include "rtmfp/flows.hpp"
#include "rtmfp/netstream.hpp"
#include "rtmfp/pipe.hpp"

using rtmfp_peer_id = std::array<std::uint8_t, 32>;

// What the handshake agreed on for a new session.
struct rtmfp_session_setup {
    // Ours, carried by the packets that arrive.
    std::uint32_t session_id = 0;
    // The peer's, written into the packets we send.
    std::uint32_t far_session_id = 0;
    rtmfp_key encrypt_key{};
    rtmfp_key decrypt_key{};
    rtmfp_peer_id peer_id{};
    // Where the key exchange came from.
    boost::asio::ip::udp::endpoint peer;
};

// The server's side of one RTMFP association: it decodes the datagrams
// addressed to it one at a time and in arrival order whatever thread hands
// them in, dispatches their chunks to its flows, owns the streams the flows
// feed, sends its packets one at a time, keeps the peer alive and closes
// itself after 30 silent ticks.
//
// Locks, in this order: the processing mutex (decoding, the tick, closing,
// everything that touches streams and flows), then either the endpoint
// mutex (peer address, addresses, send queue) or the receive-queue mutex.
// Nothing is called outside the session while one of the last two is held.
//
// Made with std::make_shared; the session outlives every send it started.
class rtmfp_session : public rtmfp_pipe {
  public:
    enum class state_type : std::int32_t { fresh = 0, connected = 1, closed = 2 };

    static constexpr std::size_t max_streams = 128;
    static constexpr std::size_t max_in_flows = 256;
    // Datagrams waiting for the thread that decodes the session; beyond,
    // they are dropped and the peer resends.
    static constexpr std::size_t max_queued_datagrams = 256;
    // All partial messages of the session's in flows together.
    static constexpr std::size_t max_partial_bytes = 4 * 1024 * 1024;
    static constexpr std::int32_t keep_alive_tick = 15;
    static constexpr std::int32_t dead_after_ticks = 30;

    using address_changed =
        std::function<void(rtmfp_session&, const endpoint& before, const endpoint& now)>;

    // `socket` must not be null. `clock` stamps the packets; the flows
    // time their round trips and time-outs on `steady_clock`, and their
    // timer runs on the socket's executor.
    rtmfp_session(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                  std::int32_t socket_index, const rtmfp_session_setup& setup,
                  rtmfp_clock clock = rtmfp_now,
                  rtmfp_steady_clock steady_clock = std::chrono::steady_clock::now);
    ~rtmfp_session() override;

    // The receive path (see rtmfp_pipe): false makes the caller decode the
    // datagram now with process(), which then also decodes whatever other
    // threads queued meanwhile.
    bool receive(block_buffer& datagram, const endpoint& from) override;
    void process(block_buffer datagram, const endpoint& from) override;
    // Once a second: false when the session is dead (closed, or silent for
    // more than 30 ticks).
    bool tick() override;

    // Ends the session: one session end (0x4C) to the peer, every stream
    // closed, every flow gone. For callers that do not hold the processing
    // mutex (the server's stop, timers); later calls do nothing more.
    void close();
    // The same for code that runs under the processing mutex (chunk
    // handlers, flows, streams). Derived sessions add to it.
    virtual void close_locked();
    // Closes the session for what the peer sent (under the processing mutex).
    void close_on_error(const std::exception& error);

    // Held by code from outside the decoding thread that touches the
    // session's streams or flows.
    std::unique_lock<std::mutex> lock_processing() {
        return std::unique_lock<std::mutex>(processing_mutex_);
    }

    // Streams. The first two throw "Too many streams" when the session holds
    // max_streams of them; get_or_create_stream makes an absent one with
    // create_stream().
    std::shared_ptr<rtmfp_netstream> get_or_create_stream(std::uint32_t id);
    std::shared_ptr<rtmfp_netstream> allocate_stream();
    std::shared_ptr<rtmfp_netstream> find_stream(std::uint32_t id) const;
    // Closes the stream and forgets it.
    void remove_stream(std::uint32_t id);
    std::shared_ptr<rtmfp_netstream> netconnection() const;
    std::shared_ptr<rtmfp_netstream> netgroup_stream() const;
    std::size_t stream_count() const noexcept { return streams_.size(); }

    // Flows. A new in flow beyond max_in_flows, or an out flow when no id
    // is free, throws "Too many flows". Removed flows live on until the
    // call that removed them has returned.
    rtmfp_in_flow* get_in_flow(std::uint32_t id, bool create);
    rtmfp_out_flow* create_out_flow();
    rtmfp_out_flow* find_out_flow(std::uint32_t id) const { return out_flows_.find(id); }
    void remove_in_flow(std::uint32_t id);
    void remove_out_flow(std::uint32_t id);
    std::size_t in_flow_count() const noexcept { return in_flows_.size(); }
    std::size_t out_flow_count() const noexcept { return out_flows_.size(); }

    // Sends a finished packet after those handed over before it. A flow
    // shares the packets it may have to resend.
    void send_packet(block_buffer packet);
    void send_packet(std::shared_ptr<const block_buffer> packet);
    void send_keep_alive();
    // Nothing waits to go out and nothing is on its way to the socket.
    bool sends_done() const;
    // Introduces a peer that asked for this one: tells our peer the address
    // to punch towards, element 0 of the requester's `addresses` (its public
    // one) unless both peers share a public IP, where repeated requests with
    // one tag walk through the requester's addresses in turn.
    void send_punch_request(const std::vector<endpoint>& requester_addresses, rtmfp_bytes tag);

    // Acknowledgements of the in flows: queued while a datagram is decoded
    // and sent once it is done, or with a packet of an out flow that leaves
    // before that. `soon` asks for them to go out after this datagram.
    void queue_ack(std::uint32_t flow_id, std::uint32_t sequence, bool soon);
    // What is queued goes out after this datagram.
    void request_acks() noexcept { acks_due_ = true; }
    void send_acks();
    // Fills what room the packet has (its size is its length so far).
    void append_acks(block_buffer& packet);

    // The budget of the partial messages of the in flows. false, and nothing
    // counted, when `bytes` more would pass max_partial_bytes.
    bool reserve_partial(std::size_t bytes) noexcept;
    void release_partial(std::size_t bytes) noexcept;

    // The out flows' time-outs: the session's timer wakes at the earliest
    // time a flow asked for, and sends again what waited too long for its
    // acknowledgement. Called under the processing mutex.
    void arm_flow_timer(rtmfp_steady_time at);
    // What the timer runs (tests call it after moving their clock): every
    // flow's packets that are past their time-out go again.
    void resend_overdue();
    rtmfp_steady_time steady_now() const { return steady_clock_(); }
    // The round trip of the session's packets, from the acknowledgements of
    // its out flows. Under the processing mutex.
    rtmfp_rtt_estimator& rtt_estimator() noexcept { return rtt_estimator_; }

    // Flow packets sent again since the session began.
    std::uint64_t packets_resent() const noexcept { return packets_resent_.load(); }
    void count_resent(std::size_t packets) noexcept { packets_resent_ += packets; }

    state_type state() const noexcept { return state_.load(); }
    bool is_closed() const noexcept { return state() == state_type::closed; }
    // A datagram sealed with the session's keys has come: the peer holds
    // them.
    bool heard_from() const noexcept { return heard_from_.load(); }
    void set_connected() noexcept;
    const rtmfp_peer_id& peer_id() const noexcept { return peer_id_; }
    std::int32_t nat_type() const noexcept { return nat_type_.load(); }
    void set_nat_type(std::int32_t type) noexcept { nat_type_ = type; }

    // Element 0 is where the peer's datagrams come from; the addresses the
    // peer announced follow.
    std::vector<endpoint> addresses() const;
    // Keeps element 0 and replaces the rest.
    void set_addresses(const std::vector<endpoint>& announced);

    // Told when a genuine datagram comes from a new address, after the
    // session moved there (outside the session's locks but the processing
    // mutex). Set before the session receives anything.
    void set_on_address_changed(address_changed callback) {
        on_address_changed_ = std::move(callback);
    }

  protected:
    void on_packet(const endpoint& from) override;
    void handle_command(rtmfp_command& command, const endpoint& from) override;
    // A new stream of the given id; the base has none ("createStream not
    // implement").
    virtual std::shared_ptr<rtmfp_netstream> create_stream(std::uint32_t id);
    // Told why the peer's data closed the session, for a log; the base
    // ignores it.
    virtual void on_protocol_error(const std::exception& error);

    std::shared_ptr<rtmfp_session> shared_session() {
        return std::static_pointer_cast<rtmfp_session>(shared_from_this());
    }

  private:
    struct queued_datagram {
        block_buffer block;
        endpoint from;
    };
    // A sealed packet on its way to the socket.
    struct outgoing_packet {
        block_buffer owned;
        std::shared_ptr<const block_buffer> shared;
        const block_buffer& bytes() const noexcept { return shared ? *shared : owned; }
    };
    struct pending_ack {
        std::uint32_t flow_id = 0;
        std::uint32_t sequence = 0;
    };

    void decode(block_buffer datagram, const endpoint& from);
    void dispatch(rtmfp_command& command);
    void on_user_data(const rtmfp_block_data& chunk);
    void on_next_user_data(const rtmfp_block_data_compact& chunk);
    void on_flow_ack(std::uint32_t flow_id, std::uint32_t cumulative,
                     std::span<const rtmfp_received_range> received);
    void run_flow_timers();
    void send_control(std::uint8_t marker, const rtmfp_command& chunk);
    void send_session_end() noexcept;
    void enqueue(outgoing_packet packet);
    // Under the endpoint mutex.
    void start_send(outgoing_packet packet);
    void on_sent();
    // Frees the flows removed since the last call; called where no flow
    // call is on the stack.
    void release_retired() noexcept;
    void write_ack_chunks(block_buffer& packet, std::uint32_t limit);

    const rtmfp_peer_id peer_id_;
    const rtmfp_steady_clock steady_clock_;
    std::atomic<state_type> state_{state_type::fresh};
    std::atomic<std::int32_t> nat_type_{0};
    std::atomic<bool> heard_from_{false};
    std::atomic<std::uint64_t> packets_resent_{0};
    address_changed on_address_changed_;

    // Processing: everything below up to the endpoint section.
    std::mutex processing_mutex_;
    std::int64_t last_data_flow_id_ = -1;
    std::uint32_t last_data_seq_ = 0;
    std::uint32_t last_data_fsn_offset_ = 0;
    std::uint32_t next_out_flow_id_ = 2;
    std::uint32_t next_stream_id_ = 1;
    std::size_t partial_bytes_ = 0;
    std::deque<pending_ack> pending_acks_;
    bool acks_due_ = false;
    id_map<std::shared_ptr<rtmfp_netstream>> streams_;
    id_map<std::unique_ptr<rtmfp_in_flow>> in_flows_;
    id_map<std::unique_ptr<rtmfp_out_flow>> out_flows_;
    std::vector<std::unique_ptr<rtmfp_in_flow>> retired_in_flows_;
    std::vector<std::unique_ptr<rtmfp_out_flow>> retired_out_flows_;
    rtmfp_rtt_estimator rtt_estimator_;
    // The ranges of the acknowledgement being handled.
    std::vector<rtmfp_received_range> received_ranges_;
    boost::asio::steady_timer flow_timer_;
    // When the pending wait of flow_timer_ ends; none while it has none.
    std::optional<rtmfp_steady_time> flow_timer_at_;

    // Under the pipe's endpoint mutex, with peer_endpoint_.
    std::vector<endpoint> addresses_;
    // Keyed by the tag's bytes.
    std::map<std::string, std::uint32_t> tag_rotation_;
    bool sending_ = false;
    std::deque<outgoing_packet> send_queue_;

    // Under the receive-queue mutex.
    std::mutex receive_mutex_;
    bool busy_ = false;
    std::deque<queued_datagram> receive_queue_;
};
