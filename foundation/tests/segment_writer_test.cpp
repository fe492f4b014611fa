#include "foundation/segment_writer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/tests/segment_test_support.hpp"
#include "foundation/zpk_reader.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace segment_testing;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;

constexpr std::uint8_t audio_tag = 8;
constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t data_tag = 18;

segment_index load_index(const fs::path& file) {
    segment_index index;
    index.load(file);
    return index;
}

std::set<std::string> files_under(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(entry.path(), folder).string());
    }
    return names;
}

// Video at 5 frames a second with a keyframe every `gop` ms, and AAC audio
// every 250 ms, from `from` up to `to`; video first at equal times.
void feed_av(segment_writer& writer, std::uint32_t from, std::uint32_t to,
             std::uint32_t gop = 2000) {
    for (std::uint32_t t = from; t < to; t += 50) {
        if ((t - from) % 200 == 0) {
            const auto mark = static_cast<std::uint8_t>(t / 200);
            writer.on_video(t, (t - from) % gop == 0 ? avc_keyframe(mark) : avc_inter(mark));
        }
        if ((t - from) % 250 == 0) {
            writer.on_audio(t, aac_frame(static_cast<std::uint8_t>(t / 250)));
        }
    }
}

class SegmentWriter : public ::testing::Test {
  protected:
    fs::path path(const char* suffix) const { return segment_dir_path(dir / "cam", suffix); }

    std::vector<segment_file> segments(const segment_index& index) const {
        std::vector<segment_file> files;
        for (std::size_t n = 0; n < index.segments.size(); ++n) {
            files.push_back(read_segment(path(".segments") / (std::to_string(n) + ".zpksegment")));
        }
        return files;
    }

    std::vector<std::uint32_t> starts(const segment_index& index) const {
        std::vector<std::uint32_t> result;
        for (const auto& segment : index.segments) {
            result.push_back(segment.start_ms);
        }
        return result;
    }

    temp_dir dir;
};

TEST_F(SegmentWriter, DropsVideoBeforeTheFirstKeyframeButRecordsAudio) {
    {
        segment_writer writer(dir.path(), "cam", true, false);
        writer.on_video(1000, avc_inter(1));
        writer.on_audio(1000, mp3_frame(1));
        writer.on_video(1040, avc_inter(2));
        writer.on_audio(1040, mp3_frame(2));
        writer.on_video(1080, avc_keyframe(3));
        writer.on_video(1120, avc_inter(4));
    }
    const segment_index index = load_index(path(".livesegments"));
    EXPECT_TRUE(index.live);
    EXPECT_EQ(index.video_codec, 7);
    EXPECT_EQ(index.audio_format, 2);
    EXPECT_EQ(index.duration_ms, 120u);
    ASSERT_EQ(index.segments.size(), 1u);
    const auto files = segments(index);
    EXPECT_EQ(files[0].tags, (std::vector<flv_tag>{
                                 {audio_tag, 0, text_of(mp3_frame(1))},
                                 {audio_tag, 40, text_of(mp3_frame(2))},
                                 {video_tag, 80, text_of(avc_keyframe(3))},
                                 {video_tag, 120, text_of(avc_inter(4))},
                             }));
    EXPECT_EQ(index.segments[0].data_bytes, files[0].header.data_bytes);
    EXPECT_FALSE(files[0].header.video_config_changed);
    EXPECT_FALSE(files[0].header.audio_config_changed);
}

TEST_F(SegmentWriter, CutsAtTheFirstKeyframeMoreThanTenSecondsIn) {
    struct cut_case {
        std::uint32_t gop;
        std::vector<std::uint32_t> starts;
    } cases[] = {
        {4000, {0, 12000, 24000}},
        {5000, {0, 15000, 30000}},  // never at 10000 exactly
        {2000, {0, 12000, 24000}},
    };
    for (const auto& c : cases) {
        temp_dir here;
        {
            segment_writer writer(here.path(), "cam", true, false);
            feed_av(writer, 0, 32000, c.gop);
        }
        const segment_index index = load_index(here / "cam.livesegments");
        SCOPED_TRACE(c.gop);
        EXPECT_EQ(starts(index), c.starts);
        for (std::size_t n = 0; n < index.segments.size(); ++n) {
            const segment_file file =
                read_segment(here / "cam.segments" / (std::to_string(n) + ".zpksegment"));
            ASSERT_FALSE(file.tags.empty());
            EXPECT_EQ(file.tags.front().type, video_tag);
            EXPECT_EQ(file.tags.front().body[0], 0x17);
        }
    }
}

