#include "foundation/block_pool.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(BlockMalloc, ReusesTheLastReturnedBlockFirst) {
    block_malloc pool(1204, 1000);
    EXPECT_EQ(pool.block_size(), 1204u);
    EXPECT_EQ(pool.min_free(), 1000u);
    std::uint8_t* first = pool.get();
    EXPECT_EQ(pool.outstanding(), 1u);
    EXPECT_EQ(pool.free_count(), 0u);
    std::uint8_t* second = pool.get();
    pool.put(first);
    pool.put(second);
    EXPECT_EQ(pool.outstanding(), 0u);
    EXPECT_EQ(pool.free_count(), 2u);
    EXPECT_EQ(pool.get(), second);
    EXPECT_EQ(pool.get(), first);
    EXPECT_EQ(pool.free_count(), 0u);
    pool.put(first);
    pool.put(second);
    pool.put(nullptr);
    EXPECT_EQ(pool.outstanding(), 0u);
}

TEST(BlockMalloc, KeepsMinFreeBlocksAndMoreWhileTrafficIsInFlight) {
    struct return_case {
        const char* name;
        std::uint32_t lent;
        std::uint32_t returned;
        std::size_t kept;
    } cases[] = {
        // Up to min_free + 1 returns are always kept.
        {"below min_free", 300, 300, 300},
        {"min_free reached", 513, 513, 513},
        // Beyond that a block is freed once no more blocks are out than free...
        {"nothing lent any more", 514, 514, 513},
        {"as many lent as free", 1027, 514, 513},
        // ...and kept while more are out: of a burst of 2000, the free list
        // grows until as many are free as out, and then stops growing.
        {"600 still lent", 1114, 514, 514},
        {"burst coming back", 2000, 1100, 1000},
    };
    for (const auto& c : cases) {
        block_malloc pool(128);
        std::vector<std::uint8_t*> blocks;
        for (std::uint32_t i = 0; i < c.lent; ++i) {
            blocks.push_back(pool.get());
        }
        for (std::uint32_t i = 0; i < c.returned; ++i) {
            pool.put(blocks[i]);
        }
        EXPECT_EQ(pool.free_count(), c.kept) << c.name;
        EXPECT_EQ(pool.outstanding(), c.lent - c.returned) << c.name;
        for (std::uint32_t i = c.returned; i < c.lent; ++i) {
            pool.put(blocks[i]);
        }
    }
}

TEST(BlockMalloc, RefusesAZeroBlockSize) {
    EXPECT_THROW(block_malloc(0), std::invalid_argument);
}

TEST(BlockMallocArray, LendsFromTenPowerOfTwoClasses) {
    block_malloc_array pools;
    for (unsigned exponent = 7; exponent <= 16; ++exponent) {
        block_buffer block = pools(exponent);
        ASSERT_TRUE(block);
        EXPECT_EQ(block.capacity(), 1u << exponent);
        EXPECT_EQ(block.size(), 1u << exponent);
        EXPECT_EQ(block.pool(), &pools.pool(exponent));
        std::memset(block.data(), 0xAB, block.size());  // the whole block is usable
        EXPECT_EQ(pools.pool(exponent).outstanding(), 1u);
    }
    for (unsigned exponent = 7; exponent <= 16; ++exponent) {
        EXPECT_EQ(pools.pool(exponent).outstanding(), 0u) << exponent;
        EXPECT_EQ(pools.pool(exponent).free_count(), 1u) << exponent;
    }
    // 263 is 7 modulo 256: it must not reach a pool either.
    for (unsigned exponent : {0u, 6u, 17u, 263u}) {
        EXPECT_THROW(pools(exponent), std::invalid_argument) << exponent;
        EXPECT_THROW(pools.pool(exponent), std::invalid_argument) << exponent;
    }
}

TEST(BlockBuffer, IsTheOnlyHolderOfItsBlock) {
    block_malloc pool(256);
    block_buffer first(pool);
    std::uint8_t* data = first.data();
    first.set_size(10);

    block_buffer moved = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(first.capacity(), 0u);
    EXPECT_EQ(moved.data(), data);
    EXPECT_EQ(moved.size(), 10u);
    EXPECT_EQ(pool.outstanding(), 1u);

    block_buffer other(pool);
    other = std::move(moved);  // other's own block goes back
    EXPECT_EQ(other.data(), data);
    EXPECT_EQ(pool.outstanding(), 1u);

    EXPECT_THROW(other.set_size(257), std::out_of_range);
    EXPECT_EQ(other.size(), 10u);

    // Handed on raw, and taken over again.
    std::uint8_t* raw = other.release();
    EXPECT_FALSE(other);
    EXPECT_EQ(pool.outstanding(), 1u);
    block_buffer adopted = block_buffer::adopt(pool, raw, 5);
    EXPECT_EQ(adopted.size(), 5u);
    adopted.reset();
    EXPECT_EQ(pool.outstanding(), 0u);
    EXPECT_EQ(pool.get(), raw);
    pool.put(raw);
}

