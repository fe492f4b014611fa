#include "platform/testing/media.hpp"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "platform/testing/test_support.hpp"

namespace platform::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string make_sample_flv(const std::filesystem::path& file, double seconds,
                            const std::vector<std::string>& muxer_options) {
    std::vector<std::string> argv = {"ffmpeg",
                                     "-hide_banner",
                                     "-loglevel",
                                     "error",
                                     "-y",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc=size=320x240:rate=25",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "sine=frequency=440:sample_rate=44100",
                                     "-t",
                                     std::to_string(seconds),
                                     "-c:v",
                                     "libx264",
                                     "-preset",
                                     "ultrafast",
                                     "-g",
                                     "25",
                                     "-pix_fmt",
                                     "yuv420p",
                                     "-c:a",
                                     "aac",
                                     "-b:a",
                                     "64k",
                                     "-f",
                                     "flv"};
    argv.insert(argv.end(), muxer_options.begin(), muxer_options.end());
    argv.push_back(file.string());
    const auto result = run(argv, 30s);
    return result.exit_code == 0 ? std::string() : "ffmpeg failed: " + result.err;
}

std::vector<probed_packet> probe_packets(const fs::path& file) {
    const auto result = run({"ffprobe", "-v", "error", "-show_entries",
                             "packet=codec_type,dts_time,flags", "-of", "csv=p=0", file.string()},
                            30s);
    std::vector<probed_packet> packets;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string type, dts, flags;
        std::getline(fields, type, ',');
        std::getline(fields, dts, ',');
        std::getline(fields, flags, ',');
        if (!type.empty() && !dts.empty() && dts != "N/A") {
            packets.push_back({type, std::stod(dts), flags.find('K') != std::string::npos});
        }
    }
    return packets;
}

std::size_t count_packets(const std::vector<probed_packet>& packets, const std::string& type) {
    return static_cast<std::size_t>(std::count_if(
        packets.begin(), packets.end(), [&](const probed_packet& p) { return p.type == type; }));
}

std::string probe_codecs(const fs::path& file) {
    const auto result = run({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of",
                             "csv=p=0", file.string()},
                            30s);
    std::vector<std::string> codecs;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            codecs.push_back(line);
        }
    }
    std::sort(codecs.begin(), codecs.end());
    std::string joined;
    for (const auto& codec : codecs) {
        joined += (joined.empty() ? "" : " ") + codec;
    }
    return joined;
}

double probe_duration(const fs::path& file) {
    const auto result = run({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                             "csv=p=0", file.string()},
                            30s);
    try {
        return std::stod(result.out);
    } catch (const std::exception&) {
        return 0;
    }
}

bool have_media_tools() {
    return have_program("ffmpeg") && have_program("ffprobe") && have_program("rtmpdump");
}

}  // namespace platform::testing
