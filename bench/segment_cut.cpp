// segment_cut: what a segment cut costs a recording whose index already lists
// many segments (100,000 by default: eleven days of ten-second segments), as
// the segment writer does it on its own thread: the time of the message that
// cuts, the closing of the segment and the index save with its sync among
// it, against the time of a message that does not cut.
//
//   segment_cut [--segments N] [--cuts K] [--dir DIR]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/command_line.hpp"
#include "foundation/segment_index.hpp"
#include "foundation/segment_writer.hpp"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

double milliseconds(clock_type::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void print(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    if (times.empty()) {
        return;
    }
    std::printf("%-22s %8zu %10.3f %10.3f %10.3f\n", what, times.size(), times.front(),
                times[times.size() / 2], times.back());
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "Usage: segment_cut [--segments N] [--cuts K] [--dir DIR]\n");
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t segments = 100000;
    std::size_t cuts = 20;
    fs::path dir = fs::temp_directory_path();
    bench::for_each_option(argc, argv, usage,
                           [&](const std::string& name, const std::string& value) {
                               if (name == "--segments") {
                                   segments = std::stoul(value);
                               } else if (name == "--cuts") {
                                   cuts = std::stoul(value);
                               } else if (name == "--dir") {
                                   dir = value;
                               } else {
                                   return false;
                               }
                               return true;
                           });
    const fs::path work = dir / ("segment_cut." + std::to_string(::getpid()));
    try {
        fs::create_directories(work / "cam.segments");
        segment_index prepared;
        prepared.new_recording_id();
        prepared.live = true;
        prepared.video_codec = 7;
        prepared.audio_format = 10;
        for (std::uint32_t n = 0; n < segments; ++n) {
            prepared.segments.push_back({n * 1000, 2500000, 1000});
        }
        prepared.duration_ms = static_cast<std::uint32_t>(segments) * 1000;
        prepared.save(work / "cam.livesegments");

        std::vector<double> cut_ms, other_ms;
        {
            segment_writer writer(work, "cam", true, false);
            // 2 Mbit/s: a 10 kB picture every 40 ms, a keyframe each second,
            // and 23-ms audio frames of 360 bytes.
            std::vector<std::uint8_t> keyframe(10000, 0), picture(10000, 0), sound(360, 0);
            keyframe[0] = 0x17;
            keyframe[1] = 1;
            picture[0] = 0x27;
            picture[1] = 1;
            sound[0] = 0xAF;
            sound[1] = 1;
            std::uint32_t audio_at = 0;
            for (std::uint32_t t = 0; cut_ms.size() < cuts; t += 40) {
                for (; audio_at <= t; audio_at += 23) {
                    writer.on_audio(audio_at, sound);
                }
                const std::size_t listed = writer.index().segments.size();
                const auto started = clock_type::now();
                writer.on_video(t, t % 1000 == 0 ? keyframe : picture);
                const double took = milliseconds(clock_type::now() - started);
                (writer.index().segments.size() != listed ? cut_ms : other_ms).push_back(took);
            }
        }
        std::printf("index of %zu segments, %ju bytes\n", segments,
                    static_cast<std::uintmax_t>(fs::file_size(work / "cam.livesegments")));
        std::printf("%-22s %8s %10s %10s %10s\n", "message", "count", "min ms", "median ms",
                    "max ms");
        print("that cuts a segment", cut_ms);
        print("that does not", other_ms);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "segment_cut: %s\n", e.what());
        fs::remove_all(work);
        return 2;
    }
    fs::remove_all(work);
    return 0;
}
