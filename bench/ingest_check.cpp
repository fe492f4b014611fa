// ingest_check: reads recordings back after the ingest benchmark
// (bench/ingest.sh). For each index file named, it loads the index, checks
// that every listed segment is on disk with the size the index gives, reads
// every tag from the first segment to the last with the recording's reader
// and writes them, behind the stored metadata and sequence headers, into an
// FLV file that ffprobe can then play through. One line per recording:
//
//   RECORDING index=PATH ok=1 segments=N data_bytes=B tags=T video=V audio=A
//             duration_ms=D first_ms=F last_ms=L backwards=K error=...
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "foundation/buffer.hpp"
#include "foundation/segment_index.hpp"
#include "foundation/zpk_reader.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t audio_tag = 8;
constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t data_tag = 18;

class flv_file {
  public:
    explicit flv_file(const fs::path& path) : out_(path, std::ios::binary | std::ios::trunc) {
        out_.exceptions(std::ios::badbit | std::ios::failbit);
        // Signature, version 1, audio and video present, header size 9, and
        // the first (empty) previous-tag size.
        static const char header[] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
        out_.write(header, sizeof header);
    }

    void tag(std::uint8_t type, std::uint32_t timestamp, const std::uint8_t* body,
             std::uint32_t size) {
        std::uint8_t header[flv_tag_header::size];
        buffer_writer head(header, sizeof header);
        flv_tag_header{type, size, timestamp}.write(head);
        std::uint8_t trailer[flv_tag_header::trailer_size];
        buffer_writer tail(trailer, sizeof trailer);
        tail.write_u32_be(size + flv_tag_header::size);
        out_.write(reinterpret_cast<const char*>(header), sizeof header);
        out_.write(reinterpret_cast<const char*>(body), size);
        out_.write(reinterpret_cast<const char*>(trailer), sizeof trailer);
    }

  private:
    std::ofstream out_;
};

// What is wrong with the segment files the index lists; empty when nothing.
std::string check_segments(const fs::path& index_path, const segment_index& index) {
    const fs::path folder = index_path.parent_path() / (index_path.stem().string() + ".segments");
    for (std::size_t n = 0; n < index.segments.size(); ++n) {
        const fs::path file = segment_file_name(folder / std::to_string(n));
        std::error_code error;
        const auto size = fs::file_size(file, error);
        if (error) {
            return "segment " + std::to_string(n) + " missing";
        }
        if (size != std::uintmax_t{index.segments[n].data_bytes} + segment_header::size) {
            return "segment " + std::to_string(n) + " has " + std::to_string(size) +
                   " bytes, the index says " + std::to_string(index.segments[n].data_bytes);
        }
    }
    return {};
}

bool check(const fs::path& index_path, const fs::path& flv_path) {
    std::string error;
    std::uint64_t data_bytes = 0, tags = 0, video = 0, audio = 0, backwards = 0;
    std::uint32_t first = 0, last = 0, duration = 0;
    std::size_t segments = 0;
    try {
        segment_index index;
        index.load(index_path);
        segments = index.segments.size();
        duration = index.duration_ms;
        for (const auto& segment : index.segments) {
            data_bytes += segment.data_bytes;
        }
        error = check_segments(index_path, index);

        zpk_reader reader(index_path);
        std::uint32_t from = 0;
        if (!reader.seek(from)) {
            throw std::runtime_error("cannot seek to the start");
        }
        flv_file flv(flv_path);
        std::uint32_t size = 0;
        if (const std::uint8_t* body = reader.metadata(size)) {
            flv.tag(data_tag, 0, body, size);
        }
        if (const std::uint8_t* body = reader.video_config(size)) {
            flv.tag(video_tag, 0, body, size);
        }
        if (const std::uint8_t* body = reader.audio_config(size)) {
            flv.tag(audio_tag, 0, body, size);
        }
        std::uint32_t timestamp = 0, last_video = 0, last_audio = 0;
        std::uint8_t type = 0;
        std::int32_t status = media_tag_read;
        while (const std::uint8_t* body = reader.read_tag(size, timestamp, type, status)) {
            flv.tag(type, timestamp, body, size);
            if (tags++ == 0) {
                first = timestamp;
            }
            last = timestamp;
            std::uint32_t* previous = type == video_tag   ? &last_video
                                      : type == audio_tag ? &last_audio
                                                          : nullptr;
            if (previous != nullptr) {
                const std::uint64_t count = type == video_tag ? video++ : audio++;
                if (count > 0 && timestamp < *previous) {
                    ++backwards;
                }
                *previous = timestamp;
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    for (char& c : error) {
        if (c == ' ') {
            c = '_';
        }
    }
    std::printf(
        "RECORDING index=%s ok=%d segments=%zu data_bytes=%llu tags=%llu video=%llu audio=%llu "
        "duration_ms=%u first_ms=%u last_ms=%u backwards=%llu error=%s\n",
        index_path.c_str(), error.empty() ? 1 : 0, segments,
        static_cast<unsigned long long>(data_bytes), static_cast<unsigned long long>(tags),
        static_cast<unsigned long long>(video), static_cast<unsigned long long>(audio), duration,
        first, last, static_cast<unsigned long long>(backwards), error.c_str());
    return error.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "Usage: ingest_check INDEX FLV_OUT [INDEX FLV_OUT ...]\n");
        return 1;
    }
    bool all = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        all = check(argv[i], argv[i + 1]) && all;
    }
    return all ? 0 : 2;
}
