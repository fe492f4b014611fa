#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/flv_stream_source.hpp"
#include "rtmp/tests/recorded_test_support.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using platform::testing::temp_dir;
using platform::testing::write_file;
using rtmp::flv_stream_source;
using keyframe = flv_stream_source::keyframe;

constexpr std::uint8_t audio = 8;
constexpr std::uint8_t video = 9;
constexpr std::uint8_t data = 18;

const std::string avc_header = hex_bytes("17 00 00 00 00 01 64 00 1f");
const std::string aac_header = hex_bytes("af 00 12 10");
const std::string keyframe_body = hex_bytes("17 01 00 00 00 'key'");
const std::string interframe_body = hex_bytes("27 01 00 00 00 'inter'");
const std::string audio_body = hex_bytes("af 01 'sound'");

struct read_result {
    std::string body;
    std::uint32_t time = 0;
    std::uint8_t type = 0;
};

// The next tag, or nothing once the source reports its end.
std::optional<read_result> next(flv_stream_source& source) {
    std::uint32_t size = 0;
    read_result tag;
    std::int32_t status = media_tag_read;
    const std::uint8_t* body = source.read_tag(size, tag.time, tag.type, status);
    if (body == nullptr) {
        EXPECT_EQ(status, media_source_ended);
        EXPECT_EQ(size, 0u);
        return std::nullopt;
    }
    EXPECT_EQ(status, media_tag_read);
    tag.body.assign(reinterpret_cast<const char*>(body), size);
    return tag;
}

std::vector<std::uint32_t> all_times(flv_stream_source& source) {
    std::vector<std::uint32_t> times;
    while (auto tag = next(source)) {
        times.push_back(tag->time);
    }
    return times;
}

std::string stored(const std::uint8_t* bytes, std::uint32_t size) {
    return bytes == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string video_config(const flv_stream_source& source) {
    std::uint32_t size = 99;
    const std::uint8_t* bytes = source.video_config(size);
    return stored(bytes, size);
}

std::string audio_config(const flv_stream_source& source) {
    std::uint32_t size = 99;
    const std::uint8_t* bytes = source.audio_config(size);
    return stored(bytes, size);
}

std::string metadata(const flv_stream_source& source) {
    std::uint32_t size = 99;
    const std::uint8_t* bytes = source.metadata(size);
    return stored(bytes, size);
}

TEST(FlvSource, RefusesWhatIsNotAnFlvFile) {
    const std::string tag_start = hex_bytes("00 00 00 09 00 00 00 00");
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"other signature", hex_bytes("'FLA' 01 05") + tag_start},
        {"version 2", hex_bytes("'FLV' 02 05") + tag_start},
        {"shorter than a file start", hex_bytes("'FLV' 01 05 00 00 00 09 00 00 00")},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "bad.flv", c.bytes);
        try {
            flv_stream_source source(dir / "bad.flv");
            ADD_FAILURE() << "opened";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "It's not a FLV file");
        }
    }
    EXPECT_THROW(flv_stream_source(dir / "missing.flv"), std::system_error);
}

TEST(FlvSource, HandsOutEveryTagInOrderThenReportsTheEndForGood) {
    flv_builder flv;
    flv.tag(video, 0, avc_header);
    flv.tag(audio, 0, aac_header);
    flv.tag(video, 0, keyframe_body);
    flv.tag(audio, 23, audio_body);
    flv.tag(15, 40, "amf3");
    const std::string big(70000, 'x');  // more than the first buffer holds
    flv.tag(video, 0x1234567, big);     // timestamp with its extension byte
    flv.tag(video, 0x1234568, interframe_body);
    temp_dir dir;
    flv_stream_source source(flv.save(dir));

    EXPECT_EQ(source.start_offset(), 0u);
    EXPECT_EQ(video_config(source), avc_header);
    EXPECT_EQ(audio_config(source), aac_header);
    EXPECT_EQ(metadata(source), "");

    const struct {
        std::uint8_t type;
        std::uint32_t time;
        std::string body;
    } expected[] = {
        {video, 0, avc_header},
        {audio, 0, aac_header},
        {video, 0, keyframe_body},
        {audio, 23, audio_body},
        {15, 40, "amf3"},
        {video, 0x1234567, big},
        {video, 0x1234568, interframe_body},
    };
    for (const auto& e : expected) {
        const auto tag = next(source);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->type, e.type);
        EXPECT_EQ(tag->time, e.time);
        EXPECT_EQ(tag->body, e.body);
    }
    EXPECT_FALSE(next(source));
    EXPECT_FALSE(next(source));
}

