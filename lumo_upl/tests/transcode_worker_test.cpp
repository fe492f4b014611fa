// The transcode thread and the whole road of tasks from files that ffmpeg
// makes to the fake site: thumbnails, the recording, the converted
// parameters, the transcoding limit, stops and removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QImage>
#include <QString>

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "foundation/segment_index.hpp"
#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace pt = boost::property_tree;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using lumo_upl_test::metadata_numbers;
using lumo_upl_test::sample;
using platform::testing::eventually;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What the add-task dialog makes of a file: its probed duration.
task_info info_of(const std::string& file, std::int32_t preset) {
    std::uint32_t duration = 0;
    grab_thumbnail(sample(file), 0, nullptr, &duration);
    return {.caption = "节目 " + file,
            .path = sample(file).string(),
            .preset_index = preset,
            .category = "Sports",
            .labels = "x, y",
            .note = "from " + file,
            .duration_ms = static_cast<std::int32_t>(duration)};
}

void add(upload_tasks& tasks, const task_info& info) {
    std::string error;
    ASSERT_TRUE(tasks.add_task(info, error)) << error;
}

// The states a task was seen in, each once, in the order seen.
class state_trail {
  public:
    void see(std::int32_t state) {
        if (states_.empty() || states_.back() != state) {
            states_.push_back(state);
        }
    }
    const std::vector<std::int32_t>& states() const { return states_; }

  private:
    std::vector<std::int32_t> states_;
};

// The colour at the middle of a picture, as 0xRRGGBB.
std::uint32_t middle_colour(const QImage& picture) {
    return picture.pixel(picture.width() / 2, picture.height() / 2) & 0xFFFFFF;
}

bool colours_near(std::uint32_t a, std::uint32_t b) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF)) >
            24) {
            return false;
        }
    }
    return true;
}

// The recording's own account of itself, as the task must have taken it.
void expect_converted_as_recorded(const upload_task& task) {
    segment_index index;
    index.load(task.index_path());
    const auto metadata = metadata_numbers(index);
    const converted_parameters converted = task.converted();
    EXPECT_EQ(task.count_block(), static_cast<std::int32_t>(index.segments.size()));
    for (std::int32_t block = 0; block < task.count_block(); ++block) {
        EXPECT_TRUE(fs::exists(task.segment_path(block))) << block;
    }
    EXPECT_FALSE(fs::exists(task.segment_path(task.count_block())));
    EXPECT_EQ(converted.width, metadata.contains("width") ? metadata.at("width") : 0);
    EXPECT_EQ(converted.height, metadata.contains("height") ? metadata.at("height") : 0);
    EXPECT_EQ(converted.framerate,
              metadata.contains("framerate") ? std::trunc(metadata.at("framerate")) : 0);
    EXPECT_EQ(converted.video_kbps,
              metadata.contains("videoBitrate") ? metadata.at("videoBitrate") : 0);
    EXPECT_EQ(converted.audio_kbps, metadata.at("audioBitrate"));
    EXPECT_EQ(converted.duration_ms, index.duration_ms);
    EXPECT_EQ(converted.duration_ms, std::round(metadata.at("duration") * 1000));
    EXPECT_EQ(converted.total_bitrate, std::trunc(metadata.at("bitrate")));
}

class TranscodeWorker : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_MEDIA(); }

  private:
    // As in the program: Qt's main thread is this one, and the workers'
    // threads come and go beside it.
    int argc_ = 1;
    char name_[32] = "transcode_worker_test";
    char* argv_[2] = {name_, nullptr};
    QCoreApplication application_{argc_, argv_};
};

