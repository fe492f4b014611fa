#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/io_service_pool.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
namespace testing_support = platform::testing;

std::string text_of(const amf0_based* value) {
    if (value == nullptr || value->marker != amf0_string::type_marker) {
        return "(not a string)";
    }
    return static_cast<const amf0_string*>(value)->value.str();
}

TEST(RealClients, FfmpegCompletesTheHandshakeAndItsConnectArrivesIntact) {
    if (!testing_support::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    testing_support::temp_dir dir;
    const auto sample = dir / "sample.flv";
    ASSERT_EQ(make_sample_flv(sample), "");

    io_service_pool pool(2);
    rtmp::rtmp_server_context context;
    auto server = std::make_shared<rtmp::rtmp_server>(
        pool, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
        context);
    std::mutex mutex;
    std::string app, tc_url;
    server->set_new_connection_handler([&](const auto& connection) {
        connection->stack().connect_handler = [&](amf0_object& command, std::string& reason) {
            std::lock_guard lock(mutex);
            app = text_of(command.find("app"));
            tc_url = text_of(command.find("tcUrl"));
            reason = "refused by the test";
            return false;
        };
    });
    server->start();
    const auto port = server->local_endpoint().port();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/app";

    testing_support::child_process ffmpeg({"ffmpeg", "-hide_banner", "-re", "-i", sample.string(),
                                           "-c", "copy", "-f", "flv", url + "/s"});
    bool seen = false;
    for (int i = 0; i < 1000 && !seen; ++i) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(mutex);
        seen = !app.empty();
    }
    ASSERT_TRUE(seen) << ffmpeg.stderr_text();
    EXPECT_EQ(app, "app");
    EXPECT_EQ(tc_url, url);
    // The refusal reaches ffmpeg before the connection closes.
    EXPECT_TRUE(ffmpeg.wait_for_exit(5s).has_value());
    EXPECT_NE(ffmpeg.stderr_text().find("refused by the test"), std::string::npos)
        << ffmpeg.stderr_text();
    server->stop();
    pool.stop();
}

using platform::testing::count_packets;
using platform::testing::probe_codecs;
using platform::testing::probe_packets;
using platform::testing::probed_packet;

// An ffmpeg publish reaches two ffmpeg players and an rtmpdump player that
// join at different times: the first one before the publisher.
TEST(RealClients, ALivePublishReachesPlayersThatJoinAtDifferentTimes) {
    for (const char* program : {"ffmpeg", "ffprobe", "rtmpdump"}) {
        if (!testing_support::have_program(program)) {
            GTEST_SKIP() << program << " is not installed";
        }
    }
    testing_support::temp_dir dir;
    const auto sample = dir / "sample.flv";
    ASSERT_EQ(make_sample_flv(sample, 4), "");
    const auto port = testing_support::free_port();
    testing_support::child_process server({RTMP_LIVE_SERVER, std::to_string(port)});
    ASSERT_TRUE(testing_support::wait_for_tcp_port(port, 5s)) << server.stderr_text();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/stream";

    const auto ffmpeg_player = [&](const std::filesystem::path& out, bool wait_for_publisher) {
        std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "warning", "-y"};
        if (wait_for_publisher) {
            argv.insert(argv.end(), {"-rtmp_live", "live"});
        }
        argv.insert(argv.end(),
                    {"-rw_timeout", "3000000", "-i", url, "-c", "copy", "-f", "flv", out.string()});
        return std::make_unique<testing_support::child_process>(argv);
    };
    auto early = ffmpeg_player(dir / "early.flv", true);
    std::this_thread::sleep_for(300ms);
    testing_support::child_process publisher({"ffmpeg", "-hide_banner", "-loglevel", "warning",
                                              "-re", "-i", sample.string(), "-c", "copy", "-f",
                                              "flv", url});
    std::this_thread::sleep_for(1000ms);
    testing_support::child_process dump(
        {"rtmpdump", "-q", "-r", url, "--live", "-m", "2", "-o", (dir / "dump.flv").string()});
    std::this_thread::sleep_for(700ms);
    auto late = ffmpeg_player(dir / "late.flv", false);

    EXPECT_EQ(publisher.wait_for_exit(15s), 0) << publisher.stderr_text();
    early->wait_for_exit(10s);
    late->wait_for_exit(10s);
    dump.wait_for_exit(10s);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_for_exit(10s), 0) << server.stderr_text();

    struct recording {
        const char* name;
        std::size_t least_video;
    };
    // 25 frames a second for 4 seconds; the later players miss the start.
    for (const recording& r :
         {recording{"early.flv", 80}, recording{"dump.flv", 30}, recording{"late.flv", 20}}) {
        SCOPED_TRACE(r.name);
        const auto file = dir / r.name;
        EXPECT_EQ(probe_codecs(file), "aac h264");
        const auto packets = probe_packets(file);
        std::map<std::string, double> last;
        std::size_t video = 0;
        for (const auto& packet : packets) {
            if (packet.type == "video" && video++ == 0) {
                EXPECT_TRUE(packet.key) << "the first video packet is a keyframe";
            }
            if (last.contains(packet.type)) {
                EXPECT_GE(packet.dts, last[packet.type]) << packet.type << " went back";
            }
            last[packet.type] = packet.dts;
        }
        EXPECT_GE(video, r.least_video);
        EXPECT_GT(last.count("audio"), 0u);
    }
}

