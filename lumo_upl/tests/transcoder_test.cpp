// The transcoder on media that ffmpeg makes, with the real media library;
// its recordings read back with the foundation's reader and played by our
// own media server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/segment_index.hpp"
#include "foundation/zpk_reader.hpp"
#include "lumo_upl/lumo_av_encoder.hpp"
#include "lumo_upl/preset_params.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/tests/qen_process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace testing = platform::testing;
using lumo_upl_test::metadata_numbers;
using lumo_upl_test::sample;

transcode_params preset(int index) {
    transcode_params params;
    preset_params(index, params);
    return params;
}

struct recording {
    segment_index index;
    std::map<std::string, double> metadata;
};

recording load(const fs::path& folder, const std::string& name) {
    recording r;
    r.index.load(folder / (name + ".zpksegments"));
    r.metadata = metadata_numbers(r.index);
    return r;
}

// The bodies' first two bytes and types of the recording's tags, in order.
struct tag_start {
    std::uint8_t type;
    std::uint8_t first;
    std::uint8_t second;
};

std::vector<tag_start> first_tags(const fs::path& index, std::size_t count) {
    zpk_reader reader(index);
    std::vector<tag_start> tags;
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    std::int32_t status = 0;
    while (tags.size() < count) {
        const std::uint8_t* body = reader.read_tag(size, timestamp, type, status);
        if (body == nullptr) {
            break;
        }
        tags.push_back(
            {type, size > 0 ? body[0] : std::uint8_t{0}, size > 1 ? body[1] : std::uint8_t{0}});
    }
    return tags;
}

struct transcode_case {
    std::string file;
    int preset;
    std::uint32_t width;  // 0: no video
    std::uint32_t height;
    double framerate;
    double seconds;  // of the recording
};

std::ostream& operator<<(std::ostream& out, const transcode_case& c) {
    return out << c.file << " with preset " << c.preset;
}

class Transcoder : public ::testing::TestWithParam<transcode_case> {};

TEST_P(Transcoder, MakesAFinishedRecordingOfTheAdjustedSize) {
    REQUIRE_MEDIA();
    const transcode_case& c = GetParam();
    testing::temp_dir out;
    transcode_params params = preset(c.preset);
    const transcode_params asked = params;
    lumo_av_encoder encoder(*av_manager(), "T1", params, sample(c.file), out.path());
    EXPECT_EQ(params.width, c.width);
    EXPECT_EQ(params.height, c.height);
    EXPECT_EQ(params.framerate, c.framerate);
    EXPECT_EQ(params.video_bitrate, c.width == 0 ? 0 : asked.video_bitrate);
    EXPECT_EQ(params.audio_bitrate, asked.audio_bitrate);
    EXPECT_EQ(encoder.progress(), 0);

    encoder.run();
    EXPECT_FALSE(encoder.failed());
    EXPECT_EQ(encoder.progress(), 100);

    const recording made = load(out.path(), "T1");
    EXPECT_FALSE(made.index.live);
    EXPECT_TRUE(fs::exists(out / "T1.stopped"));
    EXPECT_FALSE(fs::exists(out / "T1.seix")) << "the timeline file is gone";
    ASSERT_FALSE(made.index.segments.empty());
    EXPECT_EQ(encoder.segment_count(), static_cast<std::int32_t>(made.index.segments.size()));
    for (std::size_t i = 0; i + 1 < made.index.segments.size(); ++i) {
        EXPECT_GT(made.index.segments[i].duration_ms, 10000u) << "segment " << i;
        EXPECT_LT(made.index.segments[i].duration_ms, 11000u) << "segment " << i;
    }
    EXPECT_NEAR(made.index.duration_ms / 1000.0, c.seconds, 0.25);

    // The sequence headers come before the media.
    const bool video = c.width != 0;
    EXPECT_EQ(made.index.video_codec, video ? 7 : -1);
    EXPECT_EQ(made.index.audio_format, 10);
    EXPECT_EQ(made.index.video_configs.size(), video ? 1u : 0u);
    EXPECT_EQ(made.index.audio_configs.size(), 1u);
    bool video_header = false, audio_header = false, media = false;
    for (const tag_start& tag : first_tags(out / "T1.zpksegments", 20)) {
        if (tag.type == 9 && tag.first == 0x17 && tag.second == 0) {
            video_header = true;
        } else if (tag.type == 8 && tag.first == 0xAF && tag.second == 0) {
            audio_header = true;
        } else if ((tag.type == 8 || tag.type == 9) && tag.second == 1) {
            EXPECT_TRUE(audio_header && video_header == video) << "media before the headers";
            media = true;
        }
    }
    EXPECT_TRUE(media);

    // The metadata, read back.
    std::map<std::string, double> expected = {
        {"audioBitrate", asked.audio_bitrate / 1000},
        {"duration", made.index.duration_ms / 1000.0},
    };
    if (video) {
        expected["width"] = c.width;
        expected["height"] = c.height;
        expected["framerate"] = c.framerate;
        expected["videoBitrate"] = asked.video_bitrate / 1000;
    }
    double bytes = 0;
    for (const auto& segment : made.index.segments) {
        bytes += segment.data_bytes;
    }
    expected["bitrate"] = bytes * 8 / 1000 / (made.index.duration_ms / 1000.0);
    EXPECT_EQ(made.metadata, expected);
    EXPECT_EQ(encoder.duration(), made.index.duration_ms / 1000.0);
    EXPECT_EQ(encoder.bitrate(), static_cast<std::int32_t>(expected["bitrate"]));
}

