#include "rtmp/flv_stream_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"

namespace rtmp {

namespace {

constexpr std::uint32_t file_start_bytes = 13;  // header and the first previous-tag size
constexpr std::uint32_t tag_header_bytes = 11;
constexpr std::uint32_t previous_size_bytes = 4;
constexpr std::size_t initial_tag_buffer = 65535;
// The sequence headers and onMetaData are looked for among this many tags.
constexpr int scanned_tags = 25;
// A file whose first timestamp is this late is played from 0.
constexpr std::uint32_t min_start_offset = 5001;

constexpr std::uint8_t audio_tag = 8;
constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t data_tag = 18;

constexpr char on_metadata_prefix[] =
    "\x02\x00\x0a"
    "onMetaData";
constexpr std::uint32_t on_metadata_prefix_bytes = sizeof on_metadata_prefix - 1;

bool is_on_metadata(const std::uint8_t* body, std::uint32_t size) {
    return size > on_metadata_prefix_bytes &&
           std::memcmp(body, on_metadata_prefix, on_metadata_prefix_bytes) == 0;
}

std::uint32_t read_u24(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 16 | std::uint32_t{bytes[1]} << 8 | bytes[2];
}

template <class Value>
const Value* find_as(const amf0_keyed& container, light_string key) {
    const amf0_based* value = container.find(key);
    return value != nullptr && value->marker == Value::type_marker
               ? static_cast<const Value*>(value)
               : nullptr;
}

const amf0_number* as_number(const std::unique_ptr<amf0_based>& value) {
    return value != nullptr && value->marker == amf0_number::type_marker
               ? static_cast<const amf0_number*>(value.get())
               : nullptr;
}

}  // namespace

flv_stream_source::flv_stream_source(const std::filesystem::path& file) {
    file_.open(file, std::ios::binary);
    if (!file_) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open FLV file " + file.string());
    }
    file_.seekg(0, std::ios::end);
    file_size_ = file_.tellg();
    file_.seekg(0);

    std::uint8_t start[file_start_bytes];
    if (!file_.read(reinterpret_cast<char*>(start), sizeof start) ||
        std::memcmp(start, "FLV\x01", 4) != 0) {
        throw std::runtime_error("It's not a FLV file");
    }

    tag_buffer_.resize(initial_tag_buffer);
    scan_first_tags();
    move_to(file_start_bytes);
    load_keyframes();
}

const std::uint8_t* flv_stream_source::audio_config(std::uint32_t& size) const {
    size = static_cast<std::uint32_t>(audio_header_.size());
    return size == 0 ? nullptr : reinterpret_cast<const std::uint8_t*>(audio_header_.data());
}

const std::uint8_t* flv_stream_source::video_config(std::uint32_t& size) const {
    size = static_cast<std::uint32_t>(video_header_.size());
    return size == 0 ? nullptr : reinterpret_cast<const std::uint8_t*>(video_header_.data());
}

const std::uint8_t* flv_stream_source::metadata(std::uint32_t& size) const {
    size = static_cast<std::uint32_t>(metadata_.size());
    return size == 0 ? nullptr : reinterpret_cast<const std::uint8_t*>(metadata_.data());
}

const std::uint8_t* flv_stream_source::read_tag(std::uint32_t& size, std::uint32_t& timestamp,
                                                std::uint8_t& type, std::int32_t& status) {
    std::uint32_t time = 0;
    if (!next_tag(size, time, type)) {
        size = 0;
        status = media_source_ended;
        return nullptr;
    }
    timestamp = shifted(time);
    return tag_buffer_.data() + tag_header_bytes;
}

bool flv_stream_source::seek(std::uint32_t& ms) {
    if (keyframes_.empty()) {
        return false;
    }
    const std::uint64_t target = std::uint64_t{ms} + start_offset_;
    auto found = std::find_if(keyframes_.begin(), keyframes_.end(),
                              [target](const keyframe& k) { return k.time >= target; });
    // Past the last keyframe the target lies in the last group of pictures,
    // which starts at that keyframe like any other.
    const bool keep_target =
        found != keyframes_.end() && (found->time == target || found == keyframes_.begin());
    if (!keep_target) {
        --found;
    }
    if (!move_to(found->position)) {
        return false;
    }
    if (!keep_target) {
        ms = shifted(found->time);
    }
    return true;
}

