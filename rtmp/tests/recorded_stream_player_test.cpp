#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_recorded_stream_player.hpp"
#include "rtmp/tests/recorded_test_support.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using namespace std::chrono_literals;
using rtmp::rtmp_recorded_stream_player;

// A tag every millisecond: a player on the real clock reads some in every
// run.
const std::vector<fake_tag>& dense_tags() {
    static const std::vector<fake_tag> tags = [] {
        std::vector<fake_tag> made;
        for (std::uint32_t time = 0; time < 120000; ++time) {
            made.push_back(time % 1000 == 0 ? keyframe_at(time) : audio_at(time));
        }
        return made;
    }();
    return tags;
}

// Players on the thread of a fake connection, writing to a fake net stream
// that the test looks at on that thread too.
class RecordedStreamPlayer : public ::testing::Test {
  protected:
    std::shared_ptr<rtmp_recorded_stream_player> make(
        std::vector<fake_tag> tags, std::chrono::milliseconds interval,
        rtmp_recorded_stream_player::clock now = std::chrono::steady_clock::now) {
        source = std::make_unique<fake_source>(std::move(tags));
        auto fake = std::make_unique<fake_output>();
        output = fake.get();
        return std::make_shared<rtmp_recorded_stream_player>(
            connection, source->callbacks(), std::move(fake), std::move(now), interval);
    }

    // Runs `work` on the connection's thread, as a command would, and
    // returns its result.
    template <class Work>
    auto on_thread(Work work) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        boost::asio::post(connection, [&task] { task(); });
        return result.get();
    }

    bool start(rtmp_recorded_stream_player& player) {
        return on_thread([&] { return player.start(); });
    }

    void stop(rtmp_recorded_stream_player& player) {
        on_thread([&] { player.stop(); });
    }

    bool was_sent(const std::string& line) {
        return on_thread([&] {
            return std::find(output->sent.begin(), output->sent.end(), line) != output->sent.end();
        });
    }

    std::size_t sent_count() {
        return on_thread([&] { return output->sent.size(); });
    }

    io_service_pool pool{1};
    boost::asio::io_context& connection = pool.pick();
    fake_clock clock;
    std::unique_ptr<fake_source> source;
    fake_output* output = nullptr;
};

TEST_F(RecordedStreamPlayer, StartRunsAtOnceAndEachCommandWakesTheNextRun) {
    // Runs an hour apart: only start and the commands can bring one about.
    auto player = make(keys_at(40000, {0, 10000, 20000}), 1h, clock.function());
    ASSERT_TRUE(start(*player));
    EXPECT_TRUE(eventually([&] { return was_sent("data 0 02 00"); }));

    on_thread([&] { player->seek(20000); });
    EXPECT_TRUE(eventually([&] { return was_sent("video 20000 17 01"); }));

    on_thread([&] { player->pause(true, false, 0); });
    EXPECT_TRUE(eventually([&] { return was_sent("Pause.Notify"); }));
    stop(*player);
}

// The runs are the connection's work: one waits for the command that runs
// on the connection's thread.
TEST_F(RecordedStreamPlayer, ARunWaitsForTheCommandOnItsThread) {
    auto player = make(keys_at(40000, {0}), 1h, clock.function());
    const std::size_t announced = on_thread([&] {
        EXPECT_TRUE(player->start());
        const std::size_t sent = output->sent.size();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(output->sent.size(), sent);
        return sent;
    });
    EXPECT_TRUE(eventually([&] { return sent_count() > announced; }));
    stop(*player);
}

TEST_F(RecordedStreamPlayer, AfterStopReturnsTheSourceIsNeverCalledAgain) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        auto player = make(dense_tags(), 1ms);
        ASSERT_TRUE(start(*player));
        ASSERT_TRUE(eventually([&] { return source->calls > 0; }));

        // Commands keep arriving on the connection's path while it stops.
        std::atomic<bool> done{false};
        std::thread commands([&, player] {
            for (std::uint32_t ms = 0; !done; ms += 100) {
                boost::asio::post(connection, [player, ms] { player->seek(ms % 100000); });
                std::this_thread::sleep_for(200us);
            }
        });
        std::this_thread::sleep_for(5ms);
        std::weak_ptr<rtmp_recorded_stream_player> held = player;
        stop(*player);
        const unsigned calls = source->calls;
        player.reset();
        std::this_thread::sleep_for(20ms);
        done = true;
        commands.join();
        EXPECT_EQ(source->calls, calls);
        // Its last wait has ended: nothing holds it any more.
        EXPECT_TRUE(eventually([&] { return held.expired(); }));
    }
}

TEST_F(RecordedStreamPlayer, ItsPendingWaitKeepsItPlayingWithoutOtherOwners) {
    auto player = make(dense_tags(), 1ms);
    ASSERT_TRUE(start(*player));
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    player.reset();

    const unsigned calls = source->calls;
    EXPECT_TRUE(eventually([&] { return source->calls > calls + 20; }));
    ASSERT_FALSE(held.expired());
    stop(*held.lock());
    EXPECT_TRUE(eventually([&] { return held.expired(); }));
}

TEST_F(RecordedStreamPlayer, AStartWithoutRoomForTheStreamsLeavesNothingRunning) {
    auto player = make(keys_at(4000, {0}), 1ms);
    output->room_for_streams = false;
    EXPECT_FALSE(start(*player));
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    player.reset();
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(source->calls, 0u);
}

TEST_F(RecordedStreamPlayer, AConnectionThatRefusesWritesEndsTheRuns) {
    auto player = make(dense_tags(), 1ms);
    output->refuse_media = true;
    ASSERT_TRUE(start(*player));
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    player.reset();
    // The run that met the refusal arms no further wait.
    EXPECT_TRUE(eventually([&] { return held.expired(); }));
    EXPECT_EQ(source->calls, 1u);  // the metadata, whose write was refused
}

}  // namespace
