#include "platform/quendle/timeline.hpp"

#include <bit>
#include <cstring>
#include <fstream>

namespace Quendle {
namespace {

constexpr std::string_view magic{"QSEIX\x01", 6};
constexpr std::size_t fixed_bytes = magic.size() + 8 + 4 + 4 + 1 + 4;

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

std::uint64_t get_le(std::string_view& in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= std::uint64_t{static_cast<std::uint8_t>(in[static_cast<std::size_t>(i)])}
                 << (8 * i);
    }
    in.remove_prefix(static_cast<std::size_t>(bytes));
    return value;
}

}  // namespace

std::string encode_timeline(const timeline_description& timeline) {
    std::string out(magic);
    put_le(out, std::bit_cast<std::uint64_t>(timeline.frame_rate), 8);
    put_le(out, timeline.width, 4);
    put_le(out, timeline.height, 4);
    put_le(out, timeline.audio_only ? 1 : 0, 1);
    put_le(out, timeline.clip.size(), 4);
    out += timeline.clip;
    return out;
}

std::optional<timeline_description> decode_timeline(std::string_view bytes) {
    if (bytes.size() < fixed_bytes || !bytes.starts_with(magic)) {
        return {};
    }
    bytes.remove_prefix(magic.size());
    timeline_description timeline;
    timeline.frame_rate = std::bit_cast<double>(get_le(bytes, 8));
    timeline.width = static_cast<std::uint32_t>(get_le(bytes, 4));
    timeline.height = static_cast<std::uint32_t>(get_le(bytes, 4));
    const auto audio_only = get_le(bytes, 1);
    const auto clip_bytes = get_le(bytes, 4);
    if (audio_only > 1 || clip_bytes != bytes.size()) {
        return {};
    }
    timeline.audio_only = audio_only == 1;
    timeline.clip = bytes;
    return timeline;
}

void* simple_edit_importer::query_interface(const char* name) {
    if (name != nullptr && std::strcmp(name, timeline_interface_name) == 0) {
        return static_cast<ISimpleEditTimeLine*>(this);
    }
    return nullptr;
}

bool simple_edit_importer::add_clip(int track, const char* path, std::int64_t position,
                                    std::int64_t start, std::int64_t end) {
    if (has_clip_ || path == nullptr || track != 0 || position != 0 || start != 0 || end != -1) {
        return false;
    }
    timeline_.clip = path;
    has_clip_ = true;
    return true;
}

void simple_edit_importer::set_size(std::uint32_t width, std::uint32_t height, int) {
    timeline_.width = width;
    timeline_.height = height;
}

bool simple_edit_importer::set_stream_mode(int mode) {
    if (mode != 0 && mode != 2) {
        return false;
    }
    timeline_.audio_only = mode == 2;
    return true;
}

bool simple_edit_importer::save(const char* path) {
    if (!has_clip_ || path == nullptr) {
        return false;
    }
    const std::string bytes = encode_timeline(timeline_);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

}  // namespace Quendle