TEST_F(SegmentWriter, CutsAudioOnlyRecordingsOnAnyAudioMessage) {
    {
        segment_writer writer(dir.path(), "cam", true, false);
        for (std::uint32_t t = 0; t <= 25000; t += 300) {
            writer.on_audio(t, mp3_frame());
        }
    }
    const segment_index index = load_index(path(".livesegments"));
    EXPECT_EQ(index.video_codec, -1);
    EXPECT_EQ(starts(index), (std::vector<std::uint32_t>{0, 10200, 20400}));
}

TEST_F(SegmentWriter, AChangedSequenceHeaderBeginsASegmentThatTheIndexNames) {
    segment_writer writer(dir.path(), "cam", true, false);
    writer.on_video(0, avc_header(1));
    writer.on_audio(0, aac_header(0));
    feed_av(writer, 0, 5000);
    writer.on_video(5000, avc_header(1));  // the same again: nothing happens
    feed_av(writer, 5000, 6000);
    writer.on_video(6000, avc_header(2));
    feed_av(writer, 6000, 8000);
    writer.on_audio(8000, aac_header(1));  // joins the segment the video change began
    feed_av(writer, 8000, 9000);

    // Saved when segment 1 began: the new header is registered with it.
    segment_index saved = load_index(path(".livesegments"));
    EXPECT_EQ(saved.segments.size(), 1u);
    EXPECT_EQ(saved.video_configs,
              (std::vector<zpk_config_entry>{{0, config_tag(9, avc_header(1))},
                                             {1, config_tag(9, avc_header(2))}}));

    writer.on_audio(9000, aac_header(2));
    feed_av(writer, 9000, 10000);
    writer.end_as_vod();

    const segment_index& index = writer.index();
    EXPECT_EQ(starts(index), (std::vector<std::uint32_t>{0, 6000, 9000}));
    EXPECT_EQ(index.video_configs, saved.video_configs);
    EXPECT_EQ(index.audio_configs,
              (std::vector<zpk_config_entry>{{0, config_tag(8, aac_header(0))},
                                             {1, config_tag(8, aac_header(1))},
                                             {2, config_tag(8, aac_header(2))}}));
    const auto files = segments(index);
    const std::string marker = av_format_changed;
    const auto tag = [](std::uint8_t type, std::uint32_t t, const std::string& body) {
        return flv_tag{type, t, body};
    };
    ASSERT_GE(files[0].tags.size(), 5u);
    EXPECT_EQ(
        std::vector<flv_tag>(files[0].tags.begin(), files[0].tags.begin() + 5),
        (std::vector<flv_tag>{tag(video_tag, 0, avc_end_of_sequence), tag(data_tag, 0, marker),
                              tag(video_tag, 0, text_of(avc_header(1))),
                              tag(audio_tag, 0, text_of(aac_header(0))),
                              tag(video_tag, 0, text_of(avc_keyframe(0)))}));
    EXPECT_TRUE(files[0].header.video_config_changed);
    EXPECT_TRUE(files[0].header.audio_config_changed);
    for (const auto& t : files[0].tags) {
        EXPECT_NE(t.body, text_of(avc_header(2)));
    }

    ASSERT_GE(files[1].tags.size(), 3u);
    EXPECT_EQ(std::vector<flv_tag>(files[1].tags.begin(), files[1].tags.begin() + 3),
              (std::vector<flv_tag>{tag(video_tag, 6000, avc_end_of_sequence),
                                    tag(data_tag, 6000, marker),
                                    tag(video_tag, 6000, text_of(avc_header(2)))}));
    EXPECT_TRUE(files[1].header.video_config_changed);
    EXPECT_TRUE(files[1].header.audio_config_changed);
    int markers = 0;
    for (const auto& t : files[1].tags) {
        markers += t.body == marker;
    }
    EXPECT_EQ(markers, 1);

    ASSERT_GE(files[2].tags.size(), 2u);
    EXPECT_EQ(std::vector<flv_tag>(files[2].tags.begin(), files[2].tags.begin() + 2),
              (std::vector<flv_tag>{tag(data_tag, 9000, marker),
                                    tag(audio_tag, 9000, text_of(aac_header(2)))}));
    EXPECT_FALSE(files[2].header.video_config_changed);
    EXPECT_TRUE(files[2].header.audio_config_changed);
}

