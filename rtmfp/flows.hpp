#pragma once

// Flows carry a session's messages, one direction each. An in flow takes
// the fragments of the peer's flow strictly in sequence, reassembles the
// messages and hands them to its stream; an out flow cuts the messages its
// stream writes into packets of one fragment each and sends them under a
// congestion window, keeping every packet until it is acknowledged and
// sending again those the acknowledgements show lost (rtmfp_send_window).
//
// Flows belong to their session and run under its processing mutex. A flow
// that asks the session to remove it (or closes the session) stays alive
// until its own call has returned.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "foundation/block_pool.hpp"
#include "foundation/buffer.hpp"
#include "rtmfp/packet.hpp"
#include "rtmfp/send_window.hpp"

class rtmfp_session;
class rtmfp_netstream;
class rtmfp_out_flow;

// Flag bits of a fragment (chunks 0x10 and 0x11).
namespace rtmfp_fragment {
// The fragment opens the flow and carries its options.
inline constexpr std::uint8_t options = 0x80;
// Where the fragment stands in its message.
inline constexpr std::uint8_t position_mask = 0x30;
inline constexpr std::uint8_t whole = 0x00;
inline constexpr std::uint8_t first = 0x10;
inline constexpr std::uint8_t last = 0x20;
inline constexpr std::uint8_t middle = 0x30;
// Both bits: the flow ends with this fragment.
inline constexpr std::uint8_t final_mask = 0x03;
}  // namespace rtmfp_fragment

class rtmfp_in_flow {
  public:
    // Messages of one flow are refused beyond this size.
    static constexpr std::uint32_t max_message_size = 1024 * 1024;

    rtmfp_in_flow(std::uint32_t flow_id, rtmfp_session& session);
    ~rtmfp_in_flow();

    rtmfp_in_flow(const rtmfp_in_flow&) = delete;
    rtmfp_in_flow& operator=(const rtmfp_in_flow&) = delete;

    // A fragment of chunk 0x10, or of a 0x11 that continues it.
    void on_fragment(std::uint32_t sequence, std::uint8_t flags, rtmfp_bytes payload);

    // Binds the flow to the stream it feeds; null unbinds it.
    void attach(const std::shared_ptr<rtmfp_netstream>& stream);

    std::uint32_t flow_id() const noexcept { return flow_id_; }
    std::uint32_t last_seq() const noexcept { return last_seq_; }
    const std::shared_ptr<rtmfp_netstream>& stream() const noexcept { return stream_; }

  private:
    // Hands a whole message to the stream, then lets go of what was
    // collected. False when the message closed the session.
    bool deliver(rtmfp_bytes message);
    void discard_message() noexcept;

    const std::uint32_t flow_id_;
    std::uint32_t last_seq_ = 0;
    rtmfp_session& session_;
    std::vector<std::uint8_t> message_;
    std::shared_ptr<rtmfp_netstream> stream_;
};

// Writes the messages of an out flow: each message goes into as many
// packets as it needs, one fragment of at most fragment_capacity bytes
// each (the rest of a block is room for acknowledgements and padding), and
// the packets go to the flow once the message is complete and their
// position flags are final.
//
// Writing a message: end_message(), the bytes through the buffer_writer
// operations, flush().
class rtmfp_out_flow_writer : public buffer_writer {
  public:
    static constexpr std::uint32_t fragment_capacity = 1188;

    explicit rtmfp_out_flow_writer(rtmfp_out_flow& flow);
    ~rtmfp_out_flow_writer() override;

    // Closes what is open and hands it on; the next byte starts a message.
    void end_message();
    // Closes the open fragment and hands every finished packet to the flow.
    void flush();
    // An empty fragment with the final flags, after everything before it.
    void write_final_fragment();
    // Drops what is not handed on yet and starts numbering again at 1.
    void reset() noexcept;

    // The sequence number of the next fragment; 1 while nothing was sent.
    std::uint32_t next_sequence() const noexcept { return next_sequence_; }

  protected:
    void grow(std::uint32_t needed) override;

