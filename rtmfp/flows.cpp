#include "rtmfp/flows.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "foundation/amf0.hpp"
#include "rtmfp/chunks.hpp"
#include "rtmfp/netstream.hpp"
#include "rtmfp/session.hpp"

namespace {

// Message types, the first byte of a message.
constexpr std::uint8_t audio_message = 0x08;
constexpr std::uint8_t video_message = 0x09;
constexpr std::uint8_t amf0_command_message = 0x14;
// An AMF0 command behind one more byte.
constexpr std::uint8_t amf3_command_message = 0x11;
constexpr std::int32_t data_kind = 1;

// A buffer that held a large message is given back rather than kept for the
// next one: a session has up to 256 in flows.
constexpr std::size_t kept_message_capacity = 64 * 1024;
constexpr std::size_t initial_message_capacity = 4096;

// Option of the first fragment: the peer's flow that this one answers.
constexpr std::uint8_t answers_option = 0x0A;

void deliver_command(rtmfp_netstream& stream, buffer_reader& in) {
    amf0_string name;
    amf0_read_expected(in, name);
    amf0_number transaction;
    amf0_read_expected(in, transaction);
    if (in.peek_u8() == amf0_null::type_marker) {
        amf0_null null;
        amf0_read_expected(in, null);
        stream.on_command(in, name.value, transaction.value, null);
    } else {
        amf0_object object;
        amf0_read_expected(in, object);
        stream.on_command(in, name.value, transaction.value, object);
    }
}

void deliver_message(rtmfp_netstream& stream, rtmfp_bytes message) {
    buffer_reader in(message.data(), static_cast<std::uint32_t>(message.size()));
    switch (in.read_u8()) {
        case audio_message: {
            const std::uint32_t time = in.read_u32_be();
            stream.on_audio(time, in.data + in.pos, in.remaining());
            break;
        }
        case video_message: {
            const std::uint32_t time = in.read_u32_be();
            stream.on_video(time, in.data + in.pos, in.remaining());
            break;
        }
        case amf3_command_message:
            in.skip(1);
            [[fallthrough]];
        case amf0_command_message:
            in.skip(4);
            deliver_command(stream, in);
            break;
        default:
            stream.on_data(data_kind, in);
            break;
    }
}

}  // namespace

rtmfp_in_flow::rtmfp_in_flow(std::uint32_t flow_id, rtmfp_session& session)
    : flow_id_(flow_id), session_(session) {
    message_.reserve(initial_message_capacity);
}

rtmfp_in_flow::~rtmfp_in_flow() {
    discard_message();
    attach(nullptr);
}

void rtmfp_in_flow::attach(const std::shared_ptr<rtmfp_netstream>& stream) {
    if (stream_ == stream) {
        return;
    }
    if (stream_) {
        stream_->in_flows_.erase(this);
    }
    stream_ = stream;
    if (stream_) {
        stream_->in_flows_.insert(this);
    }
}

void rtmfp_in_flow::discard_message() noexcept {
    session_.release_partial(message_.size());
    message_.clear();
    if (message_.capacity() > kept_message_capacity) {
        std::vector<std::uint8_t>().swap(message_);
    }
}

void rtmfp_in_flow::on_fragment(std::uint32_t sequence, std::uint8_t flags, rtmfp_bytes payload) {
    if (sequence != last_seq_ + 1) {
        // Nothing is kept out of order: the peer learns at once where we
        // stand and resends from there.
        session_.queue_ack(flow_id_, last_seq_, true);
        return;
    }
    last_seq_ = sequence;
    session_.queue_ack(flow_id_, sequence, false);

    const std::uint8_t position = flags & rtmfp_fragment::position_mask;
    if (position == rtmfp_fragment::whole || position == rtmfp_fragment::first) {
        // Whatever the peer left unfinished is given up.
        discard_message();
    }
    if (message_.size() + payload.size() > max_message_size) {
        discard_message();
        session_.close_on_error(std::length_error("Message too large"));
        return;
    }
    if (!session_.reserve_partial(payload.size())) {
        discard_message();
        session_.close_on_error(std::length_error("Too much of the peer's data unfinished"));
        return;
    }
    if (position == rtmfp_fragment::whole) {
        // A message in one fragment goes to the stream from the datagram
        // itself: nothing of it stays unfinished.
        session_.release_partial(payload.size());
        if (!payload.empty() && !deliver(payload)) {
            return;
        }
    } else {
        message_.insert(message_.end(), payload.begin(), payload.end());
        if (position == rtmfp_fragment::first) {
            // Acknowledged with what follows.
            return;
        }
        if (position == rtmfp_fragment::last && !message_.empty() && !deliver(message_)) {
            return;
        }
    }
    // Queued before the delivery, so that a reply could carry it.
    session_.request_acks();
    if ((flags & rtmfp_fragment::final_mask) == rtmfp_fragment::final_mask) {
        session_.remove_in_flow(flow_id_);
    }
}

