#include "foundation/buffer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

std::string output_of(const buffer_writer& writer) {
    return {reinterpret_cast<const char*>(writer.data), writer.size};
}

template <class F>
std::string thrown_message(F&& f) {
    try {
        f();
    } catch (const buffer_over_range& e) {
        return e.what();
    }
    return "nothing thrown";
}

using namespace std::string_literals;

TEST(BufferReader, DecodesNumbersInTheirByteOrder) {
    struct read_case {
        const char* name;
        std::string bytes;
        std::function<double(buffer_reader&)> read;
        double expected;
    } cases[] = {
        {"u8", "\xFF", [](buffer_reader& r) { return r.read_u8(); }, 255},
        {"u16 big-endian", "\x01\x02", [](buffer_reader& r) { return r.read_u16_be(); }, 258},
        {"u24 big-endian", "\x01\x02\x03", [](buffer_reader& r) { return r.read_u24_be(); },
         0x010203},
        {"u32 big-endian", "\x01\x02\x03\x04", [](buffer_reader& r) { return r.read_u32_be(); },
         0x01020304},
        {"u32 little-endian", "\x01\x00\x00\x00"s, [](buffer_reader& r) { return r.read_u32(); },
         1},
        {"u32 little-endian high byte", "\x00\x00\x00\x80"s,
         [](buffer_reader& r) { return r.read_u32(); }, 2147483648.0},
        {"double 1.0", "\x3F\xF0\x00\x00\x00\x00\x00\x00"s,
         [](buffer_reader& r) { return r.read_double_be(); }, 1.0},
        {"double -2.5", "\xC0\x04\x00\x00\x00\x00\x00\x00"s,
         [](buffer_reader& r) { return r.read_double_be(); }, -2.5},
    };
    for (const auto& c : cases) {
        buffer_reader reader(c.bytes);
        EXPECT_EQ(c.read(reader), c.expected) << c.name;
        EXPECT_EQ(reader.pos, c.bytes.size()) << c.name;
    }
}

TEST(BufferReader, ShortReadsThrowAndKeepThePosition) {
    struct short_case {
        const char* name;
        std::uint32_t needs;
        std::function<void(buffer_reader&)> read;
    } cases[] = {
        {"u8", 1, [](buffer_reader& r) { r.read_u8(); }},
        {"peek", 1, [](buffer_reader& r) { r.peek_u8(); }},
        {"u16", 2, [](buffer_reader& r) { r.read_u16_be(); }},
        {"u24", 3, [](buffer_reader& r) { r.read_u24_be(); }},
        {"u32 big-endian", 4, [](buffer_reader& r) { r.read_u32_be(); }},
        {"u32", 4, [](buffer_reader& r) { r.read_u32(); }},
        {"double", 8, [](buffer_reader& r) { r.read_double_be(); }},
        {"string", 5,
         [](buffer_reader& r) {
             std::string s = "kept";
             r.read_string(5, s);
         }},
        {"view", 3, [](buffer_reader& r) { r.read_light_string(3); }},
        {"bytes", 3, [](buffer_reader& r) { r.read_bytes(3); }},
    };
    const std::string bytes(16, 'x');
    for (const auto& c : cases) {
        // One byte short of what the read needs, after a byte already read.
        buffer_reader reader(bytes.data(), c.needs);
        reader.read_u8();
        EXPECT_EQ(thrown_message([&] { c.read(reader); }), "Buffer eof") << c.name;
        EXPECT_EQ(reader.pos, 1u) << c.name;

        buffer_reader empty(bytes.data(), 0);
        EXPECT_EQ(thrown_message([&] { c.read(empty); }), "Buffer eof") << c.name;
        EXPECT_EQ(empty.pos, 0u) << c.name;
    }
}

TEST(BufferReader, SkipsWithinBoundsAndRefusesToSeekPastTheEnd) {
    const std::string bytes = "abcdef";
    buffer_reader reader(bytes);
    reader.skip(0);
    reader.skip(2);
    EXPECT_EQ(reader.read_u8(), 'c');
    EXPECT_EQ(thrown_message([&] { reader.skip(4); }), "Seeking out of range");
    EXPECT_EQ(reader.pos, 3u);
    reader.skip(3);
    EXPECT_EQ(reader.remaining(), 0u);

    buffer_reader empty(bytes.data(), 0);
    empty.skip(0);
    EXPECT_EQ(thrown_message([&] { empty.skip(1); }), "Seeking out of range");
}

TEST(BufferReader, LengthsFromTheWireCannotWrapPastTheBound) {
    // pos + n would wrap to a small number in 32 bits and pass a naive check.
    const std::string bytes(16, 'x');
    buffer_reader reader(bytes);
    reader.skip(10);
    std::string target;
    EXPECT_EQ(thrown_message([&] { reader.read_string(0xFFFFFFFF, target); }), "Buffer eof");
    EXPECT_EQ(thrown_message([&] { reader.read_light_string(0xFFFFFFF8); }), "Buffer eof");
    EXPECT_EQ(thrown_message([&] { reader.skip(0xFFFFFFF8); }), "Seeking out of range");
    EXPECT_EQ(reader.pos, 10u);

    // An owner that moved pos past the end gets eof, not the bytes beyond.
    reader.pos = 20;
    EXPECT_EQ(thrown_message([&] { reader.read_u8(); }), "Buffer eof");
}

