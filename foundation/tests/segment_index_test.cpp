#include "foundation/segment_index.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/segment_index_file.hpp"
#include "foundation/tests/segment_test_support.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using platform::testing::folder_entries;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;
using segment_testing::config_tag;
using segment_testing::hex;

// Every field set, and the bytes it must save to.
struct full_record {
    std::string video_tag = config_tag(9, segment_testing::avc_header(1));
    std::string video_tag2 = config_tag(9, segment_testing::avc_header(2));
    std::string audio_tag = config_tag(8, segment_testing::aac_header());
    std::string metadata = hex("02 00 0A 'onMetaData' 03 00 00 09");
    segment_index index;
    std::string file;

    full_record() {
        index.video_codec = 7;
        index.audio_format = 10;
        index.video_configs = {{0, video_tag}, {2, video_tag2}};
        index.audio_configs = {{0, audio_tag}};
        index.segments = {{0, 1000, 10040}, {10040, 2000, 10040}, {20080, 3000, 4920}};
        index.name = "ABCD";
        index.metadata = metadata;
        index.live = true;
        index.has_start_time = true;
        index.duration_ms = 25000;
        index.start_time = 1700000000;
        file = hex("01 7F 00 00 07 0A 02 A8 61 00 00 04 'ABCD'") + hex("1B 00 00 00 00") +
               video_tag + hex("1B 02 00 00 00") + video_tag2 + hex("00") + hex("13 00 00 00 00") +
               audio_tag + hex("00") + hex("11 00 00 00") + metadata + hex("00 F1 53 65") +
               hex("03 00 00 00") + hex("00 00 00 00 E8 03 00 00") +
               hex("38 27 00 00 D0 07 00 00") + hex("70 4E 00 00 B8 0B 00 00");
    }
};

TEST(SegmentIndex, EmptyLiveIndexSavesTo48Bytes) {
    temp_dir dir;
    segment_index index;
    index.live = true;
    index.new_recording_id();
    index.save(dir / "a.livesegments");
    EXPECT_EQ(read_file(dir / "a.livesegments"),
              hex("01 20 00 00 FF FF 02 00 00 00 00 20") + index.name + hex("00 00 00 00"));
}

TEST(SegmentIndex, SavesEveryFieldInPlaceAndLoadsItBack) {
    temp_dir dir;
    const full_record full;
    full.index.save(dir / "a.zpksegments");
    EXPECT_EQ(read_file(dir / "a.zpksegments"), full.file);

    segment_index loaded;
    loaded.load(dir / "a.zpksegments");
    EXPECT_EQ(loaded.video_codec, 7);
    EXPECT_EQ(loaded.audio_format, 10);
    EXPECT_EQ(loaded.video_configs, full.index.video_configs);
    EXPECT_EQ(loaded.audio_configs, full.index.audio_configs);
    EXPECT_EQ(loaded.segments, full.index.segments);
    EXPECT_EQ(loaded.name, "ABCD");
    EXPECT_EQ(loaded.metadata, full.metadata);
    EXPECT_TRUE(loaded.live);
    EXPECT_TRUE(loaded.has_start_time);
    EXPECT_EQ(loaded.segment_format, 2);
    EXPECT_EQ(loaded.duration_ms, 25000u);
    EXPECT_EQ(loaded.start_time, 1700000000u);
    EXPECT_EQ(loaded.version, 1);
    EXPECT_EQ(loaded.path, dir / "a.zpksegments");
}

