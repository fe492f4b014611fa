#pragma once

#include <boost/function.hpp>

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/block_pool.hpp"
#include "foundation/buffer.hpp"
#include "foundation/id_map.hpp"
#include "rtmp/connection_callbacks.hpp"
#include "rtmp/pending_message_budget.hpp"

namespace rtmp {

// Message type ids of the RTMP chunk stream.
namespace message_type {
inline constexpr std::uint8_t set_chunk_size = 1;
inline constexpr std::uint8_t abort = 2;
inline constexpr std::uint8_t acknowledgement = 3;
inline constexpr std::uint8_t user_control = 4;
inline constexpr std::uint8_t window_ack_size = 5;
inline constexpr std::uint8_t set_peer_bandwidth = 6;
inline constexpr std::uint8_t audio = 8;
inline constexpr std::uint8_t video = 9;
inline constexpr std::uint8_t data_amf3 = 15;
inline constexpr std::uint8_t command_amf3 = 17;
inline constexpr std::uint8_t data_amf0 = 18;
inline constexpr std::uint8_t command_amf0 = 20;
}  // namespace message_type

// User control event types.
namespace user_control {
inline constexpr std::uint16_t stream_begin = 0;
inline constexpr std::uint16_t stream_eof = 1;
inline constexpr std::uint16_t stream_dry = 2;
inline constexpr std::uint16_t set_buffer_length = 3;
inline constexpr std::uint16_t stream_is_recorded = 4;
inline constexpr std::uint16_t ping_request = 6;
inline constexpr std::uint16_t ping_response = 7;
inline constexpr std::uint16_t buffer_empty = 31;
inline constexpr std::uint16_t buffer_ready = 32;
}  // namespace user_control

// A chunk stream the peer writes on, with the message being reassembled.
struct input_chunkstream {
    std::uint32_t csid = 0;
    std::uint32_t timestamp = 0;
    // After a format 0 header: the absolute timestamp.
    std::uint32_t delta = 0;
    std::uint32_t length = 0;
    std::uint8_t type = 0;
    bool pending = false;
    bool extended = false;
    std::uint32_t stream_id = 0;
    std::uint32_t chunk_size = 0;
    // The message arrived so far, when it takes more than one chunk; the
    // storage goes once the message is complete.
    std::vector<std::uint8_t> body;
    // The storage `body` holds, as counted against the connection's limits.
    std::uint32_t held = 0;
};

// A chunk stream we write on: the header of its previous message decides
// how short the next one's header can be.
struct output_chunkstream {
    std::uint32_t csid = 0;
    std::uint32_t last_timestamp = 0;
    std::uint32_t last_delta = 0;
    std::uint32_t last_length = 0;
    std::uint8_t last_type = 0;
    std::uint32_t last_stream_id = 0;
    std::uint32_t chunk_size = 0;
    bool fresh = true;
};

// Output written straight into pooled blocks: one block collects whole
// chunks until a flush hands it to the connection's send queue. Bodies that
// many connections send alike go in by reference between the block's bytes
// (output_item); they count against a block's room as if copied, so that
// what a flush hands on stays about a block's worth, but only their headers
// take room in a block, a small one.
class rtmp_output_buffer : public buffer_writer {
  public:
    // Room for the longest chunk header: 3 basic, 11 message, 4 extended.
    static constexpr std::uint32_t max_header_size = 18;

    explicit rtmp_output_buffer(connection_callbacks& owner) : owner_(owner) {}

    // Makes room for one chunk with `payload` bytes: flushes when the held
    // block is too full, takes a new block when none is held.
    void reserve_chunk(std::uint32_t payload);
    // Makes room for one chunk header, to be followed by a shared body.
    void reserve_shared();
    // The chunk written since reserve_chunk is whole.
    void commit() noexcept { committed_ = pos; }
    // A shared body follows the bytes committed so far, over as many blocks
    // as its size takes; `owner` keeps it alive until it has been written.
    void append_shared(const std::uint8_t* data, std::uint32_t size,
                       const std::shared_ptr<const void>& owner);
    // Hands the held block, if any, to the send queue.
    void flush();

    bool holding() const noexcept { return static_cast<bool>(item_.block()); }
    // Size class (2^n bytes) of the blocks taken; raised with the chunk size.
    std::uint8_t block_class = 12;
    // Size class of the blocks that take the headers of shared bodies.
    static constexpr unsigned shared_block_class = 10;

