#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "foundation/segment_index.hpp"
#include "lumo/tests/channel_test_support.hpp"

namespace {

using namespace channel_testing;
using namespace std::chrono_literals;

const std::string locked = "CHANNEL_IS_LOCKED:The channel is locked by other process";
const std::string not_exists = "CHANNEL_NOT_EXISTS:Channel does not exist";

std::string error_of(bool ok, const std::string& error) {
    return ok ? "(succeeded)" : error;
}

// Another process holding a file open as the media server's recorder does.
class lock_holder {
  public:
    explicit lock_holder(const fs::path& file)
        : process_({EXCLUSIVE_OPEN_PROGRAM, file.string(), "hold"}) {
        const auto give_up = std::chrono::steady_clock::now() + 30s;
        while (process_.stdout_text().find("held") == std::string::npos) {
            if (std::chrono::steady_clock::now() > give_up || !process_.running()) {
                ADD_FAILURE() << "the lock holder did not start: " << process_.stderr_text();
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    void release() {
        process_.signal(SIGKILL);
        process_.wait_for_exit(30s);
    }

  private:
    platform::testing::child_process process_;
};

// Whether another process may take the lock now.
bool others_may_lock(const fs::path& file) {
    return platform::testing::run({EXCLUSIVE_OPEN_PROGRAM, file.string()}, 30s).exit_code == 0;
}

TEST(ChannelLife, APublishersLockKeepsEveryChangeOut) {
    channel_fixture f;
    const std::string path = f.create(0, "abc").at("virtualPath");
    const fs::path dir = f.media / "live/63/54/5/abc";
    record(dir, "abc");
    write_file(dir / "abc.stopped", "");

    lock_holder publisher(dir / "abc.locked");
    const tree_snapshot before = snapshot(f.dir.path());
    std::string error;
    string_map info;
    EXPECT_EQ(error_of(f.manager->delete_channel(path, error), error), locked);
    EXPECT_EQ(error_of(f.manager->stop_channel(path, error), error), locked);
    EXPECT_EQ(error_of(f.manager->enableFakeLiveForVod(path, true, 100, true, error), error),
              locked);
    EXPECT_EQ(error_of(f.manager->convertLiveChannelToVod(path, info, error), error), locked);
    EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{});
    EXPECT_TRUE(info.empty());

    publisher.release();
    ASSERT_TRUE(f.manager->stop_channel(path, error)) << error;
    ASSERT_TRUE(f.manager->enableFakeLiveForVod(path, true, 100, true, error)) << error;
    ASSERT_TRUE(f.manager->convertLiveChannelToVod(path, info, error)) << error;
    ASSERT_TRUE(f.manager->delete_channel(info.at("virtualPath"), error)) << error;
    EXPECT_FALSE(fs::exists(f.media / "vod/63/54/5/abc"));
}

TEST(ChannelLife, TheLockIsHeldUntilTheChangeIsDone) {
    channel_fixture f;
    f.create(0, "abc");
    const std::string dir = (f.media / "live/63/54/5/abc").string();
    const fs::path file = dir + "/abc.locked";
    {
        lumo::channel_lock lock;
        std::string error;
        // Taken even before any publisher has made the file.
        ASSERT_TRUE(f.manager->lock_channel("abc", dir, lock, error)) << error;
        EXPECT_TRUE(lock.held());
        EXPECT_FALSE(others_may_lock(file)) << "a publisher would start meanwhile";
        lumo::channel_lock second;
        EXPECT_FALSE(f.manager->lock_channel("abc", dir, second, error));
        EXPECT_EQ(error, locked);
    }
    EXPECT_TRUE(others_may_lock(file));
}

TEST(ChannelLife, DeleteRemovesChannelsAndNothingElse) {
    channel_fixture f;
    const std::string path = f.create(0, "abc").at("virtualPath");
    f.create(1, "abc");
    fs::create_directories(f.media / "x/y");
    fs::create_directories(f.media / "live/63/54/5/settingless");
    write_file(f.media / "live/63/54/5/settingless/keep", "data");

    const std::string not_channels[] = {
        "/media/live/63",
        "/media/live/63/54/5",
        "/media/x/y",
        "/media/live/63/54/5/settingless",
        "/media/live/63/54/5/missing",
    };
    const tree_snapshot before = snapshot(f.dir.path());
    for (const auto& p : not_channels) {
        std::string error;
        EXPECT_EQ(error_of(f.manager->delete_channel(p, error), error), not_exists) << p;
    }
    EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{});

    std::string error;
    ASSERT_TRUE(f.manager->delete_channel(path, error)) << error;
    EXPECT_FALSE(fs::exists(f.media / "live/63/54/5/abc"));
    EXPECT_TRUE(fs::exists(f.media / "live/63/54/5/settingless/keep"));
    EXPECT_TRUE(fs::exists(f.media / "vod/63/54/5/abc/.flaccess"));
    EXPECT_EQ(error_of(f.manager->delete_channel(path, error), error), not_exists);
}

TEST(ChannelLife, StopMarksTheChannelAndGivesTheRecordingAStartTime) {
    channel_fixture f;
    const std::string path = f.create(0, "abc").at("virtualPath");
    const fs::path dir = f.media / "live/63/54/5/abc";
    record(dir, "abc");

    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    std::string error = "left over";
    ASSERT_TRUE(f.manager->stop_channel(path, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(fs::exists(dir / "abc.stopped"));
    const auto app = f.app_at(path);
    ASSERT_TRUE(app);
    EXPECT_FALSE(app->get<bool>("allow_publish", true));
    for (const char* file : {"abc.livesegments", "abc.zpksegments"}) {
        segment_index index;
        index.load(dir / file);
        EXPECT_FALSE(index.live) << file;
        EXPECT_TRUE(index.has_start_time) << file;
        EXPECT_GE(index.start_time, now) << file;
        EXPECT_LE(index.start_time, now + 600) << file;
    }

    // Stopping again keeps the start time the recording has.
    segment_index index;
    index.load(dir / "abc.livesegments");
    index.start_time = 12345;
    index.save(dir / "abc.livesegments");
    ASSERT_TRUE(f.manager->stop_channel(path, error)) << error;
    index.load(dir / "abc.zpksegments");
    EXPECT_EQ(index.start_time, 12345u);

    // Without a recording there is nothing to turn into fake live.
    const std::string empty = f.create(0, "test").at("virtualPath");
    const fs::path empty_dir = f.media / "live/55/22/40/test";
    error = "left over";
    ASSERT_TRUE(f.manager->stop_channel(empty, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(fs::exists(empty_dir / "test.stopped"));
    EXPECT_FALSE(f.app_at(empty)->get<bool>("allow_publish", true));
    EXPECT_FALSE(fs::exists(empty_dir / "test.livesegments"));
    EXPECT_FALSE(fs::exists(empty_dir / "test.zpksegments"));

    EXPECT_EQ(error_of(f.manager->stop_channel("/media/live/63", error), error), not_exists);
    EXPECT_FALSE(fs::exists(f.media / "live/63/63.stopped"));
}

TEST(ChannelLife, AStopThatCannotRefusePublishersFails) {
    channel_fixture f;
    const std::string path = f.create(0, "abc").at("virtualPath");
    write_file(f.media / "live/63/54/5/abc/.flaccess", "not settings");
    std::string error;
    EXPECT_FALSE(f.manager->stop_channel(path, error));
    EXPECT_EQ(error.rfind("EXCEPTION:Exception occurs when updating the channel: ", 0), 0u)
        << error;
}

}  // namespace
