#include "foundation/zpk_reader.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "foundation/media_source_callbacks.hpp"
#include "foundation/segment_writer.hpp"
#include "foundation/tests/segment_test_support.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace segment_testing;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;

constexpr std::uint8_t video_tag = 9;

// How the player binds a recording.
media_source_callbacks callbacks_of(zpk_reader& reader) {
    return {
        std::bind_front(&zpk_reader::audio_config, &reader),
        std::bind_front(&zpk_reader::video_config, &reader),
        std::bind_front(&zpk_reader::metadata, &reader),
        std::bind_front(&zpk_reader::read_tag, &reader),
        std::bind_front(&zpk_reader::seek, &reader),
        std::bind_front(&zpk_reader::release_buffer, &reader),
    };
}

std::optional<flv_tag> next_tag(const media_source_callbacks& source, std::int32_t& status) {
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    const std::uint8_t* body = source.read_tag(size, timestamp, type, status);
    if (body == nullptr) {
        EXPECT_EQ(size, 0u);
        return std::nullopt;
    }
    return flv_tag{type, timestamp, std::string(body, body + size)};
}

// Reads until no tag comes; the status says why. The buffer is given back
// after every tag, as a player does after every run: reading goes on from
// where it was.
std::vector<flv_tag> read_on(const media_source_callbacks& source, std::int32_t& status) {
    std::vector<flv_tag> tags;
    status = media_tag_read;
    while (auto tag = next_tag(source, status)) {
        EXPECT_EQ(status, media_tag_read);
        tags.push_back(std::move(*tag));
        source.release_buffer();
    }
    return tags;
}

std::string body_of(const std::function<const std::uint8_t*(std::uint32_t&)>& get) {
    std::uint32_t size = 99;
    const std::uint8_t* body = get(size);
    if (body == nullptr) {
        EXPECT_EQ(size, 0u);
        return {};
    }
    return std::string(body, body + size);
}

// Video with a keyframe every 2 s and AAC audio, as the writer tests feed.
void feed_av(segment_writer& writer, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t t = from; t < to; t += 50) {
        const auto mark = static_cast<std::uint8_t>(t / 50);
        if (t % 200 == 0) {
            writer.on_video(t, t % 2000 == 0 ? avc_keyframe(mark) : avc_inter(mark));
        }
        if (t % 250 == 0) {
            writer.on_audio(t, aac_frame(mark));
        }
    }
}

// Every tag of the closed segments of a folder, from `from` on, straight
// from the files.
std::vector<flv_tag> tags_on_disk(const fs::path& folder, std::uint32_t from = 0) {
    std::vector<flv_tag> tags;
    for (std::uint32_t n = from;; ++n) {
        const fs::path file = folder / (std::to_string(n) + ".zpksegment");
        if (!fs::exists(file)) {
            return tags;
        }
        const auto segment = read_segment(file);
        tags.insert(tags.end(), segment.tags.begin(), segment.tags.end());
    }
}

class ZpkReader : public ::testing::Test {
  protected:
    fs::path path(const char* suffix) const { return segment_dir_path(dir / "cam", suffix); }
    fs::path segment(std::uint32_t n) const {
        return path(".segments") / (std::to_string(n) + ".zpksegment");
    }

    // Segments at 0, 12000 and 24000; the video configuration changes with
    // segment 1, and both with segment 2.
    void record_vod() {
        segment_writer writer(dir.path(), "cam", false, false);
        writer.on_data(0, metadata_message());
        writer.on_video(0, avc_header(1));
        writer.on_audio(0, aac_header(1));
        feed_av(writer, 0, 12000);
        writer.on_video(12000, avc_header(2));
        feed_av(writer, 12000, 24000);
        writer.on_video(24000, avc_header(3));
        writer.on_audio(24000, aac_header(2));
        feed_av(writer, 24000, 30000);
        writer.end_as_vod();
    }

    temp_dir dir;
};

