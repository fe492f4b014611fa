#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
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

// Players on a thread of their own, as on a connection's, writing to a fake
// net stream; the test reaches them and their output on that thread only.
class RecordedStreamPlayer : public ::testing::Test {
  protected:
    std::shared_ptr<rtmp_recorded_stream_player> make(
        std::vector<fake_tag> tags, std::chrono::milliseconds interval,
        rtmp_recorded_stream_player::clock now = std::chrono::steady_clock::now) {
        source = std::make_unique<fake_source>(std::move(tags));
        auto fake = std::make_unique<fake_output>();
        fake->holds_what_it_sends = false;
        output = fake.get();
        return std::make_shared<rtmp_recorded_stream_player>(
            io, source->callbacks(), std::move(fake), std::move(now), interval);
    }

    // Runs `work` on the players' thread and waits for its result.
    template <class Work>
    auto on_thread(Work work) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        boost::asio::post(io, [&task] { task(); });
        return result.get();
    }

    bool start(rtmp_recorded_stream_player& player) {
        return on_thread([&] { return player.start(); });
    }

    bool was_sent(const std::string& line) {
        return on_thread([&] {
            return std::find(output->sent.begin(), output->sent.end(), line) != output->sent.end();
        });
    }

    fake_clock clock;
    std::unique_ptr<fake_source> source;
    fake_output* output = nullptr;
    // Declared last: its thread ends before what the players use goes.
    io_service_pool pool{1};
    boost::asio::io_context& io = pool.pick();
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
    on_thread([&] { player->stop(); });
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
    EXPECT_TRUE(
        eventually([&] { return on_thread([&] { return output->sent.size(); }) > announced; }));
    on_thread([&] { player->stop(); });
}

// A run held back by what the connection holds goes on as soon as the
// connection has written it, not at the next tick; a player stopped in
// between is not kept alive for it.
TEST_F(RecordedStreamPlayer, AHeldBackRunGoesOnOnceTheConnectionHasWritten) {
    std::vector<fake_tag> tags;
    for (std::uint32_t time = 0; time < 10000; time += 40) {
        fake_tag video = time % 1000 == 0 ? keyframe_at(time) : interframe_at(time);
        video.body.resize(30000, 'v');
        tags.push_back(video);
    }
    auto player = make(tags, 1h, clock.function());
    on_thread([&] { output->holds_what_it_sends = true; });
    ASSERT_TRUE(start(*player));
    const auto held_back = [&] { return on_thread([&] { return output->resumes.size() == 1; }); };
    ASSERT_TRUE(eventually(held_back));
    EXPECT_FALSE(was_sent("video 40 27 01")) << "the first step holds one frame";

    on_thread([&] { output->write_all(); });
    EXPECT_TRUE(eventually([&] { return was_sent("video 40 27 01"); }));
    ASSERT_TRUE(eventually(held_back)) << "and waits again";

    auto waiting = on_thread([&] { return std::exchange(output->resumes, {}); });
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    on_thread([&] { player->stop(); });
    player.reset();
    EXPECT_TRUE(eventually([&] { return held.expired(); })) << "the waiting resume holds nothing";
    const unsigned calls = source->calls;
    on_thread([&] {
        for (auto& resume : waiting) {
            resume();
        }
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(source->calls, calls);
}

TEST_F(RecordedStreamPlayer, AfterStopTheSourceIsNeverCalledAgain) {
    auto player = make(dense_tags(), 1ms);
    ASSERT_TRUE(start(*player));
    ASSERT_TRUE(eventually([&] { return source->calls > 0; }));
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    // Commands keep arriving on the connection's thread, the last right
    // before the stop.
    for (std::uint32_t ms = 0; ms < 2000; ms += 100) {
        on_thread([&] { player->seek(ms); });
    }
    const unsigned calls = on_thread([&] {
        player->seek(5000);
        player->stop();
        return source->calls.load();
    });
    player.reset();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(source->calls, calls);
    // Its last wait has ended: nothing holds it any more.
    EXPECT_TRUE(eventually([&] { return held.expired(); }));
}

TEST_F(RecordedStreamPlayer, ItsPendingWaitKeepsItPlayingWithoutOtherOwners) {
    auto player = make(dense_tags(), 1ms);
    ASSERT_TRUE(start(*player));
    std::weak_ptr<rtmp_recorded_stream_player> held = player;
    player.reset();

    const unsigned calls = source->calls;
    EXPECT_TRUE(eventually([&] { return source->calls > calls + 20; }));
    on_thread([&] {
        if (auto p = held.lock()) {
            p->stop();
        }
    });
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
