#include "lumo_upl/upload_tasks.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/tests/fake_site.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl;
using lumo_upl_testing::add_task_records;
using lumo_upl_testing::fake_site;
using lumo_upl_testing::scoped_home;
using platform::testing::temp_dir;
using platform::testing::write_file;
using ::testing::IsEmpty;

task_record record_of(std::int32_t state, std::string stream_name, std::string local_name) {
    task_record record;
    record.state = state;
    record.info.caption = "caption of " + local_name;
    record.stream_name = std::move(stream_name);
    record.local_file_name = std::move(local_name);
    return record;
}

// A task folder with a file in it, as the transcoder leaves it.
void make_task_folder(const fs::path& work_folder, const std::string& name) {
    fs::create_directories(work_folder / name / (name + ".segments"));
    write_file(work_folder / name / (name + ".segments") / "0.zpksegment", "block");
}

class UploadTasks : public ::testing::Test {
  protected:
    scoped_home home_;
    temp_dir root_;
    const fs::path work_folder_ = root_ / "lumo_work_folder";
    upload_tasks tasks_{work_folder_.string(), 2, 4};
};

TEST_F(UploadTasks, TheFilesOfATaskLieInItsFolderInTheWorkFolder) {
    add_task_records(tasks_, {record_of(task_state::transcoded, "", "T17000000001234")});
    const upload_task& task = tasks_.task_at(0);
    const fs::path folder = work_folder_ / "T17000000001234";
    EXPECT_EQ(task.segment_path(0), folder / "T17000000001234.segments" / "0.zpksegment");
    EXPECT_EQ(task.segment_path(12), folder / "T17000000001234.segments" / "12.zpksegment");
    EXPECT_EQ(task.index_path(), folder / "T17000000001234.zpksegments");
    EXPECT_EQ(task.thumbnail_path(3), folder / "thumbnail_c3.jpg");

    task.make_work_dir();
    EXPECT_TRUE(fs::is_directory(folder));
    task.remove_work_dir();
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::is_directory(work_folder_));
}

TEST_F(UploadTasks, AnIndexPastTheEndIsABadTaskIndex) {
    std::string error;
    ASSERT_TRUE(tasks_.add_task({.caption = "one"}, error));
    EXPECT_EQ(tasks_.task_at(0).info().caption, "one");
    EXPECT_EQ(tasks_.task_at(0).state(), task_state::queued);
    for (std::size_t index : {std::size_t{1}, std::size_t{100}, static_cast<std::size_t>(-1)}) {
        try {
            tasks_.task_at(index);
            ADD_FAILURE() << "no error for index " << index;
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "Bad task index");
        }
        EXPECT_THROW(tasks_.remove_task(index), std::runtime_error);
    }
    EXPECT_EQ(tasks_.count(), 1u);
}

TEST_F(UploadTasks, APresetTheTaskFileWouldRefuseIsNotAdded) {
    std::string error;
    EXPECT_FALSE(tasks_.add_task({.caption = "x", .preset_index = 3}, error));
    EXPECT_EQ(error, "Bad preset index");
    EXPECT_FALSE(tasks_.add_task({.caption = "x", .preset_index = -1}, error));
    EXPECT_EQ(tasks_.count(), 0u);
}

TEST_F(UploadTasks, CountsTheTasksThatTranscodeAndUpload) {
    std::string error;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(tasks_.add_task({}, error));
        tasks_.task_at(i).set_state(i);
    }
    tasks_.task_at(0).set_state(task_state::uploading);
    EXPECT_EQ(tasks_.count_transcoding(), 1);
    EXPECT_EQ(tasks_.count_uploading(), 2);
    EXPECT_EQ(tasks_.max_transcoding(), 2);
    EXPECT_EQ(tasks_.max_uploading(), 4);
}

TEST_F(UploadTasks, TheLogIsEmptiedOncePast64000Bytes) {
    std::string error;
    ASSERT_TRUE(tasks_.add_task({}, error));
    upload_task& task = tasks_.task_at(0);

    task.append_log(std::string(63998, 'a'));  // 64000 bytes with its line end
    task.append_log("b");
    EXPECT_EQ(task.log_text().size(), 64003u);
    task.append_log("c");
    EXPECT_EQ(task.log_text(), "c\r\n");
}

