#include "rtmfp/session.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace {

// The signatures of a new flow's first option (after its length): a
// NetStream's names its stream id after them, the NetGroup stream's is all.
constexpr std::uint32_t stream_signature = 0x00544304;
constexpr std::uint8_t netgroup_signature[] = {0x00, 0x47, 0x43};

// Acknowledgement chunks go into a packet while it has this much room
// left, which is more than the largest one takes.
constexpr std::uint32_t ack_room = 16;

constexpr std::uint32_t first_out_flow_id = 2;
constexpr std::uint32_t out_flow_id_limit = 256;
constexpr std::uint32_t first_stream_id = 1;
constexpr std::uint32_t stream_id_limit = 128;

[[noreturn]] void throw_too_many_flows() {
    throw std::runtime_error("Too many flows");
}

[[noreturn]] void throw_too_many_streams() {
    throw std::runtime_error("Too many streams");
}

std::shared_ptr<rtmfp_socket> checked(std::shared_ptr<rtmfp_socket> socket) {
    if (!socket) {
        throw std::invalid_argument("An RTMFP session needs a socket");
    }
    return socket;
}

std::uint32_t stream_id_of(rtmfp_bytes signature) {
    if (signature.size() > 4) {
        rtmfp_packet_reader in(signature);
        if (in.read_u32_be() == stream_signature) {
            return rtmfp_read_vlu(in);
        }
    } else if (std::equal(signature.begin(), signature.end(), std::begin(netgroup_signature),
                          std::end(netgroup_signature))) {
        return rtmfp_netstream::netgroup_id;
    }
    throw std::runtime_error("Unknown flow type");
}

// The first id from `next` on that `in_use` refuses, stepping back to
// `first` on reaching `limit`; a second such wrap means there is none.
template <class InUse>
std::uint32_t free_id(std::uint32_t next, std::uint32_t first, std::uint32_t limit, InUse&& in_use,
                      void (*none_left)()) {
    std::uint32_t candidate = next;
    int wraps = 0;
    while (in_use(candidate)) {
        if (++candidate == limit) {
            candidate = first;
            if (++wraps == 2) {
                none_left();
            }
        }
    }
    return candidate;
}

}  // namespace

rtmfp_session::rtmfp_session(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                             std::int32_t socket_index, const rtmfp_session_setup& setup,
                             rtmfp_clock clock, rtmfp_steady_clock steady_clock)
    : rtmfp_pipe(pool, checked(std::move(socket)), socket_index, setup.session_id,
                 setup.far_session_id, setup.encrypt_key, setup.decrypt_key, std::move(clock)),
      peer_id_(setup.peer_id),
      steady_clock_(std::move(steady_clock)),
      flow_timer_(this->socket()->get_executor()),
      addresses_{setup.peer} {
    peer_endpoint_ = setup.peer;
}

rtmfp_session::~rtmfp_session() {
    // Flows first: they give their partial messages back to the session.
    in_flows_.clear();
    out_flows_.clear();
    release_retired();
    streams_.clear();
}

bool rtmfp_session::receive(block_buffer& datagram, const endpoint& from) {
    block_buffer dropped;
    {
        std::lock_guard lock(receive_mutex_);
        if (is_closed()) {
            dropped = std::move(datagram);
        } else if (!busy_) {
            busy_ = true;
            return false;
        } else if (receive_queue_.size() >= max_queued_datagrams) {
            dropped = std::move(datagram);
        } else {
            receive_queue_.push_back({std::move(datagram), from});
        }
    }
    return true;
}

void rtmfp_session::process(block_buffer datagram, const endpoint& from) {
    std::lock_guard processing(processing_mutex_);
    queued_datagram next{std::move(datagram), from};
    for (;;) {
        decode(std::move(next.block), next.from);
        std::lock_guard lock(receive_mutex_);
        if (receive_queue_.empty()) {
            busy_ = false;
            return;
        }
        next = std::move(receive_queue_.front());
        receive_queue_.pop_front();
    }
}