TEST(BufferReader, StringsAreCopiedAndViewsPointIntoTheBytes) {
    const std::string bytes = "\x02hello world"s;
    buffer_reader reader(bytes);
    EXPECT_EQ(reader.peek_u8(), 2);
    EXPECT_EQ(reader.pos, 0u);
    reader.skip(1);
    std::string target = "previous content";
    reader.read_string(5, target);
    EXPECT_EQ(target, "hello");
    reader.skip(1);
    light_string view = reader.read_light_string(5);
    EXPECT_EQ(view.data, bytes.data() + 7);
    EXPECT_EQ(view.view(), "world");
    reader.read_string(0, target);
    EXPECT_EQ(target, "");
}

TEST(BufferWriter, EncodesNumbersInTheirByteOrder) {
    struct write_case {
        const char* name;
        std::function<void(buffer_writer&)> write;
        std::string expected;
    } cases[] = {
        {"u8", [](buffer_writer& w) { w.write_u8(0xAB); }, "\xAB"},
        {"u16 big-endian", [](buffer_writer& w) { w.write_u16_be(258); }, "\x01\x02"},
        {"u24 big-endian, the low 24 bits", [](buffer_writer& w) { w.write_u24_be(0x7F010203); },
         "\x01\x02\x03"},
        {"u32 big-endian", [](buffer_writer& w) { w.write_u32_be(0x01020304); },
         "\x01\x02\x03\x04"},
        {"u32 little-endian", [](buffer_writer& w) { w.write_u32(0x01020304); },
         "\x04\x03\x02\x01"},
        {"double", [](buffer_writer& w) { w.write_double_be(-2.5); },
         "\xC0\x04\x00\x00\x00\x00\x00\x00"s},
        {"string, no prefix or terminator", [](buffer_writer& w) { w.write_string("ab\0c"s); },
         "ab\0c"s},
        {"view", [](buffer_writer& w) { w.write_light_string(light_string("xyz", 2)); }, "xy"},
        {"bytes", [](buffer_writer& w) { w.write_bytes("\x00\x01", 2); }, "\x00\x01"s},
        {"nothing", [](buffer_writer& w) { w.write_bytes(nullptr, 0); }, ""},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 16> storage{};
        buffer_writer fixed(storage.data(), storage.size());
        c.write(fixed);
        EXPECT_EQ(output_of(fixed), c.expected) << c.name;
        EXPECT_EQ(fixed.pos, c.expected.size()) << c.name;

        own_buffer_writer owned;
        c.write(owned);
        EXPECT_EQ(output_of(owned), c.expected) << c.name;
    }
}

TEST(BufferWriter, FixedStorageKeepsWhatFittedAndRefusesTheRest) {
    std::array<std::uint8_t, 6> storage{};
    buffer_writer writer(storage.data(), storage.size());
    writer.write_u32_be(0x11223344);
    EXPECT_EQ(thrown_message([&] { writer.write_bytes("abcd", 4); }), "Write buffer overflow");
    EXPECT_EQ(output_of(writer),
              "\x11\x22\x33\x44"
              "ab");
    EXPECT_EQ(thrown_message([&] { writer.write_u8(1); }), "Write buffer overflow");
    EXPECT_EQ(writer.size, 6u);

    // A number that does not fit is not written in part.
    writer.pos = 4;
    EXPECT_EQ(thrown_message([&] { writer.write_u32(0); }), "Write buffer overflow");
    EXPECT_EQ(writer.pos, 4u);
    EXPECT_EQ(output_of(writer),
              "\x11\x22\x33\x44"
              "ab");
}

// Records every grow and what had been written when it came.
class recording_writer : public own_buffer_writer {
  public:
    struct grow_call {
        std::uint32_t needed;
        std::uint32_t pos;
    };
    std::vector<grow_call> grows;

  protected:
    void grow(std::uint32_t needed) override {
        grows.push_back({needed, pos});
        own_buffer_writer::grow(needed);
    }
};

TEST(OwnBufferWriter, FillsItsStorageThenGrowsToExactlyTheSizeNeeded) {
    recording_writer writer;
    EXPECT_EQ(writer.capacity, 1024u);
    writer.pos = 1020;
    writer.write_bytes("0123456789", 10);
    ASSERT_EQ(writer.grows.size(), 1u);
    EXPECT_EQ(writer.grows[0].needed, 1030u);
    EXPECT_EQ(writer.grows[0].pos, 1024u) << "four bytes fill the old storage first";
    EXPECT_EQ(writer.capacity, 1030u);
    EXPECT_EQ(writer.size, 1030u);
    EXPECT_EQ(output_of(writer).substr(1020), "0123456789");

    writer.write_u16_be(0x4142);
    ASSERT_EQ(writer.grows.size(), 2u);
    EXPECT_EQ(writer.grows[1].needed, 1032u);
    EXPECT_EQ(output_of(writer).substr(1030), "AB");
}

