// The audio/video manager through its interface alone, loaded as a program
// loads it, on media that ffmpeg makes at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/quendle/loader.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace testing = platform::testing;
using Quendle::IAudioSample;
using Quendle::IAVSource;
using Quendle::object_ptr;
using Vastrel::IRawVideoFrame;

constexpr std::int64_t second = 10000000;

// ffmpeg's test sources, `seconds` long, in a file of the given name.
fs::path media(const std::string& name, const std::vector<std::string>& arguments) {
    static testing::temp_dir dir;
    static std::map<std::string, fs::path> made;
    if (const auto found = made.find(name); found != made.end()) {
        return found->second;
    }
    const fs::path file = dir / name;
    const std::string error = testing::make_media(file, arguments);
    if (!error.empty()) {
        throw std::runtime_error(error);
    }
    return made.emplace(name, file).first->second;
}

std::vector<std::string> picture_and_tone(const std::string& picture, double seconds,
                                          const std::vector<std::string>& codecs) {
    std::vector<std::string> arguments = {"-f", "lavfi",
                                          "-i", picture,
                                          "-f", "lavfi",
                                          "-i", "sine=frequency=440:sample_rate=44100",
                                          "-t", std::to_string(seconds)};
    arguments.insert(arguments.end(), codecs.begin(), codecs.end());
    return arguments;
}

// Two seconds of 320x240 at 25 frames/s with a keyframe a second, and a tone.
fs::path clip() {
    return media("clip.mp4", picture_and_tone("testsrc2=size=320x240:rate=25", 2,
                                              {"-c:v", "libx264", "-preset", "ultrafast", "-g",
                                               "25", "-pix_fmt", "yuv420p", "-c:a", "aac"}));
}

Quendle::library& library() {
    static Quendle::library loaded(QUENDLE_LIBRARY);
    return loaded;
}

struct sample_log {
    std::string order;  // 'a' or 'v' per sample
    std::vector<std::int64_t> video_times;
    std::vector<std::int64_t> audio_times;
    std::uint64_t audio_samples = 0;
    std::vector<int> formats;
    std::vector<std::pair<int, int>> sizes;
    bool all_top_down = true;
    bool one_at_a_time = true;
};

sample_log read_all(IAVSource& source) {
    sample_log log;
    IAudioSample* audio = nullptr;
    IRawVideoFrame* video = nullptr;
    std::int64_t time = 0;
    while (source.read_sample(&audio, &video, &time, 0)) {
        log.one_at_a_time &= (audio != nullptr) != (video != nullptr);
        if (video != nullptr) {
            log.order += 'v';
            log.video_times.push_back(time);
            EXPECT_EQ(time, static_cast<std::int64_t>(video->GetTimestamp()));
            log.formats.push_back(video->GetPixelFormat());
            int width = 0, height = 0;
            video->GetSize(width, height);
            log.sizes.emplace_back(width, height);
            log.all_top_down &= video->IsTopDown();
        } else if (audio != nullptr) {
            log.order += 'a';
            log.audio_times.push_back(time);
            EXPECT_EQ(time, audio->GetTime());
            log.audio_samples += audio->GetSampleCount();
        }
    }
    return log;
}

bool rising(const std::vector<std::int64_t>& times) {
    return std::adjacent_find(times.begin(), times.end(), std::greater_equal<>()) == times.end();
}

class QuendleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::have_program("ffmpeg")) {
            GTEST_SKIP() << "ffmpeg is missing";
        }
        manager_.reset(
            library().create_av_manager()(fs::path(QUENDLE_LIBRARY).parent_path().c_str(), 0));
        ASSERT_TRUE(manager_) << "this FFmpeg has no libx264 or no AAC encoder";
        manager_->Prepare();
    }

    struct opened {
        object_ptr<IAVSource> source;
        int audio = -2;
        int video = -2;
        int error = 1;
        const Quendle::MediaInfo* info = nullptr;
    };

    opened open(const std::string& url, const char* importer = nullptr) {
        opened result;
        result.source.reset(manager_->OpenSource(url.c_str(), importer, &result.audio,
                                                 &result.video, &result.error, &result.info));
        return result;
    }

    // A timeline of one whole clip, saved and opened.
    opened open_timeline(const fs::path& clip, double rate, std::uint32_t width,
                         std::uint32_t height, bool audio_only = false) {
        object_ptr<Quendle::IObject> importer(manager_->CreateObject("SimpleEditImporter"));
        EXPECT_TRUE(importer);
        auto* timeline = static_cast<Quendle::ISimpleEditTimeLine*>(
            importer->query_interface("ISimpleEditTimeLine"));
        EXPECT_NE(timeline, nullptr);
        EXPECT_TRUE(timeline->add_clip(0, clip.c_str(), 0, 0, -1));
        if (audio_only) {
            EXPECT_TRUE(timeline->set_stream_mode(2));
        } else {
            timeline->set_frame_rate(rate);
            timeline->set_size(width, height, 0);
        }
        const fs::path saved = dir_ / "edit.seix";
        EXPECT_TRUE(timeline->save(saved.c_str()));
        return open(saved.string(), "SimpleEditImporter");
    }

    testing::temp_dir dir_;
    object_ptr<Quendle::IAVManager> manager_;
};

TEST_F(QuendleTest, NamesOpenAsThemselvesAndOnlyOptionsAfterTheLastQuestionMarkCount) {
    const fs::path odd = dir_ / "a?b&c=1%41 d 中文.mp4";
    fs::copy_file(clip(), odd);
    const std::string path = odd.string();
    struct url_case {
        std::string url;
        bool opens;
        bool video;
        bool audio;
    } cases[] = {
        {path, true, true, true},
        {path + "?", true, true, true},
        {path + "?&vstreamid=-1", true, false, true},
        {path + "?&astreamid=-1", true, true, false},
        {path + "?&astreamid=-1&vstreamid=-1", false, false, false},
        {path + "?&vstreamid=-1&other=1", false, false, false},  // a name, and no such file
        {path + "?vstreamid=-1", false, false, false},
    };
    for (const url_case& c : cases) {
        SCOPED_TRACE(c.url);
        opened source = open(c.url);
        ASSERT_EQ(static_cast<bool>(source.source), c.opens);
        if (!c.opens) {
            EXPECT_LT(source.error, 0);
            continue;
        }
        EXPECT_EQ(source.error, 0);
        EXPECT_EQ(source.video >= 0, c.video);
        EXPECT_EQ(source.audio >= 0, c.audio);
        const sample_log log = read_all(*source.source);
        EXPECT_EQ(!log.video_times.empty(), c.video);
        EXPECT_EQ(!log.audio_times.empty(), c.audio);
    }
}

TEST_F(QuendleTest, WhatIsNoMediaDoesNotOpen) {
    testing::write_file(dir_ / "empty.mp4", "");
    testing::write_file(dir_ / "notes.txt", "Not a film.\nJust some text.\n");
    std::string garbage;
    for (unsigned i = 0, x = 12345; i < 8192; ++i) {
        x = x * 1103515245 + 12345;
        garbage.push_back(static_cast<char>(x >> 16));
    }
    testing::write_file(dir_ / "garbage.mp4", garbage);
    for (const char* name : {"empty.mp4", "notes.txt", "garbage.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        const opened source = open((dir_ / name).string());
        EXPECT_FALSE(source.source);
        EXPECT_LT(source.error, 0);
    }
    // Nor is a file that the importer did not save a timeline.
    EXPECT_FALSE(open(clip().string(), "SimpleEditImporter").source);
    EXPECT_FALSE(open((dir_ / "missing.seix").string(), "SimpleEditImporter").source);
    EXPECT_FALSE(open(clip().string(), "OtherImporter").source);
}

TEST_F(QuendleTest, AFileGivesItsSamplesOneAtATimeWithItsDescription) {
    opened source = open(clip().string());
    ASSERT_TRUE(source.source);
    EXPECT_NEAR(source.source->duration(), 2000, 50);
    ASSERT_NE(source.info, nullptr);
    ASSERT_GE(source.video, 0);
    const Quendle::StreamDescription* video = nullptr;
    for (std::uint32_t i = 0; i < source.info->stream_count; ++i) {
        if (source.info->streams[i].id == source.video) {
            video = &source.info->streams[i];
        }
    }
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->kind, Quendle::StreamKind::video);
    EXPECT_EQ(video->width, 320u);
    EXPECT_EQ(video->height, 240u);
    EXPECT_EQ(video->frame_rate_numerator, 25u);
    EXPECT_EQ(video->frame_rate_denominator, 1u);

    const sample_log log = read_all(*source.source);
    EXPECT_TRUE(log.one_at_a_time);
    EXPECT_TRUE(log.all_top_down);
    EXPECT_EQ(log.video_times.size(), 50u);
    EXPECT_EQ(log.video_times.front(), 0);
    EXPECT_TRUE(rising(log.video_times));
    EXPECT_TRUE(rising(log.audio_times));
    EXPECT_NEAR(static_cast<double>(log.audio_samples), 2 * 44100, 2048);
    for (const auto& size : log.sizes) {
        EXPECT_EQ(size, std::make_pair(320, 240));
    }
}

