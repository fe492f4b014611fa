// The media server end to end: the real qen binary on 127.0.0.1 with real
// clients (ffmpeg, rtmpdump) and our own test client.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/segment_index.hpp"
#include "foundation/zpk_reader.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/tests/qen_process.hpp"
#include "rtmp/flv_stream_source.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using platform::testing::child_process;
using qen_test::qen_process;
using rtmp_test::rtmp_client;
namespace fs = std::filesystem;
namespace testing = platform::testing;

// Samples made once for the whole test program, with a keyframe index so
// that FLV playback can seek in them.
const fs::path& sample(double seconds) {
    static testing::temp_dir dir;
    static std::map<double, fs::path> made;
    auto found = made.find(seconds);
    if (found == made.end()) {
        const fs::path file = dir / ("sample" + std::to_string(int(seconds)) + ".flv");
        const std::string error =
            testing::make_sample_flv(file, seconds, {"-flvflags", "add_keyframe_index"});
        if (!error.empty()) {
            throw std::runtime_error(error);
        }
        found = made.emplace(seconds, file).first;
    }
    return found->second;
}

#define REQUIRE_MEDIA_TOOLS()                                     \
    if (!testing::have_media_tools()) {                           \
        GTEST_SKIP() << "ffmpeg, ffprobe or rtmpdump is missing"; \
    }

std::unique_ptr<child_process> ffmpeg_publish(const fs::path& file, const std::string& url,
                                              bool real_time) {
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "warning"};
    if (real_time) {
        argv.push_back("-re");
    }
    argv.insert(argv.end(), {"-i", file.string(), "-c", "copy", "-f", "flv", url});
    return std::make_unique<child_process>(argv);
}

// Plays into a file; a large client buffer lets recorded streams come fast.
std::unique_ptr<child_process> ffmpeg_play(const std::string& url, const fs::path& out,
                                           bool wait_for_publisher = false,
                                           const std::string& buffer_ms = "60000") {
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "warning",
                                     "-y",     "-rtmp_buffer", buffer_ms};
    if (wait_for_publisher) {
        argv.insert(argv.end(), {"-rtmp_live", "live"});
    }
    argv.insert(argv.end(),
                {"-rw_timeout", "5000000", "-i", url, "-c", "copy", "-f", "flv", out.string()});
    return std::make_unique<child_process>(argv);
}

// Publishes a whole FLV file from our own client, as fast as it reads, then
// ends the recording as video on demand when asked to.
void publish_file(const qen_process& qen, const std::string& app, const std::string& name,
                  const fs::path& file, bool end_as_vod = false) {
    rtmp_client client(qen.port());
    ASSERT_TRUE(client.connect_url(qen.url(app)));
    const std::uint32_t id = client.create_stream();
    client.publish(id, name);
    ASSERT_TRUE(client.wait_for_status("NetStream.Publish.Start"));
    client.set_chunk_size(4096);
    rtmp::flv_stream_source source(file);
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    std::int32_t status = media_tag_read;
    while (const std::uint8_t* body = source.read_tag(size, timestamp, type, status)) {
        client.send(type, id, timestamp,
                    std::string_view(reinterpret_cast<const char*>(body), size));
    }
    if (end_as_vod) {
        client.send_command(id, rtmp_test::command("endThisPublishAsVod", 0).null());
    }
    client.receive_for(300ms);
}

// Checks what a player recorded of the H.264 + AAC sample.
void expect_good_recording(const fs::path& file, std::size_t least_video) {
    SCOPED_TRACE(file.filename().string());
    EXPECT_EQ(testing::probe_codecs(file), "aac h264");
    std::map<std::string, double> last;
    std::size_t video = 0;
    for (const auto& packet : testing::probe_packets(file)) {
        if (packet.type == "video" && video++ == 0) {
            EXPECT_TRUE(packet.key) << "the first video packet is a keyframe";
        }
        if (last.contains(packet.type)) {
            EXPECT_GE(packet.dts, last[packet.type]) << packet.type << " went back";
        }
        last[packet.type] = packet.dts;
    }
    EXPECT_GE(video, least_video);
    EXPECT_TRUE(last.contains("audio"));
}

segment_index load_index(const fs::path& file) {
    segment_index index;
    index.load(file);
    return index;
}

