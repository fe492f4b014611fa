#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/recorded_files.hpp"
#include "rtmp/tests/recorded_test_support.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;

// A media message as "<video|audio> <time> <first two bytes in hex>".
std::string media_line(const message& m) {
    std::string line = (m.type == 9 ? "video " : "audio ") + std::to_string(m.timestamp);
    for (std::size_t i = 0; i < m.body.size() && i < 2; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", static_cast<unsigned char>(m.body[i]));
        line += byte;
    }
    return line;
}

bool is_media(const message& m) {
    return m.type == 8 || m.type == 9;
}

bool is_status(const message& m, const std::string& code) {
    return m.type == 20 && m.body.find(code) != std::string::npos;
}

// A server that plays the FLV files of a folder, and clients of our own.
class RecordedFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_shared<rtmp::rtmp_server>(
            pool, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
            context);
        bind_recorded_files(*server, dir.path());
        server->start();
        port = server->local_endpoint().port();
    }

    void TearDown() override {
        server->stop();
        pool.stop();
    }

    // Connected, with a stream playing `name`.
    std::uint32_t play(rtmp_client& client, const char* name) {
        client.connect("app");
        const std::uint32_t id = client.create_stream();
        EXPECT_NE(id, 0u);
        client.play(id, name);
        EXPECT_TRUE(client.wait_for_status("NetStream.Play.Start"));
        return id;
    }

    platform::testing::temp_dir dir;
    rtmp::rtmp_server_context context;
    io_service_pool pool{2};
    std::shared_ptr<rtmp::rtmp_server> server;
    unsigned short port = 0;
};

TEST_F(RecordedFiles, ASeekFramesTheCatchUpVideoOnTheStreamsMediaChunkStreams) {
    platform::testing::write_file(dir / "clip.flv", indexed_flv(keys_at(40000, {0, 28000})));
    rtmp_client client(port);
    const std::uint32_t id = play(client, "clip");
    // The first burst ends one buffer length (5000 ms) in.
    ASSERT_TRUE(
        client.wait_for([](const message& m) { return is_media(m) && m.timestamp == 5000; }));

    auto& received = client.received();
    const auto recorded = std::find_if(received.begin(), received.end(), [&](const message& m) {
        return describe(m) == "2:0 event 4 " + std::to_string(id);
    });
    const auto reset = std::find_if(received.begin(), received.end(),
                                    [](const message& m) { return is_status(m, "Play.Reset"); });
    EXPECT_LT(recorded, reset) << "StreamIsRecorded comes first";

    client.send_command(id, command("seek", 0).null().number(30000));
    ASSERT_TRUE(client.wait_for_status("NetStream.Seek.Notify"));
    ASSERT_TRUE(
        client.wait_for([](const message& m) { return is_media(m) && m.timestamp == 35000; }));

    auto notify = std::find_if(received.begin(), received.end(),
                               [](const message& m) { return is_status(m, "Seek.Notify"); });
    std::vector<std::string> after_seek;
    for (auto m = notify; m != received.end(); ++m) {
        if (!is_media(*m)) {
            continue;
        }
        after_seek.push_back(media_line(*m));
        EXPECT_EQ(m->stream_id, id);
        EXPECT_EQ(m->csid, 3 * id + (m->type == 9 ? 4 : 5)) << media_line(*m);
    }
    const std::vector<std::string> expected = {
        "video 30000 57 00", "video 28000 17 00", "audio 28000 af 00", "video 28000 17 01",
        "video 30000 57 01", "video 30000 27 01", "audio 31000 af 01", "video 32000 27 01",
        "audio 33000 af 01", "video 34000 27 01", "audio 35000 af 01"};
    EXPECT_EQ(after_seek, expected);
}

// 50000-byte video at 25 frames a second with audio between, 7 seconds: the
// first burst (5 s) is more than the kernel's socket buffers take.
constexpr std::size_t big_frame_size = 50000;

std::vector<fake_tag> big_tags() {
    std::vector<fake_tag> tags;
    for (std::uint32_t time = 0; time < 7000; time += 40) {
        fake_tag video = time % 1000 == 0 ? keyframe_at(time) : interframe_at(time);
        video.body.resize(big_frame_size, 'v');
        tags.push_back(video);
        tags.push_back(audio_at(time + 20));
    }
    return tags;
}

TEST_F(RecordedFiles, AClientThatStopsReadingHoldsTheRunsBackAndLosesNothing) {
    constexpr std::size_t frame_size = big_frame_size;
    const auto tags = big_tags();
    platform::testing::write_file(dir / "big.flv", indexed_flv(tags));

    rtmp_client client(port, 4096);
    play(client, "big");
    std::this_thread::sleep_for(1s);
    const auto connections = server->connections();
    ASSERT_EQ(connections.size(), 1u);
    auto& connection = *connections.front();
    const std::uint64_t held = connection.queued_bytes();
    EXPECT_GE(held, rtmp::recorded_playback::slow_step_bytes)
        << "the test must fill the connection";
    EXPECT_LT(held, rtmp::recorded_playback::max_unwritten_bytes + 2 * frame_size)
        << "the runs stop at what the connection holds, far below its cap";
    // Runs go on once a second; none of them adds to the queue (a second of
    // video each would soon reach the connection's cap of 8 MiB and close it).
    std::this_thread::sleep_for(2100ms);
    EXPECT_EQ(connection.queued_bytes(), held);
    EXPECT_FALSE(connection.closed());

    // Once it reads again, it gets the whole file in order.
    ASSERT_TRUE(client.wait_for_status("NetStream.Play.Stop", 20s));
    std::size_t frames = 0;
    std::uint32_t last_video = 0;
    for (const message& m : client.received()) {
        if (m.type == 9 && m.body.size() == frame_size) {
            EXPECT_GE(m.timestamp, last_video);
            last_video = m.timestamp;
            ++frames;
        }
    }
    EXPECT_EQ(frames, tags.size() / 2);
}

// Connections that close when idle for two seconds.
class RecordedFilesIdle : public RecordedFiles {
  protected:
    void SetUp() override {
        context.idle_timeout = 2;
        RecordedFiles::SetUp();
    }
};

// A client that never reads again holds what its runs stopped at, not the
// rest of its buffer, and the idle rule closes it: no write completes and
// it sends nothing.
TEST_F(RecordedFilesIdle, AClientThatNeverReadsAgainIsClosedWhenIdle) {
    platform::testing::write_file(dir / "big.flv", indexed_flv(big_tags()));
    rtmp_client client(port, 4096);
    play(client, "big");
    const auto connections = server->connections();
    ASSERT_EQ(connections.size(), 1u);
    const auto connection = connections.front();
    std::uint64_t most = 0;
    const auto closed = [&] {
        most = std::max(most, connection->queued_bytes());
        return connection->closed();
    };
    EXPECT_TRUE(eventually(closed, 10s));
    EXPECT_LT(most, rtmp::recorded_playback::max_unwritten_bytes + 2 * big_frame_size);
    EXPECT_TRUE(client.socket().wait_closed(3s));
}

}  // namespace
