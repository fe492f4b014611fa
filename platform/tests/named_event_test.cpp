#include "platform/named_event.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using platform::named_event;

std::string unique_name(const std::string& what) {
    return "qen_test_" + what + "_" + std::to_string(::getpid());
}

bool semaphore_exists(const std::string& name) {
    sem_t* s = sem_open(platform::semaphore_name(name).c_str(), 0);
    if (s == SEM_FAILED) {
        return false;
    }
    sem_close(s);
    return true;
}

TEST(NamedEvent, SetFromAnotherProcessWakesTheWaiter) {
    named_event event(unique_name("other_process"));
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        auto result = platform::testing::run({SET_EVENT_PROGRAM, event.name()}, 10s);
        EXPECT_EQ(result.exit_code, 0);
    });
    EXPECT_TRUE(event.wait_for(10s));
    setter.join();
}

TEST(NamedEvent, ResetsAfterWaitAndCollapsesRepeatedSets) {
    named_event event(unique_name("auto_reset"));
    EXPECT_FALSE(event.wait_for(10ms));
    event.set();
    event.set();
    EXPECT_TRUE(platform::set_named_event(event.name()));
    EXPECT_TRUE(event.wait_for(10ms));
    EXPECT_FALSE(event.wait_for(10ms));
}

TEST(NamedEvent, SettingAMissingEventReportsIt) {
    EXPECT_FALSE(platform::set_named_event(unique_name("missing")));
    auto result = platform::testing::run({SET_EVENT_PROGRAM, unique_name("missing")}, 10s);
    EXPECT_EQ(result.exit_code, 1);
}

TEST(NamedEvent, ReplacesAStaleSemaphoreAndRemovesItsOwn) {
    const std::string name = unique_name("stale");
    // What a crashed process with the same pid would have left, already set.
    sem_t* stale = sem_open(platform::semaphore_name(name).c_str(), O_CREAT, 0600, 1);
    ASSERT_NE(stale, SEM_FAILED);
    sem_close(stale);
    {
        named_event event(name);
        EXPECT_FALSE(event.wait_for(10ms)) << "a stale set must not reach the new event";
        EXPECT_TRUE(semaphore_exists(name));
    }
    EXPECT_FALSE(semaphore_exists(name));
}

}  // namespace