TEST(SegmentIndex, LoadTakesWhatTheFlagsAnnounceAndKeepsUnknownSegmentFormats) {
    // Codec bytes are read whatever bits 0 and 1 say; a config list flag
    // with an immediate end gives an empty list; trailing bytes are ignored.
    const std::string file =
        hex("01 04 99 99 FF 02 07 10 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 01");
    segment_index index = segment_index::decode(file);
    EXPECT_EQ(index.video_codec, -1);
    EXPECT_EQ(index.audio_format, 2);
    EXPECT_EQ(index.segment_format, 7);
    EXPECT_EQ(index.duration_ms, 16u);
    EXPECT_TRUE(index.video_configs.empty());
    EXPECT_FALSE(index.live);
    ASSERT_EQ(index.segments.size(), 1u);
    EXPECT_EQ(index.segments[0], (zpk_segment_entry{0, 0, 16}));
    // Saved again, the flags say what is there.
    EXPECT_EQ(index.encode(),
              hex("01 02 00 00 FF 02 07 10 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST(SegmentIndex, DerivesDurationsFromTheNextStartAndTheIndexDuration) {
    segment_index index;
    index.segments = {{0, 1, 0}, {10040, 1, 0}, {20080, 1, 0}};
    index.duration_ms = 25000;
    const segment_index loaded = segment_index::decode(index.encode());
    ASSERT_EQ(loaded.segments.size(), 3u);
    EXPECT_EQ(loaded.segments[0].duration_ms, 10040u);
    EXPECT_EQ(loaded.segments[1].duration_ms, 10040u);
    EXPECT_EQ(loaded.segments[2].duration_ms, 4920u);
}

TEST(SegmentIndex, FindsTheSegmentHoldingATime) {
    segment_index index;
    index.segments = {{0, 1, 0}, {10040, 1, 0}};
    index.duration_ms = 25000;
    index = segment_index::decode(index.encode());
    struct find_case {
        std::uint32_t time;
        std::optional<std::uint32_t> segment;
        std::uint32_t start = 0;
    } cases[] = {
        {0, 0, 0},         {10039, 0, 0},     {10040, 1, 10040},
        {15000, 1, 10040}, {25000, 1, 10040}, {25001, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto found = index.find_segment(c.time);
        ASSERT_EQ(found.has_value(), c.segment.has_value()) << c.time;
        if (found) {
            EXPECT_EQ(found->segment, *c.segment) << c.time;
            EXPECT_EQ(found->start_ms, c.start) << c.time;
        }
    }
    index.segments[0].start_ms = 500;  // a time before the first start
    EXPECT_EQ(index.find_segment(100)->segment, 0u);
    EXPECT_FALSE(segment_index().find_segment(0));
}

TEST(SegmentIndex, AddsAConfigOnlyWhenItDiffersFromTheLastOne) {
    segment_index index;
    const std::string first = config_tag(9, segment_testing::avc_header(1));
    std::string same_body = first;
    same_body[4] = 0x28;  // another timestamp in the tag header
    const std::string changed = config_tag(9, segment_testing::avc_header(2));

    EXPECT_TRUE(index.add_video_config(first, 0));
    EXPECT_FALSE(index.add_video_config(same_body, 1));
    EXPECT_TRUE(index.add_video_config(changed, 3));
    EXPECT_TRUE(index.add_video_config(first, 5));  // only the last entry counts
    EXPECT_EQ(index.video_configs,
              (std::vector<zpk_config_entry>{{0, first}, {3, changed}, {5, first}}));

    // The lists are apart.
    EXPECT_TRUE(index.add_audio_config(first, 7));
    EXPECT_EQ(index.audio_configs, (std::vector<zpk_config_entry>{{7, first}}));

    // A length byte could not describe a longer tag.
    EXPECT_FALSE(index.add_audio_config(std::string(256, 'x'), 8));
    EXPECT_TRUE(index.add_audio_config(std::string(255, 'x'), 8));
    index.audio_configs.push_back({9, std::string(256, 'y')});
    EXPECT_THROW(index.encode(), std::length_error);
}

TEST(SegmentIndex, SetsTheMetadataDuration) {
    const std::string built =
        hex("02 00 0A 'onMetaData' 03 00 08 'duration' 00 40 4E C0 00 00 00 00 00 00 00 09");
    struct duration_case {
        const char* name;
        std::string metadata;
        std::string expected;
    } cases[] = {
        {"empty", "", built},
        {"number replaced",
         hex("02 00 0A 'onMetaData' 03 00 08 'duration' 00 00 00 00 00 00 00 00 00 00 00 09"),
         built},
        {"string replaced by a number",
         hex("02 00 0A 'onMetaData' 03 00 08 'duration' 02 00 01 'x' 00 00 09"), built},
        // Inserted, and the object written again in key order.
        {"inserted in key order",
         hex("02 00 06 'onMeta' 03 00 0A 'framerate!' 01 01 00 01 'w' 00 40 00 00 00 00 00 00 00 "
             "00 00 09 FF"),
         hex("02 00 06 'onMeta' 03 00 01 'w' 00 40 00 00 00 00 00 00 00 00 08 'duration' 00 40 4E "
             "C0 00 00 00 00 00 00 0A 'framerate!' 01 01 00 00 09")},
        // Encoders send a mixed array closed by an object end; it stays one,
        // with its count made true.
        {"mixed array as ffmpeg sends it",
         hex("02 00 0A 'onMetaData' 08 00 00 00 02 00 08 'duration' 00 00 00 00 00 00 00 00 00 "
             "00 05 'width' 00 40 84 00 00 00 00 00 00 00 00 09"),
         hex("02 00 0A 'onMetaData' 08 00 00 00 02 00 05 'width' 00 40 84 00 00 00 00 00 00 00 08 "
             "'duration' 00 40 4E C0 00 00 00 00 00 00 00 09")},
        {"mixed array that counts fewer pairs than it holds",
         hex("02 00 0A 'onMetaData' 08 00 00 00 00 00 05 'width' 00 40 84 00 00 00 00 00 00 00 "
             "00 09"),
         hex("02 00 0A 'onMetaData' 08 00 00 00 02 00 05 'width' 00 40 84 00 00 00 00 00 00 00 08 "
             "'duration' 00 40 4E C0 00 00 00 00 00 00 00 09")},
        {"mixed array that counts more pairs than it holds",
         hex("02 00 0A 'onMetaData' 08 00 00 00 09 00 00 09"),
         hex("02 00 0A 'onMetaData' 08 00 00 00 01 00 08 'duration' 00 40 4E C0 00 00 00 00 00 00 "
             "00 09")},
        {"mixed array without an object end",
         hex("02 00 0A 'onMetaData' 08 00 00 00 01 00 01 'w' 01 01"),
         hex("02 00 0A 'onMetaData' 08 00 00 00 02 00 01 'w' 01 01 00 08 'duration' 00 40 4E C0 "
             "00 00 00 00 00")},
    };
    for (const auto& c : cases) {
        segment_index index;
        index.duration_ms = 61500;
        index.metadata = c.metadata;
        EXPECT_TRUE(index.set_metadata_duration()) << c.name;
        EXPECT_EQ(index.metadata, c.expected) << c.name;
    }

    const std::string refused[] = {
        hex("02 00 0A 'onMetaData' 03 00 08 'dura'"),                 // cut short
        hex("02 00 0A 'onMetaData' 08 00 00 00 01 00 01 'w' 00 40"),  // cut short
        hex("02 00 0A 'onMetaData' 08 00 00 00 01 00 01 'w' 09"),     // no value
        hex("02 00 0A 'onMetaData' 0A 00 00 00 00"),                  // a strict array
        hex("05 03 00 00 09"),                                        // no name first
    };
    for (const auto& metadata : refused) {
        segment_index index;
        index.metadata = metadata;
        EXPECT_FALSE(index.set_metadata_duration());
        EXPECT_EQ(index.metadata, metadata);
    }
}

TEST(SegmentIndex, RefusesOversizedAndForeignFilesUnread) {
    temp_dir dir;
    struct refusal_case {
        const char* name;
        std::string file;
        std::string message;
    } cases[] = {
        // Starts like a file of another version: refused on its size alone.
        {"over the load limit", "\x02" + std::string(segment_index_max_bytes, '\0'),
         "Bad file format"},
        {"version 2", hex("02 20 00 00 FF FF 02 00 00 00 00 00 00 00 00 00"), "Bad file version"},
        {"version 0", hex("00"), "Bad file version"},
        {"empty", "", "Buffer eof"},
        {"cut inside the zero bytes", hex("01 00 00"), "Seeking out of range"},
        {"segment count beyond the file",
         hex("01 00 00 00 FF FF 02 00 00 00 00 00 FF FF FF FF 00 00 00 00"), "Buffer eof"},
        {"metadata length beyond the file", hex("01 10 00 00 FF FF 02 00 00 00 00 00 FF FF FF 7F"),
         "Buffer eof"},
    };
    for (const auto& c : cases) {
        write_file(dir / "x.zpksegments", c.file);
        segment_index index;
        try {
            index.load(dir / "x.zpksegments");
            ADD_FAILURE() << c.name << " loaded";
        } catch (const std::exception& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.name;
        }
    }

    // Exactly at the limit still loads.
    segment_index big;
    big.metadata = std::string(segment_index_max_bytes - 12 - 4 - 4, 'm');
    big.save(dir / "big.zpksegments");
    EXPECT_EQ(fs::file_size(dir / "big.zpksegments"), segment_index_max_bytes);
    segment_index loaded;
    loaded.load(dir / "big.zpksegments");
    EXPECT_EQ(loaded.metadata.size(), big.metadata.size());
}

TEST(SegmentIndex, AFailedLoadLeavesTheRecordAsItWas) {
    temp_dir dir;
    const full_record full;
    full.index.save(dir / "good.zpksegments");
    for (std::size_t cut = 0; cut < full.file.size(); ++cut) {
        write_file(dir / "cut.zpksegments", full.file.substr(0, cut));
        segment_index index;
        index.load(dir / "good.zpksegments");
        EXPECT_THROW(index.load(dir / "cut.zpksegments"), std::exception) << cut;
        EXPECT_EQ(index.encode(), full.file) << cut;
        EXPECT_EQ(index.path, dir / "good.zpksegments");

        index.path = dir / "cut.zpksegments";
        EXPECT_FALSE(index.try_load()) << cut;
        EXPECT_EQ(index.encode(), full.file) << cut;
    }
    segment_index index;
    index.path = dir / "missing.zpksegments";
    EXPECT_FALSE(index.try_load());
    index.path = dir / "good.zpksegments";
    EXPECT_TRUE(index.try_load());
    EXPECT_EQ(index.encode(), full.file);
}

TEST(SegmentIndex, SavesAnythingUpToTheLoadLimitAndNothingBeyond) {
    temp_dir dir;
    // Three weeks of ten-second segments: well above 1 MiB.
    segment_index long_running;
    long_running.live = true;
    for (std::uint32_t i = 0; i < 21 * 24 * 360; ++i) {
        long_running.segments.push_back({i * 10000, 500000, 10000});
    }
    long_running.duration_ms = 21 * 24 * 3600 * 1000u;
    long_running.save(dir / "a.livesegments");
    segment_index loaded;
    loaded.load(dir / "a.livesegments");
    EXPECT_EQ(loaded.segments, long_running.segments);

    segment_index too_big;
    too_big.metadata = std::string(segment_index_max_bytes, 'm');
    try {
        too_big.save(dir / "a.livesegments");
        ADD_FAILURE() << "saved";
    } catch (const buffer_over_range& error) {
        EXPECT_STREQ(error.what(), "Write buffer overflow");
    }
    loaded.load(dir / "a.livesegments");
    EXPECT_EQ(loaded.segments.size(), long_running.segments.size());
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"a.livesegments"}));
}