TEST(Server, RelaysALivePublishToPlayersJoiningAtDifferentTimes) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    qen.app("live");
    testing::temp_dir out;
    const std::string url = qen.url("live/cam1");

    auto early = ffmpeg_play(url, out / "early.flv", true);
    std::this_thread::sleep_for(300ms);
    auto publisher = ffmpeg_publish(sample(4), url, true);
    std::this_thread::sleep_for(1500ms);
    auto late = ffmpeg_play(url, out / "late.flv");

    EXPECT_EQ(publisher->wait_for_exit(20s), 0) << publisher->stderr_text();
    EXPECT_TRUE(early->wait_for_exit(15s));
    EXPECT_TRUE(late->wait_for_exit(15s));
    expect_good_recording(out / "early.flv", 80);
    expect_good_recording(out / "late.flv", 20);
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Server, RecordsAPublishUnderItsLockAndResumesIt) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    const fs::path live = qen.app("live");
    auto first = ffmpeg_publish(sample(12), qen.url("live/rec"), false);
    ASSERT_EQ(first->wait_for_exit(30s), 0) << first->stderr_text();
    std::this_thread::sleep_for(300ms);  // the server sees the publisher go

    EXPECT_EQ(testing::read_file(live / "rec.locked"), "lock");
    const segment_index once = load_index(live / "rec.livesegments");
    EXPECT_TRUE(once.live);
    ASSERT_GE(once.segments.size(), 2u) << "cut at the first keyframe after 10 s";
    EXPECT_NEAR(once.segments[0].duration_ms, 10000, 1100);
    EXPECT_TRUE(
        once.metadata.starts_with(std::string("\x02\x00\x0A"
                                              "onMetaData",
                                              13)))
        << "the publisher's onMetaData, sent through @setDataFrame";
    for (std::uint32_t n = 0; n < once.segments.size(); ++n) {
        EXPECT_TRUE(fs::exists(live / "rec.segments" / (std::to_string(n) + ".zpksegment")))
            << "segment " << n;
    }

    auto second = ffmpeg_publish(sample(12), qen.url("live/rec"), false);
    ASSERT_EQ(second->wait_for_exit(30s), 0) << second->stderr_text();
    std::this_thread::sleep_for(300ms);
    const segment_index twice = load_index(live / "rec.livesegments");
    EXPECT_GT(twice.segments.size(), once.segments.size()) << "the second publish resumed it";
    EXPECT_GT(twice.segments.back().start_ms, once.segments.back().start_ms);
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Server, ASecondPublisherOfANameIsRefused) {
    qen_process qen;
    qen.app("live");
    rtmp_client first(qen.port());
    first.connect_url(qen.url("live"));
    first.publish(first.create_stream(), "dup");
    ASSERT_TRUE(first.wait_for_status("NetStream.Publish.Start"));

    rtmp_client second(qen.port());
    second.connect_url(qen.url("live"));
    second.publish(second.create_stream(), "dup");
    EXPECT_TRUE(second.wait_for_status("NetStream.Publish.BadName"));
    EXPECT_EQ(qen.stop(), 0);
}

