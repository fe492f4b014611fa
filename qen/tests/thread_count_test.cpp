#include <gtest/gtest.h>

#include <thread>

#include "qen/qen_server.hpp"

namespace {

TEST(ThreadCount, FromNumberOfProcessors) {
    const std::uint16_t processors =
        static_cast<std::uint16_t>(std::max(1u, std::thread::hardware_concurrency()));
    const struct {
        const char* value;
        std::uint16_t threads;
    } cases[] = {
        {nullptr, processors}, {"8", 8}, {"0", 1},       {"", 1}, {"x", 1}, {"-5", 1},
        {"65536", 65535},      {"1", 1}, {"3 cores", 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qen::thread_count_from(c.value), c.threads) << (c.value ? c.value : "(unset)");
    }
}

}  // namespace
