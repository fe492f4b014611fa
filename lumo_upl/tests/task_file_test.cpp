#include "lumo_upl/task_file.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo_upl/tests/fake_site.hpp"
#include "lumo_upl/tests/task_lists.hpp"
#include "lumo_upl/upload_tasks.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;
using namespace std::chrono_literals;
using namespace lumo_upl;
using lumo_upl_testing::captions_of;
using lumo_upl_testing::captions_of_list;
using lumo_upl_testing::fill_task_list;
using lumo_upl_testing::scoped_home;
using platform::testing::read_file;
using platform::testing::write_file;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::Eq;

constexpr const char* instance = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

std::string xml_of(const std::vector<task_record>& records) {
    pt::ptree tree;
    tree.put_child("tasks", pt::ptree());
    for (const task_record& record : records) {
        write_task_record(record, tree.add_child("tasks.task", pt::ptree()));
    }
    std::ostringstream text;
    pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    return text.str();
}

std::vector<task_record> records_of(const upload_tasks& tasks) {
    std::vector<task_record> records;
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        records.push_back(tasks.task_at(i).record());
    }
    return records;
}

// A task with every key set to a value of its own.
task_record full_record(std::int32_t state) {
    task_record record;
    record.state = state;
    record.info = {.caption = "标题 <" + std::to_string(state) + "> & \"quoted\" 'too'",
                   .path = "/videos/视频 " + std::to_string(state) + ".mp4",
                   .preset_index = state % 3,
                   .category = "新闻&体育",
                   .labels = "a<b, c>d",
                   .note = "第一行\r\n  second line  ",
                   .duration_ms = 3600000 + state};
    record.converted = {.width = 640 + state,
                        .height = 480 + state,
                        .video_kbps = 600 + state,
                        .audio_kbps = 96 + state,
                        .duration_ms = 3599000.0 + state,
                        .framerate = 25 + state,
                        .total_bitrate = 696000 + state};
    record.stream_name = "stream" + std::to_string(state);
    record.local_file_name = "T1700000000" + std::to_string(1000 + state);
    record.current_block = 10 + state;
    record.count_block = 20 + state;
    return record;
}

class TaskFile : public ::testing::Test {
  protected:
    upload_tasks fresh_list() const { return upload_tasks("/work/lumo_work_folder", 2, 4); }

    scoped_home home_;
    upload_tasks tasks_ = fresh_list();
};

TEST_F(TaskFile, TasksInEveryStateComeBackWithEveryKey) {
    std::vector<task_record> written;
    for (std::int32_t state = 0; state <= 6; ++state) {
        written.push_back(full_record(state));
    }
    fs::create_directories(data_folder());
    write_file(task_file_path(instance), xml_of(written));

    ASSERT_EQ(load_task_file(tasks_, instance), task_file_source::task_file);
    std::vector<task_record> expected = written;
    expected[task_state::transcoding].state = task_state::queued;
    expected[task_state::uploading].state = task_state::transcoded;
    EXPECT_EQ(records_of(tasks_), expected);

    // And through our own save.
    ASSERT_TRUE(save_task_file(tasks_, instance));
    upload_tasks again = fresh_list();
    ASSERT_EQ(load_task_file(again, instance), task_file_source::task_file);
    EXPECT_EQ(records_of(again), expected);
}

TEST_F(TaskFile, IsWrittenAsOneLineUnderItsDeclaration) {
    std::string error;
    ASSERT_TRUE(tasks_.add_task({.caption = "a<b>&c",
                                 .path = "/v/a.mp4",
                                 .preset_index = 1,
                                 .category = "新闻",
                                 .labels = "l",
                                 .note = "n",
                                 .duration_ms = 61000},
                                error));
    upload_task& task = tasks_.task_at(0);
    task.set_state(task_state::uploading);
    task.set_converted({640, 480, 600, 96, 60999.5, 25, 696000});
    task.set_stream_name("stream7");
    task.set_current_block(3);
    task.set_count_block(9);
    ASSERT_TRUE(tasks_.add_task({.caption = "b"}, error));

    ASSERT_TRUE(save_task_file(tasks_, instance));
    EXPECT_EQ(read_file(data_folder() / (std::string(instance) + ".xml")),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<tasks><task><state>3</state><task_info><caption>a&lt;b&gt;&amp;c</caption>"
              "<cat>新闻</cat><duration>61000</duration><labels>l</labels><note>n</note>"
              "<path>/v/a.mp4</path><presetIndex>1</presetIndex></task_info>"
              "<convertedWidth>640</convertedWidth><convertedHeight>480</convertedHeight>"
              "<convertedVideoBtr>600</convertedVideoBtr><convertedAudioBtr>96</convertedAudioBtr>"
              "<convertedDuration>60999.5</convertedDuration>"
              "<convertedFramerate>25</convertedFramerate><totalBitrate>696000</totalBitrate>"
              "<streamName>stream7</streamName><localFileName/><currentBlock>3</currentBlock>"
              "<countBlock>9</countBlock></task>"
              "<task><state>0</state><task_info><caption>b</caption><cat/><duration>0</duration>"
              "<labels/><note/><path/><presetIndex>0</presetIndex></task_info>"
              "<convertedWidth>0</convertedWidth><convertedHeight>0</convertedHeight>"
              "<convertedVideoBtr>0</convertedVideoBtr><convertedAudioBtr>0</convertedAudioBtr>"
              "<convertedDuration>0</convertedDuration><convertedFramerate>0</convertedFramerate>"
              "<totalBitrate>0</totalBitrate><streamName/><localFileName/>"
              "<currentBlock>0</currentBlock><countBlock>0</countBlock></task></tasks>");
}

