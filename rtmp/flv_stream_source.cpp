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
// About a second of a 1 Mbit/s stream's tags, or a few of a larger one's.
constexpr std::size_t initial_window = 16 * 1024;
// A window too small for a tag grows to it in steps of this.
constexpr std::size_t window_step = 4096;
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
    file_.rdbuf()->pubsetbuf(nullptr, 0);
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

    window_.resize(initial_window);
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
    return window_.data() + tag_start_ + tag_header_bytes;
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
        if (fill(tag_header_bytes) < tag_header_bytes) {
            return false;
        }
        buffer_reader header(window_.data() + window_begin_, tag_header_bytes);
        const flv_tag_header tag = flv_tag_header::read(header);
        type = tag.type;
        size = tag.body_size;
        time = tag.timestamp;

        const std::size_t whole = std::size_t{tag_header_bytes} + size;
        if (whole > static_cast<std::uint64_t>(file_size_)) {
            // A damaged size field: room for it would stay with the player
            // for nothing.
            return false;
        }
        const std::size_t held = fill(whole + previous_size_bytes);
        if (held < whole) {
            return false;
        }
        // A file cut right after a body still plays that tag; the next read
        // meets the end.
        tag_start_ = window_begin_;
        window_begin_ += std::min(held, whole + previous_size_bytes);
        remember_sequence_header(type, window_.data() + tag_start_ + tag_header_bytes, size);
        return true;
    } catch (const std::bad_alloc&) {
        // No memory for a tag this large.
        return false;
    }
}

std::size_t flv_stream_source::fill(std::size_t needed) {
    std::size_t held = window_end_ - window_begin_;
    if (held >= needed) {
        return held;
    }
    std::memmove(window_.data(), window_.data() + window_begin_, held);
    window_begin_ = 0;
    window_end_ = held;
    if (window_.size() < needed) {
        // Just past the tag (resize alone would double the room): the window
        // is what a player holds while idle.
        const std::size_t grown = (needed + window_step - 1) / window_step * window_step;
        window_.reserve(grown);
        window_.resize(grown);
    }
    file_.read(reinterpret_cast<char*>(window_.data() + window_end_),
               static_cast<std::streamsize>(window_.size() - window_end_));
    window_end_ += static_cast<std::size_t>(file_.gcount());
    // Short of the window at the end of the file: the next fill finds the
    // end again, or what a growing file has added by then.
    file_.clear();
    return window_end_;
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
        const std::uint8_t* body = window_.data() + tag_start_ + tag_header_bytes;
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

bool flv_stream_source::move_to(std::int64_t position) {
    window_begin_ = window_end_ = 0;
    file_.clear();
    file_.seekg(position);
    return !file_.fail();
}

}  // namespace rtmp