// A player gives the buffer back after each run: the next run goes on from
// the tag after the last one it played, a large tag included.
TEST(FlvSource, ReadingGoesOnWhereItWasAfterTheBufferIsGivenBack) {
    flv_builder flv;
    flv.tag(video, 0, avc_header);
    flv.tag(video, 0, keyframe_body);
    flv.tag(audio, 20, audio_body);
    flv.tag(video, 40, std::string(70000, 'x'));
    flv.tag(audio, 60, audio_body);
    flv.tag(video, 80, interframe_body);
    temp_dir dir;
    const auto file = flv.save(dir);

    std::vector<read_result> expected;
    flv_stream_source whole(file);
    while (auto tag = next(whole)) {
        expected.push_back(*tag);
    }
    ASSERT_EQ(expected.size(), 6u);

    flv_stream_source source(file);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        source.release_buffer();
        const auto tag = next(source);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->time, expected[i].time);
        EXPECT_EQ(tag->body, expected[i].body);
    }
    source.release_buffer();
    EXPECT_FALSE(next(source));
}

TEST(FlvSource, ALateFirstTimestampShiftsTheWholeFile) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> times;  // a header at 0 comes first
        std::uint32_t offset;
        std::vector<std::uint32_t> played;
    } cases[] = {
        {"6000 ms is shifted to 0", {6000, 6040, 7000}, 6000, {0, 0, 40, 1000}},
        {"5001 ms is shifted", {5001, 5100}, 5001, {0, 0, 99}},
        {"5000 ms is kept", {5000, 5040}, 0, {0, 5000, 5040}},
        {"an early tag decides", {100, 6000}, 0, {0, 100, 6000}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flv_builder flv;
        flv.tag(video, 0, avc_header);
        for (auto time : c.times) {
            flv.tag(video, time, interframe_body);
        }
        flv_stream_source source(flv.save(dir));
        EXPECT_EQ(source.start_offset(), c.offset);
        EXPECT_EQ(all_times(source), c.played);
    }
}

// Keyframes at `first`, `first` + 2000 and `first` + 4000 ms of the file's own
// timeline, each with an interframe 500 ms later.
struct indexed_file {
    explicit indexed_file(std::uint32_t first = 1000) {
        std::vector<double> seconds;
        std::vector<double> positions;
        // Fixed-size entries: the offsets do not depend on the values.
        flv_builder probe;
        probe.tag(data, 0, on_metadata({0, 0, 0}, {0, 0, 0}));
        for (std::uint32_t time = first; time <= first + 4000; time += 2000) {
            seconds.push_back(time / 1000.0);
            positions.push_back(static_cast<double>(probe.tag(video, 0, keyframe_body)));
            probe.tag(video, 0, interframe_body);
        }
        flv.tag(data, 0, on_metadata(seconds, positions));
        for (std::uint32_t time = first; time <= first + 4000; time += 2000) {
            flv.tag(video, time, keyframe_body);
            flv.tag(video, time + 500, interframe_body);
        }
    }
    flv_builder flv;
};

TEST(FlvSource, SeeksToTheKeyframeAtOrBeforeTheTarget) {
    // Times in the timeline played: a file that starts at 11000 ms is shifted
    // to keyframes at 0, 2000 and 4000.
    const struct {
        const char* name;
        std::uint32_t first_keyframe;
        std::uint32_t target;
        std::uint32_t reported;
        std::uint32_t landed;
    } cases[] = {
        {"exactly a keyframe", 1000, 3000, 3000, 3000},
        {"between two keyframes", 1000, 4999, 3000, 3000},
        {"just after a keyframe", 1000, 1001, 1000, 1000},
        {"before the first keyframe", 1000, 200, 200, 1000},
        {"into the last group of pictures", 1000, 5200, 5000, 5000},
        {"far past the end", 1000, 4000000000u, 5000, 5000},
        {"shifted: exactly a keyframe", 11000, 2000, 2000, 2000},
        {"shifted: between keyframes", 11000, 3999, 2000, 2000},
        {"shifted: past the last", 11000, 60000, 4000, 4000},
        {"shifted: near the top of the clock", 11000, 4294967000u, 4000, 4000},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        indexed_file file(c.first_keyframe);
        flv_stream_source source(file.flv.save(dir));
        ASSERT_EQ(source.keyframes().size(), 3u);
        EXPECT_EQ(source.start_offset(), c.first_keyframe > 5000 ? c.first_keyframe : 0);

        std::uint32_t ms = c.target;
        ASSERT_TRUE(source.seek(ms));
        EXPECT_EQ(ms, c.reported);
        const auto tag = next(source);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->time, c.landed);
        EXPECT_EQ(tag->body, keyframe_body);
    }
}