INSTANTIATE_TEST_SUITE_P(Files, Transcoder,
                         ::testing::Values(transcode_case{"hd.mp4", 0, 480, 270, 15, 4},
                                           transcode_case{"hd.mp4", 1, 640, 360, 25, 4},
                                           transcode_case{"hd.mp4", 2, 1280, 720, 25, 4},
                                           transcode_case{"pal.mp4", 0, 480, 360, 15, 3},
                                           transcode_case{"pal.mp4", 1, 640, 480, 25, 3},
                                           transcode_case{"pal.mp4", 2, 720, 540, 25, 3},
                                           transcode_case{"odd.mp4", 0, 480, 270, 15, 3},
                                           transcode_case{"odd.mp4", 1, 640, 360, 25, 3},
                                           transcode_case{"odd.mp4", 2, 642, 362, 25, 3},
                                           transcode_case{"long.mp4", 1, 320, 240, 25, 23},
                                           transcode_case{"audio.m4a", 1, 0, 0, 0, 3},
                                           transcode_case{"audio.mp3", 2, 0, 0, 0, 3},
                                           transcode_case{"video_only.mp4", 1, 320, 240, 25, 3},
                                           transcode_case{"cut.mp4", 1, 320, 240, 25, 3},
                                           transcode_case{"a?b&c%20d 中文.mp4", 0, 320, 240, 15,
                                                          3}));

// A manager whose one source has a video stream of the given description
// and which has no encoders: the constructor adjusts the parameters to the
// stream and then fails for want of an encoder.
class described_source_manager : public Quendle::IAVManager {
  public:
    explicit described_source_manager(const Quendle::StreamDescription& video) : video_(video) {}

    void Prepare() override {}
    Quendle::IAVSource* OpenSource(const char*, const char*, std::int32_t* audio_stream_id,
                                   std::int32_t* video_stream_id, std::int32_t* error,
                                   const Quendle::MediaInfo** info) override {
        *audio_stream_id = -1;
        *video_stream_id = video_.id;
        if (error != nullptr) {
            *error = 0;
        }
        *info = &info_;
        return &source_;
    }
    Quendle::IObject* CreateObject(const char*) override { return nullptr; }
    Quendle::IVideoEncoder* CreateVideoEncoder(const char*) override { return nullptr; }
    Quendle::IAudioEncoder* CreateAudioEncoder(const char*) override { return nullptr; }
    void release() override {}

  private:
    struct source : Quendle::IAVSource {
        bool seek(std::uint32_t) override { return false; }
        std::uint32_t duration() const override { return 1000; }
        bool read_sample(Quendle::IAudioSample**, Vastrel::IRawVideoFrame**, std::int64_t*,
                         int) override {
            return false;
        }
        void close() override {}
    };

    Quendle::StreamDescription video_;
    Quendle::MediaInfo info_{1, &video_};
    source source_;
};