// Publishes the file to live/NAME, ends it as video on demand and waits
// until the recording is finished.
void record_vod(const qen_process& qen, const std::string& name, const fs::path& file) {
    const fs::path live = qen.app("live");
    publish_file(qen, "live", name, file, true);
    for (int i = 0; i < 100 && !fs::exists(live / (name + ".stopped")); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(fs::exists(live / (name + ".zpksegments")));
}

// The 12-second sample as live/show.
void record_show(const qen_process& qen) {
    record_vod(qen, "show", sample(12));
}

TEST(Server, AdmitsATcUrlThatNamesAnIPv6Address) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    qen.app("live");
    // The host of a tcUrl is a name to qen: any address reaches the default
    // domain, whichever address the client connected to.
    const std::string tc_url = "rtmp://[::1]:" + std::to_string(qen.port()) + "/live";
    const auto publish =
        testing::run({"ffmpeg", "-hide_banner", "-loglevel", "warning", "-i", sample(2).string(),
                      "-c", "copy", "-f", "flv", "-rtmp_tcurl", tc_url, "-rtmp_app", "live",
                      "-rtmp_playpath", "cam", qen.url("live/cam")},
                     60s);
    EXPECT_EQ(publish.exit_code, 0) << publish.err;
    // Written by the recorder's own thread, once the publish has ended.
    EXPECT_TRUE(
        testing::eventually([&] { return fs::exists(qen.www() / "live/cam.livesegments"); }, 20s));

    rtmp_client client(qen.port());
    EXPECT_TRUE(client.connect_url(tc_url + "?play_password=x"));
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Server, PlaysRecordingsBack) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    ASSERT_NO_FATAL_FAILURE(record_show(qen));

    testing::temp_dir out;
    auto ffmpeg = ffmpeg_play(qen.url("live/zpk:show.zpksegments"), out / "ffmpeg.flv");
    child_process dump({"rtmpdump", "-q", "-r", qen.url("live"), "-y", "zpk:show.zpksegments", "-o",
                        (out / "dump.flv").string()});
    EXPECT_EQ(ffmpeg->wait_for_exit(60s), 0) << ffmpeg->stderr_text();
    EXPECT_TRUE(dump.wait_for_exit(60s)) << dump.stderr_text();
    for (const char* file : {"ffmpeg.flv", "dump.flv"}) {
        SCOPED_TRACE(file);
        expect_good_recording(out / file, 250);
        EXPECT_NEAR(testing::probe_duration(out / file), 12.0, 1.0);
    }
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Server, PlaysFlvFilesByName) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    fs::copy_file(sample(4), qen.app("files") / "clip.flv");
    const auto source = testing::probe_packets(sample(4));

    testing::temp_dir out;
    auto plain = ffmpeg_play(qen.url("files/clip"), out / "plain.flv");
    child_process prefixed({"rtmpdump", "-q", "-r", qen.url("files"), "-y", "flv:clip.flv", "-o",
                            (out / "prefixed.flv").string()});
    EXPECT_EQ(plain->wait_for_exit(60s), 0) << plain->stderr_text();
    EXPECT_TRUE(prefixed.wait_for_exit(60s)) << prefixed.stderr_text();
    for (const char* file : {"plain.flv", "prefixed.flv"}) {
        SCOPED_TRACE(file);
        const auto packets = testing::probe_packets(out / file);
        EXPECT_EQ(testing::count_packets(packets, "video"),
                  testing::count_packets(source, "video"));
        EXPECT_EQ(testing::count_packets(packets, "audio"),
                  testing::count_packets(source, "audio"));
    }

    // A start offset lands on the keyframe at or before it.
    child_process offset({"rtmpdump", "-q", "-r", qen.url("files"), "-y", "clip", "-A", "2", "-o",
                          (out / "offset.flv").string()});
    EXPECT_TRUE(offset.wait_for_exit(60s)) << offset.stderr_text();
    std::vector<testing::probed_packet> received, stored;
    for (const auto& p : testing::probe_packets(out / "offset.flv")) {
        if (p.type == "video") {
            received.push_back(p);
        }
    }
    for (const auto& p : source) {
        if (p.type == "video") {
            stored.push_back(p);
        }
    }
    ASSERT_FALSE(received.empty());
    EXPECT_TRUE(received.front().key);
    // Everything from a keyframe at most one group of pictures before 2 s.
    bool from_a_keyframe = false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        from_a_keyframe |= stored[i].key && stored[i].dts > 0.9 && stored[i].dts < 2.1 &&
                           stored.size() - i == received.size();
    }
    EXPECT_TRUE(from_a_keyframe) << received.size() << " video packets";

    rtmp_client client(qen.port());
    ASSERT_TRUE(client.connect_url(qen.url("files")));
    client.play(client.create_stream(), "nothing");
    EXPECT_TRUE(client.wait_for_status("NetStream.Play.StreamNotFound"));
    EXPECT_EQ(qen.stop(), 0);
}

