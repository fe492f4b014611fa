#include "rtmp/rtmp_chunkstreams.hpp"

#include <boost/endian/conversion.hpp>

#include <algorithm>
#include <stdexcept>

#include "rtmp/clock.hpp"

namespace rtmp {

namespace {

using boost::endian::load_big_u16;
using boost::endian::load_big_u24;
using boost::endian::load_big_u32;
using boost::endian::load_little_u16;
using boost::endian::load_little_u32;
using boost::endian::store_big_u16;
using boost::endian::store_big_u24;
using boost::endian::store_big_u32;
using boost::endian::store_little_u16;
using boost::endian::store_little_u32;

constexpr std::uint32_t timestamp_field_max = 0xFFFFFF;
constexpr std::uint32_t header_sizes[4] = {11, 7, 3, 0};

// Input and output chunk streams open the same way, each side with its own
// limit and chunk size.
template <class Stream>
Stream& find_or_open(id_map<std::unique_ptr<Stream>>& streams, std::uint32_t csid,
                     std::uint32_t chunk_size, const char* too_many) {
    if (Stream* stream = streams.find(csid)) {
        return *stream;
    }
    if (streams.size() >= rtmp_chunkstreams::max_chunk_streams) {
        throw std::runtime_error(too_many);
    }
    auto stream = std::make_unique<Stream>();
    stream->csid = csid;
    stream->chunk_size = chunk_size;
    Stream& result = *stream;
    streams.insert(csid, std::move(stream));
    return result;
}

}  // namespace

void rtmp_output_buffer::take_block(std::uint32_t needed, unsigned exponent) {
    while (exponent < block_malloc_array::max_exponent && (1u << exponent) < needed) {
        ++exponent;
    }
    limit_ = 1u << std::min<unsigned>(block_class, block_malloc_array::max_exponent);
    item_.start(owner_.allocate(exponent), limit_);
    data = item_.block().data();
    capacity = item_.block().capacity();
    limit_ = std::max(limit_, capacity);
    pos = size = committed_ = range_start_ = 0;
    shared_bytes_ = 0;
}

void rtmp_output_buffer::release() {
    if (committed_ != 0 || shared_bytes_ != 0) {
        flush();
        return;
    }
    item_.reset();
    data = nullptr;
    capacity = pos = size = 0;
}

void rtmp_output_buffer::reserve_chunk(std::uint32_t payload) {
    const std::uint32_t needed = payload + max_header_size;
    if (holding() && !fits(needed)) {
        release();
    }
    if (!holding()) {
        take_block(needed, block_class);
    }
}

void rtmp_output_buffer::reserve_shared() {
    if (holding() && !fits(max_header_size)) {
        release();
    }
    if (!holding()) {
        take_block(max_header_size, shared_block_class);
    }
}

// A body larger than the block's room goes on in the next blocks: an item
// never stands for much more than a block, so that the send queue's count
// of pending items keeps measuring how far the peer lags.
void rtmp_output_buffer::append_shared(const std::uint8_t* body, std::uint32_t body_size,
                                       const std::shared_ptr<const void>& owner) {
    for (;;) {
        item_.add_block_bytes(range_start_, committed_ - range_start_);
        range_start_ = committed_;
        const auto part = static_cast<std::uint32_t>(std::min<std::uint64_t>(body_size, room()));
        item_.add_shared(body, part, owner);
        shared_bytes_ += part;
        body += part;
        body_size -= part;
        if (body_size == 0) {
            return;
        }
        flush();
        take_block(0, shared_block_class);
    }
}

void rtmp_output_buffer::flush() {
    if (!holding() || (committed_ == 0 && shared_bytes_ == 0)) {
        return;
    }
    if (shared_bytes_ != 0) {
        item_.add_block_bytes(range_start_, committed_ - range_start_);
    }
    item_.finish(committed_);
    output_item filled = std::move(item_);
    item_ = output_item();
    data = nullptr;
    capacity = pos = size = committed_ = range_start_ = 0;
    shared_bytes_ = 0;
    owner_.send(filled);
}

rtmp_chunkstreams::rtmp_chunkstreams(connection_callbacks& owner, std::uint32_t time_base)
    : time_base_(time_base),
      output_(owner),
      pending_(owner.pending_messages, max_message_size, max_pending_bytes),
      control_stream_(&open_output_stream(control_csid)) {}

rtmp_chunkstreams::~rtmp_chunkstreams() = default;

std::uint32_t rtmp_chunkstreams::now() const {
    return time_of_day_ms() - time_base_;
}

void rtmp_chunkstreams::on_data(const std::uint8_t* data, std::uint32_t count) {
    received_total_ += count;
    received_since_ack_ += count;
    if (received_since_ack_ >= input_window_) {
        received_since_ack_ = 0;
        send_ack(received_total_);
    }
    if (remainder_.empty()) {
        const std::uint32_t used = parse(data, count);
        remainder_.assign(data + used, data + count);
        return;
    }
    remainder_.insert(remainder_.end(), data, data + count);
    const std::uint32_t used =
        parse(remainder_.data(), static_cast<std::uint32_t>(remainder_.size()));
    remainder_.erase(remainder_.begin(), remainder_.begin() + used);
}

std::uint32_t rtmp_chunkstreams::parse(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t used = 0;
    while (used < size) {
        const std::uint32_t chunk = parse_chunk(data + used, size - used);
        if (chunk == 0) {
            break;
        }
        used += chunk;
    }
    return used;
}

input_chunkstream& rtmp_chunkstreams::existing_input(std::uint32_t csid) const {
    input_chunkstream* stream = inputs_.find(csid);
    if (stream == nullptr) {
        throw std::invalid_argument("Invalid chunk stream");
    }
    return *stream;
}

input_chunkstream& rtmp_chunkstreams::open_input(std::uint32_t csid) {
    return find_or_open(inputs_, csid, input_chunk_size_, "Too many input chunk streams");
}

// A body grows with its chunks, by doubling, never past its message's length;
// what it holds counts against the connection's limits before it is taken.
void rtmp_chunkstreams::grow_body(input_chunkstream& stream, std::uint32_t more) {
    const std::uint32_t needed = static_cast<std::uint32_t>(stream.body.size()) + more;
    if (needed <= stream.held) {
        return;
    }
    const std::uint32_t held = std::min(stream.length, std::max(needed, 2 * stream.held));
    pending_.hold(held - stream.held);
    stream.held = held;
    stream.body.reserve(held);
}

void rtmp_chunkstreams::drop_body(input_chunkstream& stream) noexcept {
    pending_.release(stream.held);
    stream.held = 0;
    std::vector<std::uint8_t>().swap(stream.body);
}

void rtmp_chunkstreams::drop_unfinished() noexcept {
    for (const auto& [id, input] : inputs_) {
        input->pending = false;
        drop_body(*input);
    }
}

// Nothing is changed until the whole chunk is there, so an incomplete chunk
// is simply parsed again when more bytes arrive.
std::uint32_t rtmp_chunkstreams::parse_chunk(const std::uint8_t* data, std::uint32_t size) {
    const unsigned format = data[0] >> 6;
    std::uint32_t csid = data[0] & 0x3f;
    std::uint32_t at = 1;
    if (csid == 0) {
        if (size < 2) {
            return 0;
        }
        csid = data[1] + 64u;
        at = 2;
    } else if (csid == 1) {
        if (size < 3) {
            return 0;
        }
        csid = load_little_u16(data + 1) + 64u;
        at = 3;
    }
    if (size - at < header_sizes[format]) {
        return 0;
    }
    const std::uint8_t* header = data + at;
    at += header_sizes[format];

    input_chunkstream* stream = format == 0 ? inputs_.find(csid) : &existing_input(csid);
    const std::uint32_t field = format <= 2 ? load_big_u24(header) : 0;
    const bool extended = format <= 2 ? field == timestamp_field_max : stream->extended;
    std::uint32_t extended_value = 0;
    if (extended) {
        if (size - at < 4) {
            return 0;
        }
        extended_value = load_big_u32(data + at);
        at += 4;
    }
    const std::uint32_t value = extended ? extended_value : field;

    std::uint32_t length = 0;
    if (format <= 1) {
        length = load_big_u24(header + 3);
        if (length > max_message_size) {
            throw std::runtime_error("Message size is too big");
        }
    }
    if (format == 0) {
        if (stream != nullptr && stream->pending) {
            throw std::runtime_error("There is a pending message");
        }
        stream = &open_input(csid);
    } else {
        length = format == 1 ? length : stream->length;
    }

    const bool starts_message = format != 3 || !stream->pending;
    const std::uint32_t collected =
        starts_message ? 0 : static_cast<std::uint32_t>(stream->body.size());
    const std::uint32_t payload = std::min(stream->chunk_size, length - collected);
    if (size - at < payload) {
        return 0;
    }

    switch (format) {
        case 0:
            stream->timestamp = value;
            stream->delta = value;
            stream->length = length;
            stream->type = header[6];
            stream->stream_id = load_little_u32(header + 7);
            stream->extended = extended;
            break;
        case 1:
            stream->timestamp += value;
            stream->delta = value;
            stream->length = length;
            stream->type = header[6];
            stream->extended = extended;
            break;
        case 2:
            stream->timestamp += value;
            stream->delta = value;
            stream->extended = extended;
            break;
        default:
            // A new message under the previous header repeats its delta.
            if (starts_message) {
                if (extended) {
                    stream->delta = extended_value;
                }
                stream->timestamp += stream->delta;
            }
            break;
    }
    if (starts_message) {
        // Whatever an earlier message left behind is not part of this one.
        drop_body(*stream);
        stream->pending = true;
    }

    const std::uint8_t* bytes = data + at;
    at += payload;
    if (stream->body.empty() && payload == stream->length) {
        // The whole message in one chunk: handed on in place.
        stream->pending = false;
        dispatch(*stream, bytes, payload);
    } else {
        grow_body(*stream, payload);
        stream->body.insert(stream->body.end(), bytes, bytes + payload);
        if (stream->body.size() == stream->length) {
            stream->pending = false;
            dispatch(*stream, stream->body.data(), stream->length);
            drop_body(*stream);
        }
    }
    return at;
}

void rtmp_chunkstreams::dispatch(const input_chunkstream& stream, const std::uint8_t* body,
                                 std::uint32_t size) {
    ++messages_received_;
    if (stream.type == message_type::set_chunk_size) {
        if (size != 4) {
            throw std::runtime_error("Bad SetChunkSize message format");
        }
        const std::uint32_t chunk_size = load_big_u32(body);
        if (chunk_size < 128 || chunk_size > 65536) {
            throw std::runtime_error("Bad ChunkSize");
        }
        input_chunk_size_ = chunk_size;
        for (const auto& [id, input] : inputs_) {
            input->chunk_size = chunk_size;
        }
        return;
    }
    if (stream.csid == control_csid && stream.stream_id == 0) {
        if (stream.type >= message_type::abort && stream.type <= message_type::set_peer_bandwidth) {
            on_control(stream.type, body, size);
        }
        return;
    }
    message_handler(body, size, stream.timestamp, stream.type, stream.stream_id);
}

void rtmp_chunkstreams::on_control(std::uint8_t type, const std::uint8_t* body,
                                   std::uint32_t size) {
    switch (type) {
        case message_type::abort: {
            if (size != 4) {
                throw std::runtime_error("Bad abortMessage message format");
            }
            input_chunkstream& aborted = existing_input(load_big_u32(body));
            aborted.pending = false;
            drop_body(aborted);
            break;
        }
        case message_type::acknowledgement:
            if (size != 4) {
                throw std::runtime_error("Bad windowAck message format");
            }
            if (ack_handler) {
                ack_handler(load_big_u32(body));
            }
            break;
        case message_type::user_control:
            on_user_control(body, size);
            break;
        case message_type::window_ack_size: {
            if (size != 4) {
                throw std::runtime_error("Bad windowAckSize message format");
            }
            const std::uint32_t window = load_big_u32(body);
            if (window < 64) {
                throw std::runtime_error("Bad windowAckSize value");
            }
            input_window_ = window;
            break;
        }
        case message_type::set_peer_bandwidth: {
            if (size != 5) {
                throw std::runtime_error("Bad setPeerBandwidth message format");
            }
            const std::uint32_t window = load_big_u32(body);
            if (window < 64) {
                throw std::runtime_error("Bad setPeerBandwidth value");
            }
            peer_bandwidth_limit_ = body[4];
            if (window != output_window_) {
                output_window_ = window;
                send_window_ack_size(window);
                flush();
            }
            break;
        }
    }
}

void rtmp_chunkstreams::on_user_control(const std::uint8_t* body, std::uint32_t size) {
    if (size < 2) {
        throw std::runtime_error("Bad userControl message format");
    }
    const std::uint16_t event = load_big_u16(body);
    if (event <= user_control::ping_response && event != 5) {
        const std::uint32_t expected = event == user_control::set_buffer_length ? 10 : 6;
        if (size != expected) {
            throw std::runtime_error("Bad userControl message format");
        }
    }
    const auto call = [](const auto& handler, auto... args) {
        if (handler) {
            handler(args...);
        }
    };
    switch (event) {
        case user_control::stream_begin:
            call(stream_begin_handler, load_big_u32(body + 2));
            break;
        case user_control::stream_eof:
            call(stream_eof_handler, load_big_u32(body + 2));
            break;
        case user_control::stream_dry:
            call(stream_dry_handler, load_big_u32(body + 2));
            break;
        case user_control::set_buffer_length:
            call(set_buffer_length_handler, load_big_u32(body + 2), load_big_u32(body + 6));
            break;
        case user_control::stream_is_recorded:
            call(stream_is_recorded_handler, load_big_u32(body + 2));
            break;
        case user_control::ping_request:
            call(ping_request_handler, load_big_u32(body + 2));
            send_ping_response();
            break;
        case user_control::ping_response:
            call(ping_response_handler, load_big_u32(body + 2));
            break;
        case 26:
            call(event26_handler);
            break;
        case 27:
            call(event27_handler, body + 2, size - 2);
            break;
        default:
            break;
    }
}

output_chunkstream& rtmp_chunkstreams::open_output_stream(std::uint32_t csid) {
    return find_or_open(outputs_, csid, output_chunk_size_, "Too many output chunk streams");
}

void rtmp_chunkstreams::close_output_stream(std::uint32_t csid) {
    if (csid != control_csid) {
        outputs_.erase(csid);
    }
}

// Put together on the stack and written in one go: every player writes one
// for every message it sends.
void rtmp_chunkstreams::write_chunk_header(const output_chunkstream& stream, unsigned format,
                                           std::uint32_t field) {
    std::uint8_t header[rtmp_output_buffer::max_header_size];
    std::uint8_t* p = header;
    const auto format_bits = static_cast<std::uint8_t>(format << 6);
    if (stream.csid < 64) {
        *p++ = format_bits | static_cast<std::uint8_t>(stream.csid);
    } else if (stream.csid < 320) {
        *p++ = format_bits;
        *p++ = static_cast<std::uint8_t>(stream.csid - 64);
    } else {
        *p++ = format_bits | 1;
        store_little_u16(p, static_cast<std::uint16_t>(stream.csid - 64));
        p += 2;
    }
    if (format != 3) {
        store_big_u24(p, std::min(field, timestamp_field_max));
        p += 3;
    }
    if (format == 0 || format == 1) {
        store_big_u24(p, stream.last_length);
        p += 3;
        *p++ = stream.last_type;
    }
    if (format == 0) {
        store_little_u32(p, stream.last_stream_id);
        p += 4;
    }
    output_.write_bytes(header, static_cast<std::uint32_t>(p - header));
}

unsigned rtmp_chunkstreams::next_header(output_chunkstream& stream, std::uint8_t type,
                                        std::uint32_t stream_id, std::uint32_t timestamp,
                                        std::uint32_t size) noexcept {
    unsigned format;
    if (stream.fresh || stream_id != stream.last_stream_id ||
        static_cast<std::int32_t>(timestamp - stream.last_timestamp) < 0) {
        format = 0;
        stream.fresh = false;
        stream.last_stream_id = stream_id;
        stream.last_length = size;
        stream.last_type = type;
        stream.last_delta = timestamp;
    } else {
        const std::uint32_t delta = timestamp - stream.last_timestamp;
        if (size != stream.last_length || type != stream.last_type) {
            format = 1;
            stream.last_length = size;
            stream.last_type = type;
        } else if (delta != stream.last_delta) {
            format = 2;
        } else {
            format = 3;
        }
        stream.last_delta = delta;
    }
    stream.last_timestamp = timestamp;
    return format;
}

void rtmp_chunkstreams::write_message(output_chunkstream& stream, std::uint8_t type,
                                      std::uint32_t stream_id, std::uint32_t timestamp,
                                      const void* data, std::uint32_t size) {
    const unsigned format = next_header(stream, type, stream_id, timestamp, size);
    // After a format 0 header the "delta" is the timestamp itself, which is
    // also what the extended field then carries.
    const bool extended = stream.last_delta >= timestamp_field_max;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t written = 0;
    do {
        const std::uint32_t payload = std::min(stream.chunk_size, size - written);
        output_.reserve_chunk(payload);
        write_chunk_header(stream, written == 0 ? format : 3, stream.last_delta);
        if (extended) {
            output_.write_u32_be(stream.last_delta);
        }
        output_.write_bytes(bytes + written, payload);
        output_.commit();
        written += payload;
    } while (written < size);
}

bool rtmp_chunkstreams::write_encoded_message(output_chunkstream& stream, std::uint8_t type,
                                              std::uint32_t stream_id, std::uint32_t timestamp,
                                              std::uint32_t size, std::uint32_t csid,
                                              std::uint32_t chunk_size, const std::uint8_t* chunked,
                                              std::uint32_t chunked_size,
                                              const std::shared_ptr<const void>& owner) {
    if (stream.csid != csid || stream.chunk_size != chunk_size) {
        return false;
    }
    // Chunks that continue a message with an extended timestamp repeat it,
    // which the shared encoding cannot.
    output_chunkstream next = stream;
    const unsigned format = next_header(next, type, stream_id, timestamp, size);
    if (next.last_delta >= timestamp_field_max) {
        return false;
    }
    stream = next;
    output_.reserve_shared();
    write_chunk_header(stream, format, stream.last_delta);
    output_.commit();
    output_.append_shared(chunked, chunked_size, owner);
    return true;
}

void rtmp_chunkstreams::send_control(std::uint8_t type, const std::uint8_t* body,
                                     std::uint32_t size) {
    write_message(*control_stream_, type, 0, now(), body, size);
}

void rtmp_chunkstreams::send_user_control(std::uint16_t event, std::uint32_t value) {
    std::uint8_t body[6];
    store_big_u16(body, event);
    store_big_u32(body + 2, value);
    send_control(message_type::user_control, body, sizeof body);
}

void rtmp_chunkstreams::send_ack(std::uint32_t total) {
    std::uint8_t body[4];
    store_big_u32(body, total);
    send_control(message_type::acknowledgement, body, sizeof body);
    flush();
}

void rtmp_chunkstreams::send_window_ack_size(std::uint32_t value) {
    std::uint8_t body[4];
    store_big_u32(body, value);
    send_control(message_type::window_ack_size, body, sizeof body);
}

void rtmp_chunkstreams::send_peer_bandwidth() {
    std::uint8_t body[5];
    store_big_u32(body, default_window);
    body[4] = 2;
    send_control(message_type::set_peer_bandwidth, body, sizeof body);
}

void rtmp_chunkstreams::send_chunk_size() {
    if (output_chunk_size_ == connected_chunk_size) {
        return;
    }
    // 4096-byte chunks with their headers fit in 16384-byte blocks.
    output_.block_class = std::max<std::uint8_t>(output_.block_class, 14);
    // Chunks already written keep the size the peer still expects.
    output_.flush();
    output_chunk_size_ = connected_chunk_size;
    for (const auto& [id, output] : outputs_) {
        output->chunk_size = connected_chunk_size;
    }
    std::uint8_t body[4];
    store_big_u32(body, connected_chunk_size);
    send_control(message_type::set_chunk_size, body, sizeof body);
}

void rtmp_chunkstreams::send_stream_begin(std::uint32_t stream_id) {
    send_user_control(user_control::stream_begin, stream_id);
}

void rtmp_chunkstreams::send_stream_eof(std::uint32_t stream_id) {
    send_user_control(user_control::stream_eof, stream_id);
}

void rtmp_chunkstreams::send_stream_dry(std::uint32_t stream_id) {
    send_user_control(user_control::stream_dry, stream_id);
}

void rtmp_chunkstreams::send_buffer_empty(std::uint32_t stream_id) {
    send_user_control(user_control::buffer_empty, stream_id);
}

void rtmp_chunkstreams::send_buffer_ready(std::uint32_t stream_id) {
    send_user_control(user_control::buffer_ready, stream_id);
}

void rtmp_chunkstreams::send_stream_is_recorded(std::uint32_t stream_id) {
    send_user_control(user_control::stream_is_recorded, stream_id);
}

void rtmp_chunkstreams::send_ping_response() {
    const std::uint32_t clock = time_of_day_ms();
    std::uint8_t body[6];
    store_big_u16(body, user_control::ping_response);
    store_big_u32(body + 2, clock);
    write_message(*control_stream_, message_type::user_control, 0, clock, body, sizeof body);
    flush();
}

}  // namespace rtmp
