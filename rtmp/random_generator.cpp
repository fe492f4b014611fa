#include "rtmp/random_generator.hpp"

#include "rtmp/clock.hpp"

random_generator::random_generator(bool locked)
    : lock_(locked ? std::make_unique<std::mutex>() : nullptr) {
    engine_.seed(time_of_day_ms());
}

void random_generator::fill(std::uint32_t count, std::uint8_t* out) {
    if (lock_) {
        std::lock_guard guard(*lock_);
        fill_unlocked(count, out);
    } else {
        fill_unlocked(count, out);
    }
}

void random_generator::fill_unlocked(std::uint32_t count, std::uint8_t* out) {
    std::uint32_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const std::uint32_t value = draw_(engine_);
        out[i] = static_cast<std::uint8_t>(value);
        out[i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    if (i < count) {
        out[i] = static_cast<std::uint8_t>(draw_(engine_));
    }
}

random_generator& shared_random_generator() {
    static random_generator instance(true);
    return instance;
}
