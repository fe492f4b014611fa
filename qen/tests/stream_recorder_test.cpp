#include "qen/qen_stream_recorder.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/segment_index.hpp"
#include "foundation/zpk_reader.hpp"
#include "platform/testing/hex.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/qen_server.hpp"
#include "qen/recording_finisher.hpp"
#include "qen/recording_writers.hpp"
#include "rtmp/tests/live_relay.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using platform::testing::hex_bytes;
using platform::testing::temp_dir;
using qen::qen_stream_recorder;
using qen::recording_finisher;
namespace fs = std::filesystem;

const std::string avc_header = hex_bytes("17 00 00 00 00 01 64 00 1F FF E1");
const std::string keyframe = hex_bytes("17 01 00 00 00 65 88");
const std::string inter_frame = hex_bytes("27 01 00 00 00 41 9A");
const std::string metadata = hex_bytes("02 00 0A 'onMetaData' 08 00 00 00 00 00 00 09");

void video(qen_stream_recorder& r, const std::string& body, std::uint32_t time) {
    r.on_video(reinterpret_cast<const std::uint8_t*>(body.data()),
               static_cast<std::uint32_t>(body.size()), time);
}

void data(qen_stream_recorder& r, const std::string& body) {
    buffer_reader reader(body.data(), static_cast<std::uint32_t>(body.size()));
    r.on_data(reader, 0);
}

// Twenty seconds of one keyframe a second.
void publish(qen_stream_recorder& r) {
    data(r, metadata);
    video(r, avc_header, 0);
    for (std::uint32_t t = 0; t <= 20000; t += 40) {
        video(r, t % 1000 == 0 ? keyframe : inter_frame, t);
    }
}

TEST(StreamRecorder, RecordsUnderItsLockFile) {
    temp_dir dir;
    const std::string base = (dir / "cam").string();
    {
        qen_stream_recorder recorder({"zpk"}, base);
        EXPECT_EQ(platform::testing::read_file(base + ".locked"), "lock");
        EXPECT_THROW(qen_stream_recorder({"zpk"}, base), std::exception)
            << "a second publisher of the name is kept out";
        publish(recorder);
        EXPECT_TRUE(recorder.recording());
    }
    EXPECT_TRUE(fs::exists(base + ".locked")) << "closed, not deleted";
    qen_stream_recorder again({"zpk"}, base);  // the lock is free again

    segment_index index;
    index.load(fs::path(base + ".livesegments"));
    EXPECT_TRUE(index.live) << "a finished publish stays resumable";
    EXPECT_GE(index.segments.size(), 2u);
    EXPECT_EQ(index.metadata, metadata);
}

TEST(StreamRecorder, FormatsThatRecordNothing) {
    for (const std::vector<std::string>& formats :
         {std::vector<std::string>{"flv"}, std::vector<std::string>{}}) {
        temp_dir dir;
        const std::string base = (dir / "cam").string();
        qen_stream_recorder recorder(formats, base);
        publish(recorder);
        EXPECT_FALSE(recorder.recording());
        EXPECT_THROW(qen_stream_recorder(formats, base), std::exception) << "still locked";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
            << "nothing but the lock file";
    }
}

TEST(StreamRecorder, EndingEarlyStopsTheRecording) {
    temp_dir dir;
    const std::string base = (dir / "cam").string();
    qen_stream_recorder recorder({"zpk"}, base);
    publish(recorder);
    recorder.end_as_vod();
    EXPECT_FALSE(recorder.recording());
    video(recorder, keyframe, 30000);  // no longer recorded
    recorder.wait_until_written();

    segment_index index;
    index.load(fs::path(base + ".livesegments"));
    EXPECT_FALSE(index.live);
    EXPECT_LE(index.duration_ms, 21000u);
    EXPECT_THROW(qen_stream_recorder({"zpk"}, base), std::exception) << "the lock is still held";
}