TEST_F(TranscodeWorker, TasksGoFromTheirFilesToTheSite) {
    worker_session session;
    add(session.tasks, info_of("long.mp4", 1));
    add(session.tasks, info_of("colours12.mp4", 2));
    add(session.tasks, info_of("audio.m4a", 0));
    upload_tasks& tasks = session.tasks;
    std::vector<state_trail> trails(3);
    const auto see = [&] {
        for (std::size_t i = 0; i < 3; ++i) {
            trails[i].see(tasks.task_at(i).state());
        }
    };
    const auto check = [&] {
        see();
        ASSERT_LE(tasks.count_transcoding(), 2);
        ASSERT_LE(tasks.count_uploading(), 4);
        // Started in list order.
        if (tasks.task_at(2).state() != task_state::queued) {
            ASSERT_NE(tasks.task_at(0).state(), task_state::queued);
            ASSERT_NE(tasks.task_at(1).state(), task_state::queued);
        }
    };
    ASSERT_TRUE(schedule_until(
        tasks,
        [&] {
            // Before each call as well: only the scheduler moves a task on
            // from transcoded, so that state is seen here.
            see();
            return all_in_state(tasks, task_state::uploaded);
        },
        check));

    std::int64_t block_bytes = 0;
    std::set<std::string> streams;
    for (std::size_t i = 0; i < 3; ++i) {
        const upload_task& task = tasks.task_at(i);
        SCOPED_TRACE(task.info().path);
        // Each state in turn, never back; transcoded is always seen, the
        // others are too brief to be sure of.
        const std::vector<std::int32_t>& seen = trails[i].states();
        EXPECT_EQ(seen.front(), task_state::queued);
        EXPECT_EQ(seen.back(), task_state::uploaded);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_THAT(seen, ::testing::Contains(task_state::transcoded));
        EXPECT_EQ(task.log_text(), "Conversion completed\r\n");
        EXPECT_EQ(task.progress(), 100);
        expect_converted_as_recorded(task);
        EXPECT_TRUE(site_holds_upload(session.site, task));
        streams.insert(task.stream_name());
        for (std::int32_t block = 0; block < task.count_block(); ++block) {
            block_bytes += static_cast<std::int64_t>(fs::file_size(task.segment_path(block)));
        }
    }
    EXPECT_EQ(streams.size(), 3u);
    EXPECT_EQ(tasks.task_at(0).count_block(), 3);
    EXPECT_EQ(tasks.uploaded_bytes(), block_bytes);
    EXPECT_THAT(session.site.violations(), IsEmpty());
}

TEST_F(TranscodeWorker, TwoTranscodeAtOnceAndTheNextWaitsForOneToEnd) {
    // No uploads here: transcoded tasks stay as they are.
    worker_session session({.max_uploading = 0});
    upload_tasks& tasks = session.tasks;
    for (int i = 0; i < 5; ++i) {
        add(tasks, info_of("video_only.mp4", 0));
    }
    const auto state = [&](std::size_t i) { return tasks.task_at(i).state(); };

    tasks.schedule();
    EXPECT_NE(state(0), task_state::queued);
    EXPECT_NE(state(1), task_state::queued);
    EXPECT_EQ(state(2), task_state::queued);

    const auto check = [&] {
        ASSERT_LE(tasks.count_transcoding(), 2);
        for (std::size_t i = 1; i < 5; ++i) {
            if (state(i) != task_state::queued) {
                ASSERT_NE(state(i - 1), task_state::queued) << i;
            }
        }
        // A task that left transcoding never comes back to it.
        if (state(2) != task_state::queued) {
            ASSERT_TRUE(state(0) == task_state::transcoded || state(1) == task_state::transcoded);
        }
    };
    ASSERT_TRUE(schedule_until(
        tasks, [&] { return all_in_state(tasks, task_state::transcoded); }, check));
    EXPECT_EQ(tasks.count_transcoding(), 0);
}

