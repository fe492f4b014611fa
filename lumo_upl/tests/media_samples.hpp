#pragma once

// Media for the upload client's tests, made by ffmpeg from its test
// sources once per test program, and what the transcoder's recordings
// hold.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "foundation/segment_index.hpp"
#include "lumo_upl/media_probe.hpp"

namespace lumo_upl_test {

// A sample by name; throws when ffmpeg cannot make it. Names:
//   "hd.mp4"          H.264 + AAC (48 kHz stereo), 1920x1080 at 50/s, 4 s
//   "pal.mp4"         H.264 + AAC, 720x576 with pixels of 16:15, 3 s
//   "odd.mp4"         H.264 (4:4:4) + AAC, 641x361, 3 s
//   "long.mp4"        H.264 + AAC, 320x240 at 25/s, 23 s
//   "audio.m4a"       AAC alone, 3 s;  "audio.mp3": MP3 alone, 3 s
//   "video_only.mp4"  H.264 alone, 320x240, 3 s
//   "cut.mp4"         a 6-s H.264 + AAC file (index first) cut in half
//   "headers.mp4"     the same cut right after its index: nothing decodes
//   "garbage.mp4", "empty.mp4", "notes.txt", and "missing.mp4" (never made)
//   "a?b&c%20d 中文.mp4"  a copy of video_only.mp4
//   "colours12.mp4", "colours8.mp4"  H.264 + AAC, a solid colour per 2 s
//                                    (colour_at), 12 and 8 s
//   "colours_fast.mp4"  H.264 alone, 25/s, red for 1 s, then green
std::filesystem::path sample(const std::string& name);

// The solid colour of the colour samples at a time: red, green, blue,
// yellow, magenta, cyan, for 2 s each.
std::uint32_t colour_at(double seconds);  // 0xRRGGBB

// The process's media library, loaded from the test program's folder
// (where the build puts it); false with the test skipped by the caller
// when ffmpeg or the library is missing.
bool media_ready();

#define REQUIRE_MEDIA()                                                    \
    if (!lumo_upl_test::media_ready()) {                                   \
        GTEST_SKIP() << "ffmpeg, ffprobe or the media library is missing"; \
    }

// The numbers of a recording's "onMetaData" object; throws when the
// metadata is no such message.
std::map<std::string, double> metadata_numbers(const segment_index& index);

}  // namespace lumo_upl_test