bool rtmfp_in_flow::deliver(rtmfp_bytes message) {
    // The handler may unbind the stream (deleteStream) while it runs.
    const std::shared_ptr<rtmfp_netstream> stream = stream_;
    try {
        // A message for a stream that is gone is acknowledged and dropped.
        if (stream) {
            deliver_message(*stream, message);
        }
    } catch (const std::exception& error) {
        discard_message();
        session_.close_on_error(error);
        return false;
    }
    discard_message();
    return !session_.is_closed();
}

rtmfp_out_flow_writer::rtmfp_out_flow_writer(rtmfp_out_flow& flow) : flow_(flow) {
    ready_.reserve(8);
}

rtmfp_out_flow_writer::~rtmfp_out_flow_writer() = default;

void rtmfp_out_flow_writer::grow(std::uint32_t) {
    close_fragment();
    open_fragment(0);
}

void rtmfp_out_flow_writer::forget_block() noexcept {
    block_.reset();
    data = nullptr;
    capacity = 0;
    size = 0;
    pos = 0;
}

void rtmfp_out_flow_writer::open_fragment(std::uint8_t flags) {
    block_ = block_buffer(flow_.session_.pool());
    data = block_.data();
    capacity = fragment_capacity;
    pos = size = rtmfp_stamped_header_size;
    chunk_start_ = pos;

    const bool opens_flow = next_sequence_ == 1;
    write_u8(rtmfp_block_data::chunk_type);
    write_u16_be(0);  // the chunk size, known when the fragment closes
    write_u8(opens_flow ? flags | rtmfp_fragment::options : flags);
    rtmfp_write_vlu(*this, flow_.flow_id_);
    rtmfp_write_vlu(*this, next_sequence_);
    // Everything up to the last acknowledged fragment is settled, so the
    // offset names that one.
    rtmfp_write_vlu(*this, next_sequence_ - flow_.window_.cumulative());
    if (opens_flow) {
        flow_.write_options(*this);
    }
}

void rtmfp_out_flow_writer::close_fragment() {
    if (!block_) {
        return;
    }
    const std::uint32_t chunk_size = size - chunk_start_ - 3;
    data[chunk_start_ + 1] = static_cast<std::uint8_t>(chunk_size >> 8);
    data[chunk_start_ + 2] = static_cast<std::uint8_t>(chunk_size);
    std::uint8_t* flags = data + chunk_start_ + 3;
    if (!message_start_) {
        *previous_flags_ |= rtmfp_fragment::first;
        *flags |= rtmfp_fragment::last;
    }
    previous_flags_ = flags;
    message_start_ = false;

    block_.set_size(size);
    ready_.push_back({std::move(block_), next_sequence_});
    ++next_sequence_;
    forget_block();
}

void rtmfp_out_flow_writer::end_message() {
    flush();
    message_start_ = true;
    previous_flags_ = nullptr;
}

void rtmfp_out_flow_writer::flush() {
    close_fragment();
    std::vector<finished_packet> packets;
    packets.swap(ready_);
    ready_.reserve(8);
    for (finished_packet& packet : packets) {
        flow_.send_or_queue(std::move(packet.block), packet.sequence);
    }
}

void rtmfp_out_flow_writer::write_final_fragment() {
    end_message();
    open_fragment(rtmfp_fragment::final_mask);
    close_fragment();
    flush();
}

void rtmfp_out_flow_writer::reset() noexcept {
    forget_block();
    ready_.clear();
    next_sequence_ = 1;
    message_start_ = true;
    previous_flags_ = nullptr;
}

rtmfp_out_flow::rtmfp_out_flow(std::uint32_t flow_id, rtmfp_session& session)
    : flow_id_(flow_id), session_(session), writer_(*this), window_(session.rtt_estimator()) {}

rtmfp_out_flow::~rtmfp_out_flow() {
    detach();
    // Packets that are still in the session's send queue leave all the
    // same; the rest go back to the pool.
    writer_.reset();
    clear_queues();
}

