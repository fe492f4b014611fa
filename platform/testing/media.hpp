#pragma once

// Real media for end-to-end tests: samples made by ffmpeg from its test
// sources, and what ffprobe sees in a file.

#include <filesystem>
#include <string>
#include <vector>

namespace platform::testing {

// Whether ffmpeg, ffprobe and rtmpdump are all installed.
bool have_media_tools();

// Makes an FLV sample with H.264 video (25 frames and one keyframe a second)
// and AAC audio from ffmpeg's test sources, with options for the FLV muxer
// (such as "-flvflags", "add_keyframe_index"); returns ffmpeg's error text on
// failure, "" on success.
std::string make_sample_flv(const std::filesystem::path& file, double seconds = 3,
                            const std::vector<std::string>& muxer_options = {});

// Runs ffmpeg with the arguments (inputs, codecs, options) and the output
// file last; returns ffmpeg's error text on failure, "" on success.
std::string make_media(const std::filesystem::path& file,
                       const std::vector<std::string>& arguments);

struct probed_stream {
    std::string type;  // "video" or "audio"
    std::string codec;
    int width = 0;
    int height = 0;
    double frame_rate = 0;  // the stream's r_frame_rate
    double start = 0;       // seconds
};

// The streams of a file as ffprobe sees them, in the file's order.
std::vector<probed_stream> probe_streams(const std::filesystem::path& file);

struct probed_packet {
    std::string type;  // "video" or "audio"
    double dts;
    bool key;
};

// The packets of a file in order, as ffprobe reads them.
std::vector<probed_packet> probe_packets(const std::filesystem::path& file);

// How many of the packets are of the type ("video" or "audio").
std::size_t count_packets(const std::vector<probed_packet>& packets, const std::string& type);

// The codec names of the file's streams, sorted and joined: "aac h264".
std::string probe_codecs(const std::filesystem::path& file);

// The container's duration in seconds; 0 when ffprobe knows none.
double probe_duration(const std::filesystem::path& file);

}  // namespace platform::testing