TEST_F(QuendleTest, PicturesLeaveInAFormatOfTheSharedTable) {
    struct format_case {
        std::string name;
        std::vector<std::string> codec;
        int format;
    } cases[] = {
        {"planar420.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv420p"}, 0},
        {"planar444.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv444p"}, 5},
        {"full_range.mkv", {"-c:v", "mjpeg", "-pix_fmt", "yuvj420p"}, 12},
        {"rgb.mkv", {"-c:v", "png", "-pix_fmt", "rgb24"}, 2},
        {"ten_bit.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv420p10le"}, 0},
        {"semi_planar.mkv", {"-c:v", "rawvideo", "-pix_fmt", "nv12"}, 0},
    };
    for (const format_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=10",
                                              "-t", "0.5"};
        arguments.insert(arguments.end(), c.codec.begin(), c.codec.end());
        opened source = open(media(c.name, arguments).string());
        ASSERT_TRUE(source.source);
        const sample_log log = read_all(*source.source);
        ASSERT_EQ(log.formats.size(), 5u);
        EXPECT_TRUE(log.all_top_down);
        for (std::size_t i = 0; i < log.formats.size(); ++i) {
            EXPECT_EQ(log.formats[i], c.format);
            EXPECT_EQ(log.sizes[i], std::make_pair(64, 48));
        }
    }
}

TEST_F(QuendleTest, SeekingDecodesFromTheKeyframeBeforeAndHandsOutFromThePosition) {
    opened source = open(clip().string());
    ASSERT_TRUE(source.source);
    ASSERT_TRUE(source.source->seek(1520));  // keyframes at 0 and 1 s
    const sample_log log = read_all(*source.source);
    ASSERT_FALSE(log.video_times.empty());
    EXPECT_EQ(log.video_times.front(), 152 * second / 100);
    EXPECT_EQ(log.video_times.size(), 12u);
    ASSERT_FALSE(log.audio_times.empty());
    EXPECT_GT(log.audio_times.front(), 147 * second / 100) << "the sample that holds 1.52 s";
    EXPECT_LE(log.audio_times.front(), 152 * second / 100);

    // Back to the start, as often as asked.
    ASSERT_TRUE(source.source->seek(0));
    EXPECT_EQ(read_all(*source.source).video_times.size(), 50u);
}