// rtmpdump answers a BufferEmpty that comes before any media with a pause
// and an unpause at 0: a start offset must not bring one on, nor such an
// unpause take the stream back to its start.
TEST(Server, AStartOffsetNeverTakesRtmpdumpBackInTime) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    ASSERT_NO_FATAL_FAILURE(record_show(qen));
    fs::copy_file(sample(12), qen.app("files") / "clip.flv");
    const auto source = testing::probe_packets(sample(12));

    struct offset_case {
        const char* app;
        const char* playpath;
        const char* start;  // seconds
    };
    testing::temp_dir out;
    for (const offset_case& c :
         {offset_case{"live", "zpk:show.zpksegments", "0.001"},
          offset_case{"live", "zpk:show.zpksegments", "4.5"}, offset_case{"files", "clip", "0.001"},
          offset_case{"files", "clip", "4.5"}}) {
        SCOPED_TRACE(std::string(c.playpath) + " from " + c.start);
        const fs::path dump = out / "dump.flv";
        child_process rtmpdump({"rtmpdump", "-q", "-A", c.start, "-r", qen.url(c.app), "-y",
                                c.playpath, "-o", dump.string()});
        EXPECT_TRUE(rtmpdump.wait_for_exit(60s)) << rtmpdump.stderr_text();

        std::map<std::string, double> last;
        std::map<std::string, std::size_t> dumped;
        for (const auto& packet : testing::probe_packets(dump)) {
            if (last.contains(packet.type)) {
                EXPECT_GE(packet.dts, last[packet.type]) << packet.type << " went back";
            }
            last[packet.type] = packet.dts;
            ++dumped[packet.type];
        }
        // The video from the keyframe at or before the start, the audio from
        // the start itself.
        const double start = std::stod(c.start);
        double keyframe = 0;
        for (const auto& packet : source) {
            if (packet.type == "video" && packet.key && packet.dts <= start) {
                keyframe = packet.dts;
            }
        }
        std::map<std::string, std::size_t> expected;
        for (const auto& packet : source) {
            expected[packet.type] += packet.dts >= (packet.type == "video" ? keyframe : start);
        }
        EXPECT_EQ(dumped["video"], expected["video"]);
        EXPECT_EQ(dumped["audio"], expected["audio"]);
    }
    EXPECT_EQ(qen.stop(), 0);
}

// Six seconds at about 40 Mbit/s (H.264 kept at its rate with filler, and
// AAC), with a keyframe a second and an index to seek by; made once. Five
// seconds of it are more than a connection queues before it closes.
const fs::path& high_bitrate_sample() {
    static testing::temp_dir dir;
    static const fs::path file = [] {
        const fs::path made = dir / "high.flv";
        // ffmpeg's arguments, one word each.
        std::istringstream arguments(
            "-f lavfi -i testsrc2=size=640x360:rate=25 "
            "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 6 "
            "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -sc_threshold 0 "
            "-b:v 40M -minrate 40M -maxrate 40M -bufsize 20M -x264-params nal-hrd=cbr "
            "-c:a aac -b:a 128k -f flv -flvflags add_keyframe_index");
        const std::string error =
            testing::make_media(made, {std::istream_iterator<std::string>(arguments), {}});
        if (!error.empty()) {
            throw std::runtime_error(error);
        }
        return made;
    }();
    return file;
}

// The 40 Mbit/s sample as the FLV file files/high.flv and as the recording
// live/high.
void serve_high_bitrate(const qen_process& qen) {
    fs::copy_file(high_bitrate_sample(), qen.app("files") / "high.flv");
    record_vod(qen, "high", high_bitrate_sample());
}

// ffmpeg plays a 40 Mbit/s FLV file and the recording of it whole, with a
// short and a long client buffer: every packet, in order.
TEST(Server, PlaysStoredStreamsOfFortyMegabitsASecondWhole) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    ASSERT_NO_FATAL_FAILURE(serve_high_bitrate(qen));
    const auto source = testing::probe_packets(high_bitrate_sample());

    testing::temp_dir out;
    for (const char* path : {"files/high", "live/zpk:high.zpksegments"}) {
        for (const char* buffer : {"5000", "30000"}) {
            SCOPED_TRACE(std::string(path) + " with a buffer of " + buffer + " ms");
            const fs::path played = out / "played.flv";
            auto ffmpeg = ffmpeg_play(qen.url(path), played, false, buffer);
            EXPECT_EQ(ffmpeg->wait_for_exit(60s), 0) << ffmpeg->stderr_text();
            const auto packets = testing::probe_packets(played);
            EXPECT_EQ(testing::count_packets(packets, "video"),
                      testing::count_packets(source, "video"));
            EXPECT_EQ(testing::count_packets(packets, "audio"),
                      testing::count_packets(source, "audio"));
            std::map<std::string, double> last;
            for (const auto& packet : packets) {
                if (last.contains(packet.type)) {
                    EXPECT_GE(packet.dts, last[packet.type]) << packet.type << " went back";
                }
                last[packet.type] = packet.dts;
            }
        }
    }
    EXPECT_EQ(qen.stop(), 0);
}

