#include <gtest/gtest.h>

#include <boost/function.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/block_pool.hpp"
#include "rtmp/clock.hpp"
#include "rtmp/output_item.hpp"
#include "rtmp/random_generator.hpp"
#include "rtmp/seq_do.hpp"

namespace {

using block_queue = seq_do<block_buffer, boost::function<void(block_buffer&)>,
                           boost::function<bool(block_buffer&, block_buffer&)>>;

struct queue_fixture {
    block_malloc pool{16};
    std::vector<std::string> worked;
    block_queue queue{
        2,
        [this](block_buffer& item) {
            worked.emplace_back(reinterpret_cast<const char*>(item.data()), item.size());
            item.reset();
        },
        [](block_buffer& item, block_buffer& last) { return block_buffer_merge(item, last); }};

    block_buffer block(const std::string& text) {
        block_buffer b(pool);
        std::copy(text.begin(), text.end(), b.data());
        b.set_size(static_cast<std::uint32_t>(text.size()));
        return b;
    }
};

TEST(SeqDo, WorksOneItemAtATimeInOrderAndFoldsSmallItemsIntoTheLastWaiting) {
    queue_fixture f;
    EXPECT_TRUE(f.queue.push(f.block("first")));
    EXPECT_EQ(f.worked, (std::vector<std::string>{"first"})) << "an idle queue works at once";
    EXPECT_FALSE(f.queue.idle());

    EXPECT_TRUE(f.queue.push(f.block("0123456789")));
    EXPECT_TRUE(f.queue.push(f.block("abc"))) << "merged into the waiting block";
    EXPECT_EQ(f.queue.pending(), 1u);
    EXPECT_TRUE(f.queue.push(f.block("ABCDEFGHIJ"))) << "too big to merge: queued";
    EXPECT_EQ(f.queue.pending(), 2u);
    EXPECT_FALSE(f.queue.push(f.block("0123456789"))) << "more than the limit wait";
    EXPECT_EQ(f.queue.pending(), 3u) << "but the item is still queued";
    EXPECT_EQ(f.worked.size(), 1u) << "nothing runs until the work in progress finishes";

    EXPECT_FALSE(f.queue.next());
    EXPECT_FALSE(f.queue.next());
    EXPECT_FALSE(f.queue.next());
    EXPECT_TRUE(f.queue.next()) << "the queue became idle";
    EXPECT_TRUE(f.queue.idle());
    EXPECT_EQ(f.queue.pending(), 0u);
    EXPECT_EQ(f.worked,
              (std::vector<std::string>{"first", "0123456789abc", "ABCDEFGHIJ", "0123456789"}));
    EXPECT_EQ(f.pool.outstanding(), 0u) << "every block went back to its pool";
}

TEST(SeqDo, WorkThatTakesTheWaitingItemsAlongStillCountsThemAsPendingUntilItEnds) {
    queue_fixture f;
    f.queue.push(f.block("first"));
    // More than the queue's first room, none mergeable: it grows in order.
    const std::string big(10, 'x');
    for (char c = 'a'; c < 'a' + 12; ++c) {
        f.queue.push(f.block(std::string(1, c) + big));
    }
    EXPECT_EQ(f.queue.pending(), 12u);

    std::vector<block_buffer> taken;
    EXPECT_EQ(f.queue.take_waiting(taken, 10), 10u);
    EXPECT_EQ(f.queue.pending(), 12u) << "taken items are still on their way";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken.front().data()), 1), "a");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken.back().data()), 1), "j");

    f.queue.push(f.block("later" + big));
    EXPECT_EQ(f.queue.pending(), 13u);
    taken.clear();

    EXPECT_FALSE(f.queue.next()) << "the work in progress ended: the next waiting item starts";
    EXPECT_EQ(f.queue.pending(), 3u) << "the queue's length as next found it";
    EXPECT_EQ(f.worked.back(), "k" + big);
    EXPECT_FALSE(f.queue.next());
    EXPECT_EQ(f.worked.back(), "l" + big);
    EXPECT_FALSE(f.queue.next());
    EXPECT_EQ(f.worked.back(), "later" + big);
    EXPECT_TRUE(f.queue.next());
    EXPECT_EQ(f.queue.pending(), 0u);
}