TEST_F(QuendleTest, ATimelineScalesAndRetimesTheVideoAndKeepsAudioBehindIt) {
    const fs::path fifty = media(
        "fifty.mp4", picture_and_tone("testsrc2=size=320x240:rate=50", 2,
                                      {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}));
    const fs::path ten = media(
        "ten.mp4", picture_and_tone("testsrc2=size=320x240:rate=10", 2,
                                    {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}));
    struct retime_case {
        fs::path clip;
        double rate;
        std::size_t frames;
    } cases[] = {{fifty, 25, 50}, {ten, 25, 50}, {clip(), 15, 30}, {clip(), 29.97, 60}};
    for (const retime_case& c : cases) {
        SCOPED_TRACE(c.clip.filename().string() + " at " + std::to_string(c.rate));
        opened timeline = open_timeline(c.clip, c.rate, 160, 90);
        ASSERT_TRUE(timeline.source);
        ASSERT_GE(timeline.video, 0);
        const sample_log log = read_all(*timeline.source);
        EXPECT_TRUE(log.one_at_a_time);
        ASSERT_EQ(log.video_times.size(), c.frames);
        for (std::size_t n = 0; n < log.video_times.size(); ++n) {
            EXPECT_EQ(log.video_times[n], std::llround(n * second / c.rate)) << "picture " << n;
            EXPECT_EQ(log.formats[n], 0);
            EXPECT_EQ(log.sizes[n], std::make_pair(160, 90));
        }
        // No audio sample leaves before the video has reached it.
        std::int64_t video_reached = -1;
        std::size_t v = 0;
        std::size_t a = 0;
        for (const char kind : log.order) {
            if (kind == 'v') {
                video_reached = log.video_times[v++];
            } else if (v < log.video_times.size()) {
                EXPECT_LE(log.audio_times[a++], video_reached + std::llround(second / c.rate));
            } else {
                ++a;
            }
        }
        EXPECT_NEAR(static_cast<double>(log.audio_samples), 2 * 44100, 2048);
    }
}

TEST_F(QuendleTest, AnAudioOnlyTimelineHasNoVideo) {
    opened timeline = open_timeline(clip(), 0, 0, 0, true);
    ASSERT_TRUE(timeline.source);
    EXPECT_EQ(timeline.video, -1);
    EXPECT_GE(timeline.audio, 0);
    const sample_log log = read_all(*timeline.source);
    EXPECT_TRUE(log.video_times.empty());
    EXPECT_NEAR(static_cast<double>(log.audio_samples), 2 * 44100, 2048);

    // With video, the timeline needs a size and a rate.
    EXPECT_FALSE(open_timeline(clip(), 25, 0, 0).source);
    EXPECT_FALSE(open_timeline(clip(), 0, 160, 90).source);
}

