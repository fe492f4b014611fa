#pragma once

// Frames of the remote-call stream: a 20-byte header of five little-endian
// 32-bit words (kind or method id, call id low and high words, status,
// payload length) followed by the payload.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

#include "rpc/rpc_codec.hpp"

namespace rpc {

inline constexpr std::size_t frame_header_size = 20;

// Word 0 of a reply; any other value but keep_alive_kind is a method id.
inline constexpr std::uint32_t reply_kind = 0;
inline constexpr std::uint32_t keep_alive_kind = 0xFFFFFFFF;

// The call id that identifies no call: a reply carrying it completes nothing.
inline constexpr std::uint64_t no_call_id = 0;

// The status of a reply, and the completion code of a caller's pending call.
// Only success, no_such_method and bad_arguments travel on the wire; the
// others are given locally. A peer may send other values, which a pending
// call receives unchanged.
enum class call_status : std::uint32_t {
    success = 0,
    no_such_method = 1,  // also a method the connection may not use yet
    bad_arguments = 2,
    bad_reply = 3,  // a success reply whose payload did not decode
    connection_lost = 4,
    timed_out = 5,
};

struct frame_header {
    std::uint32_t kind = reply_kind;
    std::uint64_t call_id = no_call_id;
    call_status status = call_status::success;
    std::uint32_t payload_length = 0;
};

void write_frame_header(std::uint8_t* out, const frame_header& header);
frame_header read_frame_header(const std::uint8_t* in);

// A whole frame of which the values are the payload. Throws "size error"
// like payload_writer.
template <typename... Values>
byte_buffer encode_frame(frame_header header, const Values&... values) {
    byte_buffer frame(frame_header_size);
    frame.reserve(128);
    append_values(frame, values...);
    header.payload_length = static_cast<std::uint32_t>(frame.size() - frame_header_size);
    write_frame_header(frame.data(), header);
    return frame;
}

// A success reply carrying the method's results in order.
template <typename... Results>
byte_buffer encode_reply(std::uint64_t call_id, const Results&... results) {
    return encode_frame(frame_header{.call_id = call_id}, results...);
}

template <typename... Arguments>
byte_buffer encode_request(std::uint32_t method_id, std::uint64_t call_id,
                           const Arguments&... arguments) {
    return encode_frame(frame_header{.kind = method_id, .call_id = call_id}, arguments...);
}

// A header alone carrying the status.
byte_buffer encode_error_reply(std::uint64_t call_id, call_status status);

byte_buffer encode_keep_alive();

// The answer to a keep-alive: twenty zero bytes, a reply for no call.
byte_buffer encode_keep_alive_answer();

// A header whose payload length is over the receiver's maximum: the stream
// cannot be trusted past it.
class frame_size_error : public std::runtime_error {
  public:
    frame_size_error() : std::runtime_error("frame too large") {}
};

// A frame that has arrived whole. The payload is borrowed from the
// frame_reader and stays valid until its next prepare().
struct frame_view {
    frame_header header;
    const std::uint8_t* payload;
};

// Cuts a byte stream into frames, however the stream was split into reads.
// Usage: read into prepare(), commit() the bytes read, then take next()
// until it has nothing.
class frame_reader {
  public:
    // `read_size` is the room offered to a read; a frame larger than that
    // gets room for all of it.
    frame_reader(std::size_t read_size, std::uint32_t max_payload_length);

    // Free room for the next read; never empty once next() has returned
    // nothing.
    std::span<std::uint8_t> prepare();
    void commit(std::size_t count);

    // The next whole frame, if one has arrived. Throws frame_size_error when
    // the next header announces a payload over the maximum.
    std::optional<frame_view> next();

  private:
    std::size_t available() const { return end_ - begin_; }

    std::size_t read_size_;
    std::uint32_t max_payload_length_;
    byte_buffer buffer_;
    std::size_t begin_ = 0;  // first byte not yet handed out in a frame
    std::size_t end_ = 0;    // end of the bytes read
};

}  // namespace rpc