  private:
    void take_block(std::uint32_t needed, unsigned exponent);
    // Flushes the held block, or gives it back when nothing is in it.
    void release();
    // Whether the held block takes `size` more bytes of its own, and the item
    // `size` more bytes in all.
    bool fits(std::uint32_t size) const noexcept {
        return capacity - committed_ >= size && room() >= size;
    }
    // What the item may still take, shared bodies counted.
    std::uint64_t room() const noexcept {
        const std::uint64_t used = std::uint64_t{committed_} + shared_bytes_;
        return limit_ > used ? limit_ - used : 0;
    }

    connection_callbacks& owner_;
    output_item item_;
    std::uint32_t committed_ = 0;
    // Where the block's bytes not yet in the item start.
    std::uint32_t range_start_ = 0;
    std::uint64_t shared_bytes_ = 0;
    // What the item may stand for: a block of the size class.
    std::uint32_t limit_ = 0;
};

// The chunk layer of one connection: splits the received byte stream into
// chunks, reassembles messages, handles the protocol control messages itself
// and hands every other message to `message_handler`; writes messages as
// chunks with the shortest header the previous message on the same chunk
// stream allows.
//
// Not locked: it is used on its connection's thread only.
//
// Unfinished messages hold memory until their last chunk: all of a
// connection's together may hold max_pending_bytes, and what they hold beyond
// one message of the largest size comes from the server's budget
// (connection_callbacks::pending_messages).
//
// Protocol errors throw (std::runtime_error, "Invalid chunk stream" as
// std::invalid_argument): "Message size is too big", "Too many input chunk
// streams", "Too many output chunk streams", "Invalid chunk stream", "There
// is a pending message", "Bad SetChunkSize message format", "Bad ChunkSize",
// "Bad abortMessage message format", "Bad windowAck message format", "Bad
// windowAckSize message format", "Bad windowAckSize value", "Bad
// setPeerBandwidth message format", "Bad setPeerBandwidth value", "Bad
// userControl message format", "Pending messages are too big", "Server has no
// room for pending messages".
class rtmp_chunkstreams {
  public:
    static constexpr std::uint32_t control_csid = 2;
    static constexpr std::uint32_t max_chunk_streams = 128;
    static constexpr std::uint32_t max_message_size = 0x80000;
    // What one connection's unfinished messages may hold together: far more
    // than a publisher needs, whose messages are a video frame or less.
    static constexpr std::uint32_t max_pending_bytes = 8 * max_message_size;
    static constexpr std::uint32_t default_window = 2500000;
    static constexpr std::uint32_t connected_chunk_size = 4096;

    // Complete messages that this layer does not handle: body, size,
    // timestamp, type, message stream id. The body lives during the call.
    boost::function<void(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint8_t,
                         std::uint32_t)>
        message_handler;
    boost::function<void(std::uint32_t sequence_number)> ack_handler;
    boost::function<void(std::uint32_t stream_id)> stream_begin_handler;
    boost::function<void(std::uint32_t stream_id)> stream_eof_handler;
    boost::function<void(std::uint32_t stream_id)> stream_dry_handler;
    boost::function<void(std::uint32_t stream_id, std::uint32_t ms)> set_buffer_length_handler;
    boost::function<void(std::uint32_t stream_id)> stream_is_recorded_handler;
    boost::function<void(std::uint32_t value)> ping_request_handler;
    boost::function<void(std::uint32_t value)> ping_response_handler;
    boost::function<void()> event26_handler;
    boost::function<void(const std::uint8_t*, std::uint32_t)> event27_handler;

    // `time_base` is the handshake's server time: outgoing timestamps count
    // from it.
    rtmp_chunkstreams(connection_callbacks& owner, std::uint32_t time_base);
    virtual ~rtmp_chunkstreams();

    rtmp_chunkstreams(const rtmp_chunkstreams&) = delete;
    rtmp_chunkstreams& operator=(const rtmp_chunkstreams&) = delete;

    // Bytes received after the handshake.
    void on_data(const std::uint8_t* data, std::uint32_t count);
    // Complete messages received so far, whatever they were.
    std::uint64_t messages_received() const noexcept { return messages_received_; }
    // The bytes unfinished messages hold now.
    std::uint64_t pending_bytes() const noexcept { return pending_.held(); }
    // Drops every unfinished message, giving its room back: the connection
    // takes no more input.
    void drop_unfinished() noexcept;