TEST(RandomGenerator, FillsExactlyTheCountLowByteFirst) {
    for (std::uint32_t count : {0u, 1u, 2u, 7u, 1528u}) {
        std::vector<std::uint8_t> out(count + 2, 0xAA);
        random_generator(false).fill(count, out.data());
        EXPECT_EQ(out[count], 0xAA) << count;
        EXPECT_EQ(out[count + 1], 0xAA) << count;
    }
    // Two generators seeded within the same millisecond agree, which shows
    // the layout: each pair of bytes is one 16-bit draw, low byte first.
    std::uint8_t a[5], b[6];
    random_generator first(true), second(true);
    first.fill(5, a);
    second.fill(6, b);
    if (std::equal(a, a + 4, b)) {
        EXPECT_EQ(a[4], b[4]) << "an odd last byte is the low byte of one more draw";
    }
    std::uint8_t big[1528];
    shared_random_generator().fill(sizeof big, big);
    EXPECT_NE(std::count(big, big + sizeof big, big[0]), 1528);
}

TEST(TimeOfDay, StaysWithinOneDayAndFollowsTheWallClock) {
    const std::uint32_t first = time_of_day_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint32_t second = time_of_day_ms();
    EXPECT_LT(first, 86400000u);
    EXPECT_LT(second, 86400000u);
    // Unless midnight passed in between.
    if (second >= first) {
        EXPECT_GE(second - first, 19u);
        EXPECT_LT(second - first, 2000u);
    }
}

// An item built the way the chunk layer builds one: parts starting with '*'
// are a shared body (the rest of the part, kept by `owner`), the others go
// into the item's block.
rtmp::output_item item_of(block_malloc& pool, const std::vector<std::string>& parts,
                          const std::shared_ptr<std::vector<std::string>>& owner,
                          std::uint32_t limit = 0) {
    rtmp::output_item item;
    item.start(block_buffer(pool), limit);
    std::uint32_t used = 0;
    std::uint32_t range_start = 0;
    for (const auto& part : parts) {
        if (part[0] == '*') {
            item.add_block_bytes(range_start, used - range_start);
            range_start = used;
            const std::string& body = owner->emplace_back(part.substr(1));
            item.add_shared(reinterpret_cast<const std::uint8_t*>(body.data()),
                            static_cast<std::uint32_t>(body.size()), owner);
        } else {
            std::copy(part.begin(), part.end(), item.block().data() + used);
            used += static_cast<std::uint32_t>(part.size());
        }
    }
    if (item.has_shared()) {
        item.add_block_bytes(range_start, used - range_start);
    }
    item.finish(used);
    return item;
}

std::string bytes_of(const rtmp::output_item& item) {
    std::string out;
    item.for_each_run([&](const std::uint8_t* data, std::uint32_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
    });
    return out;
}

TEST(OutputItem, MergingKeepsTheBytesInOrderAndCountsSharedBodiesAgainstTheBlock) {
    struct merge_case {
        std::vector<std::string> last, later;
        bool merged;
        std::string bytes;
        // What the earlier item may stand for; 0: its block's capacity.
        std::uint32_t limit = 0;
    };
    const merge_case cases[] = {
        {{"abc"}, {"def"}, true, "abcdef"},
        {{"ab", "*SHARED", "cd"}, {"xyz"}, true, "abSHAREDcdxyz"},
        {{"pq"}, {"12", "*SHARED", "34"}, true, "pq12SHARED34"},
        {{"a", "*B"}, {"*C", "d"}, true, "aBCd"},
        // 16-byte blocks: shared bytes count as if they were in the block.
        {{"12345678"}, {"*123456789"}, false, "12345678"},
        {{"*0123456789ABCDEF"}, {"x"}, false, "0123456789ABCDEF"},
        // A small block for the headers of shared bodies: the limit counts
        // all bytes, the block still takes only its own.
        {{"h", "*0123456789ABCDEF"},
         {"i", "*0123456789"},
         true,
         "h0123456789ABCDEFi0123456789",
         32},
        {{"h", "*0123456789ABCDEF"}, {"i", "*012345678901234"}, false, "h0123456789ABCDEF", 32},
        {{"h", "*0123456789ABCDEF"}, {"0123456789ABCDEF"}, false, "h0123456789ABCDEF", 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        block_malloc pool(16);
        auto owner = std::make_shared<std::vector<std::string>>();
        owner->reserve(8);
        rtmp::output_item last = item_of(pool, c.last, owner, c.limit);
        rtmp::output_item later = item_of(pool, c.later, owner);
        const std::string later_bytes = bytes_of(later);
        EXPECT_EQ(last.merge(later), c.merged);
        EXPECT_EQ(bytes_of(last), c.bytes);
        EXPECT_EQ(last.size(), c.bytes.size());
        EXPECT_EQ(bytes_of(later), c.merged ? "" : later_bytes) << "taken whole or left alone";
        later.reset();
        last.reset();
        EXPECT_EQ(owner.use_count(), 1) << "the shared bodies are held until written";
        EXPECT_EQ(pool.outstanding(), 0u);
    }
}

}  // namespace
