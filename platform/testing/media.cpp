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
    std::vector<std::string> arguments = {"-f",       "lavfi",
                                          "-i",       "testsrc=size=320x240:rate=25",
                                          "-f",       "lavfi",
                                          "-i",       "sine=frequency=440:sample_rate=44100",
                                          "-t",       std::to_string(seconds),
                                          "-c:v",     "libx264",
                                          "-preset",  "ultrafast",
                                          "-g",       "25",
                                          "-pix_fmt", "yuv420p",
                                          "-c:a",     "aac",
                                          "-b:a",     "64k",
                                          "-f",       "flv"};
    arguments.insert(arguments.end(), muxer_options.begin(), muxer_options.end());
    return make_media(file, arguments);
}

std::string make_media(const fs::path& file, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(file.string());
    const auto result = run(argv, 120s);
    return result.exit_code == 0 ? std::string() : "ffmpeg failed: " + result.err;
}

std::vector<probed_stream> probe_streams(const fs::path& file) {
    const auto result = run({"ffprobe", "-v", "error", "-show_entries",
                             "stream=codec_type,codec_name,width,height,r_frame_rate,start_time",
                             "-of", "compact=p=0:nk=0", file.string()},
                            30s);
    std::vector<probed_stream> streams;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        probed_stream stream;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '|');) {
            const auto equals = field.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string key = field.substr(0, equals);
            const std::string value = field.substr(equals + 1);
            try {
                if (key == "codec_type") {
                    stream.type = value;
                } else if (key == "codec_name") {
                    stream.codec = value;
                } else if (key == "width") {
                    stream.width = std::stoi(value);
                } else if (key == "height") {
                    stream.height = std::stoi(value);
                } else if (key == "start_time") {
                    stream.start = std::stod(value);
                } else if (key == "r_frame_rate") {
                    const auto slash = value.find('/');
                    const double denominator = std::stod(value.substr(slash + 1));
                    stream.frame_rate =
                        denominator > 0 ? std::stod(value.substr(0, slash)) / denominator : 0;
                }
            } catch (const std::exception&) {
                // "N/A": left at its default.
            }
        }
        if (!stream.type.empty()) {
            streams.push_back(stream);
        }
    }
    return streams;
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
