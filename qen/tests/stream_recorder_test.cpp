#include "qen/qen_stream_recorder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "foundation/segment_index.hpp"
#include "platform/testing/hex.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using platform::testing::hex_bytes;
using platform::testing::temp_dir;
using qen::qen_stream_recorder;
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

    segment_index index;
    index.load(fs::path(base + ".livesegments"));
    EXPECT_FALSE(index.live);
    EXPECT_LE(index.duration_ms, 21000u);
    EXPECT_THROW(qen_stream_recorder({"zpk"}, base), std::exception) << "the lock is still held";
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

TEST(StreamRecorder, AMissingDirectoryRefusesThePublish) {
    temp_dir dir;
    EXPECT_THROW(qen_stream_recorder({"zpk"}, (dir / "missing/cam").string()), std::exception);
}

}  // namespace