bool flv_stream_source::next_tag(std::uint32_t& size, std::uint32_t& time, std::uint8_t& type) {
    try {
        std::uint8_t* header = tag_buffer_.data();
        if (!file_.read(reinterpret_cast<char*>(header), tag_header_bytes)) {
            return false;
        }
        type = header[0];
        size = read_u24(header + 1);
        time = read_u24(header + 4) | std::uint32_t{header[7]} << 24;

        const std::size_t needed = std::size_t{tag_header_bytes} + size + previous_size_bytes;
        if (needed > tag_buffer_.size()) {
            tag_buffer_.resize(std::size_t{size} * 2 + 30);
        }
        std::uint8_t* body = tag_buffer_.data() + tag_header_bytes;
        if (!file_.read(reinterpret_cast<char*>(body), size)) {
            return false;
        }
        // A file cut right after a body still plays that tag; the next read
        // meets the end.
        file_.read(reinterpret_cast<char*>(body + size), previous_size_bytes);
        remember_sequence_header(type, body, size);
        return true;
    } catch (const std::bad_alloc&) {
        // A damaged size field asking for more than we can hold.
        return false;
    }
}

void flv_stream_source::remember_sequence_header(std::uint8_t type, const std::uint8_t* body,
                                                 std::uint32_t size) {
    if (type == audio_tag && size > 2 && body[0] == 0xAF && body[1] == 0) {
        audio_header_.assign(reinterpret_cast<const char*>(body), size);
    } else if (type == video_tag && size > 5 && body[0] == 0x17 && body[1] == 0) {
        video_header_.assign(reinterpret_cast<const char*>(body), size);
    }
}

void flv_stream_source::scan_first_tags() {
    std::uint32_t first_time = 0;
    for (int n = 0; n < scanned_tags; ++n) {
        std::uint32_t size = 0;
        std::uint32_t time = 0;
        std::uint8_t type = 0;
        if (!next_tag(size, time, type)) {
            break;
        }
        if (first_time == 0) {
            first_time = time;
        }
        const std::uint8_t* body = tag_buffer_.data() + tag_header_bytes;
        if (type == data_tag && is_on_metadata(body, size)) {
            metadata_.assign(reinterpret_cast<const char*>(body), size);
        }
    }
    if (first_time >= min_start_offset) {
        start_offset_ = first_time;
    }
}

void flv_stream_source::load_keyframes() {
    if (metadata_.empty()) {
        return;
    }
    try {
        buffer_reader in(metadata_);
        amf0_string name;
        amf0_read_expected(in, name);
        amf0_mixed_array properties;
        amf0_read_expected(in, properties);

        const auto* table = find_as<amf0_object>(properties, "keyframes");
        if (table == nullptr) {
            return;
        }
        const auto* positions = find_as<amf0_array>(*table, "filepositions");
        const auto* times = find_as<amf0_array>(*table, "times");
        if (positions == nullptr || times == nullptr ||
            positions->values.size() != times->values.size()) {
            return;
        }
        for (std::size_t i = 0; i < times->values.size(); ++i) {
            const amf0_number* seconds = as_number(times->values[i]);
            const amf0_number* position = as_number(positions->values[i]);
            if (seconds == nullptr || position == nullptr) {
                continue;
            }
            // Converting a double that is not in range is undefined, and an
            // offset outside the tags would be read as a tag.
            const double ms = seconds->value * 1000;
            const double offset = position->value;
            if (!(ms >= 0 && ms < 4294967296.0) ||
                !(offset >= file_start_bytes && offset < static_cast<double>(file_size_))) {
                continue;
            }
            keyframes_.push_back(
                {static_cast<std::uint32_t>(ms), static_cast<std::int64_t>(offset)});
        }
    } catch (const std::exception&) {
        keyframes_.clear();
    }
}

bool flv_stream_source::move_to(std::int64_t position) {
    // A read that met the end of the file left the stream failed; seeking
    // must not inherit that.
    file_.clear();
    file_.seekg(position);
    return !file_.fail();
}

}  // namespace rtmp
