// Where a supervised installation takes publishers: in the channels the
// administration site makes, and nowhere else. The folders come from
// scripts/lumo-root.sh (the root's configured virtual directory and its
// domain's root) and from addVirtualDir (a virtual directory added later);
// the real qen serves them and ffmpeg publishes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lumo/channel_manager.hpp"
#include "lumo/configuration_editor.hpp"
#include "lumo/tests/channel_test_support.hpp"
#include "lumo/tests/real_qen_root.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace testing = platform::testing;
using lumo::string_map;

TEST(SupervisedPublishing, OnlyAChannelTakesAPublisher) {
    if (!testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is missing";
    }
    lumo_test::real_qen_root r(QEN_BINARY);
    const fs::path& dir = r.dir.path();
    const fs::path& root = r.root;
    const fs::path sample = dir / "sample.flv";
    ASSERT_EQ(testing::make_sample_flv(sample, 1), "");

    // A virtual directory added the way the administration site adds one,
    // and channels in both, as it makes them.
    lumo::configuration_editor editor(*r.config, r.config_lock);
    lumo::lumo_channel_manager& channels = *r.channels;
    std::string error;
    fs::create_directories(dir / "more");
    ASSERT_TRUE(editor.addVirtualDir("more", (dir / "more").string(), error)) << error;
    string_map media_cam;
    string_map more_cam;
    string_map media_vod;
    ASSERT_TRUE(channels.create_channel(0, "media", {{"stream_name", "cam"}}, media_cam, error))
        << error;
    ASSERT_TRUE(channels.create_channel(0, "more", {{"stream_name", "cam"}}, more_cam, error))
        << error;
    ASSERT_TRUE(channels.create_channel(1, "media", {{"stream_name", "film"}}, media_vod, error))
        << error;
    // Folders that are no channel, in every part of the tree.
    for (const fs::path& other : {root / "www/other", root / "media/other", dir / "more/other"}) {
        fs::create_directories(other);
    }

    testing::child_process qen({QEN_BINARY, r.config_file.string()});
    ASSERT_TRUE(testing::wait_for_tcp_port(r.rtmp_port, 30s)) << qen.stderr_text();

    // Each publish names its application (the tcUrl's path) and its stream.
    const auto publish = [&](const std::string& app, const std::string& name) {
        return testing::run(
            {"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", sample.string(), "-c",
             "copy", "-f", "flv", "-rtmp_app", app, "-rtmp_playpath", name, r.url(app)},
            60s);
    };
    const std::string media_channel = media_cam.at("virtualPath").substr(1);
    const std::string more_channel = more_cam.at("virtualPath").substr(1);
    const std::string media_levels = media_channel.substr(0, media_channel.rfind('/'));
    const struct {
        std::string app;
        std::string name;
    } refused[] = {
        {"other", "intruder"},
        {"media", "intruder"},
        {"media/live", "intruder"},
        {"media/vod", "intruder"},
        {"media/other", "intruder"},
        {media_levels, "intruder"},
        {media_vod.at("virtualPath").substr(1), "film"},
        {media_channel, "intruder"},
        {"more", "intruder"},
        {"more/live", "intruder"},
        {"more/vod", "intruder"},
        {"more/other", "intruder"},
    };
    const auto before = channel_testing::snapshot(dir);
    for (const auto& p : refused) {
        SCOPED_TRACE(p.app + " " + p.name);
        const auto result = publish(p.app, p.name);
        EXPECT_NE(result.exit_code, 0);
        EXPECT_NE(result.exit_code, -1) << "still waiting";
    }
    EXPECT_EQ(channel_testing::changes_since(before, dir), std::vector<std::string>{})
        << "recorded where nobody may publish";

    for (const auto& channel : {media_cam, more_cam}) {
        SCOPED_TRACE(channel.at("virtualPath"));
        const auto result = publish(channel.at("virtualPath").substr(1), "cam");
        EXPECT_EQ(result.exit_code, 0) << result.err;
        // Its recorder writes on a thread of its own.
        const fs::path index = fs::path(channel.at("localPath")) / "cam.livesegments";
        EXPECT_TRUE(testing::eventually([&] { return fs::exists(index); }, 30s));
    }
}

}  // namespace