// An end that fails to be written leaves the recording going, with nothing
// lost of what the publisher sent meanwhile.
TEST(StreamRecorder, AFailedEndKeepsRecordingWhatFollows) {
    temp_dir dir;
    const std::string base = (dir / "cam").string();
    std::atomic<bool> next_write_fails = false;
    {
        qen_stream_recorder recorder({"zpk"}, base, {qen_stream_recorder::default_queue_limit, [&] {
                                                         if (next_write_fails.exchange(false)) {
                                                             throw std::runtime_error("disk full");
                                                         }
                                                     }});
        publish(recorder);
        recorder.wait_until_written();
        next_write_fails = true;
        recorder.end_as_vod();
        for (std::uint32_t t = 20040; t <= 30000; t += 40) {
            video(recorder, t % 1000 == 0 ? keyframe : inter_frame, t);
        }
        recorder.wait_until_written();
        EXPECT_TRUE(recorder.recording());
        EXPECT_EQ(recorder.failure(), "");
    }
    segment_index index;
    index.load(fs::path(base + ".livesegments"));
    EXPECT_TRUE(index.live) << "not ended";
    EXPECT_GE(index.duration_ms, 29000u) << "what followed the failed end is recorded";
}

TEST(StreamRecorder, AnEndedRecordingCannotBeRecordedAgain) {
    temp_dir dir;
    const std::string base = (dir / "cam").string();
    {
        qen_stream_recorder recorder({"zpk"}, base);
        publish(recorder);
        recorder.end_as_fake_live();
    }
    try {
        qen_stream_recorder again({"zpk"}, base);
        FAIL() << "recorded over an ended recording";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Can't build format recorder");
    }
    qen_stream_recorder other({"none"}, base);  // a format without writer still publishes
}

// A disk that takes no write until the test lets it.
class stalled_disk {
  public:
    void operator()() {
        std::unique_lock lock(mutex_);
        stalled_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }
    bool stalled() {
        std::lock_guard lock(mutex_);
        return stalled_;
    }
    bool released() {
        std::lock_guard lock(mutex_);
        return released_;
    }
    // Until a write waits for the disk.
    void wait_until_stalled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stalled_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    bool stalled_ = false;
};

// The recorder of a live stream whose disk stalls: the players get every
// frame at the publisher's pace all the same, and once the disk is a queue's
// worth behind the recording stops with its reason, keeping what it wrote.
TEST(StreamRecorder, AStalledDiskNeverHoldsUpTheLiveStream) {
    using namespace std::chrono_literals;
    temp_dir dir;
    const std::string base = (dir / "cam").string();
    stalled_disk disk;
    auto owned = std::make_unique<qen_stream_recorder>(
        std::vector<std::string>{"zpk"}, base,
        qen_stream_recorder::options{256u << 10, [&disk] { disk(); }});
    qen_stream_recorder& recorder = *owned;

    rtmp_test::loopback_relay relay;
    relay.start();
    rtmp_test::rtmp_client publisher(relay.port), player(relay.port);
    publisher.connect();
    const std::uint32_t published = publisher.create_stream();
    publisher.publish(published, "cam");
    ASSERT_TRUE(publisher.wait_for_status("NetStream.Publish.Start"));
    const std::int32_t sink = relay.registry.add_player("cam", recorder.sinks(), true);
    ASSERT_NE(sink, -1);
    player.connect();
    player.play(player.create_stream(), "cam");
    ASSERT_TRUE(player.wait_for_status("NetStream.Play.Start"));

    // Three seconds of 25 frames a second, 16 KB each: twice what the
    // recorder may queue.
    constexpr std::uint32_t frames = 75;
    std::thread sender([&] {
        const auto started = std::chrono::steady_clock::now();
        for (std::uint32_t i = 0; i < frames; ++i) {
            std::string frame =
                hex_bytes(i % 25 == 0 ? "17 01 000000" : "27 01 000000") + rtmp_test::be32(i);
            frame.resize(16 << 10, 'f');
            publisher.send(9, published, i * 40, frame);
            std::this_thread::sleep_until(started + (i + 1) * 40ms);
        }
    });
    std::vector<std::uint32_t> numbers;
    player.wait_for(
        [&](const rtmp_test::message& m) {
            if (m.type == 9 && m.body.size() > 9 && m.body[1] == 1) {
                numbers.push_back(
                    static_cast<std::uint32_t>(static_cast<std::uint8_t>(m.body[8]) |
                                               static_cast<std::uint8_t>(m.body[7]) << 8));
            }
            return numbers.size() == frames;
        },
        30s);
    sender.join();

    EXPECT_TRUE(disk.stalled()) << "the disk is still stalled";
    ASSERT_EQ(numbers.size(), frames) << "the player got every frame meanwhile";
    for (std::uint32_t i = 0; i < frames; ++i) {
        ASSERT_EQ(numbers[i], i);
    }
    EXPECT_FALSE(recorder.recording());
    EXPECT_EQ(recorder.failure(), "the disk does not keep up");

    disk.release();
    relay.registry.remove_player("cam", sink);
    owned.reset();
    segment_index index;
    index.load(fs::path(base + ".livesegments"));
    EXPECT_TRUE(index.live) << "what was written stays resumable";
    EXPECT_GT(index.duration_ms, 0u);
}

