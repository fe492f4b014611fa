#include "foundation/segment_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/decoded_metadata.hpp"
#include "foundation/file_io.hpp"
#include "foundation/hex.hpp"
#include "foundation/replace_file.hpp"
#include "foundation/unique_fd.hpp"

namespace {

namespace fs = std::filesystem;

enum index_flags : std::uint8_t {
    has_video_codec = 1 << 0,
    has_audio_format = 1 << 1,
    has_video_configs = 1 << 2,
    has_audio_configs = 1 << 3,
    has_metadata = 1 << 4,
    is_live = 1 << 5,
    has_start = 1 << 6,
};

constexpr std::uint8_t index_version = 1;
constexpr std::uint32_t flv_tag_header_bytes = 11;
constexpr std::uint32_t max_short_length = 255;

void read_configs(buffer_reader& in, std::vector<zpk_config_entry>& configs) {
    while (const std::uint8_t length = in.read_u8()) {
        zpk_config_entry& entry = configs.emplace_back();
        entry.from_segment = in.read_u32();
        in.read_string(length, entry.tag);
    }
}

void write_configs(buffer_writer& out, const std::vector<zpk_config_entry>& configs) {
    for (const auto& entry : configs) {
        out.write_u8(static_cast<std::uint8_t>(entry.tag.size()));
        out.write_u32(entry.from_segment);
        out.write_string(entry.tag);
    }
    out.write_u8(0);
}

std::uint64_t configs_bytes(const std::vector<zpk_config_entry>& configs) {
    std::uint64_t bytes = 1;
    for (const auto& entry : configs) {
        if (entry.tag.empty() || entry.tag.size() > max_short_length) {
            // Its length byte would not describe the bytes after it.
            throw std::length_error("Bad config tag length");
        }
        bytes += 5 + entry.tag.size();
    }
    return bytes;
}

bool append_config(std::vector<zpk_config_entry>& configs, std::string_view tag,
                   std::uint32_t first_segment) {
    if (tag.empty() || tag.size() > max_short_length) {
        return false;
    }
    if (!configs.empty()) {
        const std::string_view last = configs.back().tag;
        const std::size_t skip = std::min<std::size_t>(flv_tag_header_bytes, tag.size());
        if (last.size() == tag.size() && last.substr(skip) == tag.substr(skip)) {
            return false;
        }
    }
    configs.push_back({first_segment, std::string(tag)});
    return true;
}

// 32 upper-case hexadecimal digits of a random version-4 UUID.
std::string random_id() {
    const boost::uuids::uuid id = boost::uuids::random_generator()();
    return hex_encode(id.data, sizeof id.data, hex_letters::upper);
}

}  // namespace

segment_index segment_index::decode(std::string_view bytes) {
    if (bytes.size() > segment_index_max_bytes) {
        throw std::runtime_error("Bad file format");
    }
    buffer_reader in(bytes);
    segment_index index;
    index.version = in.read_u8();
    if (index.version != index_version) {
        throw std::runtime_error("Bad file version");
    }
    const std::uint8_t flags = in.read_u8();
    in.skip(2);
    index.video_codec = static_cast<std::int8_t>(in.read_u8());
    index.audio_format = static_cast<std::int8_t>(in.read_u8());
    index.segment_format = in.read_u8();
    index.duration_ms = in.read_u32();
    in.read_string(in.read_u8(), index.name);
    if (flags & has_video_configs) {
        read_configs(in, index.video_configs);
    }
    if (flags & has_audio_configs) {
        read_configs(in, index.audio_configs);
    }
    if (flags & has_metadata) {
        in.read_string(in.read_u32(), index.metadata);
    }
    index.live = (flags & is_live) != 0;
    index.has_start_time = (flags & has_start) != 0;
    if (index.has_start_time) {
        index.start_time = in.read_u32();
    }
    const std::uint32_t count = in.read_u32();
    // A damaged count must not make us reserve gigabytes.
    if (count > in.remaining() / 8) {
        throw buffer_over_range("Buffer eof");
    }
    index.segments.resize(count);
    for (auto& segment : index.segments) {
        segment.start_ms = in.read_u32();
        segment.data_bytes = in.read_u32();
    }
    for (std::size_t i = 0; i < index.segments.size(); ++i) {
        const std::uint32_t end =
            i + 1 < index.segments.size() ? index.segments[i + 1].start_ms : index.duration_ms;
        index.segments[i].duration_ms = end - index.segments[i].start_ms;
    }
    return index;
}