// A stored FLV file played to ffmpeg and rtmpdump arrives whole, and a start
// offset lands on a keyframe.
TEST(RealClients, ARecordedFileReachesFfmpegAndRtmpdumpWhole) {
    for (const char* program : {"ffmpeg", "ffprobe", "rtmpdump"}) {
        if (!testing_support::have_program(program)) {
            GTEST_SKIP() << program << " is not installed";
        }
    }
    testing_support::temp_dir dir;
    const auto sample = dir / "sample.flv";
    ASSERT_EQ(make_sample_flv(sample, 4, {"-flvflags", "add_keyframe_index"}), "");
    const auto port = testing_support::free_port();
    testing_support::child_process server(
        {RTMP_RECORDED_SERVER, std::to_string(port), dir.path().string()});
    ASSERT_TRUE(testing_support::wait_for_tcp_port(port, 5s)) << server.stderr_text();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/app/sample";

    const auto ffmpeg =
        testing_support::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-rtmp_live",
                              "recorded", "-rw_timeout", "5000000", "-i", url, "-c", "copy", "-f",
                              "flv", (dir / "ffmpeg.flv").string()},
                             30s);
    EXPECT_EQ(ffmpeg.exit_code, 0) << ffmpeg.err;
    // rtmpdump calls a download incomplete (exit code 2) when the last
    // timestamp falls short of the metadata's duration by a frame, as the
    // muxer's duration does: the contents are checked below instead.
    const auto dump = testing_support::run(
        {"rtmpdump", "-q", "-r", url, "-o", (dir / "rtmpdump.flv").string()}, 30s);
    EXPECT_NE(dump.exit_code, -1) << "rtmpdump did not finish";

    const auto source = probe_packets(sample);
    ASSERT_GT(count_packets(source, "video"), 90u);
    ASSERT_GT(count_packets(source, "audio"), 150u);
    for (const char* name : {"ffmpeg.flv", "rtmpdump.flv"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(probe_codecs(dir / name), "aac h264");
        const auto received = probe_packets(dir / name);
        EXPECT_EQ(count_packets(received, "video"), count_packets(source, "video"));
        EXPECT_EQ(count_packets(received, "audio"), count_packets(source, "audio"));
    }

    // Two seconds in: the group of pictures there, from its keyframe.
    const auto offset = testing_support::run(
        {"rtmpdump", "-q", "-A", "2", "-r", url, "-o", (dir / "offset.flv").string()}, 30s);
    EXPECT_NE(offset.exit_code, -1) << "rtmpdump did not finish";
    const auto video_of = [](const std::vector<probed_packet>& packets) {
        std::vector<probed_packet> video;
        std::copy_if(packets.begin(), packets.end(), std::back_inserter(video),
                     [](const probed_packet& p) { return p.type == "video"; });
        return video;
    };
    const auto received = video_of(probe_packets(dir / "offset.flv"));
    ASSERT_FALSE(received.empty());
    EXPECT_TRUE(received.front().key);
    // Everything from a keyframe of the source at most one group of
    // pictures before the offset.
    const auto stored = video_of(source);
    bool matched = false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        matched |= stored[i].key && stored[i].dts > 0.9 && stored[i].dts < 2.1 &&
                   stored.size() - i == received.size();
    }
    EXPECT_TRUE(matched) << received.size() << " video packets";

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_for_exit(10s), 0) << server.stderr_text();
}

}  // namespace
