#include "foundation/zpk_reader.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <system_error>

#include "foundation/buffer.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t flv_tag_header_bytes = flv_tag_header::size;
constexpr std::uint32_t flv_tag_trailer_bytes = flv_tag_header::trailer_size;
constexpr std::uint8_t video_tag = 9;
// A seek looks this many tags ahead for its keyframe, no further.
constexpr int seek_scan_tags = 1024;

}  // namespace

zpk_reader::zpk_reader(const std::filesystem::path& index_path) {
    // Taken before the load: a save in between then costs one extra reload
    // rather than a missed one.
    index_identity_ = identity_of(index_path);
    index_.load(index_path);
    folder_ = index_path.parent_path() / (index_path.stem().string() + ".segments");
    if (index_.live && index_.segments.size() >= 2) {
        // A viewer of a live recording starts near its end.
        current_ = static_cast<std::uint32_t>(index_.segments.size() - 2);
    }
}

const std::uint8_t* zpk_reader::audio_config(std::uint32_t& size) const {
    return config_body(index_.audio_configs, size);
}

const std::uint8_t* zpk_reader::video_config(std::uint32_t& size) const {
    return config_body(index_.video_configs, size);
}

const std::uint8_t* zpk_reader::metadata(std::uint32_t& size) const {
    size = static_cast<std::uint32_t>(index_.metadata.size());
    return size == 0 ? nullptr : reinterpret_cast<const std::uint8_t*>(index_.metadata.data());
}

const std::uint8_t* zpk_reader::read_tag(std::uint32_t& size, std::uint32_t& timestamp,
                                         std::uint8_t& type, std::int32_t& status) {
    tag found;
    try {
        if (next_tag(found, status)) {
            size = found.size;
            timestamp = found.timestamp;
            type = found.type;
            return body_;
        }
    } catch (const std::exception&) {
        // No memory for a huge tag: nothing more can be played.
        status = media_source_ended;
    }
    size = 0;
    return nullptr;
}