TEST_F(ZpkReader, ReadsBackEveryTagTheWriterWrote) {
    record_vod();
    zpk_reader reader(path(".zpksegments"));
    const media_source_callbacks source = callbacks_of(reader);
    EXPECT_EQ(body_of(source.metadata), reader.index().metadata);
    EXPECT_FALSE(reader.index().metadata.empty());

    const std::string video_configs[] = {text_of(avc_header(1)), text_of(avc_header(2)),
                                         text_of(avc_header(3))};
    const std::string audio_configs[] = {text_of(aac_header(1)), text_of(aac_header(1)),
                                         text_of(aac_header(2))};
    std::vector<flv_tag> read;
    std::int32_t status = media_tag_read;
    while (auto tag = next_tag(source, status)) {
        const std::uint32_t n = reader.current_segment();
        ASSERT_LT(n, 3u);
        EXPECT_EQ(body_of(source.video_config), video_configs[n]) << n;
        EXPECT_EQ(body_of(source.audio_config), audio_configs[n]) << n;
        read.push_back(std::move(*tag));
    }
    EXPECT_EQ(status, media_source_ended);
    EXPECT_EQ(read, tags_on_disk(path(".segments")));
    EXPECT_EQ(reader.current_segment(), 2u);
    // The end stays the end.
    EXPECT_FALSE(next_tag(source, status));
    EXPECT_EQ(status, media_source_ended);
}

TEST_F(ZpkReader, GivesNoConfigurationThatDoesNotApplyOrHoldsNoBody) {
    segment_index index;
    index.video_configs = {{1, config_tag(9, avc_header())}};
    index.audio_configs = {{0, std::string(14, '\x08')}};
    index.save(path(".zpksegments"));
    zpk_reader reader(path(".zpksegments"));
    const media_source_callbacks source = callbacks_of(reader);
    EXPECT_EQ(body_of(source.video_config), "");  // from segment 1 on
    EXPECT_EQ(body_of(source.audio_config), "");  // 14 bytes: no body
    EXPECT_EQ(body_of(source.metadata), "");
    std::int32_t status = media_tag_read;
    EXPECT_FALSE(next_tag(source, status));
    EXPECT_EQ(status, media_source_ended);
}

TEST_F(ZpkReader, FollowsALiveRecordingAsItGrowsAndNoticesItsEnd) {
    struct end_case {
        const char* name;
        std::function<void(std::optional<segment_writer>&)> end;
        std::int32_t final_status;
    } cases[] = {
        {"ended as vod", [](auto& writer) { writer->end_as_vod(); }, media_source_ended},
        {"ended as fake live", [](auto& writer) { writer->end_as_fake_live(); },
         media_source_ended},
        // Left resumable: a later publish may continue it.
        {"publisher gone", [](auto& writer) { writer.reset(); }, media_tag_later},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir here;
        std::optional<segment_writer> writer(std::in_place, here.path(), "cam", true, false);
        writer->on_video(0, avc_header());
        feed_av(*writer, 0, 24200);  // segments 0 and 1 closed, 2 open
        zpk_reader reader(here / "cam.livesegments");
        const media_source_callbacks source = callbacks_of(reader);
        EXPECT_EQ(reader.current_segment(), 0u);

        // Into the open segment, as far as it has been written.
        std::int32_t status = media_tag_read;
        std::vector<flv_tag> read = read_on(source, status);
        EXPECT_EQ(status, media_tag_later);
        EXPECT_EQ(reader.current_segment(), 2u);
        EXPECT_FALSE(next_tag(source, status));
        EXPECT_EQ(status, media_tag_later);

        feed_av(*writer, 24200, 36200);  // closes segment 2
        std::vector<flv_tag> more = read_on(source, status);
        EXPECT_EQ(status, media_tag_later);
        EXPECT_EQ(reader.current_segment(), 3u);
        read.insert(read.end(), more.begin(), more.end());

        c.end(writer);
        more = read_on(source, status);
        EXPECT_EQ(status, c.final_status);
        read.insert(read.end(), more.begin(), more.end());
        EXPECT_EQ(reader.current_segment(), 3u);
        EXPECT_EQ(read, tags_on_disk(here / "cam.segments"));
    }
}

