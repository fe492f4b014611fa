#include "rpc/rpc_frame.hpp"

#include <boost/endian/conversion.hpp>

#include <algorithm>
#include <cstring>

namespace rpc {

using boost::endian::load_little_u32;
using boost::endian::store_little_u32;

void write_frame_header(std::uint8_t* out, const frame_header& header) {
    store_little_u32(out, header.kind);
    store_little_u32(out + 4, static_cast<std::uint32_t>(header.call_id));
    store_little_u32(out + 8, static_cast<std::uint32_t>(header.call_id >> 32));
    store_little_u32(out + 12, static_cast<std::uint32_t>(header.status));
    store_little_u32(out + 16, header.payload_length);
}

frame_header read_frame_header(const std::uint8_t* in) {
    return frame_header{
        .kind = load_little_u32(in),
        .call_id = load_little_u32(in + 4) | std::uint64_t{load_little_u32(in + 8)} << 32,
        .status = static_cast<call_status>(load_little_u32(in + 12)),
        .payload_length = load_little_u32(in + 16),
    };
}

byte_buffer encode_error_reply(std::uint64_t call_id, call_status status) {
    return encode_frame(frame_header{.call_id = call_id, .status = status});
}

byte_buffer encode_keep_alive() {
    return encode_frame(frame_header{.kind = keep_alive_kind});
}

byte_buffer encode_keep_alive_answer() {
    return encode_frame(frame_header{});
}

frame_reader::frame_reader(std::size_t read_size, std::uint32_t max_payload_length)
    : read_size_(std::max(read_size, frame_header_size)), max_payload_length_(max_payload_length) {}

std::span<std::uint8_t> frame_reader::prepare() {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, available());
        end_ -= begin_;
        begin_ = 0;
    }
    std::size_t wanted = read_size_;
    if (end_ >= frame_header_size) {
        // Room for the whole frame, unless next() is going to refuse it.
        const std::uint32_t payload_length = read_frame_header(buffer_.data()).payload_length;
        if (payload_length <= max_payload_length_) {
            wanted = std::max(wanted, frame_header_size + payload_length);
        }
    }
    if (buffer_.size() < wanted) {
        buffer_.resize(wanted);
    }
    return {buffer_.data() + end_, buffer_.size() - end_};
}

void frame_reader::commit(std::size_t count) {
    end_ += std::min(count, buffer_.size() - end_);
}

std::optional<frame_view> frame_reader::next() {
    if (available() < frame_header_size) {
        return std::nullopt;
    }
    const std::uint8_t* start = buffer_.data() + begin_;
    const frame_header header = read_frame_header(start);
    if (header.payload_length > max_payload_length_) {
        throw frame_size_error();
    }
    const std::size_t frame_size = frame_header_size + header.payload_length;
    if (available() < frame_size) {
        return std::nullopt;
    }
    begin_ += frame_size;
    return frame_view{header, start + frame_header_size};
}

}  // namespace rpc