TEST_F(TaskFile, AfterTwoSavesTheBackupHoldsTheFirstList) {
    upload_tasks first = fresh_list();
    fill_task_list(first, 0);
    upload_tasks second = fresh_list();
    fill_task_list(second, 1);
    ASSERT_TRUE(save_task_file(first, instance));
    EXPECT_FALSE(fs::exists(task_backup_path(instance)));
    ASSERT_TRUE(save_task_file(second, instance));

    EXPECT_EQ(read_file(task_backup_path(instance)), xml_of(records_of(first)));
    EXPECT_EQ(read_file(task_file_path(instance)), xml_of(records_of(second)));
    // Nothing else is left in the data folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(data_folder()), fs::directory_iterator()), 2);
}

TEST_F(TaskFile, ADamagedTaskFileGivesWayToTheBackupWhole) {
    upload_tasks backup_list = fresh_list();
    fill_task_list(backup_list, 0);
    const std::string backup = xml_of(records_of(backup_list));
    const std::string good_task = xml_of({full_record(2)});
    const auto with = [&](const std::string& from, const std::string& to) {
        std::string text = xml_of({full_record(2), full_record(4)});
        const std::size_t at = text.rfind(from);  // in the last task
        return text.replace(at, from.size(), to);
    };
    const std::vector<std::pair<std::string, std::optional<std::string>>> damaged = {
        {"missing", std::nullopt},
        {"empty", ""},
        {"not XML", "tasks: none"},
        {"truncated", good_task.substr(0, good_task.size() / 2)},
        {"last tag cut", good_task.substr(0, good_task.size() - 1)},
        {"another root", "<?xml version=\"1.0\"?>\n<lists><task/></lists>"},
        {"state 7", with("<state>4</state>", "<state>7</state>")},
        {"state -1", with("<state>4</state>", "<state>-1</state>")},
        {"state no number", with("<state>4</state>", "<state>four</state>")},
        {"preset 3", with("<presetIndex>1</presetIndex>", "<presetIndex>3</presetIndex>")},
        {"negative block",
         with("<currentBlock>14</currentBlock>", "<currentBlock>-1</currentBlock>")},
        {"negative count", with("<countBlock>24</countBlock>", "<countBlock>-24</countBlock>")},
        {"width past 32 bits", with("<convertedWidth>644</convertedWidth>",
                                    "<convertedWidth>4294967940</convertedWidth>")},
        {"duration no number", with("<convertedDuration>3599004</convertedDuration>",
                                    "<convertedDuration>x</convertedDuration>")},
    };
    for (const auto& [what, task_file] : damaged) {
        SCOPED_TRACE(what);
        fs::remove_all(data_folder());
        fs::create_directories(data_folder());
        write_file(task_backup_path(instance), backup);
        if (task_file) {
            write_file(task_file_path(instance), *task_file);
        }
        upload_tasks loaded = fresh_list();
        EXPECT_EQ(load_task_file(loaded, instance), task_file_source::backup);
        EXPECT_EQ(captions_of(loaded), captions_of_list(0));
    }
}

TEST_F(TaskFile, WithBothFilesDamagedTheListStaysEmpty) {
    fs::create_directories(data_folder());
    write_file(task_file_path(instance), "<tasks><task>");
    write_file(task_backup_path(instance), xml_of({full_record(9)}));
    EXPECT_EQ(load_task_file(tasks_, instance), task_file_source::none);
    EXPECT_EQ(tasks_.count(), 0u);
    EXPECT_EQ(load_task_file(tasks_, "another instance"), task_file_source::none);
}