void rtmfp_session::decode(block_buffer datagram, const endpoint& from) {
    if (is_closed()) {
        return;
    }
    try {
        decode_packet(std::move(datagram), from);
        if (acks_due_) {
            send_acks();
        }
    } catch (const std::exception& error) {
        close_on_error(error);
    }
    release_retired();
}

void rtmfp_session::on_packet(const endpoint& from) {
    last_data_flow_id_ = -1;
    heard_from_ = true;
    endpoint before;
    {
        std::lock_guard lock(endpoint_mutex_);
        if (from == peer_endpoint_) {
            return;
        }
        before = peer_endpoint_;
        peer_endpoint_ = from;
        addresses_.front() = from;
    }
    if (on_address_changed_) {
        on_address_changed_(*this, before, from);
    }
}

void rtmfp_session::handle_command(rtmfp_command& command, const endpoint&) {
    if (is_closed()) {
        return;
    }
    dispatch(command);
    release_retired();
}

void rtmfp_session::dispatch(rtmfp_command& command) {
    switch (command.type) {
        case rtmfp_keep_alive_req::chunk_type:
            send_control(rtmfp_marker_session_echo,
                         rtmfp_keep_alive_rep(static_cast<rtmfp_keep_alive_req&>(command).body));
            break;
        case rtmfp_client_session_failed_cmd::chunk_type:
        case rtmfp_ack_negative_rep::chunk_type:
        case rtmfp_session_end_cmd::chunk_type:
            close_locked();
            break;
        case rtmfp_block_data::chunk_type:
            on_user_data(static_cast<rtmfp_block_data&>(command));
            break;
        case rtmfp_block_data_compact::chunk_type:
            on_next_user_data(static_cast<rtmfp_block_data_compact&>(command));
            break;
        case rtmfp_ack_cmd::chunk_type: {
            const auto& ack = static_cast<rtmfp_ack_cmd&>(command);
            received_ranges_.clear();
            ack.received_ranges(received_ranges_);
            on_flow_ack(ack.flow_id, ack.cumulative_sequence, received_ranges_);
            break;
        }
        case rtmfp_ack_bitmap_cmd::chunk_type: {
            const auto& ack = static_cast<rtmfp_ack_bitmap_cmd&>(command);
            received_ranges_.clear();
            ack.received_ranges(received_ranges_);
            on_flow_ack(ack.flow_id, ack.cumulative_sequence, received_ranges_);
            break;
        }
        default:
            break;
    }
}

void rtmfp_session::on_user_data(const rtmfp_block_data& chunk) {
    if (chunk.flow_id > rtmfp_max_vlu) {
        // Its acknowledgements could not be written.
        throw std::runtime_error("Invalid flow id");
    }
    last_data_flow_id_ = chunk.flow_id;
    last_data_seq_ = chunk.sequence;
    last_data_fsn_offset_ = chunk.fsn_offset;
    if (!chunk.has_options()) {
        // The flow's first fragment has not come yet: it is resent with
        // what follows it.
        if (rtmfp_in_flow* flow = in_flows_.find(chunk.flow_id)) {
            flow->on_fragment(chunk.sequence, chunk.flags, chunk.payload);
        }
        return;
    }
    rtmfp_in_flow* flow = get_in_flow(chunk.flow_id, true);
    const std::shared_ptr<rtmfp_netstream> stream =
        get_or_create_stream(stream_id_of(chunk.signature));
    flow->attach(stream);
    if (!stream->has_out_flow()) {
        create_out_flow()->attach(stream, chunk.flow_id);
    }
    flow->on_fragment(chunk.sequence, chunk.flags, chunk.payload);
}

void rtmfp_session::on_next_user_data(const rtmfp_block_data_compact& chunk) {
    if (last_data_flow_id_ < 0) {
        throw std::runtime_error("Invalid block data compact command");
    }
    ++last_data_seq_;
    ++last_data_fsn_offset_;
    if (rtmfp_in_flow* flow = in_flows_.find(static_cast<std::uint32_t>(last_data_flow_id_))) {
        flow->on_fragment(last_data_seq_,
                          static_cast<std::uint8_t>(chunk.flags & ~rtmfp_fragment::options),
                          chunk.payload);
    }
}

