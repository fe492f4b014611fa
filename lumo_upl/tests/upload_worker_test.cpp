// The upload thread against the fake site: every reply status of each
// action, transport failures, the progress, the upload limit, resuming in
// a later run and removal. Tasks start transcoded, with a copy of one
// recording made per test program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <json/reader.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo_upl/task_file.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using platform::testing::eventually;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Json::Value json(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    in >> value;
    return value;
}

std::vector<std::string> log_lines(const upload_task& task) {
    std::vector<std::string> lines;
    const std::string log = task.log_text();
    for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(log.substr(at, end - at));
    }
    return lines;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The requests of an upload of the three-block recording, from block
// `first` on.
std::vector<std::string> blocks_from(int first) {
    std::vector<std::string> requests;
    for (int block = first; block < 3; ++block) {
        requests.push_back("uploadBlock " + std::to_string(block));
    }
    return requests;
}
const std::vector<std::string> thumbnails = {"uploadThumbnail 1", "uploadThumbnail 2",
                                             "uploadThumbnail 3", "uploadThumbnail 4",
                                             "uploadThumbnail 5", "uploadThumbnail 6"};
const std::vector<std::string> completion = {"completeUpload"};
const std::vector<std::string> create = {"createUpload"};
const std::vector<std::string> whole_upload =
    concat({create, blocks_from(0), thumbnails, completion});

const std::string changed_block = "Current block does not match, change to the new block";
const std::string abort_line =
    "Current block does not match, but server reports a incorrect block no, upload abort";
const std::string no_stream = "Server reports that stream does not exist, stop";
const std::string complete = "Server reports that stream is complete";
const std::string bad_password = "Bad auth password, retry later";

// One scripted site and what the task does with it.
struct reaction {
    const char* what;
    std::vector<std::string> script;  // entries of fake_site::script, as JSON
    std::int32_t state;               // where the task ends
    std::vector<std::string> log;
    std::vector<std::string> requests;  // upload_requests of the whole run
    bool completes = false;             // the site holds the whole upload
    int password_requests = 0;
    std::chrono::milliseconds pause = 50ms;
    // Runs while the site holds the first upload request ("hold" in the
    // script), before it is released.
    std::function<void(worker_session&)> while_held = {};
    std::function<void(upload_task&)> prepare = {};
};

void expect_reaction(const reaction& expected) {
    SCOPED_TRACE(expected.what);
    worker_session session({.retry_pause = expected.pause});
    std::atomic<int> password_requests = 0;
    session.tasks.set_need_password([&] { ++password_requests; });
    for (const std::string& entry : expected.script) {
        session.site.script(json(entry));
    }
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    upload_task& task = session.tasks.task_at(0);
    if (expected.prepare) {
        expected.prepare(task);
    }
    if (expected.while_held) {
        ASSERT_TRUE(
            schedule_until(session.tasks, [&] { return !upload_requests(session.site).empty(); }));
        expected.while_held(session);
        session.site.release();
    }
    ASSERT_TRUE(schedule_until(
        session.tasks, [&] { return task.state() == expected.state; }, {}, 30s))
        << "state " << task.state() << ", log:\n"
        << task.log_text();
    // Joined: what follows is all that the thread did.
    session.tasks.stop();

    EXPECT_EQ(upload_requests(session.site), expected.requests);
    EXPECT_EQ(log_lines(task), expected.log);
    EXPECT_EQ(password_requests, expected.password_requests);
    EXPECT_THAT(session.site.violations(), IsEmpty());
    if (expected.completes) {
        EXPECT_TRUE(site_holds_upload(session.site, task));
        EXPECT_EQ(task.progress(), 100);
    }
    // The last request of the upload went with the list's code of the
    // moment.
    const auto requests = session.site.requests();
    const auto last = std::find_if(requests.rbegin(), requests.rend(), [](const auto& request) {
        return request.action != "getFreeSize" && request.action != "getCategoryList";
    });
    ASSERT_NE(last, requests.rend());
    EXPECT_EQ(last->fields.at("authToken"), session.tasks.get_launch_code());
}

class UploadWorker : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_MEDIA();
        shared_recording();
    }
};

