#include "foundation/buffer.hpp"

#include <boost/endian/conversion.hpp>

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

void buffer_reader::throw_eof() const {
    throw buffer_over_range(eof_);
}

const std::uint8_t* buffer_reader::take(std::uint32_t n) {
    // Compared against what is left, so a length from the wire cannot wrap.
    if (n > remaining()) {
        throw_eof();
    }
    const std::uint8_t* at = data + pos;
    pos += n;
    return at;
}

std::uint8_t buffer_reader::read_u8() {
    return *take(1);
}

std::uint16_t buffer_reader::read_u16_be() {
    return boost::endian::load_big_u16(take(2));
}

std::uint32_t buffer_reader::read_u24_be() {
    return boost::endian::load_big_u24(take(3));
}

std::uint32_t buffer_reader::read_u32_be() {
    return boost::endian::load_big_u32(take(4));
}

std::uint32_t buffer_reader::read_u32() {
    return boost::endian::load_little_u32(take(4));
}

double buffer_reader::read_double_be() {
    return std::bit_cast<double>(boost::endian::load_big_u64(take(8)));
}

void buffer_reader::read_string(std::uint32_t n, std::string& target) {
    const std::uint8_t* p = take(n);
    target.assign(reinterpret_cast<const char*>(p), n);
}

light_string buffer_reader::read_light_string(std::uint32_t n) {
    return {reinterpret_cast<const char*>(take(n)), n};
}

std::span<const std::uint8_t> buffer_reader::read_bytes(std::uint32_t n) {
    return {take(n), n};
}

std::uint8_t buffer_reader::peek_u8() const {
    if (remaining() == 0) {
        throw_eof();
    }
    return data[pos];
}

void buffer_reader::skip(std::uint32_t n) {
    if (n > remaining()) {
        throw buffer_over_range("Seeking out of range");
    }
    pos += n;
}

void buffer_writer::throw_overflow() const {
    throw buffer_over_range(overflow_);
}

std::uint32_t buffer_writer::end_of(std::uint32_t n) const {
    if (n > UINT32_MAX - pos) {
        throw_overflow();
    }
    return pos + n;
}

std::uint8_t* buffer_writer::reserve(std::uint32_t n) {
    if (n > room()) {
        grow(end_of(n));
        if (n > room()) {
            throw_overflow();
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
    throw_overflow();
}

void buffer_writer::write_u8(std::uint8_t value) {
    *reserve(1) = value;
    advance(1);
}

void buffer_writer::write_u16_be(std::uint16_t value) {
    boost::endian::store_big_u16(reserve(2), value);
    advance(2);
}

void buffer_writer::write_u24_be(std::uint32_t value) {
    boost::endian::store_big_u24(reserve(3), value);
    advance(3);
}

void buffer_writer::write_u32(std::uint32_t value) {
    boost::endian::store_little_u32(reserve(4), value);
    advance(4);
}

void buffer_writer::write_u32_be(std::uint32_t value) {
    boost::endian::store_big_u32(reserve(4), value);
    advance(4);
}

void buffer_writer::write_double_be(double value) {
    boost::endian::store_big_u64(reserve(8), std::bit_cast<std::uint64_t>(value));
    advance(8);
}

void buffer_writer::write_string(std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) {
        throw_overflow();
    }
    write_bytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
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
            throw_overflow();
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
