#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtmp/recorded_playback.hpp"
#include "rtmp/tests/recorded_test_support.hpp"

namespace {

using namespace rtmp_test;
using rtmp::recorded_playback;

// One step of a script run against the player, as a client and a clock
// would drive it.
struct step {
    enum kind {
        start,
        start_at,  // a play with a start offset of `value` ms
        run,
        advance,  // the clock, by `value` ms
        seek,
        pause,
        unpause,  // to `value` ms
        toggle,
        raw_pause,  // set (value 1) or clear (0)
        buffer,
        congest,  // `value` bytes unwritten on the connection
        written,  // the connection writes everything it holds
        release,  // every tag of the source becomes available
        clear,    // forget what was sent so far
    } what;
    std::uint32_t value = 0;
};

// A player driven by scripts against a fake source, a fake net stream and
// a fake clock.
class Playback {
  public:
    explicit Playback(std::vector<fake_tag> tags)
        : source(std::move(tags)), playback(source.callbacks(), output, clock.function()) {}

    void play(const std::vector<step>& script) {
        for (const step& s : script) {
            switch (s.what) {
                case step::start:
                    ASSERT_TRUE(playback.start());
                    break;
                case step::start_at:
                    ASSERT_TRUE(playback.start(s.value));
                    break;
                case step::run:
                    playback.run();
                    break;
                case step::advance:
                    clock.advance(s.value);
                    break;
                case step::seek:
                    playback.seek(s.value);
                    break;
                case step::pause:
                    playback.pause(true, false, s.value);
                    break;
                case step::unpause:
                    playback.pause(false, false, s.value);
                    break;
                case step::toggle:
                    playback.pause(false, true, s.value);
                    break;
                case step::raw_pause:
                    playback.pause_raw(s.value != 0, 0);
                    break;
                case step::buffer:
                    playback.set_buffer_length(s.value);
                    break;
                case step::congest:
                    output.unwritten = s.value;
                    break;
                case step::written:
                    output.write_all();
                    break;
                case step::release:
                    source.available = source.tags.size();
                    break;
                case step::clear:
                    output.sent.clear();
                    break;
            }
        }
    }

