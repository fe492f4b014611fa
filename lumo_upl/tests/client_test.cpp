// The real program, launched as the web site launches it, against the fake
// site on the offscreen platform: one client per site, transcoding and
// uploading its tasks while the picker it opens stays open, and going on
// after it was killed.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <thread>

#include <boost/interprocess/ipc/message_queue.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "lumo_upl/launch_argument.hpp"
#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/window_helpers.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"
#include "lumo_upl/work_folder.hpp"
#include "vornebased/url_encode.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using namespace std::chrono_literals;
using platform::testing::child_process;
using platform::testing::eventually;
using platform::testing::read_file;
using ::testing::IsEmpty;

// The argument the site's page gives: eight characters of its own, the
// encoded address, and the code behind an encoded '+', with a '/' at the end.
std::string launch_argument_of(const fake_site& site, const std::string& code) {
    return "ostra://" + VorneBased::UrlEncode(site.address()) + ",%2B" + code + "/";
}

std::unique_ptr<child_process> launch_program(const fake_site& site, const std::string& code) {
    platform::testing::spawn_options options;
    options.set_env["QT_QPA_PLATFORM"] = "offscreen";
    options.set_env["LSAN_OPTIONS"] = "suppressions=" LUMO_UPL_LEAK_SUPPRESSIONS;
    return std::make_unique<child_process>(
        std::vector<std::string>{LUMO_UPL_PROGRAM, launch_argument_of(site, code)}, options);
}

// The site's script for the call-th request of the action: recorded, and
// answered only once the test releases it.
Json::Value held_request(const std::string& action, int call) {
    Json::Value held;
    held["action"] = action;
    held["call"] = call;
    held["hold"] = true;
    return held;
}

int count_requests(fake_site& site, const std::string& action) {
    int count = 0;
    for (const recorded_request& request : site.requests()) {
        count += request.action == action ? 1 : 0;
    }
    return count;
}

// The tasks of the saved task file; -1 while it cannot be read.
int saved_task_count(const std::string& instance) {
    try {
        boost::property_tree::ptree tree;
        boost::property_tree::read_xml(task_file_path(instance).string(), tree);
        return static_cast<int>(tree.get_child("tasks").count("task"));
    } catch (const std::exception&) {
        return -1;
    }
}

void save_tasks(const client_session& session, const std::vector<task_record>& records) {
    upload_tasks tasks(session.work_folder().string(), 0, 0);
    add_task_records(tasks, records);
    ASSERT_TRUE(save_task_file(tasks, session.instance()));
}

// The names of the site's streams once `count` of them are complete.
std::vector<std::string> complete_streams(fake_site& site) {
    std::vector<std::string> names;
    const Json::Value streams = site.streams();
    for (const std::string& name : streams.getMemberNames()) {
        if (streams[name]["complete"].asBool()) {
            names.push_back(name);
        }
    }
    return names;
}

std::string only_stream(fake_site& site) {
    const std::vector<std::string> names = site.streams().getMemberNames();
    return names.size() == 1 ? names.front() : std::string();
}

// Whether the site's copy of a stream is the recording in `folder` (N the
// local name) byte for byte: every block and the index file.
::testing::AssertionResult site_holds_recording(fake_site& site, const std::string& stream,
                                                const fs::path& folder, const std::string& name) {
    const Json::Value view = site.streams()[stream];
    const int count = view["countBlock"].asInt();
    if (count <= 0 || static_cast<int>(view["blocks"].size()) != count) {
        return ::testing::AssertionFailure()
               << stream << " has " << view["blocks"].size() << " of " << count << " blocks";
    }
    const fs::path stored = site.storage() / stream;
    for (int block = 0; block < count; ++block) {
        const std::string file = std::to_string(block) + ".zpksegment";
        if (read_file(stored / file) != read_file(folder / (name + ".segments") / file)) {
            return ::testing::AssertionFailure() << stream << " block " << block << " differs";
        }
    }
    if (read_file(stored / (stream + ".zpksegments")) !=
        read_file(folder / (name + ".zpksegments"))) {
        return ::testing::AssertionFailure() << stream << ": the index file differs";
    }
    return ::testing::AssertionSuccess();
}

