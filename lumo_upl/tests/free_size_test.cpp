// Login and the free-space poll against the fake site, and the upload
// speed the poll computes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lumo_upl/tests/media_samples.hpp"
#include "lumo_upl/tests/worker_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using namespace lumo_upl;
using namespace lumo_upl_testing;
using platform::testing::eventually;
using platform::testing::temp_dir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<recorded_request> requests_of(fake_site& site, const std::string& action) {
    std::vector<recorded_request> found;
    for (recorded_request& request : site.requests()) {
        if (request.action == action) {
            found.push_back(std::move(request));
        }
    }
    return found;
}

TEST(Login, AnAcceptedCodeKeepsTheSiteAndStartsTheFreeSpacePoll) {
    scoped_home home;
    temp_dir work;
    fake_site site;
    const std::string code = accepted_code(site, "secret");
    Json::Value categories(Json::arrayValue);
    for (const char* name : {"全部", "News", "体育"}) {
        categories.append(name);
    }
    site.set_categories(categories);
    site.set_free_size("12345678901");

    upload_tasks tasks(work.path().string(), 2, 4);
    std::int32_t status = 0;
    std::string msg = "before";
    ASSERT_TRUE(tasks.login(site.address(), code, status, msg));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(msg, "");
    EXPECT_THAT(tasks.categories(), ElementsAre("全部", "News", "体育"));
    EXPECT_EQ(tasks.get_server_url(), site.address());
    EXPECT_EQ(tasks.get_launch_code(), code);
    ASSERT_TRUE(eventually([&] { return tasks.free_size() == 12345678901; }, 20s));
    EXPECT_EQ(requests_of(site, "getFreeSize").at(0).fields.at("authToken"), code);
}

TEST(Login, ARefusalOrAFailureGivesTheStatusAndMessage) {
    scoped_home home;
    temp_dir work;
    fake_site site;
    const std::string code = accepted_code(site, "secret");
    const struct {
        const char* what;
        std::string address;
        std::string code;
        std::int32_t status;
        std::string msg;
    } cases[] = {
        {"a code the site does not know", site.address(), code + "x", 2, "Authentication failed"},
        {"a site that is not there",
         "http://127.0.0.1:" + std::to_string(platform::testing::free_port()) + "/admin/index.php",
         code, 100, "Connect failed"},
        {"no site address", "", code, 100, "Bad server address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        upload_tasks tasks(work.path().string(), 2, 4, 50ms, 10ms);
        std::int32_t status = 0;
        std::string msg;
        EXPECT_FALSE(tasks.login(c.address, c.code, status, msg));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(msg, c.msg);
        EXPECT_EQ(tasks.get_server_url(), "");
        EXPECT_EQ(tasks.get_launch_code(), "");
        EXPECT_THAT(tasks.categories(), IsEmpty());
    }
    // No poll was started by any of them.
    EXPECT_THAT(requests_of(site, "getFreeSize"), IsEmpty());
}

TEST(FreeSpacePoll, AsksEvery16thCycleAndTakesANewCodeWhenRefused) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<worker_session> made;
    made.emplace(worker_session::options{.free_size_cycle = 25ms});
    worker_session& session = *made;
    fake_site& site = session.site;
    // The free size goes beyond 32 bits as it is; the second poll is
    // refused while the list gets a new code.
    site.set_free_size("6442450944000");
    Json::Value refused;
    refused["action"] = "getFreeSize";
    refused["call"] = 2;
    refused["hold"] = true;
    refused["reply"]["status"] = "2";
    refused["reply"]["msg"] = "Authentication failed";
    site.script(refused);

    ASSERT_TRUE(eventually([&] { return requests_of(site, "getFreeSize").size() == 2; }, 20s));
    const std::string changed = accepted_code(site, "changed");
    session.tasks.set_launch_code(changed);
    site.release();
    ASSERT_TRUE(eventually([&] { return requests_of(site, "getFreeSize").size() == 4; }, 20s));
    const auto elapsed = std::chrono::steady_clock::now() - start;

    const auto polls = requests_of(site, "getFreeSize");
    EXPECT_EQ(polls[0].fields.at("authToken"), session.code);
    EXPECT_EQ(polls[1].fields.at("authToken"), session.code);
    EXPECT_EQ(polls[2].fields.at("authToken"), changed);
    EXPECT_EQ(session.tasks.free_size(), 6442450944000);
    // Three spans of 16 cycles at the least between the first (after the
    // start) and the fourth.
    EXPECT_GE(elapsed, 3 * 16 * 25ms);
}

TEST(FreeSpacePoll, AStopTellsTheTasksBeforeItWaitsForThePoll) {
    REQUIRE_MEDIA();
    worker_session session(worker_session::options{.free_size_cycle = 25ms});
    fake_site& site = session.site;
    for (const auto& [action, call] : {std::pair{"getFreeSize", 2}, std::pair{"uploadBlock", 1}}) {
        Json::Value held;
        held["action"] = action;
        held["call"] = call;
        held["hold"] = true;
        site.script(held);
    }
    add_task_records(session.tasks, {place_transcoded_task(session.work_folder, "T1")});
    ASSERT_TRUE(schedule_until(session.tasks, [&] {
        return requests_of(site, "getFreeSize").size() == 2 &&
               requests_of(site, "uploadBlock").size() == 1;
    }));

    // Both requests wait at the site: the task hears of the stop at once,
    // not once the poll's request has come back.
    std::thread stopping([&] { session.tasks.stop(); });
    EXPECT_TRUE(eventually([&] { return session.tasks.task_at(0).stop_requested(); }, 5s));
    site.release(2);
    stopping.join();
}

TEST(FreeSpacePoll, TheSpeedIsTheBytesSinceTheLastComputationOverItsSeconds) {
    upload_speed_meter meter(1000, 0);
    const struct {
        std::int64_t seconds;
        std::int64_t total_bytes;
        std::optional<std::int32_t> speed;
    } steps[] = {
        {1000, 5 << 20, std::nullopt},  // the same second: no computation
        {1002, 1 << 20, 4096},          // 1 MiB in 2 s: 1024 KiB x 8 / 2
        {1003, 1 << 20, 0},             // no block finished since
        {1004, (1 << 20) + 1023, 0},    // less than 1 KiB
        {1008, (1 << 20) + 1023 + 5 * 1024 * 1024, 10240},
        {1009, std::int64_t{300} << 30, std::numeric_limits<std::int32_t>::max()},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.seconds);
        EXPECT_EQ(meter.update(step.seconds, step.total_bytes), step.speed);
    }
}

TEST(FreeSpacePoll, TheSpeedFallsToNothingOnceNoBlockIsSent) {
    worker_session session({.free_size_cycle = 10ms});
    // Sent once the poll runs, as blocks are.
    ASSERT_TRUE(eventually([&] { return !requests_of(session.site, "getFreeSize").empty(); }, 20s));
    session.tasks.add_uploaded_bytes(50 << 20);
    // Some computation sees the bytes; the ones after it see none.
    ASSERT_TRUE(eventually([&] { return session.tasks.speed_kbps() > 0; }, 20s));
    ASSERT_TRUE(eventually([&] { return session.tasks.speed_kbps() == 0; }, 20s));
}

}  // namespace
