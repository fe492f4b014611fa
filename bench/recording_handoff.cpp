// recording_handoff: what recording costs beside taking a stream in. R live
// streams, each recorded on the server's lanes, are fed the messages of a
// 2 Mbit/s H.264 + AAC publisher at their real pace by one thread, as an io
// thread feeds its publishers' streams. Prints that thread's CPU time per
// message and per GB (the stream's lock, the recorder's sink and its queue),
// and the recording threads' CPU time per GB (the writes and the rest of a
// turn). The recordings are removed at the end.
//
//   recording_handoff [--recordings R] [--seconds S] [--lanes L] [--dir DIR]
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/command_line.hpp"
#include "qen/qen_stream_recorder.hpp"
#include "qen/recording_writers.hpp"
#include "rtmp/rtmp_live_streams.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t frame_ms = 40;
constexpr std::uint32_t keyframe_every = 50;
constexpr std::uint32_t keyframe_bytes = 40000;
constexpr std::uint32_t frame_bytes = 9200;
constexpr std::uint32_t audio_ms = 23;
constexpr std::uint32_t audio_bytes = 300;

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// User and system time of this process's threads whose names begin so.
double threads_cpu_seconds(const std::string& prefix) {
    long ticks = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // Fields 14 and 15, counted after the name's closing parenthesis.
        std::size_t at = line.rfind(')') + 2;
        for (int field = 3; field < 14; ++field) {
            at = line.find(' ', at) + 1;
        }
        ticks += std::strtol(line.c_str() + at, nullptr, 10);
        at = line.find(' ', at) + 1;
        ticks += std::strtol(line.c_str() + at, nullptr, 10);
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::vector<std::uint8_t> body(std::uint32_t size, std::uint8_t first, std::uint8_t second) {
    std::vector<std::uint8_t> bytes(size, 0x5A);
    bytes[0] = first;
    bytes[1] = second;
    return bytes;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "Usage: recording_handoff [--recordings R] [--seconds S] [--lanes L] "
                 "[--dir DIR]\n");
    std::exit(1);
}

struct recorded_stream {
    std::unique_ptr<rtmp::rtmp_live_stream> stream;
    std::unique_ptr<qen::qen_stream_recorder> recorder;
};

}  // namespace

int main(int argc, char** argv) {
    std::size_t recordings = 200;
    std::uint32_t seconds = 10;
    std::size_t lanes = 4;
    fs::path dir = fs::temp_directory_path();
    bench::for_each_option(argc, argv, usage,
                           [&](const std::string& name, const std::string& value) {
                               if (name == "--recordings") {
                                   recordings = std::stoul(value);
                               } else if (name == "--seconds") {
                                   seconds = static_cast<std::uint32_t>(std::stoul(value));
                               } else if (name == "--lanes") {
                                   lanes = std::stoul(value);
                               } else if (name == "--dir") {
                                   dir = value;
                               } else {
                                   return false;
                               }
                               return true;
                           });
    dir /= "recording_handoff." + std::to_string(::getpid());
    fs::create_directories(dir);

    const auto avc_header = body(40, 0x17, 0x00);
    const auto aac_header = body(7, 0xAF, 0x00);
    const auto keyframe = body(keyframe_bytes, 0x17, 0x01);
    const auto frame = body(frame_bytes, 0x27, 0x01);
    const auto audio = body(audio_bytes, 0xAF, 0x01);

    double feeder_cpu = 0;
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    double lanes_cpu = 0;
    {
        qen::recording_writers writers(lanes);
        std::vector<recorded_stream> streams(recordings);
        for (std::size_t i = 0; i < recordings; ++i) {
            auto& [stream, recorder] = streams[i];
            const std::string name = std::to_string(i);
            stream = std::make_unique<rtmp::rtmp_live_stream>(name);
            stream->claim_publisher();
            recorder = std::make_unique<qen::qen_stream_recorder>(
                writers.pick(), std::vector<std::string>{"zpk"}, (dir / name).string(),
                qen::qen_stream_recorder::options{});
            stream->add_player(recorder->sinks());
            stream->on_video(avc_header.data(), static_cast<std::uint32_t>(avc_header.size()), 0);
            stream->on_audio(aac_header.data(), static_cast<std::uint32_t>(aac_header.size()), 0);
        }
        const double lanes_before = threads_cpu_seconds("qen-rec");
        const auto started = std::chrono::steady_clock::now();
        std::uint32_t next_audio = 0;
        for (std::uint32_t t = 0; t < seconds * 1000; t += frame_ms) {
            std::this_thread::sleep_until(started + std::chrono::milliseconds(t));
            const double before = thread_cpu_seconds();
            const auto& video = (t / frame_ms) % keyframe_every == 0 ? keyframe : frame;
            for (auto& [stream, recorder] : streams) {
                stream->on_video(video.data(), static_cast<std::uint32_t>(video.size()), t);
                ++messages;
                bytes += video.size();
            }
            for (; next_audio < t + frame_ms; next_audio += audio_ms) {
                for (auto& [stream, recorder] : streams) {
                    stream->on_audio(audio.data(), static_cast<std::uint32_t>(audio.size()),
                                     next_audio);
                    ++messages;
                    bytes += audio.size();
                }
            }
            feeder_cpu += thread_cpu_seconds() - before;
        }
        for (auto& [stream, recorder] : streams) {
            recorder->wait_until_written();
        }
        lanes_cpu = threads_cpu_seconds("qen-rec") - lanes_before;
        for (auto& [stream, recorder] : streams) {
            if (!recorder->failure().empty()) {
                std::fprintf(stderr, "recording stopped: %s\n", recorder->failure().c_str());
            }
        }
    }
    fs::remove_all(dir);

    const double gb = static_cast<double>(bytes) / 1e9;
    std::printf("recordings=%zu lanes=%zu seconds=%u messages=%llu gb=%.3f\n", recordings, lanes,
                seconds, static_cast<unsigned long long>(messages), gb);
    std::printf("feeder_ns_per_message=%.0f feeder_cpu_s_per_gb=%.3f lanes_cpu_s_per_gb=%.3f\n",
                feeder_cpu * 1e9 / static_cast<double>(messages), feeder_cpu / gb, lanes_cpu / gb);
    return 0;
}