// Frame n of a publish at 25 frames a second, a keyframe each second; its
// body ends with n.
std::string numbered_frame(std::uint32_t n) {
    return hex_bytes(n % 25 == 0 ? "17 01 000000" : "27 01 000000") + rtmp_test::be32(n);
}

// Publishes frames [first, last), its timeline starting at 0 as every
// publish's does.
void publish_numbered(qen_stream_recorder& r, std::uint32_t first, std::uint32_t last) {
    data(r, metadata);
    video(r, avc_header, 0);
    for (std::uint32_t n = first; n < last; ++n) {
        video(r, numbered_frame(n), (n - first) * 40);
    }
}

struct recorded_frame {
    std::uint32_t number;
    std::uint32_t timestamp;
};

// The numbered frames of a recording, in its order.
std::vector<recorded_frame> recorded_frames(const std::string& base) {
    zpk_reader reader(fs::path(base + ".livesegments"));
    std::uint32_t from = 0;  // a live recording's reader starts near the end
    EXPECT_TRUE(reader.seek(from));
    std::vector<recorded_frame> frames;
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    std::int32_t status = media_tag_read;
    while (const std::uint8_t* body = reader.read_tag(size, timestamp, type, status)) {
        if (type == 9 && size == 9 && body[1] == 1) {
            frames.push_back(
                {static_cast<std::uint32_t>(body[5] << 24 | body[6] << 16 | body[7] << 8 | body[8]),
                 timestamp});
        }
    }
    return frames;
}

// Every frame in [0, count), once and in order, on a timeline that never
// goes back.
void expect_frames_up_to(const std::string& base, std::uint32_t count) {
    const auto frames = recorded_frames(base);
    ASSERT_EQ(frames.size(), count);
    for (std::uint32_t n = 0; n < count; ++n) {
        ASSERT_EQ(frames[n].number, n);
        if (n > 0) {
            ASSERT_GT(frames[n].timestamp, frames[n - 1].timestamp) << "frame " << n;
        }
    }
}

std::unique_ptr<qen_stream_recorder> recorder_on(const std::string& base, stalled_disk& disk) {
    return std::make_unique<qen_stream_recorder>(
        std::vector<std::string>{"zpk"}, base,
        qen_stream_recorder::options{qen_stream_recorder::default_queue_limit,
                                     [&disk] { disk(); }});
}

// A finisher given a recording of frames [0, count) while its disk stalls.
struct stalled_finish {
    explicit stalled_finish(std::uint32_t count) {
        auto recorder = recorder_on(base, disk);
        publish_numbered(*recorder, 0, count);
        disk.wait_until_stalled();
        finisher.finish(std::move(recorder));  // never returns if it waits for the disk
    }
    // Lets a test that failed half-way end.
    ~stalled_finish() { disk.release(); }

    temp_dir dir;
    const std::string base = (dir / "cam").string();
    stalled_disk disk;
    recording_finisher finisher;
};

// Ending a publish never waits for the disk: the finisher takes the recorder
// at once, and the recording is complete, and its name free again, once the
// disk has caught up.
TEST(RecordingFinisher, TakesARecorderWithoutWaitingForTheDisk) {
    stalled_finish f(500);
    EXPECT_THROW(qen_stream_recorder({"zpk"}, f.base), std::exception)
        << "the name stays locked while its recording is finishing";
    f.disk.release();
    f.finisher.wait_until_finished(f.base);
    expect_frames_up_to(f.base, 500);
    segment_index index;
    index.load(fs::path(f.base + ".livesegments"));
    EXPECT_TRUE(index.live) << "resumable";
    EXPECT_EQ(index.metadata, metadata);
    qen_stream_recorder again({"zpk"}, f.base);

    // A recorder that writes nothing is done at once.
    const std::string other = (f.dir / "other").string();
    f.finisher.finish(
        std::make_unique<qen_stream_recorder>(std::vector<std::string>{"flv"}, other));
    f.finisher.wait_until_finished(other);
    qen_stream_recorder other_again({"flv"}, other);
}

