#include "rpc/rpc_frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "rpc/tests/hex_bytes.hpp"

namespace rpc {
namespace {

using testing::hex;

struct received {
    frame_header header;
    byte_buffer payload;
};

// Feeds `stream` to a reader in reads of at most `chunk` bytes and collects
// every frame it hands out.
std::vector<received> read_frames(frame_reader& reader, const byte_buffer& stream,
                                  std::size_t chunk) {
    std::vector<received> frames;
    std::size_t offset = 0;
    while (offset < stream.size()) {
        const std::span<std::uint8_t> room = reader.prepare();
        EXPECT_FALSE(room.empty());
        const std::size_t count = std::min({chunk, room.size(), stream.size() - offset});
        std::memcpy(room.data(), stream.data() + offset, count);
        reader.commit(count);
        offset += count;
        while (const auto frame = reader.next()) {
            frames.push_back(
                {frame->header,
                 byte_buffer(frame->payload, frame->payload + frame->header.payload_length)});
        }
    }
    return frames;
}

TEST(FrameReader, HandsOutEachFrameOnceInOrderHoweverTheStreamIsSplit) {
    const std::string long_text(100, 'L');  // longer than the reads offered
    std::vector<byte_buffer> sent = {
        encode_request(1, 0x100000001, std::string("a")),
        encode_keep_alive(),
        encode_reply(7, true, long_text),
        encode_error_reply(8, call_status::no_such_method),
    };
    byte_buffer stream;
    for (const auto& frame : sent) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SCOPED_TRACE("reads of " + std::to_string(chunk) + " bytes");
        frame_reader reader(32, 0xFFFF);
        const auto frames = read_frames(reader, stream, chunk);
        ASSERT_EQ(frames.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const frame_header expected = read_frame_header(sent[i].data());
            EXPECT_EQ(frames[i].header.kind, expected.kind);
            EXPECT_EQ(frames[i].header.call_id, expected.call_id);
            EXPECT_EQ(frames[i].header.status, expected.status);
            EXPECT_EQ(frames[i].payload,
                      byte_buffer(sent[i].begin() + frame_header_size, sent[i].end()));
        }
    }
}

TEST(FrameReader, PayloadOverTheMaximumIsRefusedAtItsHeader) {
    frame_reader reader(64, 10);
    const byte_buffer largest = encode_reply(1, std::string(8, 'x'));  // 10 payload bytes
    ASSERT_EQ(read_frames(reader, largest, largest.size()).size(), 1u);

    // The header alone is enough to refuse the frame: its payload never comes.
    const byte_buffer header = hex("00000000 02000000 00000000 00000000 0b000000");
    const std::span<std::uint8_t> room = reader.prepare();
    std::memcpy(room.data(), header.data(), header.size());
    reader.commit(header.size());
    EXPECT_THROW(reader.next(), frame_size_error);
}

}  // namespace
}  // namespace rpc
