#include "rtmp/clock.hpp"

#include <chrono>
#include <ctime>

std::uint32_t time_of_day_ms() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const auto second_of_day = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    // A leap second (tm_sec 60) must not reach 24 hours.
    const auto result =
        static_cast<std::uint32_t>(second_of_day) * 1000 + static_cast<std::uint32_t>(ms);
    return result < 86400000 ? result : 86399999;
}