// ffmpeg cannot seek in an RTMP stream: our own client seeks, as a Flash
// player does, in the middle of the first burst of a 40 Mbit/s stream, and
// gets the catch-up from the keyframe before the target framed by 57 00 and
// 57 01, then every video frame to the end.
TEST(Server, SeeksInStoredStreamsOfFortyMegabitsASecond) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    ASSERT_NO_FATAL_FAILURE(serve_high_bitrate(qen));
    constexpr std::uint32_t target = 3500;
    const auto source = testing::probe_packets(high_bitrate_sample());
    double keyframe = 0;  // the last at or before the target
    for (const auto& packet : source) {
        if (packet.type == "video" && packet.key && packet.dts * 1000 <= target) {
            keyframe = packet.dts;
        }
    }
    const std::size_t from_keyframe =
        std::count_if(source.begin(), source.end(),
                      [&](const auto& p) { return p.type == "video" && p.dts >= keyframe; });
    const std::vector<std::string> expected_frames = {
        "3500 start", "video from " + std::to_string(std::lround(keyframe * 1000)), "3500 end"};

    for (const auto& [app, name] :
         {std::pair{"files", "high"}, std::pair{"live", "zpk:high.zpksegments"}}) {
        SCOPED_TRACE(name);
        rtmp_client client(qen.port());
        ASSERT_TRUE(client.connect_url(qen.url(app)));
        const std::uint32_t id = client.create_stream();
        client.play(id, name);
        ASSERT_TRUE(client.wait_for_status("NetStream.Play.Start"));
        client.send_command(id, rtmp_test::command("seek", 0).null().number(target));
        ASSERT_TRUE(client.wait_for_status("NetStream.Seek.Notify", 10s));
        ASSERT_TRUE(client.wait_for_status("NetStream.Play.Stop", 30s));

        const auto& received = client.received();
        auto m = std::find_if(received.begin(), received.end(), [](const rtmp_test::message& m) {
            return m.type == 20 && m.body.find("NetStream.Seek.Notify") != std::string::npos;
        });
        std::vector<std::string> frames;  // command frames and where the video starts
        std::size_t video = 0;
        bool framed = false;
        for (; m != received.end(); ++m) {
            if (m->type != 9 || m->body.size() < 2) {
                continue;
            }
            if (m->body[0] == '\x57') {
                frames.push_back(std::to_string(m->timestamp) + (m->body[1] ? " end" : " start"));
                framed = m->body[1] == 0;
            } else if (m->body[1] == 1) {  // a picture (AVC NAL units)
                if (video++ == 0) {
                    frames.push_back("video from " + std::to_string(m->timestamp));
                }
                EXPECT_FALSE(framed && m->timestamp >= target) << m->timestamp;
            }
        }
        EXPECT_EQ(frames, expected_frames);
        EXPECT_EQ(video, from_keyframe);
        EXPECT_FALSE(client.socket().peer_closed());
    }
    EXPECT_EQ(qen.stop(), 0);
}

// The supervisor's shutdown event, and SIGTERM, while a publisher and a
// player are connected: a clean exit and a recording that loads and resumes.
TEST(Server, StopsCleanlyWhilePublishingAndPlaying) {
    REQUIRE_MEDIA_TOOLS();
    for (int how : {0, SIGTERM}) {
        SCOPED_TRACE(how == 0 ? "shutdown event" : "SIGTERM");
        qen_process qen;
        const fs::path live = qen.app("live");
        testing::temp_dir out;
        auto publisher = ffmpeg_publish(sample(12), qen.url("live/shut"), true);
        for (int i = 0; i < 200 && !fs::exists(live / "shut.livesegments"); ++i) {
            std::this_thread::sleep_for(100ms);
        }
        std::this_thread::sleep_for(1500ms);
        auto player = ffmpeg_play(qen.url("live/shut"), out / "player.flv");
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(qen.stop(how), 0) << qen.process().stderr_text();
        EXPECT_TRUE(publisher->wait_for_exit(15s));
        EXPECT_TRUE(player->wait_for_exit(15s));

        const segment_index stopped = load_index(live / "shut.livesegments");
        ASSERT_GE(stopped.segments.size(), 1u);
        EXPECT_TRUE(stopped.live) << "resumable";

        qen.restart();
        publish_file(qen, "live", "shut", sample(12));
        // The server may still be writing what the publisher sent.
        segment_index resumed = load_index(live / "shut.livesegments");
        for (int i = 0; i < 100 && resumed.segments.size() <= stopped.segments.size(); ++i) {
            std::this_thread::sleep_for(100ms);
            resumed = load_index(live / "shut.livesegments");
        }
        ASSERT_GT(resumed.segments.size(), stopped.segments.size());
        EXPECT_GE(resumed.segments[stopped.segments.size()].start_ms,
                  stopped.segments.back().start_ms)
            << "numbering and timeline continue";
        EXPECT_EQ(qen.stop(), 0);
    }
}