// A recording whose writer was killed before it closed a segment: its index
// lists nothing, its first segment is still open, the last tag cut short. A
// player reads what was written whole, and follows on when the publisher
// comes back and its writer takes that segment back.
TEST_F(ZpkReader, PlaysASegmentLeftOpenByAKilledWriter) {
    segment_index index;
    index.live = true;
    index.new_recording_id();
    index.save(path(".livesegments"));
    fs::create_directories(path(".segments"));
    const std::vector<flv_tag> whole = {{video_tag, 0, text_of(avc_keyframe(1))},
                                        {8, 20, text_of(aac_frame(2))}};
    std::string file(segment_header::size, '\0');
    for (const auto& tag : whole) {
        file += tag_bytes(tag.type, tag.timestamp, tag.body);
    }
    file += tag_bytes(video_tag, 40, text_of(avc_inter(3))).substr(0, 14);
    write_file(path(".segments") / "0.zpksegment0", file);

    zpk_reader reader(path(".livesegments"));
    const media_source_callbacks source = callbacks_of(reader);
    std::uint32_t from = 0;
    ASSERT_TRUE(source.seek(from)) << "nothing listed, but something written";
    std::int32_t status = media_tag_read;
    EXPECT_EQ(read_on(source, status), whole);
    EXPECT_EQ(status, media_tag_later);

    {
        segment_writer writer(dir.path(), "cam", true, false);
        EXPECT_EQ(writer.index().segments.size(), 1u);
        writer.on_video(0, avc_keyframe(4));
    }
    EXPECT_EQ(read_on(source, status),
              (std::vector<flv_tag>{{video_tag, 60, text_of(avc_keyframe(4))}}));
    EXPECT_EQ(status, media_tag_later);
}

TEST_F(ZpkReader, StartsAViewerOfALiveRecordingNearItsEnd) {
    {
        segment_writer writer(dir.path(), "cam", true, false);
        feed_av(writer, 0, 60000);
    }
    zpk_reader reader(path(".livesegments"));
    ASSERT_EQ(reader.index().segments.size(), 5u);
    EXPECT_EQ(reader.current_segment(), 3u);
    const media_source_callbacks source = callbacks_of(reader);
    std::int32_t status = media_tag_read;
    EXPECT_EQ(read_on(source, status), tags_on_disk(path(".segments"), 3));
    EXPECT_EQ(status, media_tag_later);

    // Past the end of a live recording: its last segment.
    std::uint32_t ms = 1000000;
    EXPECT_TRUE(source.seek(ms));
    EXPECT_EQ(ms, 48000u);
    EXPECT_EQ(read_on(source, status), tags_on_disk(path(".segments"), 4));
}

TEST_F(ZpkReader, SeeksToTheKeyframeAtOrBeforeTheTime) {
    record_vod();
    zpk_reader reader(path(".zpksegments"));
    const media_source_callbacks source = callbacks_of(reader);
    const std::vector<flv_tag> all = tags_on_disk(path(".segments"));
    struct seek_case {
        std::uint32_t target;
        std::optional<std::uint32_t> landed;
        std::string first_body;
    } cases[] = {
        {5000, 4000, text_of(avc_keyframe(80))},
        {4000, 4000, text_of(avc_keyframe(80))},
        {0, 0, avc_end_of_sequence},
        {11900, 10000, text_of(avc_keyframe(200))},  // found by a scan into the next segment
        {13000, 12000, text_of(avc_keyframe(240))},
        {12000, 12000, avc_end_of_sequence},  // the segment's own beginning
        {29800, 28000, text_of(avc_keyframe(static_cast<std::uint8_t>(560)))},
        {29801, std::nullopt, ""},
        {40000, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::uint32_t ms = c.target;
        ASSERT_EQ(source.seek(ms), c.landed.has_value());
        if (!c.landed) {
            continue;
        }
        EXPECT_EQ(ms, *c.landed);
        std::int32_t status = media_tag_read;
        const std::vector<flv_tag> rest = read_on(source, status);
        EXPECT_EQ(status, media_source_ended);
        ASSERT_FALSE(rest.empty());
        EXPECT_EQ(rest.front().timestamp, *c.landed);
        EXPECT_EQ(rest.front().type, video_tag);
        EXPECT_EQ(rest.front().body, c.first_body);
        // From there on, everything to the end.
        ASSERT_LE(rest.size(), all.size());
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), all.end() - rest.size()));
    }
}