TEST_F(TranscodeWorker, ThumbnailsRecordingAndTheReasonOfAFailure) {
    worker_session session({.max_uploading = 0});
    upload_tasks& tasks = session.tasks;
    task_info colours = info_of("colours12.mp4", 0);
    ASSERT_NEAR(colours.duration_ms, 12000, 100);
    colours.duration_ms = 12000;
    add(tasks, colours);
    add(tasks, info_of("odd.mp4", 1));
    add(tasks, info_of("audio.m4a", 2));
    add(tasks, info_of("garbage.mp4", 0));
    add(tasks, info_of("headers.mp4", 0));
    add(tasks, info_of("missing.mp4", 0));
    ASSERT_TRUE(schedule_until(tasks, [&] {
        return tasks.count_transcoding() == 0 && tasks.task_at(5).state() != task_state::queued;
    }));

    const auto thumbnails_of = [](const upload_task& task) {
        std::vector<QImage> pictures;
        for (int number = 1; number <= 6; ++number) {
            QImage picture;
            if (picture.load(QString::fromStdString(task.thumbnail_path(number).string()),
                             "JPEG")) {
                pictures.push_back(picture);
            }
        }
        EXPECT_FALSE(fs::exists(task.thumbnail_path(7)));
        return pictures;
    };

    {
        // At 5 s, then every tenth of the 12 s: the pictures of the source
        // there, enlarged to the box.
        const upload_task& task = tasks.task_at(0);
        EXPECT_EQ(task.state(), task_state::transcoded);
        EXPECT_EQ(task.log_text(), "Conversion completed\r\n");
        expect_converted_as_recorded(task);
        EXPECT_EQ(task.converted().width, 160);
        EXPECT_EQ(task.converted().framerate, 15);
        const std::vector<QImage> pictures = thumbnails_of(task);
        ASSERT_EQ(pictures.size(), 6u);
        std::set<std::uint32_t> colours_seen;
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(pictures[k].size(), QSize(320, 240)) << k;
            QImage there;
            ASSERT_EQ(grab_thumbnail(task.info().path, 5000 + 1200 * k, &there, nullptr), 1);
            EXPECT_TRUE(colours_near(middle_colour(pictures[k]), middle_colour(there)))
                << "thumbnail " << k + 1 << std::hex << ": " << middle_colour(pictures[k])
                << ", the source at that place: " << middle_colour(there);
            colours_seen.insert(middle_colour(there));
        }
        // The places matter: the source changes colour between them.
        EXPECT_GE(colours_seen.size(), 3u);
    }
    {
        // 3 s: every place is past the end and falls back to the middle. A
        // 641 x 361 picture in the 320 x 240 box keeps its shape.
        const upload_task& task = tasks.task_at(1);
        EXPECT_EQ(task.state(), task_state::transcoded);
        expect_converted_as_recorded(task);
        const std::vector<QImage> pictures = thumbnails_of(task);
        ASSERT_EQ(pictures.size(), 6u);
        QImage middle;
        ASSERT_EQ(grab_thumbnail(task.info().path, 1500, &middle, nullptr), 1);
        const QImage expected = middle.scaled(320, 240, Qt::KeepAspectRatio);
        EXPECT_EQ(expected.size(), QSize(320, 180));
        for (const QImage& picture : pictures) {
            EXPECT_EQ(picture.size(), expected.size());
        }
    }
    {
        // Sound alone: no pictures, a recording all the same.
        const upload_task& task = tasks.task_at(2);
        EXPECT_EQ(task.state(), task_state::transcoded);
        EXPECT_EQ(task.log_text(), "Conversion completed\r\n");
        expect_converted_as_recorded(task);
        EXPECT_THAT(thumbnails_of(task), IsEmpty());
        EXPECT_EQ(task.converted().width, 0);
        EXPECT_EQ(task.converted().audio_kbps, 128);
    }
    const struct {
        std::size_t task;
        const char* log;
    } failures[] = {
        {3, "Can't load the source video\r\n"},
        // Opens, but nothing in it decodes: no recording to upload.
        {4, "Can't convert the file\r\n"},
        {5, "Can't load the source video\r\n"},
    };
    for (const auto& failure : failures) {
        const upload_task& task = tasks.task_at(failure.task);
        SCOPED_TRACE(task.info().path);
        EXPECT_EQ(task.state(), task_state::transcode_failed);
        EXPECT_EQ(task.log_text(), failure.log);
        EXPECT_EQ(task.count_block(), 0);
    }
}

TEST_F(TranscodeWorker, AStoppedTranscodeIsNoConversion) {
    worker_session session;
    add(session.tasks, info_of("long.mp4", 2));
    const upload_task& task = session.tasks.task_at(0);
    session.tasks.schedule();
    ASSERT_TRUE(eventually([&] { return task.progress() > 0; }, 30s));
    // The end of the program while the transcoder runs.
    session.tasks.stop();
    EXPECT_EQ(task.state(), task_state::transcoding);
    EXPECT_EQ(task.log_text(), "");
    // What was made before the stop is a recording of its own, shorter
    // than the source.
    segment_index index;
    index.load(task.index_path());
    EXPECT_LT(index.duration_ms, 20000u);
    session.tasks.schedule();
    EXPECT_EQ(task.state(), task_state::transcoding);

    // The next run transcodes it again from the start.
    pt::ptree saved;
    session.tasks.write_task_list(saved);
    upload_tasks next_run(session.work_folder.string(), 2, 4);
    next_run.read_task_list(saved);
    EXPECT_EQ(next_run.task_at(0).state(), task_state::queued);
    EXPECT_EQ(next_run.task_at(0).local_file_name(), task.local_file_name());
}

TEST_F(TranscodeWorker, RemovingATranscodingTaskRemovesItsFilesAlone) {
    worker_session session;
    add(session.tasks, info_of("long.mp4", 2));
    task_record other;
    other.state = task_state::upload_failed;
    other.local_file_name = "T2";
    fs::create_directories(session.work_folder / "T2");
    platform::testing::write_file(session.work_folder / "T2" / "T2.zpksegments", "index");
    add_task_records(session.tasks, {other});
    const upload_task& task = session.tasks.task_at(0);
    session.tasks.schedule();
    ASSERT_TRUE(eventually([&] { return task.progress() > 0; }, 30s));
    const fs::path folder = task.index_path().parent_path();
    ASSERT_TRUE(fs::exists(folder));

    session.tasks.remove_task(0);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(session.tasks.count(), 1u);
    EXPECT_TRUE(fs::exists(session.tasks.task_at(0).index_path()));
    // It had no stream at the site: nothing to cancel there.
    EXPECT_THAT(upload_requests(session.site), IsEmpty());
}

}  // namespace