    fake_source source;
    fake_output output;
    fake_clock clock;
    recorded_playback playback;
};

const std::vector<step> started = {{step::start}, {step::run}, {step::clear}};

std::vector<step> then(std::vector<step> steps) {
    steps.insert(steps.begin(), started.begin(), started.end());
    return steps;
}

TEST(RecordedPlayback, StartAnnouncesARecordedStreamAndFillsOneBufferLength) {
    Playback p(keys_at(20000, {0, 10000}));
    p.play({{step::start}, {step::run}});
    const std::vector<std::string> expected = {
        "open streams", "StreamIsRecorded", "Play.Reset+Start",
        // the stored metadata once, ahead of the first tag
        "data 0 02 00",
        // the configurations with the first tag's time
        "video 0 17 00", "audio 0 af 00",
        // out_pos reaches the buffer length with the tag at 5000
        "video 0 17 01", "audio 1000 af 01", "video 2000 27 01", "audio 3000 af 01",
        "video 4000 27 01", "audio 5000 af 01", "flush"};
    EXPECT_EQ(p.output.sent, expected);
}

// Scripts and what the client receives during them, one row per behaviour.
TEST(RecordedPlayback, PacesPausesSeeksAndEndsAsTheClientExpects) {
    const struct {
        const char* name;
        std::vector<fake_tag> tags;
        std::vector<step> script;
        std::vector<std::string> expected;
    } cases[] = {
        {"the clock releases one second of tags a second",
         keys_at(20000, {0}),
         then({{step::advance, 1000}, {step::run}, {step::advance, 500}, {step::run}, {step::run}}),
         {"video 6000 27 01", "flush", "audio 7000 af 01", "flush", "flush"}},
        {"a longer buffer reaches further ahead",
         keys_at(20000, {0}),
         {{step::start},
          {step::buffer, 8000},
          {step::run},
          {step::clear},
          {step::advance, 1000},
          {step::run}},
         {"audio 9000 af 01", "flush"}},
        {"a buffer below 5000 ms counts as 5000",
         keys_at(20000, {0}),
         {{step::start},
          {step::buffer, 1000},
          {step::run},
          {step::clear},
          {step::advance, 1000},
          {step::run}},
         {"video 6000 27 01", "flush"}},
        {"seek to 30000 with the keyframe at 28000 frames the catch-up",
         keys_at(40000, {0, 28000}),
         then({{step::seek, 30000}, {step::run}}),
         {"Seek.Notify", "flush", "video 30000 57 00", "video 28000 17 00", "audio 28000 af 00",
          "video 28000 17 01",
          // audio 29000 lies before the target and is dropped
          "video 30000 57 01", "video 30000 27 01", "audio 31000 af 01", "video 32000 27 01",
          "audio 33000 af 01", "video 34000 27 01", "audio 35000 af 01", "flush"}},
        {"a keyframe 20000 ms before the target is played in full",
         keys_at(40000, {0, 10000}),
         then({{step::seek, 30000}, {step::run}}),
         {"Seek.Notify", "flush", "video 10000 17 00", "audio 10000 af 00", "video 10000 17 01",
          "audio 11000 af 01", "video 12000 27 01", "audio 13000 af 01", "video 14000 27 01",
          "audio 15000 af 01", "flush"}},
        {"a keyframe 19999 ms before the target is framed, and pacing counts from the target",
         keys_at(40000, {0, 10000}),
         then(
             {{step::seek, 29999}, {step::run}, {step::clear}, {step::advance, 1000}, {step::run}}),
         {"video 36000 27 01", "flush"}},
        {"a seek onto a keyframe sends no frames",
         keys_at(40000, {0, 30000}),
         then({{step::seek, 30000}, {step::run}}),
         {"Seek.Notify", "flush", "video 30000 17 00", "audio 30000 af 00", "video 30000 17 01",
          "audio 31000 af 01", "video 32000 27 01", "audio 33000 af 01", "video 34000 27 01",
          "audio 35000 af 01", "flush"}},
        {"a seek the source cannot do stops playback until the next command",
         keys_at(20000, {}),
         then({{step::seek, 4000}, {step::run}, {step::advance, 3000}, {step::run}}),
         {"Seek.Failed", "flush"}},
        {"pause stops the output, unpause seeks the source and restarts pacing",
         every_video_a_keyframe(40000),
         then({{step::pause, 5000},
               {step::run},
               {step::advance, 10000},
               {step::run},
               {step::unpause, 6000},
               {step::run}}),
         {"Pause.Notify", "flush", "Unpause.Notify", "flush", "video 6000 17 00",
          "audio 6000 af 00", "video 6000 17 01", "audio 7000 af 01", "video 8000 17 01",
          "audio 9000 af 01", "video 10000 17 01", "audio 11000 af 01", "flush"}},
        {"with a raw pause set, unpause goes on where playback stopped",
         every_video_a_keyframe(40000),
         then({{step::raw_pause, 1},
               {step::pause, 5000},
               {step::run},
               {step::unpause, 20000},
               {step::run}}),
         {"Pause.Notify", "flush", "Unpause.Notify", "flush", "video 6000 17 00",
          "audio 6000 af 00", "video 6000 17 01", "audio 7000 af 01", "video 8000 17 01",
          "audio 9000 af 01", "video 10000 17 01", "audio 11000 af 01", "flush"}},
        {"a toggle flips between paused and playing",
         every_video_a_keyframe(40000),
         then({{step::toggle, 0}, {step::run}, {step::toggle, 2000}, {step::run}}),
         {"Pause.Notify", "flush", "Unpause.Notify", "flush", "video 2000 17 00",
          "audio 2000 af 00", "video 2000 17 01", "audio 3000 af 01", "video 4000 17 01",
          "audio 5000 af 01", "video 6000 17 01", "audio 7000 af 01", "flush"}},
        {"the end sends Play.Stop once and nothing more until a seek",
         keys_at(4000, {0, 2000}),
         {{step::start},
          {step::run},
          {step::advance, 1000},
          {step::run},
          {step::advance, 1000},
          {step::run},
          {step::seek, 2000},
          {step::run}},
         {"open streams",
          "StreamIsRecorded",
          "Play.Reset+Start",
          "data 0 02 00",
          "video 0 17 00",
          "audio 0 af 00",
          "video 0 17 01",
          "audio 1000 af 01",
          "video 2000 17 01",
          "audio 3000 af 01",
          "video 4000 27 01",
          "Play.Stop",
          "flush",
          "Seek.Notify",
          "flush",
          "video 2000 17 00",
          "audio 2000 af 00",
          "video 2000 17 01",
          "audio 3000 af 01",
          "video 4000 27 01",
          "Play.Stop",
          "flush"}},
        {"a start offset lands on its keyframe like a seek, without a seek's statuses",
         keys_at(40000, {0, 28000}),
         {{step::start_at, 30000}, {step::run}},
         {"open streams", "StreamIsRecorded", "Play.Reset+Start", "data 0 02 00",
          "video 30000 57 00", "video 28000 17 00", "audio 28000 af 00", "video 28000 17 01",
          "video 30000 57 01", "video 30000 27 01", "audio 31000 af 01", "video 32000 27 01",
          "audio 33000 af 01", "video 34000 27 01", "audio 35000 af 01", "flush"}},
        {"a start offset the source cannot seek to stops playback",
         keys_at(20000, {}),
         {{step::start_at, 4000}, {step::run}},
         {"open streams", "StreamIsRecorded", "Play.Reset+Start", "Seek.Failed", "flush"}},
        {"a pause and an unpause at 0 before the first run resume at the start offset",
         keys_at(40000, {0, 28000}),
         {{step::start_at, 30000}, {step::pause, 0}, {step::unpause, 0}, {step::run}},
         {"open streams",
          "StreamIsRecorded",
          "Play.Reset+Start",
          "Pause.Notify",
          "flush",
          "Unpause.Notify",
          "flush",
          "data 0 02 00",
          "video 30000 57 00",
          "video 28000 17 00",
          "audio 28000 af 00",
          "video 28000 17 01",
          "video 30000 57 01",
          "video 30000 27 01",
          "audio 31000 af 01",
          "video 32000 27 01",
          "audio 33000 af 01",
          "video 34000 27 01",
          "audio 35000 af 01",
          "flush"}},
        {"after a seek an unpause at 0 resumes where the stream was",
         keys_at(40000, {0, 10000}),
         then({{step::seek, 10000},
               {step::run},
               {step::pause, 0},
               {step::run},
               {step::clear},
               {step::unpause, 0},
               {step::run}}),
         {"Unpause.Notify", "flush", "video 16000 17 00", "audio 16000 af 00", "video 16000 27 01",
          "audio 17000 af 01", "video 18000 27 01", "audio 19000 af 01", "video 20000 27 01",
          "audio 21000 af 01", "flush"}},
        {"played from its start, a stream goes back to 0 on an unpause at 0",
         keys_at(40000, {0, 10000}),
         then({{step::pause, 0}, {step::run}, {step::clear}, {step::unpause, 0}, {step::run}}),
         {"Unpause.Notify", "flush", "video 0 17 00", "audio 0 af 00", "video 0 17 01",
          "audio 1000 af 01", "video 2000 27 01", "audio 3000 af 01", "video 4000 27 01",
          "audio 5000 af 01", "flush"}},
        {"commands wait while the connection holds too much",
         keys_at(20000, {0, 10000}),
         then({{step::congest, recorded_playback::max_unwritten_bytes},
               {step::seek, 10000},
               {step::advance, 3000},
               {step::run},
               {step::written},
               {step::run}}),
         {"Seek.Notify", "flush", "video 10000 17 00", "audio 10000 af 00", "video 10000 17 01",
          "audio 11000 af 01", "video 12000 27 01", "audio 13000 af 01", "video 14000 27 01",
          "audio 15000 af 01", "flush"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Playback p(c.tags);
        p.play(c.script);
        EXPECT_EQ(p.output.sent, c.expected);
    }
}

TEST(RecordedPlayback, TheFirstRunAfterAFramedSeekReachesTheTargetWhateverThePacing) {
    Playback p(keys_at(40000, {0, 10000}));
    p.play(then({{step::seek, 29999}, {step::run}}));
    const auto& sent = p.output.sent;
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[2], "video 29999 57 00");
    const auto end_frame = std::find(sent.begin(), sent.end(), "video 29999 57 01");
    ASSERT_NE(end_frame, sent.end());
    // The configurations, every video tag from the keyframe on (10000 to
    // 28000), and no audio before the target.
    const std::vector<std::string> catch_up(sent.begin() + 3, end_frame);
    EXPECT_EQ(catch_up.size(), 2 + 10u);
    EXPECT_EQ(std::count(catch_up.begin(), catch_up.end(), "video 28000 27 01"), 1);
    EXPECT_EQ(std::count_if(catch_up.begin(), catch_up.end(),
                            [](const std::string& s) { return s.ends_with("af 01"); }),
              0);
    ASSERT_NE(end_frame + 1, sent.end());
    EXPECT_EQ(*(end_frame + 1), "video 30000 27 01");
}

TEST(RecordedPlayback, SetBufferLengthClampsTo5000Through60000) {
    const struct {
        std::uint32_t asked;
        std::uint32_t kept;
    } cases[] = {{0, 5000},      {1000, 5000},   {5000, 5000},       {30000, 30000},
                 {60000, 60000}, {90000, 60000}, {UINT32_MAX, 60000}};
    Playback p({});
    for (const auto& c : cases) {
        p.playback.set_buffer_length(c.asked);
        EXPECT_EQ(p.playback.buffer_length(), c.kept) << c.asked;
    }
}

TEST(RecordedPlayback, ARunSendsAtMost514Tags) {
    std::vector<fake_tag> tags;
    for (int n = 0; n < 1200; ++n) {
        tags.push_back(interframe_at(0));
    }
    Playback p(tags);
    p.play({{step::start}, {step::run}});
    ASSERT_EQ(p.source.position, 514u);
    p.play({{step::run}});
    ASSERT_EQ(p.source.position, 1028u);
    p.play({{step::clear}, {step::run}});
    EXPECT_EQ(p.source.position, 1200u);
    ASSERT_EQ(p.output.sent.size(), 1200 - 1028 + 2u);  // the tags, Play.Stop, flush
    EXPECT_EQ(p.output.sent.back(), "flush");
}

// Video of `frame_bytes` every 40 ms from 0 to `last`, a keyframe every
// second, and audio between: a stream of about 25 x frame_bytes a second.
std::vector<fake_tag> heavy_stream(std::uint32_t last, std::size_t frame_bytes) {
    std::vector<fake_tag> tags;
    for (std::uint32_t time = 0; time <= last; time += 40) {
        fake_tag video = time % 1000 == 0 ? keyframe_at(time) : interframe_at(time);
        video.body.resize(frame_bytes, 'v');
        tags.push_back(video);
        tags.push_back(audio_at(time + 20));
    }
    return tags;
}

// The media lines of what was sent, in order, without the flushes.
std::vector<std::string> media_sent(const fake_output& output) {
    std::vector<std::string> media;
    for (const auto& line : output.sent) {
        if (line.starts_with("video") || line.starts_with("audio")) {
            media.push_back(line);
        }
    }
    return media;
}

// A stream far above what the connection holds before it writes: every run
// stops at max_unwritten_bytes and the next, once the connection has
// written, goes on with the next tag, as if the runs had been one.
TEST(RecordedPlayback, ARunStopsAtWhatTheConnectionHoldsAndTheNextGoesOnFromThere) {
    constexpr std::size_t frame_bytes = 20000;  // 4 Mbit/s of video
    const auto tags = heavy_stream(20000, frame_bytes);

    // What one run sends when the connection writes at once.
    Playback whole(tags);
    whole.output.holds_what_it_sends = false;
    whole.playback.set_buffer_length(10000);
    whole.play({{step::start}, {step::run}});

    Playback held(tags);
    held.playback.set_buffer_length(10000);
    held.play({{step::start}});
    std::vector<std::size_t> per_run;
    for (int runs = 0; runs < 1000; ++runs) {
        const std::size_t before = media_sent(held.output).size();
        held.play({{step::run}});
        per_run.push_back(media_sent(held.output).size() - before);
        EXPECT_LE(held.output.unwritten, recorded_playback::max_unwritten_bytes + frame_bytes)
            << "a run stops at the first tag past the bound";
        if (!held.playback.held_back()) {
            break;
        }
        ASSERT_EQ(held.output.resumes.size(), 0u) << "the player asks, not the playback";
        held.play({{step::written}});
    }
    EXPECT_FALSE(held.playback.held_back());
    EXPECT_GT(per_run.size(), 20u) << "ten seconds of 4 Mbit/s take many runs";
    EXPECT_EQ(media_sent(held.output), media_sent(whole.output))
        << "the same tags in the same order, configurations only once";

    // Held back, nothing moves until the connection has written: not even a
    // later tick of the clock.
    held.play({{step::clear}, {step::advance, 5000}, {step::congest, 70000}, {step::run}});
    EXPECT_TRUE(held.playback.held_back());
    EXPECT_EQ(held.output.sent, (std::vector<std::string>{}));
    held.play({{step::written}, {step::run}});
    EXPECT_EQ(media_sent(held.output).front(), "audio 10020 af 01");
}

// A run writes in steps of a block until one ends caught up with its pace,
// everything written: a client that lags holds about a block and a tag in
// the server, not a whole step. Lagging again brings the small steps back.
TEST(RecordedPlayback, WhileTheSocketLagsTheStepsAreSmall) {
    constexpr std::size_t frame_bytes = 5000;
    Playback p(heavy_stream(20000, frame_bytes));
    const auto unwritten_after_run = [&p] {
        p.play({{step::run}});
        EXPECT_TRUE(p.playback.held_back());
        return p.output.unwritten;
    };
    // Small steps from the start, until the socket has shown its pace.
    p.play({{step::start}});
    for (int run = 0; run < 3; ++run) {
        const auto lagging = unwritten_after_run();
        EXPECT_GE(lagging, recorded_playback::slow_step_bytes);
        EXPECT_LT(lagging, recorded_playback::slow_step_bytes + 2 * frame_bytes);
        p.play({{step::written}});
    }

    p.output.holds_what_it_sends = false;
    p.play({{step::written}, {step::run}});
    EXPECT_FALSE(p.playback.held_back());
    p.output.holds_what_it_sends = true;
    p.play({{step::advance, 3000}});
    EXPECT_GE(unwritten_after_run(), recorded_playback::max_unwritten_bytes);
    p.play({{step::written}});
    EXPECT_LT(unwritten_after_run(), recorded_playback::slow_step_bytes + 2 * frame_bytes);
}

// A catch-up to a seek's target that spans many held-back runs stays framed
// until the target: the client shows nothing before it.
TEST(RecordedPlayback, AFramedSeekSpansTheRunsOfAHeldBackCatchUp) {
    constexpr std::size_t frame_bytes = 20000;
    Playback p(heavy_stream(40000, frame_bytes));
    p.play(then({{step::written}, {step::seek, 30960}}));
    for (int runs = 0; runs < 1000; ++runs) {
        p.play({{step::run}});
        if (!p.playback.held_back()) {
            break;
        }
        p.play({{step::written}});
    }
    const auto media = media_sent(p.output);
    ASSERT_GE(media.size(), 3u);
    EXPECT_EQ(media[0], "video 30960 57 00");
    EXPECT_EQ(std::count(media.begin(), media.end(), "video 30960 57 00"), 1);
    EXPECT_EQ(std::count(media.begin(), media.end(), "video 30960 57 01"), 1);
    const auto end_frame = std::find(media.begin(), media.end(), "video 30960 57 01");
    ASSERT_NE(end_frame + 1, media.end());
    EXPECT_EQ(*(end_frame + 1), "video 30960 27 01");
    // The configurations, then the 24 frames from the keyframe at 30000
    // ms, no audio.
    EXPECT_EQ(end_frame - media.begin(), 1 + 2 + 24);
    EXPECT_EQ(std::count_if(media.begin() + 3, end_frame,
                            [](const std::string& s) { return s.starts_with("audio"); }),
              0);
}

TEST(RecordedPlayback, OnlyMediaAndDataTagsAreSentAndAnEndOfSequenceRestartsTheStream) {
    const std::string amf0_start("\x02\x00", 2);
    Playback p({keyframe_at(0),
                {15, 40, "\x11\x02"},
                {18, 80, amf0_start},
                {20, 120, amf0_start},
                {99, 160, "??"},
                {9, 200, std::string("\x17\x02\x00\x00\x00", 5)},
                audio_at(240)});
    p.source.video_header.clear();
    p.source.audio_header.clear();
    p.source.metadata.clear();
    p.play({{step::start}, {step::run}});
    const std::vector<std::string> expected = {
        "open streams",  "StreamIsRecorded", "Play.Reset+Start", "video 0 17 01",   "amf3 40 11 02",
        "data 80 02 00", "video 200 17 02",  "StreamBegin",      "audio 240 af 01", "Play.Stop",
        "flush"};
    EXPECT_EQ(p.output.sent, expected);
}

TEST(RecordedPlayback, AnOnMetaDataAmongTheTagsGivesWayToTheStoredOne) {
    // A recording keeps the publisher's live onMetaData among its tags
    // (duration 0) and its own, with the duration, in its index.
    const std::string live_metadata = std::string("\x02\x00\x0AonMetaData\x08", 14);
    const std::string other_data = std::string("\x02\x00\x0AonCuePoint\x03", 14);
    const struct {
        const char* what;
        bool stored;
        std::vector<std::string> data_sent;
    } cases[] = {
        {"stored metadata", true, {"data 0 02 00", "data 120 02 00"}},
        {"none stored", false, {"data 80 02 00", "data 120 02 00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Playback p({keyframe_at(0), {18, 80, live_metadata}, {18, 120, other_data}});
        if (!c.stored) {
            p.source.metadata.clear();
        }
        p.play({{step::start}, {step::run}});
        std::vector<std::string> data_sent;
        std::copy_if(p.output.sent.begin(), p.output.sent.end(), std::back_inserter(data_sent),
                     [](const std::string& s) { return s.starts_with("data"); });
        EXPECT_EQ(data_sent, c.data_sent);
    }
}

TEST(RecordedPlayback, ASourceWithNoTagYetSendsNothingAndPacingRestartsAtTheNextTag) {
    Playback p(keys_at(20000, {0, 10000}));
    p.source.available = 3;  // 0, 1000, 2000
    p.play({{step::start}, {step::run}, {step::clear}, {step::advance, 30000}, {step::run}});
    EXPECT_EQ(p.output.sent, (std::vector<std::string>{"flush"}));

    // Thirty seconds later the stream goes on one buffer length ahead, not
    // thirty seconds' worth at once.
    p.play({{step::clear}, {step::release}, {step::run}});
    const std::vector<std::string> expected = {
        "video 3000 17 00", "audio 3000 af 00", "audio 3000 af 01",
        "video 4000 27 01", "audio 5000 af 01", "video 6000 27 01",
        "audio 7000 af 01", "video 8000 27 01", "flush"};
    EXPECT_EQ(p.output.sent, expected);
}

TEST(RecordedPlayback, ATagOlderThanThePacingBaseDoesNotStallPlayback) {
    // Audio muxed a little before the keyframe it follows.
    Playback p({keyframe_at(10000), audio_at(9980), interframe_at(10040), audio_at(10020),
                interframe_at(10080)});
    p.play({{step::start}, {step::run}});
    const std::vector<std::string> expected = {"open streams",
                                               "StreamIsRecorded",
                                               "Play.Reset+Start",
                                               "data 0 02 00",
                                               "video 10000 17 00",
                                               "audio 10000 af 00",
                                               "video 10000 17 01",
                                               "audio 9980 af 01",
                                               "video 10040 27 01",
                                               "audio 10020 af 01",
                                               "video 10080 27 01",
                                               "Play.Stop",
                                               "flush"};
    EXPECT_EQ(p.output.sent, expected);
}

TEST(RecordedPlayback, StartRefusesWhenTheConnectionHasNoRoomForTheMediaStreams) {
    Playback p(keys_at(4000, {0}));
    p.output.room_for_streams = false;
    EXPECT_FALSE(p.playback.start());
    EXPECT_EQ(p.output.sent, (std::vector<std::string>{}));
}

TEST(RecordedPlayback, EmptyCallbacksPlayAsAnEmptySourceThatCannotSeek) {
    fake_output output;
    fake_clock clock;
    recorded_playback playback({}, output, clock.function());
    ASSERT_TRUE(playback.start());
    playback.seek(1000);
    playback.run();
    playback.pause(false, false, 0);
    playback.run();
    const std::vector<std::string> expected = {"open streams",
                                               "StreamIsRecorded",
                                               "Play.Reset+Start",
                                               "Seek.Failed",
                                               "flush",
                                               "Unpause.Notify",
                                               "flush",
                                               "Play.Stop",
                                               "flush"};
    EXPECT_EQ(output.sent, expected);
}

}  // namespace
