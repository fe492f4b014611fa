#include "rpc/rpc_codec.hpp"

#include <boost/endian/conversion.hpp>

namespace rpc {

void payload_writer::write(std::int32_t value) {
    write(static_cast<std::uint32_t>(value));
}

void payload_writer::write(std::uint32_t value) {
    std::uint8_t bytes[4];
    boost::endian::store_little_u32(bytes, value);
    out_.insert(out_.end(), bytes, bytes + sizeof bytes);
}

void payload_writer::write(bool value) {
    out_.push_back(value ? 1 : 0);
}

void payload_writer::write(const std::string& value) {
    write_count(value.size());
    out_.insert(out_.end(), value.begin(), value.end());
}

void payload_writer::write(const string_map& value) {
    write_count(value.size());
    for (const auto& [key, text] : value) {
        write(key);
        write(text);
    }
}

void payload_writer::write(const string_map_vector& value) {
    write_count(value.size());
    for (const auto& map : value) {
        write(map);
    }
}

void payload_writer::write_count(std::size_t count) {
    if (count > max_encoded_count) {
        throw std::runtime_error("size error");
    }
    std::uint8_t bytes[2];
    boost::endian::store_little_u16(bytes, static_cast<std::uint16_t>(count));
    out_.insert(out_.end(), bytes, bytes + sizeof bytes);
}

const std::uint8_t* payload_reader::take(std::size_t count) {
    if (size_ - position_ < count) {
        throw std::runtime_error("stream error");
    }
    const std::uint8_t* bytes = data_ + position_;
    position_ += count;
    return bytes;
}

std::size_t payload_reader::read_count() {
    return boost::endian::load_little_u16(take(2));
}

void payload_reader::read(std::int32_t& value) {
    value = static_cast<std::int32_t>(boost::endian::load_little_u32(take(4)));
}

void payload_reader::read(std::uint32_t& value) {
    value = boost::endian::load_little_u32(take(4));
}

void payload_reader::read(bool& value) {
    value = *take(1) != 0;
}

void payload_reader::read(std::string& value) {
    const std::size_t length = read_count();
    const auto* bytes = reinterpret_cast<const char*>(take(length));
    value.assign(bytes, length);
}

void payload_reader::read(string_map& value) {
    value.clear();
    const std::size_t count = read_count();
    for (std::size_t i = 0; i < count; ++i) {
        std::string key;
        std::string text;
        read(key);
        read(text);
        value.emplace(std::move(key), std::move(text));
    }
}

void payload_reader::read(string_map_vector& value) {
    value.clear();
    const std::size_t count = read_count();
    for (std::size_t i = 0; i < count; ++i) {
        read(value.emplace_back());
    }
}

}  // namespace rpc