TEST(SegmentIndex, SaveReplacesTheFileWholeUnderAnOpenReader) {
    temp_dir dir;
    const full_record full;
    full.index.save(dir / "a.livesegments");
    std::ifstream open_before(dir / "a.livesegments", std::ios::binary);

    segment_index next = full.index;
    next.segments.push_back({30000, 4000, 0});
    next.duration_ms = 31000;
    next.save(dir / "a.livesegments");

    // The reader that had the file open still reads the old index, whole.
    const std::string seen{std::istreambuf_iterator<char>(open_before), {}};
    EXPECT_EQ(seen, full.file);
    EXPECT_EQ(read_file(dir / "a.livesegments"), next.encode());
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"a.livesegments"}));

    EXPECT_THROW(next.save(dir / "missing" / "a.livesegments"), fs::filesystem_error);
}

ino_t inode_of(const fs::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0);
    return status.st_ino;
}

// A recording's index as its writer saves it, cut after cut: a table that
// only grows is written in place, anything else whole, and the file holds
// what a whole save would have written every time.
TEST(SegmentIndexFile, GrowsInPlaceAndHoldsWhatAWholeSaveWouldWrite) {
    temp_dir dir;
    const fs::path path = dir / "cam.livesegments";
    segment_index index;
    index.live = true;
    index.new_recording_id();
    segment_index_updates updates;
    segment_index_file file(path);
    std::uint32_t next_start = 0;
    const auto add_segments = [&](int count) {
        return [&, count] {
            for (int i = 0; i < count; ++i) {
                index.segments.push_back({next_start, 1000 + next_start / 10, 10040});
                next_start += 10040;
            }
            index.duration_ms = next_start - 40;
        };
    };
    struct step {
        const char* what;
        std::function<void()> change;
        bool saved;
        bool whole;
    } steps[] = {
        {"the first save", [] {}, true, true},
        {"one segment", add_segments(1), true, false},
        {"two at once", add_segments(2), true, false},
        {"nothing", [] {}, false, false},
        {"the duration alone", [&] { index.duration_ms += 500; }, true, false},
        {"a sequence header",
         [&] { index.add_video_config(config_tag(9, segment_testing::avc_header(1)), 3); }, true,
         true},
        {"one more", add_segments(1), true, false},
        {"the metadata", [&] { index.metadata = hex("02 00 0A 'onMetaData' 03 00 00 09"); }, true,
         true},
        {"the live flag", [&] { index.live = false; }, true, true},
        {"after that", add_segments(3), true, false},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        const auto update = updates.next(index);
        ASSERT_EQ(update.has_value(), s.saved);
        if (!update) {
            continue;
        }
        EXPECT_EQ(update->whole, s.whole);
        const ino_t before = fs::exists(path) ? inode_of(path) : 0;
        file.apply(*update);
        EXPECT_EQ(read_file(path), index.encode());
        EXPECT_EQ(inode_of(path) == before, !s.whole) << "replaced only when whole";
    }
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"cam.livesegments"}));
}