TEST(FlvSource, SeeksAgainAfterReadingToTheEnd) {
    indexed_file file;
    temp_dir dir;
    flv_stream_source source(file.flv.save(dir));
    while (next(source)) {
    }
    for (std::uint32_t target : {3000u, 1000u}) {
        std::uint32_t ms = target;
        ASSERT_TRUE(source.seek(ms));
        EXPECT_EQ(all_times(source).front(), target);
    }
}

TEST(FlvSource, AnUnusableKeyframesTableLeavesItUnableToSeek) {
    auto metadata_of = [](std::unique_ptr<amf0_based> second_value) {
        metadata_writer writer;
        second_value->write(writer.out);
        return writer.bytes();
    };
    auto properties_object = [] {
        auto object = std::make_unique<amf0_object>();
        object->insert("keyframes", keyframes_table(numbers({1}), numbers({13})));
        return object;
    };
    auto table_as_mixed_array = [] {
        auto table = std::make_unique<amf0_mixed_array>();
        table->insert("times", numbers({1}));
        table->insert("filepositions", numbers({13}));
        return table;
    };
    const std::string whole = on_metadata({1}, {13});
    const struct {
        const char* name;
        std::string metadata;
    } cases[] = {
        {"properties as an object", metadata_of(properties_object())},
        {"keyframes as an ECMA array", on_metadata(table_as_mixed_array())},
        {"lengths differ", on_metadata({1, 2}, {13})},
        {"times not an array",
         on_metadata(keyframes_table(std::make_unique<amf0_number>(1), numbers({13})))},
        {"no keyframes", on_metadata(std::make_unique<amf0_null>())},
        {"cut short", whole.substr(0, whole.size() - 5)},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flv_builder flv;
        flv.tag(data, 0, c.metadata);
        flv.tag(video, 1000, keyframe_body);
        flv.tag(video, 2000, keyframe_body);
        flv_stream_source source(flv.save(dir));
        EXPECT_EQ(metadata(source), c.metadata);
        EXPECT_TRUE(source.keyframes().empty());
        std::uint32_t ms = 1000;
        EXPECT_FALSE(source.seek(ms));
        EXPECT_EQ(ms, 1000u);
        EXPECT_EQ(all_times(source), (std::vector<std::uint32_t>{0, 1000, 2000}));
    }
}

TEST(FlvSource, KeyframeEntriesThatCannotBeTimesOrTagOffsetsAreSkipped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Entries of the same size whatever their values, so that the offsets
    // found behind placeholder positions hold behind the real ones.
    const auto metadata_with = [&](const std::vector<double>& positions) {
        auto times = numbers({1, nan, inf, -inf, -2, 5e6, 3, 4, 5, 6, 7, 8, 0});
        times->values.back() = std::make_unique<amf0_string>("2");
        return on_metadata(keyframes_table(std::move(times), numbers(positions)));
    };
    flv_builder probe;
    probe.tag(data, 0, metadata_with(std::vector<double>(13, 0)));
    const double first = static_cast<double>(probe.tag(video, 1000, keyframe_body));
    const double second = static_cast<double>(probe.tag(video, 3000, keyframe_body));
    const double size = static_cast<double>(probe.bytes().size());

    flv_builder flv;
    flv.tag(data, 0,
            metadata_with({first, first, first, first, first, first,  // bad times
                           second, nan, -inf, -13, 0, size,           // one good, bad positions
                           first}));                                  // a string time
    flv.tag(video, 1000, keyframe_body);
    flv.tag(video, 3000, keyframe_body);
    ASSERT_EQ(flv.bytes().size(), probe.bytes().size());

    temp_dir dir;
    flv_stream_source source(flv.save(dir));
    const std::vector<keyframe> expected = {{1000, static_cast<std::int64_t>(first)},
                                            {3000, static_cast<std::int64_t>(second)}};
    EXPECT_EQ(source.keyframes(), expected);
}

TEST(FlvSource, SequenceHeadersAreTakenUpWhenPlaybackReachesThem) {
    flv_builder flv;
    for (std::uint32_t n = 0; n < 30; ++n) {
        flv.tag(audio, n * 20, audio_body);
    }
    const std::string later_avc = hex_bytes("17 00 00 00 00 01 4d 00 28");
    const std::string later_aac = hex_bytes("af 00 11 90");
    flv.tag(video, 600, later_avc);
    flv.tag(audio, 600, later_aac);
    flv.tag(audio, 620, hex_bytes("af 00"));           // too short to be one
    flv.tag(video, 620, hex_bytes("17 00 00 00 00"));  // too short too
    temp_dir dir;
    flv_stream_source source(flv.save(dir));
    EXPECT_EQ(video_config(source), "");
    EXPECT_EQ(audio_config(source), "");

    for (int n = 0; n < 30; ++n) {
        ASSERT_TRUE(next(source));
    }
    EXPECT_EQ(video_config(source), "");
    ASSERT_TRUE(next(source));
    EXPECT_EQ(video_config(source), later_avc);
    ASSERT_TRUE(next(source));
    EXPECT_EQ(audio_config(source), later_aac);
    while (next(source)) {
    }
    EXPECT_EQ(video_config(source), later_avc);
    EXPECT_EQ(audio_config(source), later_aac);
}