TEST_F(UploadWorker, CreateUploadReactions) {
    const reaction cases[] = {
        {.what = "refused, and a later launch brings a new code: no password asked",
         .script = {R"({"action": "createUpload", "call": 1, "hold": true,
                        "reply": {"status": "2", "msg": "Authentication failed"}})"},
         .state = task_state::uploaded,
         .log = {"Need auth, bad password? retry later."},
         .requests = concat({create, whole_upload}),
         .completes = true,
         .while_held =
             [](worker_session& session) {
                 session.tasks.set_launch_code(accepted_code(session.site, "changed"));
             }},
        {.what = "refused with no newer code: the password is asked for",
         .script = {R"({"action": "createUpload", "call": 1,
                        "reply": {"status": "2", "msg": "Authentication failed"}})"},
         .state = task_state::uploaded,
         .log = {"Need auth, bad password? retry later."},
         .requests = concat({create, whole_upload}),
         .completes = true,
         .password_requests = 1},
        {.what = "another failure",
         .script = {R"({"action": "createUpload", "call": 1,
                        "reply": {"status": "6", "msg": "Too many uploads"}})"},
         .state = task_state::uploaded,
         .log = {"createUpload failed, retry later: Too many uploads"},
         .requests = concat({create, whole_upload}),
         .completes = true},
        {.what = "success without a name",
         .script = {R"({"action": "createUpload", "call": 1, "reply": {"status": "1"}})"},
         .state = task_state::uploaded,
         .log = {"createUpload failed, retry later: "},
         .requests = concat({create, whole_upload}),
         .completes = true},
        {.what = "no usable reply at all",
         .script = {R"({"action": "createUpload", "call": 1, "body": "<html>busy</html>"})"},
         .state = task_state::uploaded,
         .log = {"createUpload failed, retry later: Bad json format"},
         .requests = concat({create, whole_upload}),
         .completes = true},
    };
    for (const reaction& expected : cases) {
        expect_reaction(expected);
    }
}

TEST_F(UploadWorker, UploadBlockReactions) {
    const reaction cases[] = {
        {.what = "7 with countBlock: on to the thumbnails; the site then wants block 0",
         .script = {R"({"action": "uploadBlock", "call": 1,
                        "reply": {"status": "7", "msg": "", "currentBlock": "3"}})"},
         .state = task_state::uploaded,
         .log = {changed_block, changed_block},
         .requests = concat({create,
                             {"uploadBlock 0"},
                             thumbnails,
                             completion,
                             blocks_from(0),
                             thumbnails,
                             completion}),
         .completes = true},
        {.what = "7 with countBlock + 1",
         .script = {R"({"action": "uploadBlock", "call": 1,
                        "reply": {"status": "7", "msg": "", "currentBlock": "4"}})"},
         .state = task_state::upload_failed,
         .log = {abort_line},
         .requests = {"createUpload", "uploadBlock 0"}},
        {.what = "7 with -1",
         .script = {R"({"action": "uploadBlock", "call": 1,
                        "reply": {"status": "7", "msg": "", "currentBlock": "-1"}})"},
         .state = task_state::upload_failed,
         .log = {abort_line},
         .requests = {"createUpload", "uploadBlock 0"}},
        {.what = "7 with an earlier block: back to it (which the site then has)",
         .script = {R"({"action": "uploadBlock", "call": 2,
                        "reply": {"status": "7", "msg": "", "currentBlock": "0"}})"},
         .state = task_state::uploaded,
         .log = {changed_block, changed_block},
         .requests = concat({create,
                             {"uploadBlock 0", "uploadBlock 1", "uploadBlock 0"},
                             blocks_from(1),
                             thumbnails,
                             completion}),
         .completes = true},
        {.what = "3: the stream is gone",
         .script = {R"({"action": "uploadBlock", "call": 2,
                        "reply": {"status": "3", "msg": "Stream does not exist"}})"},
         .state = task_state::upload_failed,
         .log = {no_stream},
         .requests = {"createUpload", "uploadBlock 0", "uploadBlock 1"}},
        {.what = "9: the stream is complete",
         .script = {R"({"action": "uploadBlock", "call": 2,
                        "reply": {"status": "9", "msg": "Stream is complete"}})"},
         .state = task_state::uploaded,
         .log = {complete},
         .requests = {"createUpload", "uploadBlock 0", "uploadBlock 1"}},
        {.what = "2: the password is asked for, the block tried again",
         .script = {R"({"action": "uploadBlock", "call": 2,
                        "reply": {"status": "2", "msg": "Authentication failed"}})"},
         .state = task_state::uploaded,
         .log = {bad_password},
         .requests = concat(
             {create, {"uploadBlock 0", "uploadBlock 1"}, blocks_from(1), thumbnails, completion}),
         .completes = true,
         .password_requests = 1},
        {.what = "another status: logged, the block tried again",
         .script = {R"({"action": "uploadBlock", "call": 2,
                        "reply": {"status": "5", "msg": "Disk busy"}})"},
         .state = task_state::uploaded,
         .log = {"Server reports error: Disk busy"},
         .requests = concat(
             {create, {"uploadBlock 0", "uploadBlock 1"}, blocks_from(1), thumbnails, completion}),
         .completes = true},
    };
    for (const reaction& expected : cases) {
        expect_reaction(expected);
    }
}