TEST_F(SegmentWriter, AResumedRecordingContinuesItsNumberingAndTimeline) {
    std::string id;
    std::uint32_t first_duration = 0;
    {
        segment_writer writer(dir.path(), "cam", true, false);
        writer.on_video(0, avc_header());
        feed_av(writer, 0, 25000);
        id = writer.index().name;
        first_duration = writer.index().duration_ms;
    }
    EXPECT_EQ(first_duration, 24800u);
    const std::size_t first_count = load_index(path(".livesegments")).segments.size();
    EXPECT_EQ(first_count, 3u);
    {
        // The publisher's clock starts anywhere; its first video is not a keyframe.
        segment_writer writer(dir.path(), "cam", true, false);
        writer.on_video(700000, avc_inter());
        writer.on_audio(700000, aac_frame());
        feed_av(writer, 700200, 725200);
    }
    const segment_index index = load_index(path(".livesegments"));
    EXPECT_TRUE(index.live);
    EXPECT_EQ(index.name, id);
    ASSERT_EQ(index.segments.size(), 6u);
    EXPECT_EQ(index.segments[first_count].start_ms, first_duration + 40);
    EXPECT_EQ(index.duration_ms, first_duration + 40 + 25000);
    const auto files = segments(index);
    EXPECT_EQ(files[first_count].tags.front(), (flv_tag{audio_tag, 24840, text_of(aac_frame())}));
    EXPECT_EQ(files[first_count].tags[1].timestamp, 25040u);
    EXPECT_EQ(files[first_count].tags[1].body[0], 0x17);
    // Only the recording's own files.
    EXPECT_EQ(files_under(dir.path()),
              (std::set<std::string>{"cam.livesegments", "cam.segments",
                                     "cam.segments/0.zpksegment", "cam.segments/1.zpksegment",
                                     "cam.segments/2.zpksegment", "cam.segments/3.zpksegment",
                                     "cam.segments/4.zpksegment", "cam.segments/5.zpksegment"}));
}

TEST_F(SegmentWriter, ResumeTakesBackASegmentClosedAfterTheLastSave) {
    {
        segment_writer writer(dir.path(), "cam", true, false);
        feed_av(writer, 0, 25000);
    }
    // As if killed between closing segment 2 and saving the index.
    segment_index index = load_index(path(".livesegments"));
    const zpk_segment_entry lost = index.segments.back();
    index.segments.pop_back();
    index.duration_ms = lost.start_ms - 200;
    index.save(path(".livesegments"));
    {
        segment_writer writer(dir.path(), "cam", true, false);
        EXPECT_EQ(writer.index().segments.size(), 3u);
        EXPECT_EQ(writer.index().segments.back(), lost);
        feed_av(writer, 0, 3000);
    }
    index = load_index(path(".livesegments"));
    ASSERT_EQ(index.segments.size(), 4u);
    EXPECT_EQ(index.segments[2].start_ms, lost.start_ms);
    EXPECT_EQ(index.segments[2].data_bytes, lost.data_bytes);
    EXPECT_EQ(index.segments[3].start_ms, lost.start_ms + lost.duration_ms + 40);
}

TEST_F(SegmentWriter, AWriterThatRecordedNothingLeavesNoFiles) {
    struct empty_case {
        bool live;
        bool inter_frames;
    } cases[] = {{true, false}, {false, false}, {true, true}};
    for (const auto& c : cases) {
        {
            segment_writer writer(dir.path(), "cam", c.live, false);
            if (c.inter_frames) {
                writer.on_video(0, avc_inter());
                writer.on_video(40, avc_inter());
            }
        }
        EXPECT_TRUE(fs::is_empty(dir.path())) << c.live << c.inter_frames;
    }
}