// A publisher that comes back at once while its last recording still waits
// for the disk: its publish resumes that recording after its last frame.
TEST(RecordingFinisher, ARepublishResumesTheRecordingOnceItsFinishIsDone) {
    stalled_finish f(300);
    std::latch about_to_publish(1);
    bool first_was_done = false;
    std::string error;
    std::thread second_publisher([&] {
        about_to_publish.count_down();
        f.finisher.wait_until_finished(f.base);
        first_was_done = f.disk.released();
        try {
            qen_stream_recorder second({"zpk"}, f.base);
            publish_numbered(second, 300, 600);
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    about_to_publish.wait();
    f.disk.release();
    second_publisher.join();

    ASSERT_EQ(error, "");
    EXPECT_TRUE(first_was_done) << "the second publish waited for the first to be finished";
    expect_frames_up_to(f.base, 600);
}

// The finisher's end (the server's stop) waits for every recording it was
// given to be complete.
TEST(RecordingFinisher, ItsEndWaitsForEveryFinish) {
    temp_dir dir;
    const std::vector<std::string> bases = {(dir / "one").string(), (dir / "two").string()};
    stalled_disk disk;
    std::latch ending(1);
    std::thread releaser([&] {
        ending.wait();
        disk.release();
    });
    {
        recording_finisher finisher;
        for (const auto& base : bases) {
            auto recorder = recorder_on(base, disk);
            publish_numbered(*recorder, 0, 300);
            finisher.finish(std::move(recorder));
        }
        disk.wait_until_stalled();
        ending.count_down();
    }
    releaser.join();
    for (const auto& base : bases) {
        SCOPED_TRACE(base);
        expect_frames_up_to(base, 300);
        qen_stream_recorder again({"zpk"}, base);
    }
}

std::size_t threads_of_this_process() {
    return platform::testing::folder_entries("/proc/self/task").size();
}

// Recordings, however many, are opened and written on the lanes of the
// writers they were given, each lane serving many: no thread is theirs.
TEST(RecordingWriters, ManyRecordingsShareAFixedSetOfThreads) {
    temp_dir dir;
    qen::recording_writers writers(2);
    recording_finisher finisher;
    const std::size_t threads = threads_of_this_process();

    std::mutex mutex;
    std::vector<std::unique_ptr<qen_stream_recorder>> recorders;
    std::vector<std::string> failures;
    constexpr int count = 40;
    for (int i = 0; i < count; ++i) {
        qen_stream_recorder::open(
            writers, {"zpk"}, (dir / ("cam" + std::to_string(i))).string(), {},
            [&](std::unique_ptr<qen_stream_recorder> recorder, const std::string& failure) {
                std::lock_guard lock(mutex);
                recorders.push_back(std::move(recorder));
                failures.push_back(failure);
            });
    }
    ASSERT_TRUE(platform::testing::eventually([&] {
        std::lock_guard lock(mutex);
        return recorders.size() == count;
    }));
    EXPECT_EQ(failures, std::vector<std::string>(count));
    for (auto& recorder : recorders) {
        ASSERT_TRUE(recorder);
        publish_numbered(*recorder, 0, 300);
    }
    EXPECT_EQ(threads_of_this_process(), threads);

    for (auto& recorder : recorders) {
        finisher.finish(std::move(recorder));
    }
    for (int i = 0; i < count; ++i) {
        const std::string base = (dir / ("cam" + std::to_string(i))).string();
        finisher.wait_until_finished(base);
        SCOPED_TRACE(base);
        expect_frames_up_to(base, 300);
    }
}

// The media server in this process, on one io thread, recording into a
// folder of its own on a disk that the test stalls.
class one_thread_server {
  public:
    explicit one_thread_server(stalled_disk& disk) {
        fs::create_directories(dir / "www/live");
        platform::testing::write_file(
            dir / "qen.xml",
            "<config><qen><rtmp><disabled>0</disabled><addr>127.0.0.1</addr><port>" +
                std::to_string(port) +
                "</port></rtmp><rtmfp><disabled>1</disabled></rtmfp><domains><domain><names>"
                "<name>127.0.0.1</name></names><path>" +
                (dir / "www").string() +
                "</path><default>true</default></domain></domains></qen></config>\n");
        ::setenv("NUMBER_OF_PROCESSORS", "1", 1);
        context_.emplace(dir / "qen.xml");
        server_.emplace(*context_,
                        qen_stream_recorder::options{qen_stream_recorder::default_queue_limit,
                                                     [&disk] { disk(); }});
    }
    // Waits for every recording to be finished.
    void stop() { server_.reset(); }

    temp_dir dir;
    const unsigned short port = platform::testing::free_port();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live";

  private:
    std::optional<qen::qen_server_context> context_;
    std::optional<qen::qen_server> server_;
};

bool has_status(rtmp_test::rtmp_client& client, std::string_view code) {
    const std::string wanted = "code:'" + std::string(code) + "'";
    return std::any_of(
        client.received().begin(), client.received().end(), [&](const rtmp_test::message& m) {
            return m.type == 20 &&
                   rtmp_test::describe_amf0(m.body).find(wanted) != std::string::npos;
        });
}

// Sends the numbered frames [first, last) on its own timeline from 0.
void send_numbered(rtmp_test::rtmp_client& client, std::uint32_t stream, std::uint32_t first,
                   std::uint32_t last) {
    client.send(18, stream, 0, metadata);
    client.send(9, stream, 0, avc_header);
    for (std::uint32_t n = first; n < last; ++n) {
        client.send(9, stream, (n - first) * 40, numbered_frame(n));
    }
}

// A publisher that comes back while its last recording is still being
// finished (here: held up by a stalled disk) waits for that finish, but its
// connection's thread does not: the other connections of that thread are
// served all along, and the second publish then records after the first.
TEST(RecordingFinisher, ARepublishWaitsWithoutHoldingUpItsThread) {
    using namespace std::chrono_literals;
    stalled_disk disk;
    one_thread_server qen(disk);
    // A failure half-way must not leave the server's stop waiting for it.
    const std::unique_ptr<stalled_disk, void (*)(stalled_disk*)> released(
        &disk, [](stalled_disk* d) { d->release(); });
    {
        rtmp_test::rtmp_client first(qen.port);
        ASSERT_TRUE(first.connect_url(qen.url));
        const std::uint32_t stream = first.create_stream();
        first.publish(stream, "cam");
        ASSERT_TRUE(first.wait_for_status("NetStream.Publish.Start"));
        send_numbered(first, stream, 0, 300);
        disk.wait_until_stalled();
    }  // gone: its recording is handed over, its writes held up

    rtmp_test::rtmp_client second(qen.port);
    ASSERT_TRUE(second.connect_url(qen.url));
    const std::uint32_t stream = second.create_stream();
    second.publish(stream, "cam");
    // Answered after the publish, on the same connection: the thread has
    // taken the publish and gone on.
    ASSERT_NE(second.create_stream(), 0u) << "the connection's thread waits for the disk";
    EXPECT_FALSE(has_status(second, "NetStream.Publish.Start"))
        << "published before the last recording was finished";

    std::vector<std::chrono::steady_clock::duration> handshakes;
    for (int i = 0; i < 5; ++i) {
        rtmp_test::tcp_client other(qen.port);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(other.handshake().size(), 1u + 2 * 1536);
        handshakes.push_back(std::chrono::steady_clock::now() - started);
    }
    std::sort(handshakes.begin(), handshakes.end());
    EXPECT_LT(handshakes[handshakes.size() / 2], 50ms) << "the median of 5";
    rtmp_test::rtmp_client other(qen.port);
    EXPECT_TRUE(other.connect_url(qen.url));
    EXPECT_FALSE(has_status(second, "NetStream.Publish.Start"));

    disk.release();
    ASSERT_TRUE(second.wait_for_status("NetStream.Publish.Start", 30s));
    send_numbered(second, stream, 300, 600);
    second.send_command(stream, rtmp_test::command("closeStream", 0).null());
    ASSERT_NE(second.create_stream(), 0u);  // the frames and the close have been taken
    qen.stop();
    expect_frames_up_to((qen.dir / "www/live/cam").string(), 600);
}

TEST(StreamRecorder, AMissingDirectoryRefusesThePublish) {
    temp_dir dir;
    EXPECT_THROW(qen_stream_recorder({"zpk"}, (dir / "missing/cam").string()), std::exception);
}

}  // namespace
