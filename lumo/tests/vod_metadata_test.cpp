// A recording's metadata as the channel manager keeps it: a channel
// published by ffmpeg into the real qen, stopped and moved to the vod folder,
// answers its metadata, and plays back with its real duration.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "lumo/channel_manager.hpp"
#include "lumo/tests/real_qen_root.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace testing = platform::testing;
using lumo::string_map;

TEST(VodMetadata, AChannelPublishedByFfmpegKeepsItsMetadataAndDurationAsVod) {
    if (!testing::have_media_tools()) {
        GTEST_SKIP() << "ffmpeg or ffprobe is missing";
    }
    lumo_test::real_qen_root r(QEN_BINARY);
    const fs::path sample = r.dir / "sample.flv";
    ASSERT_EQ(testing::make_sample_flv(sample, 3), "");
    lumo::lumo_channel_manager& channels = *r.channels;
    std::string error;
    string_map live;
    ASSERT_TRUE(channels.create_channel(0, "media", {{"stream_name", "cam"}}, live, error))
        << error;
    const std::string live_path = live.at("virtualPath");

    testing::child_process qen({QEN_BINARY, r.config_file.string()});
    ASSERT_TRUE(testing::wait_for_tcp_port(r.rtmp_port, 30s)) << qen.stderr_text();

    // ffmpeg sends its onMetaData as a mixed array, with a duration of 0.
    const auto publish =
        testing::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", sample.string(),
                      "-c", "copy", "-f", "flv", "-rtmp_app", live_path.substr(1), "-rtmp_playpath",
                      "cam", r.url(live_path.substr(1))},
                     60s);
    ASSERT_EQ(publish.exit_code, 0) << publish.err;
    // The recorder finishes on a thread of its own and holds the channel's
    // lock until then.
    ASSERT_TRUE(testing::eventually([&] { return channels.stop_channel(live_path, error); }, 30s))
        << error;
    string_map vod;
    ASSERT_TRUE(channels.convertLiveChannelToVod(live_path, vod, error)) << error;
    const std::string vod_path = vod.at("virtualPath");

    string_map metadata;
    ASSERT_TRUE(channels.getChannelMetaData(vod_path, metadata, error)) << error;
    EXPECT_EQ(metadata["fileexists"], "1");
    EXPECT_EQ(metadata["width"], "320");
    EXPECT_EQ(metadata["height"], "240");
    EXPECT_EQ(metadata["videocodecid"], "7");
    EXPECT_EQ(metadata["audiocodecid"], "10");
    EXPECT_TRUE(metadata["encoder"].starts_with("Lavf")) << metadata["encoder"];
    const double duration = std::stod(metadata["duration"]);
    EXPECT_NEAR(duration, 3.0, 0.5);

    // The duration reaches players in the stored onMetaData.
    const std::string vod_app = vod_path.substr(1);
    const auto probe = testing::run(
        {"ffprobe", "-v", "error", "-rtmp_app", vod_app, "-rtmp_playpath", "zpk:cam.zpksegments",
         "-show_entries", "format=duration", "-of", "default=nw=1:nk=1", r.url(vod_app)},
        60s);
    ASSERT_EQ(probe.exit_code, 0) << probe.err;
    EXPECT_NEAR(std::stod(probe.out), duration, 0.001) << probe.out;

    qen.signal(SIGTERM);
    EXPECT_EQ(qen.wait_for_exit(30s), 0) << qen.stderr_text();
}

}  // namespace