TEST_F(SegmentWriter, OverwriteStartsANewRecording) {
    std::string first_id;
    {
        segment_writer writer(dir.path(), "cam", false, true);
        feed_av(writer, 0, 25000);
        writer.end_as_vod();
        first_id = writer.index().name;
    }
    segment_writer writer(dir.path(), "cam", false, true);
    EXPECT_NE(writer.index().name, first_id);
    EXPECT_TRUE(writer.index().segments.empty());
    EXPECT_FALSE(fs::exists(path(".zpksegments")));
    EXPECT_FALSE(fs::exists(path(".segments") / "1.zpksegment"));
    feed_av(writer, 5000, 6000);
    writer.end_as_vod();
    const segment_index index = load_index(path(".zpksegments"));
    ASSERT_EQ(index.segments.size(), 1u);
    EXPECT_EQ(index.segments[0].start_ms, 0u);
    EXPECT_EQ(index.name, writer.index().name);
}

TEST_F(SegmentWriter, EndingLeavesBothIndexesAndTheStopMarker) {
    struct end_case {
        bool live;
        bool fake_live;
    } cases[] = {{true, false}, {true, true}, {false, false}};
    for (const auto& c : cases) {
        temp_dir here;
        SCOPED_TRACE(std::to_string(c.live) + std::to_string(c.fake_live));
        const auto before = static_cast<std::uint32_t>(std::time(nullptr));
        {
            segment_writer writer(here.path(), "cam", c.live, false);
            writer.on_data(0, metadata_message());
            feed_av(writer, 0, 25000);
            if (c.fake_live) {
                writer.end_as_fake_live();
            } else {
                writer.end_as_vod();
            }
        }
        const auto after = static_cast<std::uint32_t>(std::time(nullptr));
        const std::string vod = read_file(here / "cam.zpksegments");
        EXPECT_EQ(read_file(here / "cam.livesegments"), vod);
        EXPECT_EQ(read_file(here / "cam.stopped"), "");
        const segment_index index = load_index(here / "cam.zpksegments");
        EXPECT_FALSE(index.live);
        EXPECT_EQ(index.segments.size(), 3u);
        EXPECT_EQ(index.has_start_time, c.fake_live);
        if (c.fake_live) {
            EXPECT_GE(index.start_time, before - 24);
            EXPECT_LE(index.start_time, after - 24);
        }
        EXPECT_EQ(index.metadata,
                  hex("02 00 0A 'onMetaData' 03 00 05 'width' 00 40 84 00 00 00 00 00 00 00 08 "
                      "'duration' 00 40 38 CC CC CC CC CC CD 00 00 09"));
        try {
            segment_writer writer(here.path(), "cam", true, false);
            ADD_FAILURE() << "recording resumed";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Can't record to an ended stream");
        }
    }
}

TEST_F(SegmentWriter, KeepsOnlyOnMetaDataMessagesAsMetadata) {
    struct data_case {
        const char* name;
        std::string message;
        bool kept;
    } cases[] = {
        {"onMetaData", text_of(metadata_message()), true},
        {"@setDataFrame", hex("02 00 0D '@setDataFrame' 02 00 0A 'onMetaData' 03 00 00 09"), false},
        {"13 bytes", hex("02 00 0A 'onMetaData'"), false},
        {"other name", hex("02 00 0A 'onCuePoint' 03 00 00 09"), false},
    };
    for (const auto& c : cases) {
        segment_writer writer(dir.path(), c.name, true, false);
        writer.on_data(100, bytes_of(c.message));
        EXPECT_EQ(writer.metadata(), c.kept ? c.message : "") << c.name;
    }
}