TEST_F(ZpkReader, SeeksAnAudioOnlyRecordingToTheFirstTagAtTheTime) {
    {
        segment_writer writer(dir.path(), "cam", false, false);
        for (std::uint32_t t = 0; t <= 25000; t += 300) {
            writer.on_audio(t, mp3_frame(static_cast<std::uint8_t>(t / 300)));
        }
        writer.end_as_vod();
    }
    zpk_reader reader(path(".zpksegments"));
    const media_source_callbacks source = callbacks_of(reader);
    struct seek_case {
        std::uint32_t target;
        std::optional<std::uint32_t> landed;
    } cases[] = {{5050, 5100}, {5100, 5100}, {10200, 10200}, {24900, 24900}, {24901, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::uint32_t ms = c.target;
        ASSERT_EQ(source.seek(ms), c.landed.has_value());
        if (c.landed) {
            EXPECT_EQ(ms, *c.landed);
            std::int32_t status = media_tag_read;
            const auto tag = next_tag(source, status);
            ASSERT_TRUE(tag);
            EXPECT_EQ(tag->timestamp, *c.landed);
            EXPECT_EQ(tag->body, text_of(mp3_frame(static_cast<std::uint8_t>(*c.landed / 300))));
        }
    }
}

TEST_F(ZpkReader, SkipsADamagedSegment) {
    record_vod();
    const std::vector<flv_tag> before = tags_on_disk(path(".segments"), 0);
    const segment_file middle = read_segment(segment(1));
    const std::string middle_bytes = read_file(segment(1));
    const std::vector<flv_tag> after = tags_on_disk(path(".segments"), 2);
    const std::vector<flv_tag> first(before.begin(),
                                     before.end() - after.size() - middle.tags.size());

    std::size_t three_tags = segment_header::size;
    for (std::size_t i = 0; i < 3; ++i) {
        three_tags += 15 + middle.tags[i].body.size();
    }
    std::string huge_size = middle_bytes;
    huge_size.replace(segment_header::size + 1, 3, "\xFF\xFF\xFF");
    struct damage_case {
        const char* name;
        std::optional<std::string> file;
        std::size_t tags_kept;
    } cases[] = {
        {"missing", std::nullopt, 0},
        {"cut inside a tag", middle_bytes.substr(0, three_tags + 5), 3},
        {"a size beyond the file", huge_size, 0},
        {"shorter than its header", middle_bytes.substr(0, 5), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.file) {
            write_file(segment(1), *c.file);
        } else {
            fs::remove(segment(1));
        }
        zpk_reader reader(path(".zpksegments"));
        std::int32_t status = media_tag_read;
        std::vector<flv_tag> expected = first;
        expected.insert(expected.end(), middle.tags.begin(), middle.tags.begin() + c.tags_kept);
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_EQ(read_on(callbacks_of(reader), status), expected);
        EXPECT_EQ(status, media_source_ended);
    }
}

TEST_F(ZpkReader, RefusesAMissingOrDamagedIndex) {
    EXPECT_THROW(zpk_reader(path(".zpksegments")), std::exception);
    write_file(path(".zpksegments"), hex("01 00 00"));
    EXPECT_THROW(zpk_reader(path(".zpksegments")), buffer_over_range);
}

}  // namespace