TEST(TranscoderSize, TheOutputFollowsTheSourcesShapeAndRate) {
    const struct {
        std::uint32_t width, height, pixel_aspect, rate, rate_base;
        int preset;
        std::uint32_t out_width, out_height;
        double framerate;
        std::string reason;  // of the constructor's failure
    } cases[] = {
        {1920, 1080, 0x00010001, 25, 1, 1, 640, 360, 25, "Can't create h264 encoder"},
        {1920, 1080, 0, 50, 1, 1, 640, 360, 25, "Can't create h264 encoder"},
        {720, 576, 0x0010000F, 25, 1, 2, 720, 540, 25, "Can't create h264 encoder"},
        {720, 576, 0x00100000, 25, 1, 2, 720, 576, 25, "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 0, 0, 1, 640, 360, 25, "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 30, 0, 1, 640, 360, 25, "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 60, 1, 1, 640, 360, 30, "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 120, 1, 1, 640, 360, 60, "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 24000, 1001, 2, 1280, 720, 24000.0 / 1001,
         "Can't create h264 encoder"},
        {1280, 720, 0x00010001, 50, 1, 0, 480, 270, 15, "Can't create h264 encoder"},
        {641, 361, 0x00010001, 25, 1, 2, 642, 362, 25, "Can't create h264 encoder"},
        {100, 100, 0x00010001, 25, 1, 1, 100, 100, 25, "Can't create h264 encoder"},
        {0, 0, 0, 25, 1, 1, 640, 480, 0, "Can't load the source video"},
        {640, 0, 0, 25, 1, 1, 640, 480, 0, "Can't load the source video"},
    };
    testing::temp_dir out;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " with preset " +
                     std::to_string(c.preset));
        described_source_manager manager({.id = 3,
                                          .kind = Quendle::StreamKind::video,
                                          .width = c.width,
                                          .height = c.height,
                                          .frame_rate_numerator = c.rate,
                                          .frame_rate_denominator = c.rate_base,
                                          .pixel_aspect = c.pixel_aspect});
        transcode_params params = preset(c.preset);
        try {
            lumo_av_encoder encoder(manager, "T1", params, "clip.mp4", out.path());
            ADD_FAILURE() << "made";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.reason);
        }
        EXPECT_EQ(params.width, c.out_width);
        EXPECT_EQ(params.height, c.out_height);
        EXPECT_EQ(params.framerate, c.framerate);
    }
    EXPECT_TRUE(fs::is_empty(out.path())) << "nothing left behind";

    // Parameters without a picture size for a source with video.
    described_source_manager manager(
        {.id = 0, .kind = Quendle::StreamKind::video, .width = 640, .height = 480});
    transcode_params sizeless{0, 0, 0, 600000, 48000, 2, 96000};
    EXPECT_THROW(lumo_av_encoder(manager, "T1", sizeless, "clip.mp4", out.path()),
                 std::invalid_argument);
}

// What cannot be read, or written, fails the construction with its reason
// and leaves nothing behind.
TEST(TranscoderFailure, BadInputAndBadPlacesGiveTheirReasons) {
    REQUIRE_MEDIA();
    testing::temp_dir dir;
    const fs::path blocked = dir / "blocked";
    fs::create_directories(blocked / "T1.seix");  // where the timeline file goes
    testing::write_file(dir / "a_file", "");
    const struct {
        std::string what;
        std::string file;
        transcode_params params;
        fs::path folder;
        std::string reason;
    } cases[] = {
        {"garbage", "garbage.mp4", preset(1), dir / "out", "Can't load the source video"},
        {"an empty file", "empty.mp4", preset(1), dir / "out", "Can't load the source video"},
        {"text", "notes.txt", preset(1), dir / "out", "Can't load the source video"},
        {"a missing file", "missing.mp4", preset(1), dir / "out", "Can't load the source video"},
        {"no picture size",
         "video_only.mp4",
         {0, 0, 0, 600000, 48000, 2, 96000},
         dir / "out",
         "Bad transcoding parameters: no picture size"},
        {"no sample rate",
         "video_only.mp4",
         {640, 480, 0, 600000, 0, 2, 96000},
         dir / "out",
         "Can't open aac encoder"},
        {"a folder in the timeline's place", "video_only.mp4", preset(1), blocked,
         "Can't save timeline file"},
        {"a file in the folder's place", "video_only.mp4", preset(1), dir / "a_file",
         "Can't create directory for segments"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        transcode_params params = c.params;
        try {
            lumo_av_encoder encoder(*av_manager(), "T1", params, sample(c.file), c.folder);
            ADD_FAILURE() << "made";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.reason);
        }
        EXPECT_FALSE(fs::exists(c.folder / "T1.zpksegments"));
        EXPECT_FALSE(fs::exists(c.folder / "T1.segments"));
    }
    EXPECT_TRUE(fs::is_directory(blocked / "T1.seix"));
}