TEST_F(SegmentWriter, RefusesWhatTheFilesCannotHold) {
    write_file(path(".segments"), "not a folder");
    try {
        segment_writer writer(dir.path(), "cam", true, false);
        ADD_FAILURE() << "built";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Can't create directory for segments");
    }
    fs::remove(path(".segments"));

    segment_writer writer(dir.path(), "cam", true, false);
    writer.on_audio(0, mp3_frame());
    EXPECT_THROW(writer.on_data(40, message(0x1000000)), std::length_error);
    writer.on_audio(80, mp3_frame());
    writer.end_as_vod();
    EXPECT_EQ(writer.index().segments.at(0).data_bytes, 2 * (4 + 15u));
}

// A live recording can be found from its first moment, and what it takes
// reaches its open segment's file with each write, before any cut.
TEST_F(SegmentWriter, ALiveRecordingIsOnDiskFromItsFirstMoment) {
    segment_writer writer(dir.path(), "cam", true, false);
    const segment_index empty = load_index(path(".livesegments"));
    EXPECT_TRUE(empty.live);
    EXPECT_TRUE(empty.segments.empty());
    EXPECT_EQ(empty.name, writer.index().name);

    writer.on_video(0, avc_header());
    feed_av(writer, 0, 3000);
    writer.flush();
    segment_index seen = load_index(path(".livesegments"));
    EXPECT_EQ(take_back_segments(seen, path(".segments"), false), 1u);
    ASSERT_EQ(seen.segments.size(), 1u);
    EXPECT_EQ(seen.segments[0].start_ms, 0u);
    EXPECT_EQ(seen.segments[0].duration_ms, 2800u) << "up to the last tag written";
    EXPECT_EQ(seen.video_configs, writer.index().video_configs)
        << "saved when the sequence header came";
}