void rtmfp_session::on_flow_ack(std::uint32_t flow_id, std::uint32_t cumulative,
                                std::span<const rtmfp_received_range> received) {
    if (rtmfp_out_flow* flow = out_flows_.find(flow_id)) {
        flow->on_ack(cumulative, received);
    }
}

void rtmfp_session::arm_flow_timer(rtmfp_steady_time at) {
    if (is_closed() || (flow_timer_at_ && *flow_timer_at_ <= at)) {
        return;
    }
    flow_timer_at_ = at;
    // A wait already pending ends as cancelled.
    flow_timer_.expires_after(at - steady_now());
    flow_timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        if (error) {
            return;
        }
        if (const std::shared_ptr<rtmfp_pipe> self = weak.lock()) {
            static_cast<rtmfp_session&>(*self).resend_overdue();
        }
    });
}

void rtmfp_session::resend_overdue() {
    std::lock_guard processing(processing_mutex_);
    flow_timer_at_.reset();
    if (is_closed()) {
        return;
    }
    try {
        run_flow_timers();
    } catch (const std::exception& error) {
        close_on_error(error);
    }
    release_retired();
}

void rtmfp_session::run_flow_timers() {
    const rtmfp_steady_time now = steady_now();
    std::optional<rtmfp_steady_time> next;
    for (const auto& [id, flow] : out_flows_) {
        flow->on_timer(now);
        const std::optional<rtmfp_steady_time> due = flow->deadline();
        if (due && (!next || *due < *next)) {
            next = due;
        }
    }
    if (next) {
        arm_flow_timer(*next);
    }
}

bool rtmfp_session::tick() {
    const std::int32_t idle = ++idle_count_;
    std::lock_guard processing(processing_mutex_);
    // A session closed while this tick waited for it is dead as well.
    if (idle > dead_after_ticks || is_closed()) {
        close_locked();
        release_retired();
        return false;
    }
    try {
        if (idle == keep_alive_tick) {
            send_keep_alive();
        }
        const rtmfp_steady_time now = steady_now();
        // A flow may remove itself; it stays alive until the walk is over.
        std::vector<rtmfp_out_flow*> flows;
        flows.reserve(out_flows_.size());
        for (const auto& [id, flow] : out_flows_) {
            flows.push_back(flow.get());
        }
        for (rtmfp_out_flow* flow : flows) {
            flow->on_tick(now);
        }
    } catch (const std::exception& error) {
        close_on_error(error);
    }
    release_retired();
    return true;
}

void rtmfp_session::close() {
    std::lock_guard processing(processing_mutex_);
    close_locked();
    release_retired();
}

void rtmfp_session::close_locked() {
    if (state_.exchange(state_type::closed) != state_type::closed) {
        send_session_end();
    }
    std::vector<std::shared_ptr<rtmfp_netstream>> streams;
    streams.reserve(streams_.size());
    for (const auto& [id, stream] : streams_) {
        streams.push_back(stream);
    }
    streams_.clear();
    for (const auto& stream : streams) {
        stream->close();
    }
    while (!in_flows_.empty()) {
        remove_in_flow(in_flows_.begin()->first);
    }
    while (!out_flows_.empty()) {
        remove_out_flow(out_flows_.begin()->first);
    }
    pending_acks_.clear();
    acks_due_ = false;
    flow_timer_.cancel();
    flow_timer_at_.reset();
    idle_count_ = dead_after_ticks + 1;
}

void rtmfp_session::close_on_error(const std::exception& error) {
    if (!is_closed()) {
        on_protocol_error(error);
    }
    close_locked();
}

void rtmfp_session::on_protocol_error(const std::exception&) {}

void rtmfp_session::release_retired() noexcept {
    retired_in_flows_.clear();
    retired_out_flows_.clear();
}