TEST(OwnBufferWriter, RewritingAnEarlierFieldKeepsTheSize) {
    own_buffer_writer writer;
    writer.write_u32_be(0);  // length, patched once the body is written
    writer.write_string("body");
    writer.pos = 0;
    writer.write_u32_be(4);
    EXPECT_EQ(writer.pos, 4u);
    EXPECT_EQ(writer.size, 8u);
    EXPECT_EQ(output_of(writer),
              "\x00\x00\x00\x04"
              "body"s);
}

// Cuts its output into blocks of four bytes, as a writer that builds
// datagrams does: grow moves on to a fresh block instead of enlarging one.
class block_writer : public buffer_writer {
  public:
    std::vector<std::array<std::uint8_t, 4>> blocks;
    std::vector<std::uint32_t> used;
    bool stuck = false;  // grow hands out a full block

    block_writer() { blocks.reserve(16); }

    std::string joined() {
        finish();
        std::string all;
        for (std::size_t i = 0; i < used.size(); ++i) {
            all.append(reinterpret_cast<const char*>(blocks[i].data()), used[i]);
        }
        return all;
    }

  protected:
    void grow(std::uint32_t) override {
        finish();
        blocks.emplace_back();
        data = blocks.back().data();
        capacity = 4;
        pos = size = stuck ? 4 : 0;
    }

  private:
    void finish() {
        if (data != nullptr) {
            used.push_back(size);
            data = nullptr;
            capacity = pos = size = 0;
        }
    }
};

TEST(BufferWriter, GrowMayMoveTheOutputToAnotherBlock) {
    block_writer writer;
    writer.write_u16_be(0x4142);
    writer.write_bytes("cdefghij", 8);  // two bytes, a full block, two bytes
    writer.write_u8('k');
    writer.write_u32_be(0x4C4D4E4F);  // does not fit after "ijk": a fresh block
    EXPECT_EQ(writer.joined(), "ABcdefghijkLMNO");
    EXPECT_EQ(writer.used, (std::vector<std::uint32_t>{4, 4, 3, 4}));
}

TEST(BufferWriter, AGrowThatMakesNoRoomEndsTheWrite) {
    block_writer writer;
    writer.stuck = true;
    EXPECT_EQ(thrown_message([&] { writer.write_bytes("abc", 3); }), "Write buffer overflow");
    EXPECT_EQ(thrown_message([&] { writer.write_u8(1); }), "Write buffer overflow");
}

TEST(BufferWriter, EndPositionsCannotWrap) {
    std::array<std::uint8_t, 8> storage{};
    recording_writer writer;
    writer.pos = 0xFFFFFFFE;
    EXPECT_EQ(thrown_message([&] { writer.write_u32_be(1); }), "Write buffer overflow");
    EXPECT_EQ(thrown_message([&] { writer.write_bytes(storage.data(), 8); }),
              "Write buffer overflow");
    EXPECT_TRUE(writer.grows.empty()) << "a wrapped end would have asked for a tiny capacity";
}

TEST(LightString, OrdersShorterFirstThenByUnsignedBytes) {
    struct order_case {
        std::string a;
        std::string b;
        bool a_before_b;
        bool b_before_a;
    } cases[] = {
        {"b", "aa", true, false},       {"", "a", true, false},
        {"az", "a\xFF", true, false},   {"\x7F", "\x80", true, false},
        {"code", "code", false, false}, {"level", "ztext", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(light_string(c.a) < light_string(c.b), c.a_before_b) << c.a << " " << c.b;
        EXPECT_EQ(light_string(c.b) < light_string(c.a), c.b_before_a) << c.a << " " << c.b;
        EXPECT_EQ(light_string(c.a) == light_string(c.b), c.a == c.b) << c.a << " " << c.b;
    }

    std::map<light_string, int> keys{{"level", 1}, {"code", 2}, {"description", 3}};
    std::vector<std::string_view> order;
    for (const auto& entry : keys) {
        order.push_back(entry.first.view());
    }
    EXPECT_EQ(order, (std::vector<std::string_view>{"code", "level", "description"}));
}

TEST(LightString, MatchesNamesByLengthAndBytes) {
    const std::string received = "playlist";
    EXPECT_TRUE(light_string_equals(light_string(received.data(), 4), "play"));
    EXPECT_FALSE(light_string_equals(light_string(received), "play"));
    EXPECT_FALSE(light_string_equals(light_string(received.data(), 4), "plan"));
    EXPECT_TRUE(light_string_equals(light_string(), ""));
}

}  // namespace