TEST(Client, ASecondLaunchHandsItsCodeToTheRunningClientAndEnds) {
    REQUIRE_MEDIA();
    client_session session;
    session.keep_work_folder();
    save_tasks(session, {place_transcoded_task(session.work_folder(), "T1")});
    // The upload's first request waits, and is then refused as a changed
    // password would be.
    Json::Value held = held_request("createUpload", 1);
    held["reply"]["status"] = "2";
    held["reply"]["msg"] = "Authentication failed";
    session.site.script(held);

    const auto client = launch_program(session.site, session.code);
    ASSERT_TRUE(eventually([&] { return count_requests(session.site, "createUpload") == 1; }, 60s))
        << client->stderr_text();

    const std::string new_code = accepted_code(session.site, "changed");
    const auto second = launch_program(session.site, new_code);
    EXPECT_EQ(second->wait_for_exit(30s), 0) << second->stderr_text();
    EXPECT_TRUE(client->running());
    // Another site: a client of its own, that stays.
    fake_site other_site;
    const std::string other_instance = make_ipc_name(other_site.address());
    const auto other = launch_program(other_site, accepted_code(other_site, "secret"));
    EXPECT_TRUE(
        eventually([&] { return count_requests(other_site, "getCategoryList") == 1; }, 60s));
    std::this_thread::sleep_for(1s);  // the running client polls its queue twice a second
    EXPECT_TRUE(other->running());
    other->signal(SIGKILL);
    other->wait_for_exit(10s);
    boost::interprocess::message_queue::remove(other_instance.c_str());

    session.site.release();
    ASSERT_TRUE(eventually([&] { return complete_streams(session.site).size() == 1; }, 60s))
        << client->stderr_text();
    const std::vector<recorded_request> requests = session.site.requests();
    std::vector<std::string> tokens;
    for (const recorded_request& request : requests) {
        if (request.action == "createUpload") {
            tokens.push_back(request.fields.at("authToken"));
        }
    }
    EXPECT_THAT(tokens, ::testing::ElementsAre(session.code, new_code))
        << "the refused request is tried again with the code the second launch brought";
    EXPECT_TRUE(site_holds_recording(session.site, only_stream(session.site),
                                     shared_recording().folder, shared_recording().name));
    EXPECT_TRUE(eventually([&] { return saved_task_count(session.instance()) == 0; }, 20s));
    EXPECT_TRUE(client->running());
}

TEST(Client, KilledDuringAnUploadItGoesOnWhenLaunchedAgain) {
    REQUIRE_MEDIA();
    client_session session;
    session.keep_work_folder();
    save_tasks(session, {place_transcoded_task(session.work_folder(), "T1")});
    session.site.script(held_request("uploadBlock", 2));

    {
        const auto client = launch_program(session.site, session.code);
        ASSERT_TRUE(
            eventually([&] { return count_requests(session.site, "uploadBlock") == 2; }, 60s))
            << client->stderr_text();
        // Saved every 5 s: the file knows the stream before the kill.
        ASSERT_TRUE(eventually(
            [&] {
                const std::string stream = only_stream(session.site);
                return !stream.empty() &&
                       read_file(task_file_path(session.instance()))
                               .find("<streamName>" + stream + "<") != std::string::npos;
            },
            20s));
        client->signal(SIGKILL);
        EXPECT_EQ(client->wait_for_exit(10s), 128 + SIGKILL);
    }
    session.site.release();

    const auto again = launch_program(session.site, session.code);
    ASSERT_TRUE(eventually([&] { return complete_streams(session.site).size() == 1; }, 60s))
        << again->stderr_text();
    EXPECT_EQ(count_requests(session.site, "createUpload"), 1) << "the same stream goes on";
    EXPECT_TRUE(site_holds_recording(session.site, only_stream(session.site),
                                     shared_recording().folder, shared_recording().name));
    EXPECT_TRUE(eventually([&] { return saved_task_count(session.instance()) == 0; }, 20s));
    EXPECT_FALSE(fs::exists(session.work_folder() / "T1")) << "an uploaded task's files go";
    EXPECT_TRUE(again->running()) << "the next launch became the client of the site";
}

// Whether the process has the file open.
bool holds_open(pid_t pid, const fs::path& file) {
    std::error_code error;
    for (fs::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && fd != end; fd.increment(error)) {
        std::error_code gone;
        if (fs::read_symlink(fd->path(), gone) == file) {
            return true;
        }
    }
    return false;
}

