#pragma once

// Synthetic FLV message bodies and a strict parser of segment files, shared
// by the segment writer and reader tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/segment_index.hpp"
#include "platform/testing/hex.hpp"
#include "platform/testing/test_support.hpp"

namespace segment_testing {

using message = std::vector<std::uint8_t>;

using platform::testing::hex_bytes;

inline std::string hex(std::string_view text) {
    return hex_bytes(text);
}

inline message bytes_of(std::string_view text) {
    return message(text.begin(), text.end());
}

inline std::string text_of(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// An AVC sequence header; `variant` changes its content.
inline message avc_header(std::uint8_t variant = 0) {
    return {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, variant};
}
// A coded AVC frame; `mark` makes it recognisable when read back.
inline message avc_keyframe(std::uint8_t mark = 0) {
    return {0x17, 0x01, 0, 0, 0, 0x65, mark};
}
inline message avc_inter(std::uint8_t mark = 0) {
    return {0x27, 0x01, 0, 0, 0, 0x41, mark};
}
inline message aac_header(std::uint8_t variant = 0) {
    return {0xAF, 0x00, 0x12, static_cast<std::uint8_t>(0x10 | variant)};
}
inline message aac_frame(std::uint8_t mark = 0) {
    return {0xAF, 0x01, 0x21, mark};
}
inline message mp3_frame(std::uint8_t mark = 0) {
    return {0x2F, 0xFF, 0xFB, mark};
}
inline message metadata_message() {
    return bytes_of(
        hex("02 00 0A 'onMetaData' 03 00 05 'width' 00 40 84 00 00 00 00 00 00 00 00 09"));
}

inline const std::string avc_end_of_sequence = hex("17 02 00 00 00");
inline const std::string av_format_changed = hex("02 00 11 'onAVFormatChanged' 05");

// A sequence header as the index keeps it.
inline std::string config_tag(std::uint8_t type, const message& body) {
    own_buffer_writer out;
    out.write_u8(type);
    out.write_u8(static_cast<std::uint8_t>(body.size() >> 16));
    out.write_u16_be(static_cast<std::uint16_t>(body.size()));
    out.write_u32_be(0);
    out.write_u8(0);
    out.write_u16_be(0);
    out.write_bytes(body.data(), static_cast<std::uint32_t>(body.size()));
    out.write_u32_be(static_cast<std::uint32_t>(body.size()) + 11);
    return {reinterpret_cast<const char*>(out.data), out.size};
}

// A tag as a segment file holds it.
inline std::string tag_bytes(std::uint8_t type, std::uint32_t timestamp, std::string_view body) {
    own_buffer_writer out;
    flv_tag_header{type, static_cast<std::uint32_t>(body.size()), timestamp}.write(out);
    out.write_string(body);
    out.write_u32_be(static_cast<std::uint32_t>(body.size()) + 11);
    return {reinterpret_cast<const char*>(out.data), out.size};
}

struct flv_tag {
    std::uint8_t type = 0;
    std::uint32_t timestamp = 0;
    std::string body;
    bool operator==(const flv_tag&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const flv_tag& tag) {
    out << "{type " << int(tag.type) << ", t " << tag.timestamp << ", body";
    for (unsigned char c : tag.body) {
        out << ' ' << std::hex << int(c) << std::dec;
    }
    return out << '}';
}

struct segment_file {
    segment_header header;
    std::vector<flv_tag> tags;
};

// Reads a closed segment and checks every length field in it.
inline segment_file read_segment(const std::filesystem::path& file) {
    const std::string bytes = platform::testing::read_file(file);
    segment_file result;
    if (bytes.size() < segment_header::size) {
        ADD_FAILURE() << file << " is shorter than its header";
        return result;
    }
    std::uint8_t header[segment_header::size];
    std::copy_n(bytes.begin(), segment_header::size, header);
    result.header = segment_header::read(header);
    EXPECT_EQ(result.header.data_bytes + segment_header::size, bytes.size()) << file;
    buffer_reader in(bytes);
    in.skip(segment_header::size);
    std::uint32_t first = 0, last = 0;
    while (in.remaining() > 0) {
        flv_tag tag;
        tag.type = in.read_u8();
        const std::uint32_t size = std::uint32_t{in.read_u8()} << 16 | in.read_u16_be();
        tag.timestamp = std::uint32_t{in.read_u8()} << 16 | in.read_u16_be();
        tag.timestamp |= std::uint32_t{in.read_u8()} << 24;
        EXPECT_EQ(in.read_u8(), 0);
        EXPECT_EQ(in.read_u16_be(), 0);
        in.read_string(size, tag.body);
        EXPECT_EQ(in.read_u32_be(), size + 11);
        if (result.tags.empty()) {
            first = tag.timestamp;
        }
        last = tag.timestamp;
        result.tags.push_back(std::move(tag));
    }
    EXPECT_EQ(result.header.start_ms, first) << file;
    EXPECT_EQ(result.header.duration_ms, last - first) << file;
    return result;
}

}  // namespace segment_testing