void rtmfp_out_flow::clear_queues() noexcept {
    in_flight_.clear();
    waiting_.clear();
    window_.reset();
    closing_ = false;
}

void rtmfp_out_flow::attach(const std::shared_ptr<rtmfp_netstream>& stream, std::uint32_t answers) {
    if (stream_ == stream) {
        return;
    }
    if (stream_) {
        // What the old stream wrote goes out once; the flow starts over.
        writer_.flush();
        writer_.reset();
        clear_queues();
    }
    detach();
    stream_ = stream;
    signature_ = stream->signature();
    answers_ = answers;
    stream->out_flows_.insert(this);
    stream->out_flow_list_.push_back(this);
}

void rtmfp_out_flow::detach() {
    if (!stream_) {
        return;
    }
    stream_->out_flows_.erase(this);
    auto& list = stream_->out_flow_list_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    stream_.reset();
}

void rtmfp_out_flow::write_options(buffer_writer& out) const {
    out.write_bytes(signature_.data(), static_cast<std::uint32_t>(signature_.size()));
    out.write_u8(static_cast<std::uint8_t>(1 + rtmfp_vlu_size(answers_)));
    out.write_u8(answers_option);
    rtmfp_write_vlu(out, answers_);
    out.write_u8(0);
}

void rtmfp_out_flow::send_or_queue(block_buffer packet, std::uint32_t sequence) {
    if (session_.is_closed()) {
        return;
    }
    if (waiting_.empty() && window_.has_room()) {
        transmit({std::move(packet), sequence});
        return;
    }
    if (waiting_.size() >= max_waiting) {
        session_.close_on_error(std::length_error("Flow queue full"));
        return;
    }
    waiting_.push_back({std::move(packet), sequence});
}

void rtmfp_out_flow::transmit(unsent_packet packet) {
    // Stamped when it leaves, so that it carries the newest
    // acknowledgements and timestamps.
    session_.append_acks(packet.block);
    session_.stamp_packet(packet.block);
    auto shared = std::make_shared<const block_buffer>(std::move(packet.block));
    in_flight_.push_back({shared, packet.sequence});
    const rtmfp_steady_time now = session_.steady_now();
    window_.sent(now);
    session_.send_packet(std::move(shared));
    session_.arm_flow_timer(now + window_.timeout());
}

void rtmfp_out_flow::send_again() {
    if (resend_.empty()) {
        return;
    }
    // A copy is the packet as it first went, its stamp and the
    // acknowledgements it carried included: the window times no round
    // trip by a packet sent more than once.
    session_.count_resent(resend_.size());
    for (const std::uint32_t sequence : resend_) {
        session_.send_packet(in_flight_[sequence - in_flight_.front().sequence].block);
    }
    session_.arm_flow_timer(session_.steady_now() + window_.timeout());
    resend_.clear();
}

void rtmfp_out_flow::on_ack(std::uint32_t cumulative,
                            std::span<const rtmfp_received_range> received) {
    resend_.clear();
    if (!window_.acknowledge(cumulative, received, !waiting_.empty(), session_.steady_now(),
                             resend_)) {
        // A late copy of an old acknowledgement, or one of packets never
        // sent.
        return;
    }
    while (!in_flight_.empty() && in_flight_.front().sequence <= cumulative) {
        in_flight_.pop_front();
    }
    send_again();
    while (window_.has_room() && !waiting_.empty() && !session_.is_closed()) {
        unsent_packet next = std::move(waiting_.front());
        waiting_.pop_front();
        transmit(std::move(next));
    }
    if (in_flight_.empty()) {
        on_drained();
    }
}

void rtmfp_out_flow::on_timer(rtmfp_steady_time now) {
    resend_.clear();
    window_.expire(now, resend_);
    send_again();
}

void rtmfp_out_flow::on_tick(rtmfp_steady_time now) {
    if (in_flight_.empty()) {
        on_drained();
        return;
    }
    on_timer(now);
}

void rtmfp_out_flow::on_drained() {
    if (stream_ || !waiting_.empty()) {
        return;
    }
    if (closing_ || writer_.next_sequence() == 1) {
        // Everything, the final fragment included, is acknowledged (or
        // nothing was ever sent).
        session_.remove_out_flow(flow_id_);
        return;
    }
    // The peer closes its receiving flow on this fragment.
    closing_ = true;
    writer_.write_final_fragment();
}
