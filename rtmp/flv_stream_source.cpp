#include "rtmp/flv_stream_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/decoded_metadata.hpp"
#include "foundation/segment_index.hpp"

namespace rtmp {

namespace {

constexpr std::uint32_t file_start_bytes = 13;  // header and the first previous-tag size
constexpr std::uint32_t tag_header_bytes = flv_tag_header::size;
constexpr std::uint32_t previous_size_bytes = flv_tag_header::trailer_size;
// The sequence headers and onMetaData are looked for among this many tags.
constexpr int scanned_tags = 25;
// A file whose first timestamp is this late is played from 0.
constexpr std::uint32_t min_start_offset = 5001;

constexpr std::uint8_t audio_tag = 8;
constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t data_tag = 18;

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
    if (!file_.open(file)) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open FLV file " + file.string());
    }
    file_size_ = file_.file_size();

    const auto start = file_.fill(file_start_bytes);
    if (start.size() < file_start_bytes || std::memcmp(start.data(), "FLV\x01", 4) != 0) {
        throw std::runtime_error("It's not a FLV file");
    }
    file_.advance(file_start_bytes);

    scan_first_tags();
    file_.move_to(file_start_bytes);
    load_keyframes();
    // Nothing is held until playback reads.
    release_buffer();
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
    return tag_ + tag_header_bytes;
}

void flv_stream_source::release_buffer() noexcept {
    tag_ = nullptr;
    file_.release();
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
    file_.move_to(static_cast<std::uint64_t>(found->position));
    if (!keep_target) {
        ms = shifted(found->time);
    }
    return true;
}

bool flv_stream_source::next_tag(std::uint32_t& size, std::uint32_t& time, std::uint8_t& type) {
    try {
        const auto header_bytes = file_.fill(tag_header_bytes);
        if (header_bytes.size() < tag_header_bytes) {
            return false;
        }
        buffer_reader header(header_bytes.data(), tag_header_bytes);
        const flv_tag_header tag = flv_tag_header::read(header);
        type = tag.type;
        size = tag.body_size;
        time = tag.timestamp;

        const std::size_t whole = std::size_t{tag_header_bytes} + size;
        if (whole > static_cast<std::uint64_t>(file_size_)) {
            // A damaged size field: the window would grow to it for nothing.
            return false;
        }
        const auto bytes = file_.fill(whole + previous_size_bytes);
        if (bytes.size() < whole) {
            return false;
        }
        // A file cut right after a body still plays that tag; the next read
        // meets the end.
        tag_ = bytes.data();
        file_.advance(std::min(bytes.size(), whole + previous_size_bytes));
        remember_sequence_header(type, tag_ + tag_header_bytes, size);
        return true;
    } catch (const std::bad_alloc&) {
        // No memory for a tag this large.
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
        const std::uint8_t* body = tag_ + tag_header_bytes;
        if (type == data_tag && is_metadata_message({reinterpret_cast<const char*>(body), size})) {
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

}  // namespace rtmp