// An update in place only ever follows the state it was worked out from: a
// file that did not take the one before it (a failed write, a new file)
// refuses it rather than write a table of the wrong segments.
TEST(SegmentIndexFile, RefusesAnUpdateInPlaceThatDoesNotFollowTheFile) {
    temp_dir dir;
    segment_index index;
    index.live = true;
    segment_index_updates updates;
    segment_index_file first(dir / "a.livesegments");
    first.apply(*updates.next(index));
    index.segments.push_back({0, 100, 10000});
    const auto in_place = updates.next(index);
    ASSERT_FALSE(in_place->whole);

    segment_index_file other(dir / "b.livesegments");
    EXPECT_THROW(other.apply(*in_place), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "b.livesegments"));

    first.apply(*in_place);
    index.segments.push_back({10000, 100, 10000});
    const auto next = updates.next(index);
    first.apply(*next);
    EXPECT_THROW(first.apply(*in_place), std::runtime_error) << "applied twice";
    EXPECT_EQ(read_file(dir / "a.livesegments"), index.encode());
}

// What a writer that was killed left beyond its index: a closed segment it
// had not listed, and the one it was writing, whose last tag it did not get
// to write whole.
class TakeBack : public ::testing::Test {
  protected:
    TakeBack() {
        fs::create_directories(folder);
        listed.video_configs = {{0, config_tag(9, segment_testing::avc_header(1))},
                                {2, config_tag(9, segment_testing::avc_header(2))}};
        listed.segments = {{0, 19, 0}};
        listed.duration_ms = 0;
        write_segment(0, {0, 19, 0}, segment_testing::tag_bytes(8, 0, "abcd"));
        write_segment(1, {10000, 38, 20},
                      segment_testing::tag_bytes(8, 10000, "abcd") +
                          segment_testing::tag_bytes(8, 10020, "efgh"));
        write_file(folder / "2.zpksegment0",
                   std::string(segment_header::size, '\0') + whole +
                       segment_testing::tag_bytes(9, 20080, "ijklmn").substr(0, 12));
    }