    // Writes one message as chunks (sent at the next flush or when a block
    // fills up).
    void write_message(output_chunkstream& stream, std::uint8_t type, std::uint32_t stream_id,
                       std::uint32_t timestamp, const void* data, std::uint32_t size);
    // The same for a message whose chunks after the first header are
    // encoded already (`chunked`: the body cut at `chunk_size` with a format
    // 3 basic header for `csid` between the pieces), sent by reference;
    // `owner` keeps the bytes alive until they are written. False, with
    // nothing written, when the encoding does not fit this chunk stream (its
    // id or chunk size differ, or the message needs extended timestamps):
    // write_message it then.
    bool write_encoded_message(output_chunkstream& stream, std::uint8_t type,
                               std::uint32_t stream_id, std::uint32_t timestamp, std::uint32_t size,
                               std::uint32_t csid, std::uint32_t chunk_size,
                               const std::uint8_t* chunked, std::uint32_t chunked_size,
                               const std::shared_ptr<const void>& owner);
    void flush() { output_.flush(); }

    // The existing output chunk stream or a new one; a 129th throws "Too many
    // output chunk streams".
    output_chunkstream& open_output_stream(std::uint32_t csid);
    output_chunkstream* find_output_stream(std::uint32_t csid) const { return outputs_.find(csid); }
    // Whether `count` more output chunk streams can be opened.
    bool has_room_for_output_streams(std::uint32_t count) const noexcept {
        return outputs_.size() + count <= max_chunk_streams;
    }
    // Unknown ids are ignored; the control stream stays.
    void close_output_stream(std::uint32_t csid);

    // The timestamp of messages written now: the clock relative to the
    // handshake's time.
    std::uint32_t now() const;
    std::uint32_t time_base() const noexcept { return time_base_; }

    // Protocol control and user control messages on chunk stream 2. Only
    // send_ack and send_ping_response flush by themselves.
    void send_ack(std::uint32_t total);
    void send_window_ack_size(std::uint32_t value);
    void send_peer_bandwidth();
    // Raises the output chunk size to 4096 (once).
    void send_chunk_size();
    void send_stream_begin(std::uint32_t stream_id);
    void send_stream_eof(std::uint32_t stream_id);
    void send_stream_dry(std::uint32_t stream_id);
    void send_buffer_empty(std::uint32_t stream_id);
    void send_buffer_ready(std::uint32_t stream_id);
    void send_stream_is_recorded(std::uint32_t stream_id);
    void send_ping_response();

    std::uint32_t input_chunk_size() const noexcept { return input_chunk_size_; }
    std::uint32_t output_chunk_size() const noexcept { return output_chunk_size_; }
    std::uint32_t input_window() const noexcept { return input_window_; }
    std::uint32_t output_window() const noexcept { return output_window_; }
    std::uint8_t peer_bandwidth_limit() const noexcept { return peer_bandwidth_limit_; }
    std::uint32_t received_total() const noexcept { return received_total_; }

  private:
    // Parses whole chunks; returns the bytes they took.
    std::uint32_t parse(const std::uint8_t* data, std::uint32_t size);
    // One chunk: its length, or 0 when it is not all there yet.
    std::uint32_t parse_chunk(const std::uint8_t* data, std::uint32_t size);
    input_chunkstream& existing_input(std::uint32_t csid) const;
    input_chunkstream& open_input(std::uint32_t csid);
    void grow_body(input_chunkstream& stream, std::uint32_t more);
    void drop_body(input_chunkstream& stream) noexcept;
    void dispatch(const input_chunkstream& stream, const std::uint8_t* body, std::uint32_t size);
    void on_control(std::uint8_t type, const std::uint8_t* body, std::uint32_t size);
    void on_user_control(const std::uint8_t* body, std::uint32_t size);
    void write_chunk_header(const output_chunkstream& stream, unsigned format, std::uint32_t field);
    // Chooses the header format of the next message on `stream` and records
    // it as the stream's previous message.
    static unsigned next_header(output_chunkstream& stream, std::uint8_t type,
                                std::uint32_t stream_id, std::uint32_t timestamp,
                                std::uint32_t size) noexcept;
    void send_control(std::uint8_t type, const std::uint8_t* body, std::uint32_t size);
    void send_user_control(std::uint16_t event, std::uint32_t value);

    const std::uint32_t time_base_;
    rtmp_output_buffer output_;
    // Received bytes that do not yet make a whole chunk.
    std::vector<std::uint8_t> remainder_;
    std::uint32_t received_total_ = 0;
    std::uint32_t received_since_ack_ = 0;
    std::uint64_t messages_received_ = 0;
    pending_message_allowance pending_;
    std::uint32_t input_window_ = default_window;
    std::uint32_t output_window_ = default_window;
    std::uint8_t peer_bandwidth_limit_ = 2;
    std::uint32_t output_chunk_size_ = 128;
    std::uint32_t input_chunk_size_ = 128;
    id_map<std::unique_ptr<input_chunkstream>> inputs_;
    id_map<std::unique_ptr<output_chunkstream>> outputs_;
    output_chunkstream* control_stream_;
};

}  // namespace rtmp