// A recording whose index cannot list another segment ends as the format
// allows, with everything it had: its last segments listed, both index files
// within what any reader loads, and the stop marker.
TEST_F(SegmentWriter, ARecordingWhoseIndexIsFullEndsWithEverythingItHad) {
    segment_index prepared;
    prepared.live = true;
    prepared.new_recording_id();
    prepared.video_codec = 7;
    prepared.audio_format = 10;
    // Room for two more segments, and what ending adds.
    const std::size_t head = prepared.encode_head().size();
    const std::size_t listed = (segment_index_max_bytes - 64 - 4 - head) / 8 - 2;
    // Segments of a second: the timeline stays clear of 32 bits.
    for (std::uint32_t n = 0; n < listed; ++n) {
        prepared.segments.push_back({n * 1000, 1000, 1000});
    }
    prepared.duration_ms = static_cast<std::uint32_t>(listed) * 1000 - 40;
    fs::create_directories(path(".segments"));
    prepared.save(path(".livesegments"));

    std::string failure;
    {
        segment_writer writer(dir.path(), "cam", true, false);
        try {
            // Cut at 12 s and 24 s: the third segment does not fit.
            feed_av(writer, 0, 30000, 4000);
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        EXPECT_THROW(writer.on_audio(30000, aac_frame()), std::runtime_error);
    }
    EXPECT_EQ(failure, "Index is full");
    const segment_index index = load_index(path(".livesegments"));
    EXPECT_FALSE(index.live);
    EXPECT_EQ(read_file(path(".zpksegments")), read_file(path(".livesegments")));
    EXPECT_TRUE(fs::exists(path(".stopped")));
    EXPECT_LE(fs::file_size(path(".livesegments")), segment_index_max_bytes);
    ASSERT_EQ(index.segments.size(), listed + 2);
    for (std::uint32_t n = 0; n < listed; ++n) {
        ASSERT_EQ(index.segments[n].start_ms, prepared.segments[n].start_ms);
    }
    const auto written = [&](std::size_t n) {
        return read_segment(path(".segments") / (std::to_string(n) + ".zpksegment"));
    };
    EXPECT_EQ(written(listed).header.start_ms, index.segments[listed].start_ms);
    EXPECT_EQ(written(listed + 1).tags.back().timestamp, index.duration_ms);
    EXPECT_EQ(index.duration_ms, prepared.duration_ms + 40 + 23800)
        << "to the last tag before the cut that did not fit";
    EXPECT_THROW(segment_writer(dir.path(), "cam", true, false), std::runtime_error)
        << "ended: a later publish does not record over it";
}

// Whether a segment that was being written got as far as a whole tag after
// its header's room.
bool holds_a_whole_tag(const fs::path& file) {
    const std::string bytes = read_file(file);
    if (bytes.size() < segment_header::size + 15) {
        return false;
    }
    buffer_reader in(bytes);
    in.skip(segment_header::size + 1);
    const std::uint32_t body = std::uint32_t{in.read_u8()} << 16 | in.read_u16_be();
    if (in.remaining() < 7 + std::size_t{body} + 4) {
        return false;
    }
    in.skip(7 + body);
    return in.read_u32_be() == body + 11;
}

// Kills a recording process in the middle of its work, twice, and resumes
// the recording each time: every index left behind loads, and every segment
// that had been closed stays in the recording.
TEST_F(SegmentWriter, ARecordingKilledMidwayResumesWithEverythingClosedKept) {
    std::set<std::uint32_t> closed_before_resume;
    bool open_segment_written = false;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::size_t listed_before = fs::exists(path(".livesegments"))
                                              ? load_index(path(".livesegments")).segments.size()
                                              : 0;
        platform::testing::child_process recorder(
            {SEGMENT_RECORDER_PROGRAM, dir.path().string(), "cam"});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        segment_index seen;
        seen.path = path(".livesegments");
        while (!(seen.try_load() && seen.segments.size() >= listed_before + 4) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_GE(seen.segments.size(), listed_before + 4) << recorder.stderr_text();
        std::this_thread::sleep_for(std::chrono::milliseconds(7 + 31 * round));
        recorder.signal(SIGKILL);
        ASSERT_EQ(recorder.wait_for_exit(5s), 128 + SIGKILL);

        const segment_index index = load_index(path(".livesegments"));
        EXPECT_TRUE(index.live);
        for (std::uint32_t n = 0; n < index.segments.size(); ++n) {
            const segment_file file =
                read_segment(path(".segments") / (std::to_string(n) + ".zpksegment"));
            EXPECT_EQ(file.header.data_bytes, index.segments[n].data_bytes) << n;
        }
        open_segment_written = false;
        for (const auto& name : files_under(path(".segments"))) {
            if (name.ends_with(".zpksegment")) {
                closed_before_resume.insert(static_cast<std::uint32_t>(std::stoul(name)));
            }
            if (name.ends_with(".zpksegment0")) {
                open_segment_written = holds_a_whole_tag(path(".segments") / name);
            }
        }
    }

    std::size_t resumed_from = 0;
    {
        // Every closed segment, and the one it was writing, as far as it got.
        segment_writer writer(dir.path(), "cam", true, false);
        resumed_from = writer.index().segments.size();
        ASSERT_FALSE(closed_before_resume.empty());
        EXPECT_EQ(resumed_from, *closed_before_resume.rbegin() + 1 + open_segment_written);
        EXPECT_EQ(closed_before_resume.size() + open_segment_written, resumed_from);
        writer.on_video(0, avc_header());
        feed_av(writer, 0, 15000);
        writer.end_as_vod();
    }

    // The whole recording plays back in order, every closed segment in it.
    const segment_index index = load_index(path(".zpksegments"));
    EXPECT_EQ(index.segments.size(), resumed_from + 2);
    std::vector<flv_tag> written;
    for (const auto& file : segments(index)) {
        written.insert(written.end(), file.tags.begin(), file.tags.end());
    }
    zpk_reader reader(path(".zpksegments"));
    std::vector<flv_tag> read;
    std::int32_t status = media_tag_read;
    std::uint32_t size = 0, timestamp = 0;
    std::uint8_t type = 0;
    while (const std::uint8_t* body = reader.read_tag(size, timestamp, type, status)) {
        read.push_back({type, timestamp, std::string(body, body + size)});
    }
    EXPECT_EQ(status, media_source_ended);
    EXPECT_EQ(read, written);
    for (std::size_t i = 1; i < read.size(); ++i) {
        ASSERT_LE(read[i - 1].timestamp, read[i].timestamp) << i;
    }
}

}  // namespace