TEST_F(UploadWorker, UploadThumbnailReactions) {
    const reaction cases[] = {
        {.what = "a thumbnail that was not made leaves its number out",
         .state = task_state::uploaded,
         .requests = concat({create,
                             blocks_from(0),
                             {"uploadThumbnail 1", "uploadThumbnail 2", "uploadThumbnail 3",
                              "uploadThumbnail 5", "uploadThumbnail 6"},
                             completion}),
         .completes = true,
         .prepare = [](upload_task& task) { fs::remove(task.thumbnail_path(4)); }},
        {.what = "3: the stream is gone",
         .script = {R"({"action": "uploadThumbnail", "call": 2,
                        "reply": {"status": "3", "msg": "Stream does not exist"}})"},
         .state = task_state::upload_failed,
         .log = {no_stream},
         .requests = concat({create, blocks_from(0), {"uploadThumbnail 1", "uploadThumbnail 2"}})},
        {.what = "9: the stream is complete",
         .script = {R"({"action": "uploadThumbnail", "call": 1,
                        "reply": {"status": "9", "msg": "Stream is complete"}})"},
         .state = task_state::uploaded,
         .log = {complete},
         .requests = concat({create, blocks_from(0), {"uploadThumbnail 1"}})},
        {.what = "7 is no block number here: logged, the thumbnail tried again",
         .script = {R"({"action": "uploadThumbnail", "call": 3,
                        "reply": {"status": "7", "msg": "Odd", "currentBlock": "0"}})"},
         .state = task_state::uploaded,
         .log = {"Server reports error: Odd"},
         .requests = concat(
             {create,
              blocks_from(0),
              {"uploadThumbnail 1", "uploadThumbnail 2", "uploadThumbnail 3", "uploadThumbnail 3",
               "uploadThumbnail 4", "uploadThumbnail 5", "uploadThumbnail 6"},
              completion}),
         .completes = true},
    };
    for (const reaction& expected : cases) {
        expect_reaction(expected);
    }
}

TEST_F(UploadWorker, CompleteUploadReactions) {
    const reaction cases[] = {
        {.what = "4 with block 1: blocks 1 on again at once, then complete",
         // The site has every block; it is made to want two again.
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "4", "msg": "", "currentBlock": "1"}})",
                    R"({"action": "uploadBlock", "call": 4, "reply": {"status": "1", "msg": ""}})",
                    R"({"action": "uploadBlock", "call": 5, "reply": {"status": "1", "msg": ""}})"},
         .state = task_state::uploaded,
         .log = {changed_block},
         .requests = concat({whole_upload, blocks_from(1), thumbnails, completion}),
         .completes = true,
         // No pause on this road: one would outlast the test.
         .pause = 120s},
        {.what = "4 beyond countBlock",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "4", "msg": "", "currentBlock": "4"}})"},
         .state = task_state::upload_failed,
         .log = {abort_line},
         .requests = whole_upload},
        {.what = "4 below 0",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "4", "msg": "", "currentBlock": "-1"}})"},
         .state = task_state::upload_failed,
         .log = {abort_line},
         .requests = whole_upload},
        {.what = "4 with countBlock: nothing to send; asked again after the pause",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "4", "msg": "", "currentBlock": "3"}})"},
         .state = task_state::uploaded,
         .log = {changed_block},
         .requests = concat({whole_upload, thumbnails, completion}),
         .completes = true},
        {.what = "3: the stream is gone",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "3", "msg": "Stream does not exist"}})"},
         .state = task_state::upload_failed,
         .log = {no_stream},
         .requests = whole_upload},
        {.what = "9: the stream is complete",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "9", "msg": "Stream is complete"}})"},
         .state = task_state::uploaded,
         .log = {complete},
         .requests = whole_upload},
        {.what = "2: the password is asked for, completion tried again",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "2", "msg": "Authentication failed"}})"},
         .state = task_state::uploaded,
         .log = {bad_password},
         .requests = concat({whole_upload, completion}),
         .completes = true,
         .password_requests = 1},
        {.what = "another status: logged, completion tried again",
         .script = {R"({"action": "completeUpload", "call": 1,
                        "reply": {"status": "8", "msg": "Index damaged"}})"},
         .state = task_state::uploaded,
         .log = {"Server reports error: Index damaged"},
         .requests = concat({whole_upload, completion}),
         .completes = true},
    };
    for (const reaction& expected : cases) {
        expect_reaction(expected);
    }
}

