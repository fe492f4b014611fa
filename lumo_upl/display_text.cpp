#include "lumo_upl/display_text.hpp"

#include <cstdio>

#include "lumo_upl/preset_params.hpp"

namespace lumo_upl {
namespace {

constexpr std::int64_t kib = 1024;
constexpr std::int64_t mib = kib * 1024;
constexpr std::int64_t gib = mib * 1024;

// The size in units of `unit` with at most two decimals, truncated: the
// remainder is scaled on its own, so that no size overflows.
std::string in_units(std::int64_t bytes, std::int64_t unit, const char* suffix) {
    const std::int64_t whole = bytes / unit;
    const std::int64_t hundredths = bytes % unit * 100 / unit;
    std::string text = std::to_string(whole);
    if (hundredths != 0) {
        text += '.';
        text += static_cast<char>('0' + hundredths / 10);
        if (hundredths % 10 != 0) {
            text += static_cast<char>('0' + hundredths % 10);
        }
    }
    return text + suffix;
}

}  // namespace

std::string format_size(std::int64_t bytes) {
    if (bytes < kib) {
        return std::to_string(bytes) + " B";
    }
    if (bytes < mib) {
        return std::to_string(bytes / kib) + " KB";
    }
    if (bytes < gib) {
        return in_units(bytes, mib, " MB");
    }
    return in_units(bytes, gib, " GB");
}

std::string format_kbps(std::int32_t kbps) {
    return std::to_string(kbps) + " Kbps";
}

std::string format_duration(std::int64_t milliseconds) {
    const std::int64_t seconds = milliseconds > 0 ? milliseconds / 1000 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

std::string preset_name(std::int32_t index) {
    switch (index) {
        case 0:
            return "流畅";
        case 1:
            return "标清";
        case 2:
            return "高清";
        default:
            return "未知";
    }
}

std::string preset_rate_text(std::int32_t index) {
    transcode_params params;
    preset_params(index, params);
    return std::to_string(params.video_bitrate / 1000);
}

}  // namespace lumo_upl