TEST(BlockBuffer, MergesIntoTheWaitingBlockOnlyWhenItFits) {
    struct merge_case {
        const char* name;
        unsigned waiting_class;
        std::uint32_t waiting_bytes;
        unsigned new_class;
        std::uint32_t new_bytes;
        bool merged;
    } cases[] = {
        {"fits", 7, 20, 7, 100, true},
        {"fills the block exactly", 7, 28, 7, 100, true},
        {"one byte too many", 7, 29, 7, 100, false},
        {"too big", 7, 40, 7, 100, false},
        {"from a bigger class", 12, 20, 8, 200, true},
        {"empty new block", 7, 128, 7, 0, true},
    };
    for (const auto& c : cases) {
        block_malloc_array pools;
        block_buffer waiting = pools(c.waiting_class);
        block_buffer next = pools(c.new_class);
        std::memset(waiting.data(), 'w', c.waiting_bytes);
        std::memset(next.data(), 'n', c.new_bytes);
        waiting.set_size(c.waiting_bytes);
        next.set_size(c.new_bytes);
        std::uint8_t* next_data = next.data();

        EXPECT_EQ(block_buffer_merge(next, waiting), c.merged) << c.name;
        if (c.merged) {
            EXPECT_EQ(waiting.size(), c.waiting_bytes + c.new_bytes) << c.name;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(waiting.data()), waiting.size()),
                      std::string(c.waiting_bytes, 'w') + std::string(c.new_bytes, 'n'))
                << c.name;
            EXPECT_FALSE(next) << c.name;
            EXPECT_EQ(pools.pool(c.new_class).outstanding(),
                      c.new_class == c.waiting_class ? 1u : 0u)
                << c.name << ": the merged block went back to its own pool";
        } else {
            EXPECT_EQ(waiting.size(), c.waiting_bytes) << c.name;
            EXPECT_EQ(next.data(), next_data) << c.name;
            EXPECT_EQ(next.size(), c.new_bytes) << c.name;
        }
    }
}

TEST(BlockBuffer, MergeNeedsAWaitingBlockAndTwoHolders) {
    block_malloc pool(128);
    block_buffer block(pool);
    block.set_size(10);
    block_buffer none;
    EXPECT_FALSE(block_buffer_merge(block, none));
    EXPECT_FALSE(block_buffer_merge(block, block));
    EXPECT_EQ(block.size(), 10u);
}

TEST(BlockMallocArray, ManyThreadsLendAndReturnAtOnce) {
    block_malloc_array pools;
    // Blocks also travel to other threads before they go back, as a
    // connection's blocks do when a write completes on another thread.
    std::mutex handed_mutex;
    std::deque<block_buffer> handed;

    constexpr int thread_count = 8;
    std::vector<std::thread> threads;
    std::vector<int> corrupted(thread_count, 0);
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            std::minstd_rand random(t + 1);
            std::vector<block_buffer> held;
            for (int i = 0; i < 20000; ++i) {
                block_buffer block = pools(7 + random() % 10);
                // A block lent twice at once would be overwritten by its
                // other holder before we look at it again.
                const auto mark = static_cast<std::uint8_t>(t * 16 + i % 16);
                block.data()[0] = mark;
                block.data()[block.capacity() - 1] = mark;
                block.set_size(1);
                held.push_back(std::move(block));
                if (held.size() > 8) {
                    block_buffer oldest = std::move(held.front());
                    held.erase(held.begin());
                    const std::uint8_t expected = oldest.data()[0];
                    if (oldest.data()[oldest.capacity() - 1] != expected || expected / 16 != t) {
                        ++corrupted[t];
                    }
                    if (i % 3 == 0) {
                        std::lock_guard lock(handed_mutex);
                        handed.push_back(std::move(oldest));
                        if (handed.size() > 32) {
                            handed.pop_front();
                        }
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    handed.clear();
    for (int t = 0; t < thread_count; ++t) {
        EXPECT_EQ(corrupted[t], 0) << "thread " << t;
    }
    for (unsigned exponent = 7; exponent <= 16; ++exponent) {
        EXPECT_EQ(pools.pool(exponent).outstanding(), 0u) << exponent;
    }
}

}  // namespace