std::string segment_index::encode_head() const {
    if (name.size() > max_short_length) {
        throw std::length_error("Recording id too long");
    }
    std::uint8_t flags = 0;
    std::uint64_t bytes = 12 + name.size();
    if (video_codec != -1) {
        flags |= has_video_codec;
    }
    if (audio_format != -1) {
        flags |= has_audio_format;
    }
    if (!video_configs.empty()) {
        flags |= has_video_configs;
        bytes += configs_bytes(video_configs);
    }
    if (!audio_configs.empty()) {
        flags |= has_audio_configs;
        bytes += configs_bytes(audio_configs);
    }
    if (!metadata.empty()) {
        flags |= has_metadata;
        bytes += 4 + metadata.size();
    }
    if (live) {
        flags |= is_live;
    }
    if (has_start_time) {
        flags |= has_start;
        bytes += 4;
    }
    if (bytes > segment_index_max_bytes) {
        throw buffer_over_range("Write buffer overflow");
    }

    std::string head(bytes, '\0');
    buffer_writer out(head.data(), static_cast<std::uint32_t>(head.size()));
    out.write_u8(index_version);
    out.write_u8(flags);
    out.write_u16_be(0);
    out.write_u8(static_cast<std::uint8_t>(video_codec));
    out.write_u8(static_cast<std::uint8_t>(audio_format));
    out.write_u8(segment_format);
    out.write_u32(duration_ms);
    out.write_u8(static_cast<std::uint8_t>(name.size()));
    out.write_string(name);
    if (flags & has_video_configs) {
        write_configs(out, video_configs);
    }
    if (flags & has_audio_configs) {
        write_configs(out, audio_configs);
    }
    if (flags & has_metadata) {
        out.write_u32(static_cast<std::uint32_t>(metadata.size()));
        out.write_string(metadata);
    }
    if (flags & has_start) {
        out.write_u32(start_time);
    }
    return head;
}

std::string segment_index::encode() const {
    std::string file = encode_head();
    const std::uint64_t bytes =
        file.size() + segment_index_count_bytes + segment_index_entry_bytes * segments.size();
    if (bytes > segment_index_max_bytes) {
        throw buffer_over_range("Write buffer overflow");
    }
    const std::size_t head = file.size();
    file.resize(bytes);
    buffer_writer out(file.data() + head, static_cast<std::uint32_t>(bytes - head));
    out.write_u32(static_cast<std::uint32_t>(segments.size()));
    encode_entries(segments, out);
    return file;
}

void segment_index::encode_entries(std::span<const zpk_segment_entry> entries, buffer_writer& out) {
    for (const auto& segment : entries) {
        out.write_u32(segment.start_ms);
        out.write_u32(segment.data_bytes);
    }
}

