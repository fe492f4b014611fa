// Where a supervised installation takes publishers: in the channels the
// administration site makes, and nowhere else. The folders come from
// scripts/lumo-root.sh (the root's configured virtual directory and its
// domain's root) and from addVirtualDir (a virtual directory added later);
// the real qen serves them and ffmpeg publishes.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/channel_manager.hpp"
#include "lumo/configuration_editor.hpp"
#include "lumo/tests/channel_test_support.hpp"
#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/qen_config.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace testing = platform::testing;
using lumo::string_map;

TEST(SupervisedPublishing, OnlyAChannelTakesAPublisher) {
    if (!testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is missing";
    }
    testing::temp_dir dir;
    const fs::path root = dir / "root";
    fs::create_directories(root / "mysql/data");  // no database wanted
    lumo_test::make_root(root, {QEN_BINARY, "/bin/true", "/bin/true"});
    const fs::path sample = dir / "sample.flv";
    ASSERT_EQ(testing::make_sample_flv(sample, 1), "");

    // The root's own configuration, on ports of the test's.
    const fs::path config_file = root / "lumo.xml";
    const unsigned short rtmp_port = testing::free_port();
    {
        qen::qen_config config(config_file);
        config.tree().put("config.qen.rtmp.addr", "127.0.0.1");
        config.tree().put("config.qen.rtmp.port", rtmp_port);
        config.tree().put("config.qen.rtmfp.disabled", "1");
        ASSERT_TRUE(config.save());
    }

    // A virtual directory added the way the administration site adds one,
    // and channels in both, as it makes them.
    qen::qen_config config(config_file);
    std::mutex config_lock;
    lumo::configuration_editor editor(config, config_lock);
    lumo::lumo_channel_manager channels(config, config_lock);
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

    testing::child_process qen({QEN_BINARY, config_file.string()});
    ASSERT_TRUE(testing::wait_for_tcp_port(rtmp_port, 30s)) << qen.stderr_text();

    // Each publish names its application (the tcUrl's path) and its stream.
    const auto publish = [&](const std::string& app, const std::string& name) {
        return testing::run(
            {"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", sample.string(), "-c",
             "copy", "-f", "flv", "-rtmp_app", app, "-rtmp_playpath", name,
             "rtmp://127.0.0.1:" + std::to_string(rtmp_port) + "/" + app},
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
    const auto before = channel_testing::snapshot(dir.path());
    for (const auto& p : refused) {
        SCOPED_TRACE(p.app + " " + p.name);
        const auto result = publish(p.app, p.name);
        EXPECT_NE(result.exit_code, 0);
        EXPECT_NE(result.exit_code, -1) << "still waiting";
    }
    EXPECT_EQ(channel_testing::changes_since(before, dir.path()), std::vector<std::string>{})
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