void rtmfp_session::set_connected() noexcept {
    state_type expected = state_type::fresh;
    state_.compare_exchange_strong(expected, state_type::connected);
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::create_stream(std::uint32_t) {
    throw std::runtime_error("createStream not implement");
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::get_or_create_stream(std::uint32_t id) {
    if (rtmfp_netstream* stream = streams_.find(id)) {
        return stream->shared_from_this();
    }
    if (streams_.size() >= max_streams) {
        throw_too_many_streams();
    }
    std::shared_ptr<rtmfp_netstream> stream = create_stream(id);
    if (!stream) {
        throw std::logic_error("No stream made");
    }
    streams_.insert(id, std::shared_ptr<rtmfp_netstream>(stream));
    return stream;
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::allocate_stream() {
    const std::uint32_t id = free_id(
        next_stream_id_, first_stream_id, stream_id_limit,
        [this](std::uint32_t candidate) { return streams_.find(candidate) != nullptr; },
        throw_too_many_streams);
    next_stream_id_ = id + 1;
    return get_or_create_stream(id);
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::find_stream(std::uint32_t id) const {
    rtmfp_netstream* stream = streams_.find(id);
    return stream ? stream->shared_from_this() : nullptr;
}

void rtmfp_session::remove_stream(std::uint32_t id) {
    if (std::shared_ptr<rtmfp_netstream> stream = streams_.extract(id)) {
        stream->close();
    }
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::netconnection() const {
    return find_stream(rtmfp_netstream::netconnection_id);
}

std::shared_ptr<rtmfp_netstream> rtmfp_session::netgroup_stream() const {
    return find_stream(rtmfp_netstream::netgroup_id);
}

rtmfp_in_flow* rtmfp_session::get_in_flow(std::uint32_t id, bool create) {
    if (rtmfp_in_flow* flow = in_flows_.find(id)) {
        return flow;
    }
    if (!create) {
        return nullptr;
    }
    if (in_flows_.size() >= max_in_flows) {
        throw_too_many_flows();
    }
    auto flow = std::make_unique<rtmfp_in_flow>(id, *this);
    rtmfp_in_flow* made = flow.get();
    in_flows_.insert(id, std::move(flow));
    return made;
}

rtmfp_out_flow* rtmfp_session::create_out_flow() {
    const std::uint32_t id = free_id(
        next_out_flow_id_, first_out_flow_id, out_flow_id_limit,
        [this](std::uint32_t candidate) { return out_flows_.find(candidate) != nullptr; },
        throw_too_many_flows);
    next_out_flow_id_ = id + 1;
    auto flow = std::make_unique<rtmfp_out_flow>(id, *this);
    rtmfp_out_flow* made = flow.get();
    out_flows_.insert(id, std::move(flow));
    return made;
}

void rtmfp_session::remove_in_flow(std::uint32_t id) {
    if (auto flow = in_flows_.extract(id)) {
        flow->attach(nullptr);
        retired_in_flows_.push_back(std::move(flow));
    }
}

void rtmfp_session::remove_out_flow(std::uint32_t id) {
    if (auto flow = out_flows_.extract(id)) {
        flow->detach();
        retired_out_flows_.push_back(std::move(flow));
    }
}

bool rtmfp_session::reserve_partial(std::size_t bytes) noexcept {
    if (bytes > max_partial_bytes - partial_bytes_) {
        return false;
    }
    partial_bytes_ += bytes;
    return true;
}

void rtmfp_session::release_partial(std::size_t bytes) noexcept {
    partial_bytes_ -= std::min(bytes, partial_bytes_);
}

void rtmfp_session::queue_ack(std::uint32_t flow_id, std::uint32_t sequence, bool soon) {
    if (!pending_acks_.empty() && pending_acks_.back().flow_id == flow_id) {
        pending_acks_.back().sequence = sequence;
    } else {
        pending_acks_.push_back({flow_id, sequence});
    }
    acks_due_ = acks_due_ || soon;
}

void rtmfp_session::write_ack_chunks(block_buffer& packet, std::uint32_t limit) {
    rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
    out.pos = out.size = packet.size();
    while (!pending_acks_.empty() && out.size + ack_room <= limit) {
        const pending_ack ack = pending_acks_.front();
        rtmfp_ack_cmd(ack.flow_id, ack.sequence).write(out);
        pending_acks_.pop_front();
    }
    packet.set_size(out.size);
}

void rtmfp_session::send_acks() {
    acks_due_ = false;
    while (!pending_acks_.empty()) {
        block_buffer packet(pool());
        packet.set_size(rtmfp_stamped_header_size);
        write_ack_chunks(packet, rtmfp_max_packet_size - 1);
        stamp_packet(packet);
        send_packet(std::move(packet));
    }
}

void rtmfp_session::append_acks(block_buffer& packet) {
    write_ack_chunks(packet, rtmfp_max_packet_size - 1);
}

void rtmfp_session::send_control(std::uint8_t marker, const rtmfp_command& chunk) {
    send_packet(begin_packet(std::nullopt, marker, chunk));
}

void rtmfp_session::send_keep_alive() {
    send_control(rtmfp_marker_session, rtmfp_keep_alive_req());
}

void rtmfp_session::send_session_end() noexcept {
    try {
        send_control(rtmfp_marker_session, rtmfp_session_end_cmd());
    } catch (const std::exception&) {
        // Out of blocks: the peer learns it from the silence.
    }
}

void rtmfp_session::send_punch_request(const std::vector<endpoint>& requester_addresses,
                                       rtmfp_bytes tag) {
    if (requester_addresses.empty()) {
        return;
    }
    std::size_t index = 0;
    {
        std::lock_guard lock(endpoint_mutex_);
        const bool same_public_ip =
            requester_addresses.front().address() == peer_endpoint_.address();
        if (requester_addresses.size() > 1 && same_public_ip) {
            if (tag_rotation_.size() > 256) {
                tag_rotation_.clear();
            }
            const auto [entry, added] = tag_rotation_.try_emplace(
                std::string(reinterpret_cast<const char*>(tag.data()), tag.size()), 1);
            index = entry->second < requester_addresses.size() ? entry->second : 0;
            entry->second = static_cast<std::uint32_t>((index + 1) % requester_addresses.size());
        }
    }
    const rtmfp_endpoint_discriminator peer{rtmfp_endpoint_discriminator::peer_id,
                                            {peer_id_.data(), peer_id_.size()}};
    send_control(rtmfp_marker_session,
                 rtmfp_cmd_punch_request_notify(
                     peer, rtmfp_make_address(requester_addresses[index], index == 0), tag));
}

std::vector<rtmfp_session::endpoint> rtmfp_session::addresses() const {
    std::lock_guard lock(endpoint_mutex_);
    return addresses_;
}

void rtmfp_session::set_addresses(const std::vector<endpoint>& announced) {
    std::lock_guard lock(endpoint_mutex_);
    addresses_.resize(1);
    addresses_.insert(addresses_.end(), announced.begin(), announced.end());
}

void rtmfp_session::send_packet(block_buffer packet) {
    enqueue({std::move(packet), nullptr});
}

void rtmfp_session::send_packet(std::shared_ptr<const block_buffer> packet) {
    enqueue({block_buffer(), std::move(packet)});
}

void rtmfp_session::enqueue(outgoing_packet packet) {
    std::lock_guard lock(endpoint_mutex_);
    if (sending_) {
        send_queue_.push_back(std::move(packet));
        return;
    }
    sending_ = true;
    start_send(std::move(packet));
}

void rtmfp_session::start_send(outgoing_packet packet) {
    const block_buffer& bytes = packet.bytes();
    const boost::asio::const_buffer view(bytes.data(), bytes.size());
    socket()->async_send_to(view, peer_endpoint_,
                            [self = shared_session(), packet = std::move(packet)](
                                const boost::system::error_code&, std::size_t) mutable {
                                // A failed send is not retried: flows resend what
                                // goes unacknowledged.
                                packet = {};
                                self->on_sent();
                            });
}

bool rtmfp_session::sends_done() const {
    std::lock_guard lock(endpoint_mutex_);
    return !sending_;
}

void rtmfp_session::on_sent() {
    std::lock_guard lock(endpoint_mutex_);
    if (send_queue_.empty()) {
        sending_ = false;
        return;
    }
    outgoing_packet next = std::move(send_queue_.front());
    send_queue_.pop_front();
    start_send(std::move(next));
}