TEST_F(UploadWorker, ASuccessWithoutAStreamNameIsAskedForAgainOnlyAfterThePause) {
    worker_session session({.retry_pause = 2s});
    session.site.script(json(R"({"action": "createUpload", "call": 1, "reply": {"status": "1"}})"));
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    const upload_task& task = session.tasks.task_at(0);
    session.tasks.schedule();
    ASSERT_TRUE(eventually([&] { return !upload_requests(session.site).empty(); }, 20s));
    // However slow the machine, no second request comes before the pause
    // has run out.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(upload_requests(session.site), create);
    ASSERT_TRUE(eventually([&] { return task.state() == task_state::uploaded; }, 30s));
    EXPECT_EQ(upload_requests(session.site), concat({create, whole_upload}));
}

TEST_F(UploadWorker, TransportFailuresAreTriedAgainUntilTheBlocksAreThere) {
    worker_session session;
    for (const char* entry : {
             // An HTTP error with a page of its own.
             R"({"action": "uploadBlock", "call": 1, "status_line": "HTTP/1.0 500 Internal Error",
                 "content_type": "text/html", "body": "<html>Internal error</html>"})",
             // Cut while the block is sent.
             R"({"action": "uploadBlock", "call": 2, "close_after_bytes": 600})",
             // Stored, but the reply is cut short ...
             R"({"action": "uploadBlock", "call": 3, "cut_reply_after_bytes": 100})",
             // ... so the site says it has it when the block comes again.
             // A slow reply is waited for.
             R"({"action": "uploadBlock", "call": 5, "delay_ms": 2500})",
             // Stored, and the reply lost whole.
             R"({"action": "uploadBlock", "call": 6, "close_before_reply": true})",
         }) {
        session.site.script(json(entry));
    }
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    upload_task& task = session.tasks.task_at(0);
    ASSERT_TRUE(schedule_until(session.tasks, [&] { return task.state() == task_state::uploaded; }))
        << task.log_text();
    session.tasks.stop();

    EXPECT_EQ(upload_requests(session.site),
              concat({create,
                      {"uploadBlock 0", "uploadBlock ?", "uploadBlock 0", "uploadBlock 0",
                       "uploadBlock 1", "uploadBlock 2", "uploadBlock 2"},
                      thumbnails,
                      completion}));
    EXPECT_TRUE(site_holds_upload(session.site, task));
    const std::vector<std::string> lines = log_lines(task);
    ASSERT_EQ(lines.size(), 6u) << task.log_text();
    EXPECT_EQ(lines[0], "Server reports error: Bad json format");
    for (std::size_t i : {1, 2, 4}) {
        EXPECT_TRUE(lines[i].starts_with("Server reports error: ")) << lines[i];
    }
    EXPECT_EQ(lines[3], changed_block);
    EXPECT_EQ(lines[5], changed_block);
    EXPECT_THAT(session.site.violations(), IsEmpty());
}

TEST_F(UploadWorker, ProgressGoesWithTheBlocksThenTheThumbnailsThenCompletion) {
    worker_session session;
    for (const char* action : {"uploadBlock", "uploadThumbnail", "completeUpload"}) {
        Json::Value hold;
        hold["action"] = action;
        hold["hold"] = true;
        session.site.script(hold);
    }
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    upload_task& task = session.tasks.task_at(0);
    session.tasks.schedule();

    const std::vector<std::string> requests = concat({blocks_from(0), thumbnails, completion});
    const double progress[] = {0, 30, 60, 91.5, 93, 94.5, 96, 97.5, 99, 99};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        // The task waits for this reply: its progress stands still.
        ASSERT_TRUE(eventually([&] { return upload_requests(session.site).size() == i + 2; }, 20s))
            << requests[i];
        EXPECT_EQ(upload_requests(session.site).back(), requests[i]);
        EXPECT_EQ(task.progress(), progress[i]) << requests[i];
        session.site.release();
    }
    ASSERT_TRUE(eventually([&] { return task.state() == task_state::uploaded; }, 20s));
    EXPECT_EQ(task.progress(), 100);
}

