#pragma once

#include <string>
#include <string_view>

namespace Quendle {

// What a source url asks for: a path, and whether its video and audio are
// wanted.
struct source_request {
    std::string path;
    bool video = true;
    bool audio = true;
};

// Splits off the options after the last '?' ("&vstreamid=-1" drops the
// video, "&astreamid=-1" the audio). When anything else follows that '?',
// the whole url is the path: file names may hold '?' and '&' themselves.
source_request parse_source_url(std::string_view url);

}  // namespace Quendle