// The last tag's time in a recording, as a player of its files reads it
// from the start; nothing when it has no tag or they go back in time.
std::optional<std::uint32_t> last_recorded_ms(const fs::path& index) {
    zpk_reader reader(index);
    std::uint32_t from = 0;
    if (!reader.seek(from)) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> last;
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    std::int32_t status = media_tag_read;
    while (reader.read_tag(size, timestamp, type, status) != nullptr) {
        if (last && timestamp < *last) {
            ADD_FAILURE() << "back in time: " << timestamp << " after " << *last;
            return std::nullopt;
        }
        last = timestamp;
    }
    return last;
}

// Publishes the sample to live/cam at its own pace from our client for
// `length` and returns the time of the last tag sent; ends the recording as
// video on demand when asked.
std::uint32_t publish_for(const qen_process& qen, std::chrono::milliseconds length,
                          bool end_as_vod = false) {
    rtmp_client publisher(qen.port());
    EXPECT_TRUE(publisher.connect_url(qen.url("live")));
    const std::uint32_t id = publisher.create_stream();
    publisher.publish(id, "cam");
    EXPECT_TRUE(publisher.wait_for_status("NetStream.Publish.Start", 10s));
    publisher.set_chunk_size(4096);
    rtmp::flv_stream_source source(sample(16));
    const auto started = std::chrono::steady_clock::now();
    std::uint32_t size = 0, timestamp = 0, sent = 0;
    std::uint8_t type = 0;
    std::int32_t status = media_tag_read;
    while (const std::uint8_t* body = source.read_tag(size, timestamp, type, status)) {
        const auto due = started + std::chrono::milliseconds(timestamp);
        if (due - started >= length) {
            break;
        }
        std::this_thread::sleep_until(due);
        publisher.send(type, id, timestamp,
                       std::string_view(reinterpret_cast<const char*>(body), size));
        sent = timestamp;
    }
    if (end_as_vod) {
        publisher.send_command(id, rtmp_test::command("endThisPublishAsVod", 0).null());
        publisher.receive_for(300ms);
    }
    return sent;
}

// A publisher that sends at its real pace while qen is killed, ten times at
// random moments of the recording, twice in a publish's first seconds: after
// each kill the recording is found and reads back to within a second of what
// was sent, and the publisher's next publish resumes it; ended at last, the
// whole of it plays.
TEST(Server, AKillLosesAtMostASecondOfTheRecording) {
    REQUIRE_MEDIA_TOOLS();
    qen_process qen;
    const fs::path live = qen.app("live");
    const fs::path index = live / "cam.livesegments";
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> later(2000, 15000);
    for (int kill = 0; kill < 10; ++kill) {
        const std::chrono::milliseconds at(kill == 0 ? 400 : kill == 1 ? 1500 : later(random));
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(kill) + " after " +
                     std::to_string(at.count()) + " ms");
        // Where a resumed publish goes on: after what the killed one left.
        std::uint32_t base = 0;
        if (fs::exists(index)) {
            segment_index left = load_index(index);
            take_back_segments(left, live / "cam.segments", false);
            base = left.segments.empty() ? 0 : left.duration_ms + 40;
        }
        const std::uint32_t sent = publish_for(qen, at);
        qen.kill();

        ASSERT_TRUE(fs::exists(index)) << "a recording is found from its start";
        const auto last = last_recorded_ms(index);
        ASSERT_TRUE(last.has_value()) << "and reads back";
        ASSERT_GE(*last, base);
        EXPECT_LE(sent - (*last - base), 1000u)
            << "sent up to " << sent << " ms, recorded up to " << *last - base << " ms";
        qen.restart();
    }

    publish_for(qen, 3s, true);
    ASSERT_TRUE(testing::eventually([&] { return fs::exists(live / "cam.stopped"); }, 20s));
    const auto recorded = last_recorded_ms(live / "cam.zpksegments");
    ASSERT_TRUE(recorded.has_value());
    testing::temp_dir out;
    auto player = ffmpeg_play(qen.url("live/zpk:cam.zpksegments"), out / "whole.flv");
    EXPECT_EQ(player->wait_for_exit(120s), 0) << player->stderr_text();
    expect_good_recording(out / "whole.flv", 25 * *recorded / 1000 * 9 / 10);
    EXPECT_NEAR(testing::probe_duration(out / "whole.flv"), *recorded / 1000.0, 1.5);
    EXPECT_EQ(qen.stop(), 0);
}

}  // namespace
