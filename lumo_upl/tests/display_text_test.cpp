// The texts of sizes, rates, lengths and presets, and the presets
// themselves.
#include "lumo_upl/display_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "lumo_upl/preset_params.hpp"

namespace {

using namespace lumo_upl;

constexpr std::int64_t kib = 1024;
constexpr std::int64_t mib = kib * 1024;
constexpr std::int64_t gib = mib * 1024;

TEST(DisplayText, Sizes) {
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1536, "1 KB"},
        {mib - 1, "1023 KB"},
        {mib, "1 MB"},
        {mib + mib / 2, "1.5 MB"},
        {mib + mib * 25 / 100, "1.25 MB"},
        {mib + mib * 999 / 1000, "1.99 MB"},  // truncated, not rounded
        {mib + mib / 100 - 1, "1 MB"},
        {mib + mib / 20 + 1, "1.05 MB"},
        {gib - 1, "1023.99 MB"},
        {5 * gib, "5 GB"},
        {5 * gib + gib / 10 + 1, "5.1 GB"},
        {5 * gib + gib / 10, "5.09 GB"},
        {std::int64_t{3} << 50, "3145728 GB"},
        {INT64_MAX, "8589934591.99 GB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_size(c.bytes), c.text) << c.bytes;
    }
}

TEST(DisplayText, RatesAndLengths) {
    EXPECT_EQ(format_kbps(0), "0 Kbps");
    EXPECT_EQ(format_kbps(1536), "1536 Kbps");
    const struct {
        std::int64_t milliseconds;
        const char* text;
    } cases[] = {
        {0, "00:00:00"},
        {999, "00:00:00"},
        {(1 * 3600 + 2 * 60 + 5) * 1000, "01:02:05"},
        {(59 * 60 + 59) * 1000 + 999, "00:59:59"},
        {(123 * 3600 + 4 * 60 + 9) * 1000, "123:04:09"},
        {-5000, "00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_duration(c.milliseconds), c.text) << c.milliseconds;
    }
}

TEST(DisplayText, Presets) {
    const struct {
        std::int32_t index;
        const char* name;
        const char* rate;
        transcode_params params;
    } cases[] = {
        {0, "流畅", "300", {480, 360, 15.0, 300000, 48000, 2, 64000}},
        {1, "标清", "600", {640, 480, 0, 600000, 48000, 2, 96000}},
        {2, "高清", "900", {1280, 720, 0, 900000, 48000, 2, 128000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(preset_name(c.index), c.name);
        EXPECT_EQ(preset_rate_text(c.index), c.rate);
        transcode_params params{1, 2, 3, 4, 5, 6, 7};
        preset_params(c.index, params);
        EXPECT_EQ(params.width, c.params.width);
        EXPECT_EQ(params.height, c.params.height);
        EXPECT_EQ(params.framerate, c.params.framerate);
        EXPECT_EQ(params.video_bitrate, c.params.video_bitrate);
        EXPECT_EQ(params.sample_rate, c.params.sample_rate);
        EXPECT_EQ(params.channels, c.params.channels);
        EXPECT_EQ(params.audio_bitrate, c.params.audio_bitrate);
    }
    for (std::int32_t outside : {-1, 3, 100}) {
        SCOPED_TRACE(outside);
        EXPECT_EQ(preset_name(outside), "未知");
        EXPECT_EQ(preset_rate_text(outside), "0");
        transcode_params params{1, 2, 3, 4, 5, 6, 7};
        preset_params(outside, params);
        EXPECT_EQ(params.width, 1u);
        EXPECT_EQ(params.height, 2u);
        EXPECT_EQ(params.framerate, 3);
        EXPECT_EQ(params.video_bitrate, 4u);
        EXPECT_EQ(params.sample_rate, 5u);
        EXPECT_EQ(params.channels, 6u);
        EXPECT_EQ(params.audio_bitrate, 7u);
    }
}

}  // namespace