    void write_segment(std::uint32_t n, const zpk_segment_entry& entry, const std::string& tags) {
        segment_header header;
        header.data_bytes = entry.data_bytes;
        header.start_ms = entry.start_ms;
        header.duration_ms = entry.duration_ms;
        std::uint8_t bytes[segment_header::size];
        header.write(bytes);
        write_file(folder / (std::to_string(n) + ".zpksegment"),
                   std::string(bytes, bytes + segment_header::size) + tags);
    }

    temp_dir dir;
    const fs::path folder = dir / "cam.segments";
    const std::string whole =
        segment_testing::tag_bytes(9, 20040, "ij") + segment_testing::tag_bytes(8, 20060, "kl");
    segment_index listed;
};

TEST_F(TakeBack, ListsWhatReachedTheDiskAndRepairsOnlyWhenAsked) {
    const std::vector<zpk_segment_entry> taken = {
        {0, 19, 10000}, {10000, 38, 10040}, {20040, 34, 20}};
    segment_index seen = listed;
    EXPECT_EQ(take_back_segments(seen, folder, false), 2u);
    EXPECT_EQ(seen.segments, taken);
    EXPECT_EQ(seen.duration_ms, 20060u);
    EXPECT_TRUE(fs::exists(folder / "2.zpksegment0")) << "looking changes no file";
    EXPECT_FALSE(fs::exists(folder / "2.zpksegment"));

    segment_index repaired = listed;
    EXPECT_EQ(take_back_segments(repaired, folder, true), 2u);
    EXPECT_EQ(repaired.segments, taken);
    EXPECT_FALSE(fs::exists(folder / "2.zpksegment0"));
    const auto closed = segment_testing::read_segment(folder / "2.zpksegment");
    EXPECT_EQ(closed.tags,
              (std::vector<segment_testing::flv_tag>{{9, 20040, "ij"}, {8, 20060, "kl"}}))
        << "cut after its last whole tag";
    EXPECT_TRUE(closed.header.video_config_changed) << "the index says a header begins it";
    EXPECT_FALSE(closed.header.audio_config_changed);

    segment_index again = repaired;
    EXPECT_EQ(take_back_segments(again, folder, true), 0u);
    EXPECT_EQ(again.segments, taken);
}

