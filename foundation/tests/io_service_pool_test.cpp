#include "foundation/io_service_pool.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

TEST(IoServicePool, RunsHandlersOnAllItsThreadsAtOnce) {
    io_service_pool pool(4);
    EXPECT_EQ(pool.thread_count(), 4u);
    // Each thread runs a context of its own; picks go round them in turn.
    std::set<boost::asio::io_context*> picked;
    for (int i = 0; i < 4; ++i) {
        picked.insert(&pool.pick());
    }
    EXPECT_EQ(picked.size(), 4u);
    EXPECT_EQ(&pool.pick(), &pool.context(0));

    // Four handlers that each wait for the others can only finish when four
    // threads run them in parallel.
    std::latch all_running(4);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 4; ++i) {
        boost::asio::post(pool.pick(), [&] {
            {
                std::lock_guard lock(mutex);
                threads.insert(std::this_thread::get_id());
            }
            all_running.arrive_and_wait();
        });
    }
    pool.stop();
    EXPECT_EQ(threads.size(), 4u);
}

TEST(IoServicePool, StopFinishesOutstandingWorkAndTheSecondStopDoesNothing) {
    io_service_pool pool(0);
    EXPECT_EQ(pool.thread_count(), 1u) << "zero threads would never serve";
    bool fired = false;
    boost::asio::steady_timer timer(pool.pick(), std::chrono::milliseconds(20));
    timer.async_wait([&](const boost::system::error_code& error) { fired = !error; });
    pool.stop();
    EXPECT_TRUE(fired);
    pool.stop();
}

TEST(IoServicePool, ADeferredPoolRunsNothingBeforeItStarts) {
    io_service_pool pool(io_service_pool::deferred_start);
    EXPECT_EQ(pool.thread_count(), 0u);
    std::atomic<bool> ran{false};
    boost::asio::post(pool.pick(), [&] { ran = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran);
    pool.start(2);
    EXPECT_EQ(pool.thread_count(), 2u);
    EXPECT_THROW(pool.start(1), std::logic_error);
    pool.stop();
    EXPECT_TRUE(ran);
    EXPECT_THROW(pool.start(1), std::logic_error) << "not after stop";
}

TEST(IoServicePool, DestructionWithoutStopAbandonsEndlessWork) {
    auto pool = std::make_unique<io_service_pool>(2);
    // Work that never runs out would keep stop() waiting for ever.
    auto& context = pool->pick();
    std::function<void()> again = [&] { boost::asio::post(context, again); };
    boost::asio::post(context, again);
    pool.reset();
    SUCCEED();
}

}  // namespace
