#pragma once

#include <cstdint>
#include <string>

// The texts with which the client's windows show sizes, rates, lengths and
// presets (UTF-8).
namespace lumo_upl {

// "1023 B", "1 KB" (whole KiB), "1.5 MB", "5 GB" (MiB and GiB with the
// hundredths truncated and without trailing zeros).
std::string format_size(std::int64_t bytes);
// "128 Kbps".
std::string format_kbps(std::int32_t kbps);
// Hours, minutes and seconds with at least two digits each: "01:02:05".
std::string format_duration(std::int64_t milliseconds);
// "流畅", "标清", "高清"; "未知" for an index outside 0-2.
std::string preset_name(std::int32_t index);
// The preset's video rate in kbit/s: "300"; "0" for an index outside 0-2.
std::string preset_rate_text(std::int32_t index);

}  // namespace lumo_upl
