#pragma once

// The binary encoding of remote-call arguments and results: packed
// little-endian fields with no padding. These types are the only ones that
// cross the wire, so the writer refuses anything else at compile time rather
// than converting it silently (a string literal would otherwise become a bool).

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace rpc {

using byte_buffer = std::vector<std::uint8_t>;

// Keys are kept in ascending byte order, which is the order they are written in.
using string_map = std::map<std::string, std::string>;
using string_map_vector = std::vector<string_map>;

// Longest string, and largest map or vector, that a 16-bit count can describe.
inline constexpr std::size_t max_encoded_count = 0xFFFF;

// Appends values to a buffer. A value over its limit throws std::runtime_error
// "size error" and leaves the buffer partly written.
class payload_writer {
  public:
    explicit payload_writer(byte_buffer& out) : out_(out) {}

    void write(std::int32_t value);
    void write(std::uint32_t value);
    void write(bool value);
    void write(const std::string& value);
    void write(const string_map& value);
    void write(const string_map_vector& value);

    template <typename T>
    void write(const T&) = delete;

  private:
    void write_count(std::size_t count);

    byte_buffer& out_;
};

// Reads values from borrowed bytes. Data that ends before a value does throws
// std::runtime_error "stream error".
class payload_reader {
  public:
    payload_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    void read(std::int32_t& value);
    void read(std::uint32_t& value);
    // Any non-zero byte is true.
    void read(bool& value);
    void read(std::string& value);
    // A key that repeats keeps its first value.
    void read(string_map& value);
    void read(string_map_vector& value);

    bool at_end() const { return position_ == size_; }

  private:
    const std::uint8_t* take(std::size_t count);
    std::size_t read_count();

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

template <typename... Values>
void append_values(byte_buffer& out, const Values&... values) {
    payload_writer writer(out);
    (writer.write(values), ...);
}

// Decodes a whole payload into values of the given types, in order. Bytes
// left over throw std::runtime_error "parameter error": a method without
// arguments accepts only an empty payload.
template <typename... Values>
std::tuple<Values...> decode_values(const std::uint8_t* data, std::size_t size) {
    payload_reader reader(data, size);
    std::tuple<Values...> values;
    std::apply([&](auto&... value) { (reader.read(value), ...); }, values);
    if (!reader.at_end()) {
        throw std::runtime_error("parameter error");
    }
    return values;
}

}  // namespace rpc