TEST_F(TaskFile, AFloatingDurationIsReadAsWholeMilliseconds) {
    fs::create_directories(data_folder());
    write_file(task_file_path(instance),
               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<tasks><task><state>2</state>"
               "<localFileName>T1</localFileName>"
               "<convertedDuration>12345.678</convertedDuration></task></tasks>");
    ASSERT_EQ(load_task_file(tasks_, instance), task_file_source::task_file);
    EXPECT_EQ(tasks_.task_at(0).converted().duration_ms, 12345);
    EXPECT_EQ(tasks_.task_at(0).state(), task_state::transcoded);

    ASSERT_TRUE(save_task_file(tasks_, instance));
    EXPECT_THAT(read_file(task_file_path(instance)),
                ::testing::HasSubstr("<convertedDuration>12345</convertedDuration>"));
}

TEST_F(TaskFile, ASaveThatCannotWriteChangesNothing) {
    // A file where the data folder should be.
    write_file(data_folder(), "in the way");
    fill_task_list(tasks_, 0);
    EXPECT_FALSE(save_task_file(tasks_, instance));
    EXPECT_EQ(read_file(data_folder()), "in the way");

    // A folder where the task file should be: the backup keeps its list.
    fs::remove(data_folder());
    ASSERT_TRUE(save_task_file(tasks_, instance));
    ASSERT_TRUE(save_task_file(tasks_, instance));
    const std::string backup = read_file(task_backup_path(instance));
    fs::remove(task_file_path(instance));
    fs::create_directories(task_file_path(instance) / "x");
    EXPECT_FALSE(save_task_file(tasks_, instance));
    EXPECT_EQ(read_file(task_backup_path(instance)), backup);
    EXPECT_EQ(std::distance(fs::directory_iterator(data_folder()), fs::directory_iterator()), 2);
}

TEST_F(TaskFile, ADamagedTaskFileNeverReplacesTheBackup) {
    upload_tasks first = fresh_list();
    fill_task_list(first, 0);
    ASSERT_TRUE(save_task_file(first, instance));
    ASSERT_TRUE(save_task_file(first, instance));
    write_file(task_file_path(instance), "<tasks><task><state>1</sta");

    // The load took the backup; the next save must keep it.
    ASSERT_EQ(load_task_file(tasks_, instance), task_file_source::backup);
    upload_tasks second = fresh_list();
    fill_task_list(second, 1);
    ASSERT_TRUE(save_task_file(second, instance));
    EXPECT_EQ(read_file(task_backup_path(instance)), xml_of(records_of(first)));
    EXPECT_EQ(read_file(task_file_path(instance)), xml_of(records_of(second)));
}

// A child saves two lists in turn and is killed in the middle: one of the
// two lists is always there, whole, in the task file and in the backup.
TEST_F(TaskFile, AKilledSaveLeavesOneWholeList) {
    upload_tasks lists[2] = {fresh_list(), fresh_list()};
    fill_task_list(lists[0], 0);
    fill_task_list(lists[1], 1);
    ASSERT_TRUE(save_task_file(lists[0], instance));
    ASSERT_TRUE(save_task_file(lists[0], instance));

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto either_list = AnyOf(Eq(captions_of_list(0)), Eq(captions_of_list(1)));
    for (int kill = 0; kill < 50; ++kill) {
        // A fork rather than a new program: the kills land in the saves,
        // not in starting up.
        const pid_t saver = ::fork();
        ASSERT_GE(saver, 0);
        if (saver == 0) {
            for (unsigned saves = 0;; ++saves) {
                if (!save_task_file(lists[saves % 2], instance)) {
                    ::_exit(1);
                }
            }
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 60000)(random)));
        ::kill(saver, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(saver, &status, 0), saver);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

        upload_tasks loaded = fresh_list();
        ASSERT_EQ(load_task_file(loaded, instance), task_file_source::task_file);
        ASSERT_THAT(captions_of(loaded), either_list);
        const fs::path moved = data_folder() / "task file";
        fs::rename(task_file_path(instance), moved);
        upload_tasks backup = fresh_list();
        ASSERT_EQ(load_task_file(backup, instance), task_file_source::backup);
        ASSERT_THAT(captions_of(backup), either_list);
        fs::rename(moved, task_file_path(instance));
    }
}

TEST_F(TaskFile, SettingsAreKeptInTheirOwnFile) {
    EXPECT_TRUE(load_settings().empty());

    pt::ptree settings;
    settings.put("config.work_folder", "/data/视频/lumo_work_folder");
    ASSERT_TRUE(save_settings(settings));
    EXPECT_EQ(read_file(home_.path() / "LUMO" / ".lumof"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<config><work_folder>/data/视频/lumo_work_folder</work_folder></config>");
    EXPECT_EQ(load_settings().get<std::string>("config.work_folder"),
              "/data/视频/lumo_work_folder");

    write_file(settings_file_path(), "<config><work_folder>/x");
    EXPECT_TRUE(load_settings().empty());

    fs::remove_all(data_folder());
    write_file(data_folder(), "in the way");
    EXPECT_FALSE(save_settings(settings));
    EXPECT_TRUE(load_settings().empty());
}

}  // namespace
