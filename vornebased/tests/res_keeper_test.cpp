#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "vornebased/res_keeper.hpp"
#include "vornebased/vorne_exception.hpp"

// Runs with allocator_may_return_null=1 in ASAN_OPTIONS, so that a size the
// heap cannot give comes back as a refusal instead of a sanitizer report.

namespace {

using namespace VorneBased;

constexpr std::size_t impossible = std::numeric_limits<std::size_t>::max() - 64;

void ExpectNoMemory(const CBaseException& e) {
    int line = 0;
    EXPECT_EQ(e.GetCode(), error::no_memory);
    EXPECT_STREQ(e.GetMessage(), "No enough memory");
    EXPECT_STREQ(e.GetFile(line), "res_keeper");
    EXPECT_GT(line, 0);
}

TEST(ResKeeper, ARefusedSizeRaisesNoMemoryAndLeavesNothingHeld) {
    res_keeper keeper(64);
    try {
        keeper.Alloc(impossible);
        FAIL() << "an impossible block was given";
    } catch (const CBaseException& e) {
        ExpectNoMemory(e);
    }
    EXPECT_EQ(keeper.size(), 0u);
    EXPECT_EQ(keeper.get(), nullptr);

    keeper.Alloc(32);
    try {
        keeper.Realloc(impossible);
        FAIL() << "an impossible block was given";
    } catch (const CBaseException& e) {
        ExpectNoMemory(e);
    }
    EXPECT_EQ(keeper.size(), 0u);
    EXPECT_EQ(keeper.get(), nullptr);

    aligned_res_keeper aligned(16);
    EXPECT_THROW(aligned.Alloc(impossible), CBaseException);
    EXPECT_EQ(aligned.size(), 0u);
}

TEST(ResKeeper, ReallocKeepsTheLeadingBytesAndAlignedBlocksAreAligned) {
    res_keeper keeper(4);
    std::memcpy(keeper.get(), "abcd", 4);
    keeper.Realloc(100000);
    EXPECT_EQ(keeper.size(), 100000u);
    EXPECT_EQ(std::memcmp(keeper.get(), "abcd", 4), 0);
    keeper.Realloc(2);
    EXPECT_EQ(std::memcmp(keeper.get(), "ab", 2), 0);
    keeper.Alloc(0);
    EXPECT_EQ(keeper.get(), nullptr);

    aligned_res_keeper aligned(16);
    for (const std::size_t size : {1u, 15u, 17u, 4096u}) {
        aligned.Alloc(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned.get()) % 16, 0u) << size;
        EXPECT_EQ(aligned.size(), size);
        std::memset(aligned.get(), 0xAB, size);
    }
}

}  // namespace