TEST_F(UploadTasks, RemovingATaskCancelsItsUploadUnlessItIsComplete) {
    fake_site site;
    const std::string code = encode_launch_code("0123456789abcdef", "secret");
    site.add_token(code);
    tasks_.set_server_url(site.address());
    tasks_.set_launch_code(code);
    lumo_channel_uploader uploader(site.address());
    uploader.set_auth_token(code);
    const std::string uploading = uploader.create_upload("", 2);
    const std::string uploaded = uploader.create_upload("", 2);

    add_task_records(
        tasks_, {record_of(task_state::uploading, uploading, "T1"),
                 record_of(task_state::uploaded, uploaded, "T2"),
                 record_of(task_state::queued, "", "T3"), record_of(task_state::queued, "", "")});
    for (const char* name : {"T1", "T2", "T3"}) {
        make_task_folder(work_folder_, name);
    }
    const std::size_t requests_before = site.requests().size();

    tasks_.remove_task(1);
    EXPECT_FALSE(fs::exists(work_folder_ / "T2"));
    tasks_.remove_task(0);
    EXPECT_FALSE(fs::exists(work_folder_ / "T1"));
    tasks_.remove_task(1);
    tasks_.remove_task(0);
    EXPECT_FALSE(fs::exists(work_folder_ / "T3"));
    EXPECT_EQ(tasks_.count(), 0u);
    EXPECT_TRUE(fs::is_directory(work_folder_));

    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), requests_before + 1);
    EXPECT_EQ(requests.back().action, "cancelUpload");
    EXPECT_EQ(requests.back().fields.at("streamName"), uploading);
    // A task read from the file uploads with the code of this run.
    EXPECT_EQ(requests.back().fields.at("authToken"), code);
    EXPECT_FALSE(site.streams().isMember(uploading));
    EXPECT_TRUE(site.streams().isMember(uploaded));
}

TEST_F(UploadTasks, ALocalNameFromTheFileNeverReachesOutsideTheWorkFolder) {
    fs::create_directories(work_folder_);
    write_file(root_ / "keep.txt", "outside");
    fs::create_directories(root_ / "other");
    write_file(root_ / "other" / "keep.txt", "outside");
    const std::vector<std::string> hostile = {
        "..", ".", (root_ / "other").string(), "../other", "T1/../..", "T1/T2", ""};
    for (std::int32_t state : {task_state::transcoding, task_state::transcoded,
                               task_state::uploading, task_state::upload_failed}) {
        for (const std::string& name : hostile) {
            add_task_records(tasks_, {record_of(state, "", name)});
        }
    }
    for (std::size_t i = 0; i < tasks_.count(); ++i) {
        const upload_task& task = tasks_.task_at(i);
        EXPECT_EQ(task.local_file_name(), "");
        // Without its files the task is transcoded again, unless it is over.
        EXPECT_EQ(task.state(),
                  i < 3 * hostile.size() ? task_state::queued : task_state::upload_failed);
    }
    while (tasks_.count() > 0) {
        tasks_.remove_task(0);
    }
    EXPECT_TRUE(fs::exists(root_ / "keep.txt"));
    EXPECT_TRUE(fs::exists(root_ / "other" / "keep.txt"));
    EXPECT_TRUE(fs::is_directory(work_folder_));
}

TEST_F(UploadTasks, LocalNamesNeverNameAFolderThatExists) {
    fs::create_directories(work_folder_ / "T1007");
    std::vector<std::uint32_t> draws = {7, 7, 8, 8, 9};
    std::size_t next = 0;
    const auto draw = [&] { return draws.at(next++); };
    EXPECT_EQ(make_local_file_name(work_folder_, 100, draw), "T1008");
    EXPECT_TRUE(fs::is_directory(work_folder_ / "T1008"));
    EXPECT_EQ(make_local_file_name(work_folder_, 100, draw), "T1009");
    EXPECT_EQ(next, draws.size());

    // Made within one second, from the seeded source.
    std::string error;
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(tasks_.add_task({}, error));
        const std::string name = tasks_.task_at(i).ensure_local_file_name();
        EXPECT_TRUE(std::regex_match(name, std::regex("T[0-9]{10,}[0-9]+"))) << name;
        EXPECT_EQ(tasks_.task_at(i).ensure_local_file_name(), name);
        EXPECT_TRUE(fs::is_directory(work_folder_ / name));
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 20u);
}

}  // namespace
