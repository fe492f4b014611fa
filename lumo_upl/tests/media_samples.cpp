#include "lumo_upl/tests/media_samples.hpp"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"

namespace lumo_upl_test {
namespace {

namespace fs = std::filesystem;
namespace testing = platform::testing;

const std::vector<std::string> h264 = {"-c:v",      "libx264",  "-preset",
                                       "ultrafast", "-pix_fmt", "yuv420p"};
const std::vector<std::string> aac = {"-c:a", "aac", "-b:a", "96k"};

std::vector<std::string> inputs(const std::string& picture, const std::string& tone,
                                double seconds) {
    std::vector<std::string> arguments;
    if (!picture.empty()) {
        arguments.insert(arguments.end(), {"-f", "lavfi", "-i", picture});
    }
    if (!tone.empty()) {
        arguments.insert(arguments.end(), {"-f", "lavfi", "-i", tone});
    }
    arguments.insert(arguments.end(), {"-t", std::to_string(seconds)});
    return arguments;
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b,
                              const std::vector<std::string>& c = {}) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
}

const std::string tone48 = "sine=frequency=440:sample_rate=48000";
const std::string tone44 = "sine=frequency=440:sample_rate=44100";

// Solid colours of 2 s each, as colour_at tells them.
std::string colour_source(int seconds) {
    static const char* names[] = {"red", "green", "blue", "yellow", "magenta", "cyan"};
    std::string graph;
    const int parts = seconds / 2;
    for (int i = 0; i < parts; ++i) {
        graph += "color=c=" + std::string(names[i]) + ":size=160x120:rate=25:duration=2[c" +
                 std::to_string(i) + "];";
    }
    for (int i = 0; i < parts; ++i) {
        graph += "[c" + std::to_string(i) + "]";
    }
    return graph + "concat=n=" + std::to_string(parts) + ":v=1:a=0";
}

void make(const fs::path& file, const std::vector<std::string>& arguments) {
    const std::string error = testing::make_media(file, arguments);
    if (!error.empty()) {
        throw std::runtime_error(error);
    }
}

// The first `bytes` of a file, as a new file.
void cut(const fs::path& from, const fs::path& to, std::uintmax_t bytes) {
    const std::string content = testing::read_file(from);
    testing::write_file(to, content.substr(0, bytes));
}

// Where the media data of an MP4 file with its index first begins.
std::uintmax_t mdat_offset(const fs::path& file) {
    const std::string content = testing::read_file(file);
    const auto found = content.find("mdat");
    if (found == std::string::npos || found < 4) {
        throw std::runtime_error("no mdat in " + file.string());
    }
    return found + 4;
}

void make_sample(const std::string& name, const fs::path& file) {
    if (name == "hd.mp4") {
        make(file, join(inputs("testsrc2=size=1920x1080:rate=50", tone48, 4), h264, aac));
    } else if (name == "pal.mp4") {
        make(file,
             join(inputs("testsrc2=size=720x576:rate=25,setsar=16/15", tone48, 3), h264, aac));
    } else if (name == "odd.mp4") {
        make(file, join(inputs("testsrc=size=641x361:rate=25", tone48, 3),
                        {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"}, aac));
    } else if (name == "long.mp4") {
        make(file, join(inputs("testsrc2=size=320x240:rate=25", tone44, 23), h264, aac));
    } else if (name == "audio.m4a") {
        make(file, join(inputs("", tone44, 3), aac));
    } else if (name == "audio.mp3") {
        make(file, join(inputs("", tone44, 3), {"-c:a", "libmp3lame", "-b:a", "128k"}));
    } else if (name == "video_only.mp4") {
        make(file, join(inputs("testsrc2=size=320x240:rate=25", "", 3), h264));
    } else if (name == "cut.mp4" || name == "headers.mp4") {
        const fs::path whole = file.parent_path() / ("whole_" + name);
        make(whole, join(join(inputs("testsrc2=size=320x240:rate=25", tone44, 6), h264, aac),
                         {"-movflags", "+faststart"}));
        cut(whole, file, name == "cut.mp4" ? fs::file_size(whole) / 2 : mdat_offset(whole));
    } else if (name == "garbage.mp4") {
        std::string bytes;
        for (unsigned i = 0, x = 2024; i < 16384; ++i) {
            x = x * 1103515245 + 12345;
            bytes.push_back(static_cast<char>(x >> 16));
        }
        testing::write_file(file, bytes);
    } else if (name == "empty.mp4") {
        testing::write_file(file, "");
    } else if (name == "notes.txt") {
        testing::write_file(file, "Shopping list\n- milk\n- bread\n");
    } else if (name == "a?b&c%20d 中文.mp4") {
        fs::copy_file(sample("video_only.mp4"), file);
    } else if (name == "colours12.mp4" || name == "colours8.mp4") {
        const int seconds = name == "colours12.mp4" ? 12 : 8;
        make(file, join({"-f", "lavfi", "-i", colour_source(seconds), "-f", "lavfi", "-i", tone44,
                         "-t", std::to_string(seconds)},
                        h264, aac));
    } else if (name == "colours_fast.mp4") {
        make(file,
             join({"-f", "lavfi", "-i",
                   "color=c=red:size=160x120:rate=25:duration=1[a];"
                   "color=c=green:size=160x120:rate=25:duration=1[b];[a][b]concat=n=2:v=1:a=0"},
                  h264));
    } else if (name != "missing.mp4") {
        throw std::invalid_argument("no sample " + name);
    }
}

}  // namespace

fs::path sample(const std::string& name) {
    static testing::temp_dir dir;
    static std::map<std::string, fs::path> made;
    if (const auto found = made.find(name); found != made.end()) {
        return found->second;
    }
    const fs::path file = dir / name;
    make_sample(name, file);
    return made.emplace(name, file).first->second;
}

std::uint32_t colour_at(double seconds) {
    static const std::uint32_t colours[] = {0xFF0000, 0x008000, 0x0000FF,
                                            0xFFFF00, 0xFF00FF, 0x00FFFF};
    return colours[static_cast<std::size_t>(seconds / 2) % 6];
}

bool media_ready() {
    return testing::have_program("ffmpeg") && testing::have_program("ffprobe") &&
           load_av_libraries();
}

std::map<std::string, double> metadata_numbers(const segment_index& index) {
    buffer_reader in(index.metadata);
    amf0_string name;
    amf0_read_expected(in, name);
    amf0_object object;
    amf0_read_expected(in, object);
    if (name.value.view() != "onMetaData") {
        throw std::runtime_error("the metadata is " + name.value.str());
    }
    std::map<std::string, double> numbers;
    for (const auto& [key, value] : object.values) {
        if (value->marker == amf0_number::type_marker) {
            numbers[key.str()] = static_cast<const amf0_number&>(*value).value;
        }
    }
    return numbers;
}

}  // namespace lumo_upl_test