TEST(FlvSource, OnlyTheFirstTagsAreSearchedForMetadata) {
    const std::string first = on_metadata({1}, {13});
    const std::string in_range = hex_bytes("02 00 0a 'onMetaData' 05");
    const struct {
        const char* name;
        int tags_before;
        std::string body;
        std::string found;
    } cases[] = {
        {"the 25th tag", 24, in_range, in_range},
        {"the 26th tag", 25, in_range, ""},
        {"13 bytes are not enough", 0, hex_bytes("02 00 0a 'onMetaData'"), ""},
        {"another name", 0, hex_bytes("02 00 0a 'onMetaDatb' 05"), ""},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flv_builder flv;
        for (int n = 0; n < c.tags_before; ++n) {
            flv.tag(audio, 0, audio_body);
        }
        flv.tag(data, 0, c.body);
        flv_stream_source source(flv.save(dir));
        EXPECT_EQ(metadata(source), c.found);
    }
}

TEST(FlvSource, ATruncatedOrDamagedFileEndsAtTheDamagedTag) {
    flv_builder flv;
    flv.tag(video, 0, keyframe_body);
    const auto second = flv.tag(video, 40, interframe_body);
    const auto third = flv.tag(video, 80, interframe_body);
    const std::string whole = flv.bytes();
    const std::size_t body_end = whole.size() - 4;

    std::string huge_size = whole.substr(0, third);
    huge_size += hex_bytes("09 ff ff ff 00 00 50 00 00 00 00 'short'");
    // A tag larger than what the source reads ahead.
    flv_builder with_large;
    with_large.tag(video, 0, keyframe_body);
    const auto large = with_large.tag(video, 40, std::string(100000, 'x'));
    const std::string large_whole = with_large.bytes();
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::uint32_t> played;
    } cases[] = {
        {"cut inside a tag header", whole.substr(0, third + 5), {0, 40}},
        {"cut inside a body", whole.substr(0, third + 13), {0, 40}},
        {"cut after the last body", whole.substr(0, body_end), {0, 40, 80}},
        {"cut before any tag", whole.substr(0, 13), {}},
        {"cut inside the first body", whole.substr(0, second - 6), {}},
        {"a size beyond the file", huge_size, {0, 40}},
        {"cut inside a large body", large_whole.substr(0, large + 50000), {0}},
        {"cut after a large body", large_whole.substr(0, large_whole.size() - 4), {0, 40}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "cut.flv", c.bytes);
        flv_stream_source source(dir / "cut.flv");
        EXPECT_EQ(all_times(source), c.played);
        EXPECT_FALSE(next(source));
    }
}

// A file as a real muxer writes it, with the index the player seeks by.
TEST(FlvSource, ARealFilesIndexPointsAtItsKeyframes) {
    if (!platform::testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    temp_dir dir;
    const auto file = dir / "indexed.flv";
    const std::string error = make_sample_flv(file, 4, {"-flvflags", "add_keyframe_index"});
    ASSERT_EQ(error, "");

    flv_stream_source source(file);
    EXPECT_EQ(source.start_offset(), 0u);
    EXPECT_GT(video_config(source).size(), 5u);
    EXPECT_GT(audio_config(source).size(), 2u);
    EXPECT_NE(metadata(source), "");
    ASSERT_GE(source.keyframes().size(), 4u);  // one a second

    for (const keyframe& key : source.keyframes()) {
        SCOPED_TRACE(key.time);
        std::uint32_t ms = key.time;
        ASSERT_TRUE(source.seek(ms));
        EXPECT_EQ(ms, key.time);
        const auto tag = next(source);
        ASSERT_TRUE(tag);
        EXPECT_EQ(tag->type, video);
        EXPECT_EQ(static_cast<std::uint8_t>(tag->body[0]), 0x17);
        // The muxer indexes a keyframe by its time before the audio's
        // start-up delay, which its tags carry: a frame or so apart.
        EXPECT_LT(tag->time - key.time, 40u);
    }

    // Between keyframes: the one before, and the tags go on from there.
    const keyframe& second = source.keyframes()[1];
    std::uint32_t ms = second.time + 500;
    ASSERT_TRUE(source.seek(ms));
    EXPECT_EQ(ms, second.time);
    const auto times = all_times(source);
    ASSERT_FALSE(times.empty());
    EXPECT_LT(times.front() - second.time, 40u);
}

}  // namespace