TEST(TranscoderFailure, AFileOfWhichNothingDecodesIsNoSuccess) {
    REQUIRE_MEDIA();
    testing::temp_dir out;
    transcode_params params = preset(1);
    lumo_av_encoder encoder(*av_manager(), "T1", params, sample("headers.mp4"), out.path());
    encoder.run();
    EXPECT_TRUE(encoder.failed());
}

TEST(TranscoderStop, AStopFromAnotherThreadEndsWithAFinishedRecording) {
    REQUIRE_MEDIA();
    testing::temp_dir out;
    transcode_params params = preset(1);
    lumo_av_encoder encoder(*av_manager(), "T1", params, sample("long.mp4"), out.path());
    std::thread worker([&] { encoder.run(); });
    for (int i = 0; i < 6000 && encoder.progress() < 20; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    const double at_stop = encoder.progress();
    encoder.request_stop();
    worker.join();
    EXPECT_GT(at_stop, 0);
    EXPECT_LT(at_stop, 100);
    EXPECT_FALSE(encoder.failed());

    const recording made = load(out.path(), "T1");
    EXPECT_EQ(made.metadata.at("duration"), made.index.duration_ms / 1000.0);
    EXPECT_LT(made.metadata.at("duration"), 20) << "it stopped well before the end";
    EXPECT_EQ(made.metadata.at("width"), 320);
    EXPECT_EQ(encoder.segment_count(), static_cast<std::int32_t>(made.index.segments.size()));
    EXPECT_EQ(encoder.progress(), 100) << "of what the recording holds";
}

// Our media server plays the recording: ffmpeg takes it into a file.
class TranscoderPlayback : public ::testing::TestWithParam<transcode_case> {};

TEST_P(TranscoderPlayback, QenPlaysTheRecording) {
    REQUIRE_MEDIA();
    const transcode_case& c = GetParam();
    qen_test::qen_process qen;
    const fs::path vod = qen.app("vod");
    {
        transcode_params params = preset(c.preset);
        lumo_av_encoder encoder(*av_manager(), "show", params, sample(c.file), vod);
        encoder.run();
        ASSERT_FALSE(encoder.failed());
    }

    testing::temp_dir out;
    const fs::path played = out / "played.flv";
    const auto ffmpeg =
        testing::run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-rtmp_buffer", "60000",
                      "-rw_timeout", "10000000", "-i", qen.url("vod/zpk:show.zpksegments"), "-c",
                      "copy", "-f", "flv", played.string()},
                     120s);
    ASSERT_EQ(ffmpeg.exit_code, 0) << ffmpeg.err;

    const auto streams = testing::probe_streams(played);
    ASSERT_EQ(streams.size(), 2u);
    for (const auto& stream : streams) {
        if (stream.type == "video") {
            EXPECT_EQ(stream.codec, "h264");
            EXPECT_EQ(stream.width, static_cast<int>(c.width));
            EXPECT_EQ(stream.height, static_cast<int>(c.height));
            EXPECT_NEAR(stream.frame_rate, c.framerate, 0.01);
        } else {
            EXPECT_EQ(stream.codec, "aac");
        }
    }
    // Of the source, or of what decodes of a file cut short.
    EXPECT_NEAR(testing::probe_duration(played), c.seconds, 0.5);

    std::map<std::string, double> first, last;
    for (const auto& packet : testing::probe_packets(played)) {
        if (!first.contains(packet.type)) {
            first[packet.type] = packet.dts;
        } else {
            EXPECT_GE(packet.dts, last[packet.type]) << packet.type << " went back";
        }
        last[packet.type] = packet.dts;
    }
    ASSERT_TRUE(first.contains("video") && first.contains("audio"));
    EXPECT_NEAR(first["video"], first["audio"], 0.1);

    EXPECT_EQ(qen.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, TranscoderPlayback,
                         ::testing::Values(transcode_case{"hd.mp4", 1, 640, 360, 25, 4},
                                           transcode_case{"long.mp4", 0, 320, 240, 15, 23},
                                           transcode_case{"cut.mp4", 1, 320, 240, 25, 3}));

}  // namespace