TEST_F(TakeBack, AnOpenSegmentWithoutAWholeTagIsOnlyRemovedByARepair) {
    write_file(folder / "2.zpksegment0",
               std::string(segment_header::size, '\0') + whole.substr(0, 15));
    segment_index seen = listed;
    EXPECT_EQ(take_back_segments(seen, folder, false), 1u);
    EXPECT_TRUE(fs::exists(folder / "2.zpksegment0"));
    EXPECT_EQ(take_back_segments(seen, folder, true), 0u);
    EXPECT_EQ(seen.segments.size(), 2u);
    EXPECT_FALSE(fs::exists(folder / "2.zpksegment0"));
    EXPECT_FALSE(fs::exists(folder / "2.zpksegment"));
}

TEST(SegmentIndex, RecordingIdsAreRandomVersion4UuidsInUpperCaseHex) {
    segment_index index;
    index.new_recording_id();
    const std::string first = index.name;
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}")))
        << first;
    index.new_recording_id();
    EXPECT_NE(index.name, first);
}

TEST(SegmentIndex, PathHelpersAppendToTheLastComponent) {
    EXPECT_EQ(segment_dir_path("/v/live/cam.1", ".livesegments"), "/v/live/cam.1.livesegments");
    EXPECT_EQ(segment_dir_path("rel/\xE4\xB8\xAD", ".stopped"), "rel/\xE4\xB8\xAD.stopped");
    EXPECT_EQ(segment_file_name("/v/cam.segments/12"), "/v/cam.segments/12.zpksegment");
}

TEST(SegmentHeader, KeepsTheTopBitsForTheConfigFlags) {
    struct header_case {
        segment_header header;
        std::string bytes;
    } cases[] = {
        {{100, false, false, 10040, 9960}, hex("70 00 00 00 38 27 00 00 E8 26 00 00")},
        {{100, true, false, 0, 0}, hex("70 00 00 80 00 00 00 00 00 00 00 00")},
        {{100, false, true, 0, 0}, hex("70 00 00 40 00 00 00 00 00 00 00 00")},
        {{segment_header::max_file_bytes - 12, true, true, 0, 0},
         hex("FF FF FF FF 00 00 00 00 00 00 00 00")},
    };
    for (const auto& c : cases) {
        std::uint8_t out[segment_header::size];
        c.header.write(out);
        EXPECT_EQ(std::string(out, out + sizeof out), c.bytes);
        const segment_header back = segment_header::read(out);
        EXPECT_EQ(back.data_bytes, c.header.data_bytes);
        EXPECT_EQ(back.video_config_changed, c.header.video_config_changed);
        EXPECT_EQ(back.audio_config_changed, c.header.audio_config_changed);
        EXPECT_EQ(back.start_ms, c.header.start_ms);
        EXPECT_EQ(back.duration_ms, c.header.duration_ms);
    }
    std::uint8_t out[segment_header::size];
    EXPECT_THROW((segment_header{segment_header::max_file_bytes - 11}.write(out)),
                 std::length_error);
}

}  // namespace