TEST(Client, ARelaunchWaitsUntilTheClosedClientsWorkersHaveStopped) {
    REQUIRE_MEDIA();
    client_session session;
    session.keep_work_folder();
    save_tasks(session, {place_transcoded_task(session.work_folder(), "T1")});
    session.site.script(held_request("uploadBlock", 2));

    // The client that is closed with a block in flight: here in the test,
    // whose main thread waits in its destruction for the block's worker.
    modal_answerer answers;
    auto closing = started_client(session, answers);
    ASSERT_TRUE(run_until([&] { return count_requests(session.site, "uploadBlock") == 2; }, 60s));
    answers.message(main_title,
                    QStringLiteral("还有任务尚未完成上传，这些任务将在下次开启本软件时继续上传，"
                                   "你确定要退出吗？"),
                    QMessageBox::Yes);
    ASSERT_TRUE(closing->close());

    // The relaunch arrives meanwhile; the held block goes on once it has
    // tried the site's lock for a while.
    std::unique_ptr<child_process> relaunch;
    bool relaunch_tried = false;
    int logins_meanwhile = -1;
    int blocks_meanwhile = -1;
    std::thread meanwhile([&] {
        relaunch = launch_program(session.site, session.code);
        const fs::path lock = data_folder() / (session.instance() + ".lock");
        relaunch_tried = eventually([&] { return holds_open(relaunch->pid(), lock); }, 15s);
        std::this_thread::sleep_for(1s);
        logins_meanwhile = count_requests(session.site, "getCategoryList");
        blocks_meanwhile = count_requests(session.site, "uploadBlock");
        session.site.release();
    });
    closing.reset();
    meanwhile.join();
    EXPECT_TRUE(relaunch_tried) << relaunch->stderr_text();
    EXPECT_EQ(logins_meanwhile, 1) << "the relaunch waits before it logs in";
    EXPECT_EQ(blocks_meanwhile, 2);

    ASSERT_TRUE(eventually([&] { return complete_streams(session.site).size() == 1; }, 60s))
        << relaunch->stderr_text();
    std::map<std::string, int> uploads_of_block;
    for (const recorded_request& request : session.site.requests()) {
        if (request.action == "uploadBlock") {
            ++uploads_of_block[request.fields.at("currentBlock")];
        }
    }
    for (const auto& [block, uploads] : uploads_of_block) {
        EXPECT_EQ(uploads, 1) << "block " << block << " went up " << uploads << " times";
    }
    EXPECT_EQ(count_requests(session.site, "getCategoryList"), 2);
    EXPECT_EQ(count_requests(session.site, "createUpload"), 1);
    EXPECT_TRUE(site_holds_recording(session.site, only_stream(session.site),
                                     shared_recording().folder, shared_recording().name));
    EXPECT_TRUE(relaunch->running()) << "the relaunch is the site's client now";
    EXPECT_THAT(answers.failures(), IsEmpty());
}

// Copies a folder that the client may be writing meanwhile: the held task's
// files stay still, but the other task's may be renamed or removed during
// the copy, and those are skipped.
void copy_what_stays(const fs::path& from, const fs::path& to) {
    std::error_code error;
    for (fs::recursive_directory_iterator entry(from, error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path target = to / entry->path().lexically_relative(from);
        std::error_code gone;
        if (entry->is_directory(gone)) {
            fs::create_directories(target, gone);
        } else {
            fs::create_directories(target.parent_path(), gone);
            fs::copy_file(entry->path(), target, gone);
        }
    }
}

TEST(Client, TranscodesAndUploadsQueuedVideosWhileThePickerStaysOpen) {
    REQUIRE_MEDIA();
    client_session session;
    const std::optional<std::uint64_t> space = available_space(session.root.path());
    if (!space || *space < min_work_folder_space) {
        GTEST_SKIP() << "the work folder's volume has less than 1 GiB free";
    }
    session.keep_work_folder();
    std::vector<task_record> records;
    for (const char* sample : {"video_only.mp4", "colours8.mp4"}) {
        const fs::path source = session.root / ("我的 " + std::string(sample));
        fs::copy_file(lumo_upl_test::sample(sample), source);
        task_record record;
        record.info.caption = source.stem().string();
        record.info.path = source.string();
        record.info.category = "新闻";
        record.info.duration_ms = 3000;
        records.push_back(record);
    }
    save_tasks(session, records);
    // Each completion waits while the test copies what was uploaded. The two
    // tasks upload side by side: both completions may be waiting at once.
    Json::Value held;
    held["action"] = "completeUpload";
    held["hold"] = true;
    session.site.script(held);

    const auto client = launch_program(session.site, session.code);
    platform::testing::temp_dir copies;
    for (int completion = 1; completion <= 2; ++completion) {
        ASSERT_TRUE(eventually(
            [&] { return count_requests(session.site, "completeUpload") >= completion; }, 120s))
            << client->stderr_text();
        copy_what_stays(session.work_folder(), copies / std::to_string(completion));
        session.site.release();
    }
    ASSERT_TRUE(eventually([&] { return complete_streams(session.site).size() == 2; }, 60s));
    for (const std::string& stream : complete_streams(session.site)) {
        const Json::Value completion = session.site.streams()[stream]["completion"];
        bool found = false;
        for (const auto& copy : fs::directory_iterator(copies.path())) {
            for (const auto& task : fs::directory_iterator(copy.path())) {
                const std::string name = task.path().filename().string();
                if (fs::exists(task.path() / (name + ".zpksegments")) &&
                    read_file(task.path() / (name + ".zpksegments")) ==
                        read_file(session.site.storage() / stream / (stream + ".zpksegments"))) {
                    found = true;
                    EXPECT_TRUE(site_holds_recording(session.site, stream, task.path(), name));
                }
            }
        }
        EXPECT_TRUE(found) << stream << " is no recording the client made";
        EXPECT_EQ(completion["cat"].asString(), "新闻");
        EXPECT_EQ(session.site.streams()[stream]["thumbnails"].size(), 6u) << stream;
    }
    EXPECT_TRUE(eventually([&] { return saved_task_count(session.instance()) == 0; }, 20s));
    EXPECT_TRUE(client->running()) << "still waiting in its picker";
    EXPECT_TRUE(session.site.violations().empty());
}

}  // namespace
