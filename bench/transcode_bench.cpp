// The transcoder's speed on one file for each of the upload client's
// presets, beside the ffmpeg command line encoding the same file with the
// same settings (size, rate, bit rates, the media library's x264 options,
// AAC). Best of a few runs each; see bench/README.md.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/process_usage.hpp"
#include "lumo_upl/lumo_av_encoder.hpp"
#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/preset_params.hpp"
#include "platform/quendle/settings.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

transcode_params preset(int index) {
    transcode_params params;
    preset_params(index, params);
    return params;
}

struct measure {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds, all threads
};

// The transcoder of the upload client, as its task runs it.
measure transcode(Quendle::IAVManager& manager, const fs::path& input, const fs::path& folder,
                  transcode_params& params, double& seconds) {
    const double cpu = bench::own_cpu_seconds();
    const auto start = clock_type::now();
    lumo_av_encoder encoder(manager, "bench", params, input, folder);
    encoder.run();
    const auto end = clock_type::now();
    if (encoder.failed()) {
        throw std::runtime_error("the transcoder failed");
    }
    seconds = encoder.duration();
    return {std::chrono::duration<double>(end - start).count(), bench::own_cpu_seconds() - cpu};
}

std::string number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// The same work on the command line.
std::vector<std::string> ffmpeg_arguments(const fs::path& input, const transcode_params& params,
                                          const fs::path& output) {
    namespace settings = Quendle::settings;
    const std::string video_bits = std::to_string(params.video_bitrate);
    const std::string max_bits = std::to_string(2 * params.video_bitrate);
    return {"ffmpeg",
            "-nostdin",
            "-hide_banner",
            "-loglevel",
            "error",
            "-y",
            "-i",
            input.string(),
            "-vf",
            "scale=" + std::to_string(params.width) + ":" + std::to_string(params.height) +
                ":flags=bicubic",
            "-r",
            number(params.framerate),
            "-pix_fmt",
            "yuv420p",
            "-c:v",
            settings::video_codec,
            "-preset",
            settings::x264_preset,
            "-x264-params",
            settings::x264_params,
            "-thread_type",
            settings::video_thread_type,
            "-g",
            std::to_string(settings::max_keyframe_interval),
            "-forced-idr",
            "1",
            "-force_key_frames",
            "expr:gte(t,n_forced*" + number(settings::keyframe_interval_seconds) + ")",
            "-b:v",
            video_bits,
            "-maxrate",
            max_bits,
            "-bufsize",
            std::to_string(std::lround(2 * params.video_bitrate * settings::rate_buffer_seconds)),
            "-c:a",
            settings::audio_codec,
            "-b:a",
            std::to_string(params.audio_bitrate),
            "-ar",
            std::to_string(params.sample_rate),
            "-ac",
            std::to_string(params.channels),
            "-f",
            "flv",
            output.string()};
}

measure run_ffmpeg(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const double cpu = bench::children_cpu_seconds();
    const auto start = clock_type::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("ffmpeg does not start");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = clock_type::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("ffmpeg failed");
    }
    return {std::chrono::duration<double>(end - start).count(),
            bench::children_cpu_seconds() - cpu};
}

// The faster of two runs.
measure faster(const measure& a, const measure& b) {
    return a.wall <= b.wall ? a : b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: transcode_bench INPUT WORK_FOLDER [RUNS]\n");
        return 2;
    }
    try {
        const fs::path input = argv[1];
        const fs::path work = argv[2];
        const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        const av_libraries libraries(QUENDLE_FOLDER);

        std::printf("%-6s %-9s %6s | %8s %8s %8s | %8s %8s %8s | %7s %7s\n", "preset", "size",
                    "frames", "ours s", "fps", "CPU s", "ffmpeg s", "fps", "CPU s", "wall %",
                    "CPU %");
        std::vector<std::string> last_command;
        for (int index = 0; index < 3; ++index) {
            transcode_params adjusted;
            double seconds = 0;
            // The two take turns, so that other work on the machine weighs on
            // both alike.
            measure ours{1e300, 0};
            measure theirs{1e300, 0};
            for (int run = 0; run < runs; ++run) {
                adjusted = preset(index);
                ours = faster(
                    ours, transcode(libraries.manager(), input, work / "ours", adjusted, seconds));
                const auto arguments = ffmpeg_arguments(input, adjusted, work / "ffmpeg.flv");
                theirs = faster(theirs, run_ffmpeg(arguments));
                last_command = arguments;
            }
            const double frames = std::round(seconds * adjusted.framerate);
            const std::string size =
                std::to_string(adjusted.width) + "x" + std::to_string(adjusted.height);
            std::printf(
                "%-6d %-9s %6.0f | %8.2f %8.1f %8.2f | %8.2f %8.1f %8.2f | %+6.1f%% %+6.1f%%\n",
                index, size.c_str(), frames, ours.wall, frames / ours.wall, ours.cpu, theirs.wall,
                frames / theirs.wall, theirs.cpu, (ours.wall / theirs.wall - 1) * 100,
                (ours.cpu / theirs.cpu - 1) * 100);
            std::fflush(stdout);
        }
        std::printf("ffmpeg command line of the last preset:\n ");
        for (const std::string& argument : last_command) {
            std::printf(" %s", argument.c_str());
        }
        std::printf("\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transcode_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
