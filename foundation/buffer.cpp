#include "foundation/buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

class bad_allocation : public std::bad_alloc {
  public:
    const char* what() const noexcept override { return "bad allocation"; }
};

std::uint32_t checked_length(std::size_t n, const char* message) {
    if (n > UINT32_MAX) {
        throw buffer_over_range(message);
    }
    return static_cast<std::uint32_t>(n);
}

}  // namespace

buffer_reader::buffer_reader(std::string_view bytes)
    : buffer_reader(bytes.data(), checked_length(bytes.size(), "Buffer eof")) {}

const std::uint8_t* buffer_reader::take(std::uint32_t n) {
    // Compared against what is left, so a length from the wire cannot wrap.
    if (n > remaining()) {
        throw buffer_over_range("Buffer eof");
    }
    const std::uint8_t* at = data + pos;
    pos += n;
    return at;
}

std::uint8_t buffer_reader::read_u8() {
    return *take(1);
}

std::uint16_t buffer_reader::read_u16_be() {
    const std::uint8_t* p = take(2);
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t buffer_reader::read_u32_be() {
    const std::uint8_t* p = take(4);
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint32_t buffer_reader::read_u32() {
    const std::uint8_t* p = take(4);
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

double buffer_reader::read_double_be() {
    const std::uint8_t* p = take(8);
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits = bits << 8 | p[i];
    }
    return std::bit_cast<double>(bits);
}

void buffer_reader::read_string(std::uint32_t n, std::string& target) {
    const std::uint8_t* p = take(n);
    target.assign(reinterpret_cast<const char*>(p), n);
}

light_string buffer_reader::read_light_string(std::uint32_t n) {
    return {reinterpret_cast<const char*>(take(n)), n};
}

std::uint8_t buffer_reader::peek_u8() const {
    if (remaining() == 0) {
        throw buffer_over_range("Buffer eof");
    }
    return data[pos];
}

void buffer_reader::skip(std::uint32_t n) {
    if (n > remaining()) {
        throw buffer_over_range("Seeking out of range");
    }
    pos += n;
}

std::uint32_t buffer_writer::end_of(std::uint32_t n) const {
    if (n > UINT32_MAX - pos) {
        throw buffer_over_range("Write buffer overflow");
    }
    return pos + n;
}

std::uint8_t* buffer_writer::reserve(std::uint32_t n) {
    if (n > room()) {
        grow(end_of(n));
        if (n > room()) {
            throw buffer_over_range("Write buffer overflow");
        }
    }
    return data + pos;
}

void buffer_writer::advance(std::uint32_t n) noexcept {
    pos += n;
    if (pos > size) {
        size = pos;
    }
}

void buffer_writer::grow(std::uint32_t) {
    throw buffer_over_range("Write buffer overflow");
}

void buffer_writer::write_u8(std::uint8_t value) {
    *reserve(1) = value;
    advance(1);
}

void buffer_writer::write_u16_be(std::uint16_t value) {
    std::uint8_t* p = reserve(2);
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
    advance(2);
}

void buffer_writer::write_u32(std::uint32_t value) {
    std::uint8_t* p = reserve(4);
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    advance(4);
}

void buffer_writer::write_u32_be(std::uint32_t value) {
    std::uint8_t* p = reserve(4);
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
    advance(4);
}

void buffer_writer::write_double_be(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::uint8_t* p = reserve(8);
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    advance(8);
}

void buffer_writer::write_string(std::string_view bytes) {
    write_bytes(bytes.data(), checked_length(bytes.size(), "Write buffer overflow"));
}

void buffer_writer::write_light_string(light_string bytes) {
    write_bytes(bytes.data, bytes.size);
}

void buffer_writer::write_bytes(const void* bytes, std::uint32_t n) {
    auto* from = static_cast<const std::uint8_t*>(bytes);
    // What fits goes first; a writer that grows in blocks rather than to the
    // size asked for may need several rounds.
    for (;;) {
        const std::uint32_t fit = std::min(n, room());
        if (fit != 0) {
            std::memcpy(data + pos, from, fit);
            from += fit;
            n -= fit;
            advance(fit);
        }
        if (n == 0) {
            return;
        }
        grow(end_of(n));
        if (room() == 0) {
            throw buffer_over_range("Write buffer overflow");
        }
    }
}

own_buffer_writer::own_buffer_writer() {
    data = static_cast<std::uint8_t*>(std::malloc(1024));
    if (data == nullptr) {
        throw bad_allocation();
    }
    capacity = 1024;
}

own_buffer_writer::~own_buffer_writer() {
    std::free(data);
}

void own_buffer_writer::grow(std::uint32_t needed) {
    void* grown = std::realloc(data, needed);
    if (grown == nullptr) {
        throw bad_allocation();
    }
    data = static_cast<std::uint8_t*>(grown);
    capacity = needed;
}
