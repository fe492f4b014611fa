#include "foundation/file_window.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/testing/test_support.hpp"

namespace {

using platform::testing::temp_dir;
using platform::testing::write_file;

// Bytes that tell their own offset apart within any few hundred.
std::string numbered_bytes(std::size_t count, std::size_t from = 0) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>((from + i) % 251);
    }
    return bytes;
}

std::string text_of(std::span<const std::uint8_t> bytes, std::size_t count) {
    return {reinterpret_cast<const char*>(bytes.data()), count};
}

// Reads a file in steps of every kind a reader takes: small and larger than
// the read-ahead, with the room given back and the position moved in between.
TEST(FileWindow, EveryStepGetsTheFileBytesAtItsPosition) {
    constexpr std::size_t read_ahead = 1000;
    const std::string content = numbered_bytes(20000);
    temp_dir dir;
    write_file(dir / "data", content);
    file_window window(read_ahead);
    ASSERT_TRUE(window.open(dir / "data"));
    EXPECT_EQ(window.file_size(), 20000);

    enum class then { keep, release, move };
    const struct {
        const char* name;
        std::size_t needed;
        then after;
        std::uint64_t moved_to = 0;
    } steps[] = {
        {"a tag header", 11, then::keep},
        {"within what was read ahead", 300, then::keep},
        {"past what was read ahead", 900, then::keep},
        {"larger than the read-ahead", 4500, then::release},
        {"after the room was given back", 20, then::keep},
        {"again larger", 3000, then::move, 17000},
        {"after a move", 100, then::release},
        {"past the end", 5000, then::keep},
    };
    std::uint64_t position = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const auto bytes = window.fill(step.needed);
        const std::size_t available = std::min<std::size_t>(step.needed, content.size() - position);
        ASSERT_GE(bytes.size(), available);
        EXPECT_EQ(text_of(bytes, available), content.substr(position, available));
        window.advance(available);
        position += available;
        EXPECT_EQ(window.position(), position);
        EXPECT_TRUE(window.holds_room());
        switch (step.after) {
            case then::keep:
                break;
            case then::release:
                window.release();
                EXPECT_FALSE(window.holds_room());
                EXPECT_EQ(window.position(), position);
                break;
            case then::move:
                window.move_to(step.moved_to);
                position = step.moved_to;
                break;
        }
    }
    EXPECT_EQ(position, content.size());
    EXPECT_TRUE(window.fill(1).empty());
}

// A segment being recorded: what is not there yet comes on a later fill.
TEST(FileWindow, AFileThatGrowsIsReadAsItGrows) {
    temp_dir dir;
    write_file(dir / "open", numbered_bytes(500));
    file_window window(256);
    ASSERT_TRUE(window.open(dir / "open"));
    ASSERT_GE(window.fill(400).size(), 400u);
    window.advance(400);
    EXPECT_EQ(window.fill(300).size(), 100u) << "only what is written";

    std::ofstream(dir / "open", std::ios::binary | std::ios::app) << numbered_bytes(700, 500);
    EXPECT_EQ(window.file_size(), 1200);
    const auto bytes = window.fill(300);
    ASSERT_GE(bytes.size(), 300u);
    EXPECT_EQ(text_of(bytes, 300), numbered_bytes(300, 400));
}

TEST(FileWindow, AFileThatCannotBeOpenedLeavesNothingOpen) {
    temp_dir dir;
    write_file(dir / "data", "abc");
    file_window window;
    ASSERT_TRUE(window.open(dir / "data"));
    EXPECT_FALSE(window.open(dir / "missing"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(window.is_open());
    EXPECT_TRUE(window.fill(1).empty());
    EXPECT_EQ(window.file_size(), -1);
}

}  // namespace