TEST_F(UploadWorker, AtMostFourTasksUploadAtOnceInListOrder) {
    worker_session session;
    for (int call = 1; call <= 4; ++call) {
        Json::Value hold;
        hold["action"] = "uploadBlock";
        hold["call"] = call;
        hold["hold"] = true;
        session.site.script(hold);
    }
    std::vector<task_record> records;
    for (int i = 0; i < 5; ++i) {
        records.push_back(
            place_transcoded_task(session.work_folder, std::string("T").append(std::to_string(i))));
    }
    add_task_records(session.tasks, records);
    const auto state = [&](std::size_t i) { return session.tasks.task_at(i).state(); };
    const auto check = [&] {
        ASSERT_LE(session.tasks.count_uploading(), 4);
        // The fifth starts only when one of the others is done (and done
        // stays done).
        if (state(4) != task_state::transcoded) {
            ASSERT_TRUE(state(0) == task_state::uploaded || state(1) == task_state::uploaded ||
                        state(2) == task_state::uploaded || state(3) == task_state::uploaded);
        }
    };

    // The first four each wait for their first block's reply.
    ASSERT_TRUE(schedule_until(
        session.tasks, [&] { return upload_requests(session.site).size() == 8; }, check));
    for (int i = 0; i < 20; ++i) {
        session.tasks.schedule();
        check();
    }
    EXPECT_EQ(state(4), task_state::transcoded);
    session.site.release(4);
    ASSERT_TRUE(schedule_until(
        session.tasks, [&] { return all_in_state(session.tasks, task_state::uploaded); }, check));
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_TRUE(site_holds_upload(session.site, session.tasks.task_at(i)));
    }
}

TEST_F(UploadWorker, AStoppedUploadGoesOnInTheNextRunWhereItWas) {
    worker_session session;
    const std::string instance(64, 'A');
    session.site.script(json(R"({"action": "uploadBlock", "call": 2, "hold": true})"));
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    const upload_task& task = session.tasks.task_at(0);
    ASSERT_TRUE(schedule_until(session.tasks, [&] {
        return upload_requests(session.site).size() == 3;  // createUpload, blocks 0 and 1
    }));

    // The end of the program: the workers are told to stop (this one while
    // it waits for its reply, which it then takes), the list is saved.
    session.tasks.task_at(0).request_stop();
    auto stopped = std::async(std::launch::async, [&] { session.tasks.stop(); });
    session.site.release();
    stopped.get();
    EXPECT_EQ(task.state(), task_state::uploading);
    EXPECT_EQ(task.current_block(), 2);
    ASSERT_TRUE(save_task_file(session.tasks, instance));
    EXPECT_TRUE(fs::exists(task.segment_path(2)));
    EXPECT_EQ(upload_requests(session.site), concat({create, {"uploadBlock 0", "uploadBlock 1"}}));

    upload_tasks next_run(session.work_folder.string(), 2, 4, 50ms);
    std::int32_t status = 0;
    std::string msg;
    ASSERT_TRUE(next_run.login(session.site.address(), session.code, status, msg));
    ASSERT_EQ(load_task_file(next_run, instance), task_file_source::task_file);
    upload_task& resumed = next_run.task_at(0);
    EXPECT_EQ(resumed.state(), task_state::transcoded);
    EXPECT_EQ(resumed.current_block(), 2);
    ASSERT_TRUE(schedule_until(next_run, [&] { return resumed.state() == task_state::uploaded; }));
    // The same stream, from block 2 on.
    EXPECT_EQ(upload_requests(session.site), whole_upload);
    EXPECT_TRUE(site_holds_upload(session.site, resumed));
    EXPECT_THAT(session.site.violations(), IsEmpty());
}

TEST_F(UploadWorker, RemovingAnUploadingTaskCancelsItsUploadAndRemovesItsFilesAlone) {
    worker_session session;
    session.site.script(json(R"({"action": "uploadBlock", "call": 2, "hold": true})"));
    task_record failed = place_transcoded_task(session.work_folder, "T2");
    failed.state = task_state::upload_failed;
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1"), failed});
    ASSERT_TRUE(
        schedule_until(session.tasks, [&] { return upload_requests(session.site).size() == 3; }));
    const std::string stream = session.tasks.task_at(0).stream_name();
    ASSERT_FALSE(stream.empty());

    // Told at once, while it waits for its reply; joined once it has it.
    session.tasks.task_at(0).request_stop();
    auto removed = std::async(std::launch::async, [&] { session.tasks.remove_task(0); });
    session.site.release();
    removed.get();
    EXPECT_EQ(session.tasks.count(), 1u);
    EXPECT_FALSE(fs::exists(session.work_folder / "T1"));
    EXPECT_TRUE(fs::exists(session.tasks.task_at(0).segment_path(0)));
    EXPECT_EQ(upload_requests(session.site),
              concat({create, {"uploadBlock 0", "uploadBlock 1", "cancelUpload"}}));
    EXPECT_EQ(session.site.requests().back().fields.at("streamName"), stream);
    EXPECT_FALSE(session.site.streams().isMember(stream));
}

}  // namespace