TEST_F(QuendleTest, TheVideoEncoderHoldsOnePictureAtMostAndCutsAboutEveryTwoSeconds) {
    object_ptr<Quendle::IVideoEncoder> encoder(manager_->CreateVideoEncoder("h264"));
    ASSERT_TRUE(encoder);
    EXPECT_FALSE(manager_->CreateVideoEncoder("H264"));
    opened timeline = open_timeline(
        media("five.mp4",
              picture_and_tone("testsrc2=size=320x240:rate=25", 5,
                               {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"})),
        25, 160, 90);
    ASSERT_TRUE(timeline.source);

    IAudioSample* audio = nullptr;
    IRawVideoFrame* video = nullptr;
    std::int64_t time = 0;
    ASSERT_TRUE(timeline.source->read_sample(&audio, &video, &time, 0));
    while (video == nullptr) {
        ASSERT_TRUE(timeline.source->read_sample(&audio, &video, &time, 0));
    }
    EXPECT_TRUE(encoder->set_input_type(*video));
    encoder->configure({300000, 600000});
    ASSERT_TRUE(encoder->open());

    std::uint32_t length = 0;
    const std::uint8_t* headers = encoder->extra_data(length);
    ASSERT_GT(length, 8u);
    const std::string parameter_sets(reinterpret_cast<const char*>(headers), length);
    EXPECT_TRUE(parameter_sets.starts_with(std::string("\0\0\0\1\x67", 5)));
    EXPECT_NE(parameter_sets.find(std::string("\0\0\1\x68", 4)), std::string::npos);

    // Each packet comes out as the next picture goes in, the last one as
    // the encoder drains.
    std::vector<std::int64_t> times;
    std::vector<std::int64_t> keyframes;
    const auto check = [&](Quendle::IAVPacket* packet) {
        ASSERT_NE(packet, nullptr);
        const std::int64_t expected = times[times.size() - (video != nullptr ? 2 : 1)];
        EXPECT_EQ(packet->GetPresentationTime(), expected);
        EXPECT_EQ(packet->GetDecodeTime(), expected);
        if (packet->IsKeyframe()) {
            keyframes.push_back(expected);
        }
        // No parameter sets in the packets: they are the extra data's.
        const std::string data(reinterpret_cast<const char*>(packet->GetData()), packet->GetSize());
        EXPECT_EQ(data.find(std::string("\0\0\1\x67", 4)), std::string::npos);
        EXPECT_EQ(data.find(std::string("\0\0\1\x68", 4)), std::string::npos);
    };
    do {
        if (video == nullptr) {
            continue;
        }
        times.push_back(time);
        Quendle::IAVPacket* packet = encoder->encode(video);
        if (times.size() == 1) {
            EXPECT_EQ(packet, nullptr);
        } else {
            check(packet);
        }
    } while (timeline.source->read_sample(&audio, &video, &time, 0));
    EXPECT_EQ(times.size(), 125u);
    video = nullptr;
    check(encoder->encode(nullptr));
    EXPECT_EQ(encoder->encode(nullptr), nullptr);
    // At or after every 2.05 s.
    EXPECT_EQ(keyframes, (std::vector<std::int64_t>{0, 208 * second / 100, 412 * second / 100}));
}

TEST_F(QuendleTest, TheAudioEncoderConvertsAndPacksFramesOfItsOwn) {
    object_ptr<Quendle::IAudioEncoder> encoder(manager_->CreateAudioEncoder("aac"));
    ASSERT_TRUE(encoder);
    ASSERT_TRUE(encoder->open({48000, 2, 96000}));
    std::uint32_t length = 0;
    const std::uint8_t* config = encoder->extra_data(length);
    ASSERT_GE(length, 2u);
    EXPECT_EQ(config[0], 0x11);  // AAC LC, 48000 Hz,
    EXPECT_EQ(config[1], 0x90);  // two channels

    // The clip's audio is 44100 Hz mono.
    opened source = open(clip().string() + "?&vstreamid=-1");
    ASSERT_TRUE(source.source);
    IAudioSample* audio = nullptr;
    std::vector<std::int64_t> times;
    while (source.source->read_sample(&audio, nullptr, nullptr, 0)) {
        ASSERT_TRUE(encoder->push(*audio));
        while (Quendle::IAVPacket* packet = encoder->pull()) {
            EXPECT_GT(packet->GetSize(), 0u);
            EXPECT_GE(packet->GetDecodeTime(), 0);
            times.push_back(packet->GetDecodeTime());
        }
    }
    // Two seconds at 48000 Hz are 93 frames of 1024 samples; the encoder
    // keeps its last ones, as nothing drains it.
    EXPECT_GE(times.size(), 88u);
    EXPECT_LE(times.size(), 94u);
    EXPECT_EQ(times[0], 0);
    for (std::size_t i = 2; i < times.size(); ++i) {
        EXPECT_NEAR(times[i] - times[i - 1], 1024.0 * second / 48000, 1) << "packet " << i;
    }
}

TEST_F(QuendleTest, ThreadsShareTheManager) {
    const fs::path file = clip();
    std::vector<std::size_t> pictures(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        threads.emplace_back([&, i] {
            object_ptr<IAVSource> source(
                manager_->OpenSource(file.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
            object_ptr<Quendle::IAudioEncoder> encoder(manager_->CreateAudioEncoder("aac"));
            if (!source || !encoder || !encoder->open({48000, 2, 64000})) {
                return;
            }
            IAudioSample* audio = nullptr;
            IRawVideoFrame* video = nullptr;
            while (source->read_sample(&audio, &video, nullptr, 0)) {
                pictures[i] += video != nullptr ? 1 : 0;
                if (audio != nullptr && encoder->push(*audio)) {
                    while (encoder->pull() != nullptr) {
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(pictures, std::vector<std::size_t>(3, 50));
}

}  // namespace