bool zpk_reader::seek(std::uint32_t& ms) {
    try {
        close_segment();
        if (index_.live) {
            reload();
            if (ms > index_.duration_ms) {
                if (index_.segments.empty()) {
                    return false;
                }
                current_ = static_cast<std::uint32_t>(index_.segments.size() - 1);
                ms = index_.segments.back().start_ms;
                return true;
            }
        }
        const auto found = index_.find_segment(ms);
        if (found) {
            current_ = found->segment;
        } else if (index_.segments.empty() && segment_exists(0)) {
            // Nothing listed yet: its first segment is being written, or
            // was when its writer was killed.
            current_ = 0;
        } else {
            return false;
        }

        const bool has_video = index_.video_codec != -1;
        std::optional<tag> keyframe;
        std::optional<tag> stop;
        tag next;
        std::int32_t status = media_tag_read;
        for (int scanned = 0; scanned < seek_scan_tags && next_tag(next, status); ++scanned) {
            if (has_video && next.type != video_tag) {
                continue;
            }
            const bool is_keyframe = has_video && next.size > 0 && body_[0] >> 4 == 1;
            if (next.timestamp >= ms) {
                // A keyframe right at the time is the one to start from.
                if (is_keyframe && next.timestamp == ms) {
                    keyframe = next;
                }
                stop = next;
                break;
            }
            if (is_keyframe) {
                keyframe = next;
            }
        }
        if (keyframe) {
            if (!position_at(*keyframe)) {
                return false;
            }
            ms = keyframe->timestamp;
        } else if (stop) {
            // Played from the tag the scan stopped at, not the one after it.
            ms = stop->timestamp;
            position_at(*stop);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool zpk_reader::next_tag(tag& found, std::int32_t& status) {
    for (;;) {
        if (read_from_current(found)) {
            return true;
        }
        // The current segment has ended, or is damaged or missing, or is
        // still being written.
        const auto listed = [this] { return current_ + 1 < index_.segments.size(); };
        if (!listed() && index_.live && !segment_exists(current_ + 1)) {
            // The recording may have ended since the index was read.
            reload_if_changed();
        }
        if (!listed() && !(index_.live && segment_exists(current_ + 1))) {
            // Stays on this segment, where the next tag will come from.
            status = index_.live ? media_tag_later : media_source_ended;
            return false;
        }
        if (reading_open_segment_) {
            // Its writer has moved on: what it wrote after our last read is
            // there now, and is read before the next segment.
            segment_size_ = file_size_of_current();
            reading_open_segment_ = false;
            if (read_from_current(found)) {
                return true;
            }
        }
        close_segment();
        ++current_;
    }
}

bool zpk_reader::read_from_current(tag& found) {
    if (!segment_.is_open() && !open_segment(current_)) {
        return false;
    }
    // Nothing is passed until the whole tag is there: one that is not (yet)
    // is read again from its start.
    const std::uint64_t offset = segment_.position();
    const auto header_bytes = segment_.fill(flv_tag_header_bytes);
    if (header_bytes.size() < flv_tag_header_bytes) {
        return false;
    }
    buffer_reader in(header_bytes.data(), flv_tag_header_bytes);
    const flv_tag_header tag = flv_tag_header::read(in);
    found.segment = current_;
    found.offset = offset;
    found.type = tag.type;
    found.size = tag.body_size;
    found.timestamp = tag.timestamp;
    const std::size_t whole =
        flv_tag_header_bytes + std::size_t{found.size} + flv_tag_trailer_bytes;
    const std::uint64_t end = offset + whole;
    if (end > segment_size_ && reading_open_segment_) {
        // Written to since it was opened.
        segment_size_ = file_size_of_current();
    }
    if (end > segment_size_) {
        // A damaged size (the tag would run past the file), or a tag of an
        // open segment not yet written whole.
        return false;
    }
    const auto bytes = segment_.fill(whole);
    if (bytes.size() < whole) {
        return false;
    }
    body_ = bytes.data() + flv_tag_header_bytes;
    segment_.advance(whole);
    return true;
}

bool zpk_reader::open_segment(std::uint32_t n) {
    close_segment();
    if (!segment_.open(segment_file_name(folder_ / std::to_string(n)))) {
        // Still being written, or left so by a writer that was killed: read
        // up to its last whole tag.
        reading_open_segment_ = segment_.open(open_segment_file_name(folder_ / std::to_string(n)));
    }
    if (segment_.is_open()) {
        segment_size_ = file_size_of_current();
        if (segment_size_ >= segment_header::size) {
            segment_.move_to(segment_header::size);
            return true;
        }
    }
    close_segment();
    return false;
}

bool zpk_reader::position_at(const tag& where) {
    if (where.segment != current_ || !segment_.is_open()) {
        if (!open_segment(where.segment)) {
            return false;
        }
        current_ = where.segment;
    }
    segment_.move_to(where.offset);
    return true;
}

void zpk_reader::close_segment() {
    segment_.close();
    reading_open_segment_ = false;
}

bool zpk_reader::segment_exists(std::uint32_t n) const {
    std::error_code error;
    const fs::path segment = folder_ / std::to_string(n);
    return fs::exists(segment_file_name(segment), error) ||
           fs::exists(open_segment_file_name(segment), error);
}

std::uint64_t zpk_reader::file_size_of_current() const {
    const std::int64_t size = segment_.file_size();
    return size < 0 ? segment_size_ : static_cast<std::uint64_t>(size);
}

void zpk_reader::release_buffer() noexcept {
    body_ = nullptr;
    segment_.release();
}

void zpk_reader::reload() {
    index_identity_ = identity_of(index_.path);
    index_.try_load();
}

void zpk_reader::reload_if_changed() {
    if (identity_of(index_.path) != index_identity_) {
        reload();
    }
}

zpk_reader::file_identity zpk_reader::identity_of(const std::filesystem::path& file) noexcept {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return {};
    }
    return {status.st_dev, status.st_ino, status.st_size,
            std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec};
}

const std::uint8_t* zpk_reader::config_body(const std::vector<zpk_config_entry>& configs,
                                            std::uint32_t& size) const {
    const zpk_config_entry* applies = nullptr;
    for (const auto& entry : configs) {
        if (entry.from_segment <= current_ &&
            (applies == nullptr || entry.from_segment >= applies->from_segment)) {
            applies = &entry;
        }
    }
    if (applies == nullptr || applies->tag.size() <= flv_tag_header_bytes + flv_tag_trailer_bytes) {
        size = 0;
        return nullptr;
    }
    size = static_cast<std::uint32_t>(applies->tag.size()) - flv_tag_header_bytes -
           flv_tag_trailer_bytes;
    return reinterpret_cast<const std::uint8_t*>(applies->tag.data()) + flv_tag_header_bytes;
}