  private:
    struct finished_packet {
        block_buffer block;
        std::uint32_t sequence = 0;
    };

    void open_fragment(std::uint8_t flags);
    void close_fragment();
    void forget_block() noexcept;

    rtmfp_out_flow& flow_;
    block_buffer block_;
    std::uint32_t chunk_start_ = 0;
    std::uint32_t next_sequence_ = 1;
    bool message_start_ = true;
    // Flags byte of the previous fragment of the message being written.
    std::uint8_t* previous_flags_ = nullptr;
    std::vector<finished_packet> ready_;
};

class rtmfp_out_flow {
  public:
    // Packets that may wait for room in the window: a whole message of the
    // largest size (some 900 packets) and then some. A peer that lets more
    // pile up by not acknowledging loses its session.
    static constexpr std::size_t max_waiting = 1024;
    static constexpr std::uint32_t initial_threshold = rtmfp_send_window::initial_threshold;

    rtmfp_out_flow(std::uint32_t flow_id, rtmfp_session& session);
    ~rtmfp_out_flow();

    rtmfp_out_flow(const rtmfp_out_flow&) = delete;
    rtmfp_out_flow& operator=(const rtmfp_out_flow&) = delete;

    rtmfp_out_flow_writer& writer() noexcept { return writer_; }

    // An acknowledgement (chunk 0x50 or 0x51): the cumulative number and
    // what the peer holds beyond it.
    void on_ack(std::uint32_t cumulative, std::span<const rtmfp_received_range> received = {});
    // Sends again what has waited for its acknowledgement past its
    // time-out. The session's timer calls it at deadline().
    void on_timer(rtmfp_steady_time now);
    std::optional<rtmfp_steady_time> deadline() const noexcept { return window_.deadline(); }
    // The session's tick: a flow whose stream let it go closes once
    // drained, and what is overdue goes again should the timer be late.
    void on_tick(rtmfp_steady_time now);

    // Binds the flow to the stream that writes into it, the peer's flow
    // `answers` having opened that stream; a flow moved to another stream
    // starts over. detach() lets the stream go: the flow then drains.
    void attach(const std::shared_ptr<rtmfp_netstream>& stream, std::uint32_t answers);
    void detach();

    std::uint32_t flow_id() const noexcept { return flow_id_; }
    const std::shared_ptr<rtmfp_netstream>& stream() const noexcept { return stream_; }
    std::uint32_t last_ack() const noexcept { return window_.cumulative(); }
    std::uint32_t window() const noexcept { return window_.window(); }
    std::uint32_t threshold() const noexcept { return window_.threshold(); }
    // Sent and not known to have arrived.
    std::size_t in_flight() const noexcept { return window_.in_flight(); }
    std::size_t waiting() const noexcept { return waiting_.size(); }
    bool closing() const noexcept { return closing_; }

  private:
    friend class rtmfp_out_flow_writer;

    struct sent_packet {
        std::shared_ptr<const block_buffer> block;
        std::uint32_t sequence = 0;
    };
    struct unsent_packet {
        block_buffer block;
        std::uint32_t sequence = 0;
    };

    // From the writer: a finished packet, not yet stamped.
    void send_or_queue(block_buffer packet, std::uint32_t sequence);
    void transmit(unsent_packet packet);
    // Sends again the packets of `resend_`.
    void send_again();
    void on_drained();
    void clear_queues() noexcept;

    // What the first fragment carries after its header.
    void write_options(buffer_writer& out) const;

    const std::uint32_t flow_id_;
    rtmfp_session& session_;
    std::shared_ptr<rtmfp_netstream> stream_;
    std::vector<std::uint8_t> signature_;
    std::uint32_t answers_ = 0;
    rtmfp_out_flow_writer writer_;
    rtmfp_send_window window_;
    // Every packet sent and not acknowledged by the cumulative number, in
    // sequence order.
    std::deque<sent_packet> in_flight_;
    std::deque<unsent_packet> waiting_;
    // Sequence numbers the window names to send again.
    std::vector<std::uint32_t> resend_;
    bool closing_ = false;
};