void segment_index::load(const std::filesystem::path& from) {
    std::ifstream file;
    file.exceptions(std::ios::failbit | std::ios::badbit);
    file.open(from, std::ios::binary | std::ios::ate);
    // The size of the file that is open: a save may rename a new index over
    // the name meanwhile, and this descriptor keeps the old one whole.
    const std::streamoff size = file.tellg();
    if (size > static_cast<std::streamoff>(segment_index_max_bytes)) {
        throw std::runtime_error("Bad file format");
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    file.seekg(0);
    file.read(bytes.data(), size);
    segment_index loaded = decode(bytes);
    loaded.path = from;
    *this = std::move(loaded);
}

bool segment_index::try_load() noexcept {
    try {
        load(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void segment_index::save(const std::filesystem::path& to) const {
    replace_file(to, encode());
}

void segment_index::new_recording_id() {
    name = random_id();
}

bool segment_index::add_video_config(std::string_view tag, std::uint32_t first_segment) {
    return append_config(video_configs, tag, first_segment);
}

bool segment_index::add_audio_config(std::string_view tag, std::uint32_t first_segment) {
    return append_config(audio_configs, tag, first_segment);
}

std::optional<segment_found> segment_index::find_segment(std::uint32_t time_ms) const {
    if (segments.empty()) {
        return std::nullopt;
    }
    const zpk_segment_entry& last = segments.back();
    if (time_ms > last.start_ms + last.duration_ms) {
        return std::nullopt;
    }
    // From the end: players seek near the live edge, and tables are long.
    std::uint32_t found = static_cast<std::uint32_t>(segments.size());
    while (found > 0 && segments[found - 1].start_ms > time_ms) {
        --found;
    }
    found = found == 0 ? 0 : found - 1;
    return segment_found{found, segments[found].start_ms};
}

bool segment_index::set_metadata_duration() {
    const double seconds = duration_ms / 1000.0;
    try {
        if (metadata.empty()) {
            own_buffer_writer out;
            amf0_object object;
            object.insert("duration", std::make_unique<amf0_number>(seconds));
            amf0_string("onMetaData").write(out);
            object.write(out);
            metadata.assign(reinterpret_cast<const char*>(out.data), out.size);
            return true;
        }
        decoded_metadata decoded(metadata);
        auto& duration = decoded.properties().values["duration"];
        if (auto* number = dynamic_cast<amf0_number*>(duration.get())) {
            number->value = seconds;
        } else {
            duration = std::make_unique<amf0_number>(seconds);
        }
        metadata = decoded.encode();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::filesystem::path segment_dir_path(const std::filesystem::path& path, std::string_view suffix) {
    std::filesystem::path result = path;
    result += suffix;
    return result;
}

std::filesystem::path segment_file_name(const std::filesystem::path& path) {
    return segment_dir_path(path, ".zpksegment");
}

std::filesystem::path open_segment_file_name(const std::filesystem::path& path) {
    return segment_dir_path(path, ".zpksegment0");
}

namespace {

constexpr std::uint32_t flv_tag_overhead = flv_tag_header::size + flv_tag_header::trailer_size;

void add_taken_back(segment_index& index, const zpk_segment_entry& segment) {
    if (!index.segments.empty()) {
        index.segments.back().duration_ms = segment.start_ms - index.segments.back().start_ms;
    }
    index.segments.push_back(segment);
    const std::uint32_t end = segment.start_ms + segment.duration_ms;
    if (end > index.duration_ms && static_cast<std::int32_t>(end) >= 0) {
        index.duration_ms = end;
    }
}

// A closed segment file whose size agrees with its header.
std::optional<zpk_segment_entry> closed_segment(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::uint8_t bytes[segment_header::size];
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        return std::nullopt;
    }
    const segment_header header = segment_header::read(bytes);
    std::error_code error;
    const auto file_bytes = fs::file_size(file, error);
    if (error || header.data_bytes == 0 ||
        file_bytes != std::uintmax_t{header.data_bytes} + segment_header::size) {
        return std::nullopt;
    }
    return zpk_segment_entry{header.start_ms, header.data_bytes, header.duration_ms};
}

// The whole tags at the start of an open segment's data: each with a known
// type and a trailer that agrees with its header.
struct whole_tags {
    std::uint32_t data_bytes = 0;
    std::uint32_t first_ms = 0;
    std::uint32_t last_ms = 0;
};

whole_tags scan_open_segment(int fd, std::uint64_t file_bytes) {
    whole_tags found;
    std::uint64_t at = segment_header::size;
    std::uint8_t header[flv_tag_header::size];
    while (at + flv_tag_overhead <= file_bytes && read_at(fd, header, at)) {
        buffer_reader in(header, sizeof header);
        const flv_tag_header tag = flv_tag_header::read(in);
        std::uint8_t trailer[flv_tag_header::trailer_size];
        const std::uint64_t end = at + flv_tag_overhead + tag.body_size;
        if ((tag.type != 8 && tag.type != 9 && tag.type != 18) || end > file_bytes ||
            end - segment_header::size > segment_header::max_file_bytes - segment_header::size ||
            !read_at(fd, trailer, end - sizeof trailer) ||
            buffer_reader(trailer, sizeof trailer).read_u32_be() !=
                tag.body_size + flv_tag_header::size) {
            break;
        }
        if (found.data_bytes == 0) {
            found.first_ms = tag.timestamp;
        }
        found.last_ms = tag.timestamp;
        found.data_bytes = static_cast<std::uint32_t>(end - segment_header::size);
        at = end;
    }
    return found;
}

bool begins_with_config(const std::vector<zpk_config_entry>& configs, std::uint32_t segment) {
    return std::any_of(configs.begin(), configs.end(),
                       [&](const zpk_config_entry& c) { return c.from_segment == segment; });
}

// The segment that was being written, closed as its writer would have.
std::optional<zpk_segment_entry> take_back_open_segment(const segment_index& index,
                                                        const fs::path& folder, bool repair) {
    const auto n = static_cast<std::uint32_t>(index.segments.size());
    const fs::path file = open_segment_file_name(folder / std::to_string(n));
    const unique_fd fd(::open(file.c_str(), (repair ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        return std::nullopt;
    }
    const whole_tags tags = scan_open_segment(fd.get(), static_cast<std::uint64_t>(status.st_size));
    if (tags.data_bytes == 0) {
        if (repair) {
            fs::remove(file);
        }
        return std::nullopt;
    }
    const zpk_segment_entry entry{tags.first_ms, tags.data_bytes, tags.last_ms - tags.first_ms};
    if (repair) {
        segment_header header;
        header.data_bytes = entry.data_bytes;
        header.video_config_changed = begins_with_config(index.video_configs, n);
        header.audio_config_changed = begins_with_config(index.audio_configs, n);
        header.start_ms = entry.start_ms;
        header.duration_ms = entry.duration_ms;
        std::uint8_t bytes[segment_header::size];
        header.write(bytes);
        // What follows the last whole tag goes, and the segment reaches the
        // disk before its closed name does.
        if (::ftruncate(fd.get(), segment_header::size + off_t{entry.data_bytes}) != 0) {
            throw_file_error("Can't write file", file);
        }
        write_at(fd.get(), bytes, 0, file);
        if (::fdatasync(fd.get()) != 0) {
            throw_file_error("Can't write file", file);
        }
        fs::rename(file, segment_file_name(folder / std::to_string(n)));
    }
    return entry;
}

}  // namespace

std::size_t take_back_segments(segment_index& index, const std::filesystem::path& folder,
                               bool repair) {
    std::size_t taken = 0;
    for (;;) {
        const auto n = static_cast<std::uint32_t>(index.segments.size());
        const auto closed = closed_segment(segment_file_name(folder / std::to_string(n)));
        if (!closed) {
            break;
        }
        add_taken_back(index, *closed);
        ++taken;
    }
    if (const auto open = take_back_open_segment(index, folder, repair)) {
        add_taken_back(index, *open);
        ++taken;
    }
    return taken;
}

void flv_tag_header::write(buffer_writer& out) const {
    out.write_u8(type);
    out.write_u24_be(body_size);
    out.write_u24_be(timestamp);
    out.write_u8(static_cast<std::uint8_t>(timestamp >> 24));
    out.write_u24_be(0);
}

flv_tag_header flv_tag_header::read(buffer_reader& in) {
    flv_tag_header header;
    header.type = in.read_u8();
    header.body_size = in.read_u24_be();
    header.timestamp = in.read_u24_be();
    header.timestamp |= std::uint32_t{in.read_u8()} << 24;
    in.skip(3);
    return header;
}

void segment_header::write(std::uint8_t (&out)[size]) const {
    if (data_bytes > max_file_bytes - size) {
        throw std::length_error("Segment too large");
    }
    std::uint32_t word = data_bytes + size;
    if (video_config_changed) {
        word |= 1u << 31;
    }
    if (audio_config_changed) {
        word |= 1u << 30;
    }
    buffer_writer header(out, size);
    header.write_u32(word);
    header.write_u32(start_ms);
    header.write_u32(duration_ms);
}

segment_header segment_header::read(const std::uint8_t (&in)[size]) noexcept {
    buffer_reader header(in, size);
    const std::uint32_t word = header.read_u32();
    segment_header result;
    result.data_bytes = (word & max_file_bytes) - std::min(word & max_file_bytes, size);
    result.video_config_changed = (word & (1u << 31)) != 0;
    result.audio_config_changed = (word & (1u << 30)) != 0;
    result.start_ms = header.read_u32();
    result.duration_ms = header.read_u32();
    return result;
}
