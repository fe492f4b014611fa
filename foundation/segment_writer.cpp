#include "foundation/segment_writer.hpp"

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "foundation/buffer.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

constexpr std::uint32_t segment_length_ms = 10000;
// Keeps a resumed recording's first tag after its last one.
constexpr std::uint32_t resume_gap_ms = 40;
constexpr std::uint32_t flv_tag_header_bytes = 11;
constexpr std::uint32_t flv_tag_overhead = flv_tag_header_bytes + 4;
constexpr std::uint32_t max_tag_body = 0xFFFFFF;

constexpr std::uint8_t avc_keyframe = 0x17;
constexpr std::uint8_t aac_format = 10;
constexpr std::string_view avc_end_of_sequence = "\x17\x02\x00\x00\x00"sv;
// AMF0 string "onAVFormatChanged" and null: tells a player that the
// sequence header which follows replaces the one it has.
constexpr std::string_view av_format_changed = "\x02\x00\x11onAVFormatChanged\x05"sv;
constexpr std::string_view metadata_prefix = "\x02\x00\x0AonMetaData"sv;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view text_of(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void write_tag_header(buffer_writer& out, std::uint8_t type, std::uint32_t body_size,
                      std::uint32_t timestamp) {
    out.write_u8(type);
    out.write_u8(static_cast<std::uint8_t>(body_size >> 16));
    out.write_u16_be(static_cast<std::uint16_t>(body_size));
    out.write_u8(static_cast<std::uint8_t>(timestamp >> 16));
    out.write_u16_be(static_cast<std::uint16_t>(timestamp));
    out.write_u8(static_cast<std::uint8_t>(timestamp >> 24));
    out.write_u8(0);
    out.write_u16_be(0);
}

// A sequence header as the index keeps it: a whole FLV tag at time 0.
std::string config_tag(std::uint8_t type, std::span<const std::uint8_t> body) {
    own_buffer_writer out;
    write_tag_header(out, type, static_cast<std::uint32_t>(body.size()), 0);
    out.write_string(text_of(body));
    out.write_u32_be(static_cast<std::uint32_t>(body.size()) + flv_tag_header_bytes);
    return {reinterpret_cast<const char*>(out.data), out.size};
}

bool keyframe(std::uint8_t first_byte) {
    return first_byte >> 4 == 1;
}

}  // namespace

segment_writer::segment_writer(const std::filesystem::path& dir, std::string_view name, bool live,
                               bool overwrite)
    : dir_(dir),
      name_(name),
      folder_(segment_dir_path(dir / name_, ".segments")),
      index_path_(segment_dir_path(dir / name_, live ? ".livesegments" : ".zpksegments")) {
    segment_.exceptions(std::ios::badbit | std::ios::failbit);
    const bool exists = fs::exists(index_path_);
    if (exists && overwrite) {
        fs::remove(index_path_);
        fs::remove_all(folder_);
    }
    if (exists && !overwrite) {
        index_.load(index_path_);
        if (live && !index_.live) {
            throw std::runtime_error("Can't record to an ended stream");
        }
        adopt_closed_segments();
    } else {
        index_.new_recording_id();
    }
    std::error_code error;
    fs::create_directories(folder_, error);
    if (error || !fs::is_directory(folder_, error)) {
        throw std::runtime_error("Can't create directory for segments");
    }
    index_.live = live;
    time_base_ = index_.segments.empty() ? 0 : index_.duration_ms + resume_gap_ms;
}

segment_writer::~segment_writer() {
    try {
        close_segment(true);
    } catch (const std::exception&) {
        // The segment stays unfinished; what was closed is saved below.
    }
    try {
        finish();
    } catch (const std::exception&) {
    }
}

std::filesystem::path segment_writer::segment_path(std::uint32_t n) const {
    return segment_file_name(folder_ / std::to_string(n));
}

void segment_writer::on_video(std::uint32_t timestamp, std::span<const std::uint8_t> body) {
    check_not_failed();
    if (body.empty()) {
        return;
    }
    const std::uint8_t first = body[0];
    if (index_.video_codec == -1) {
        index_.video_codec = static_cast<std::int8_t>(first & 0x0F);
    }
    const std::uint32_t t = rebase(timestamp);
    if (wait_keyframe_) {
        // A decoder can start nowhere before the first keyframe.
        if (!keyframe(first)) {
            return;
        }
        wait_keyframe_ = false;
    }
    if (first == avc_keyframe && body.size() > 1 && body[1] == 0) {
        config_changed(tag_type::video, t, body);
    } else if (keyframe(first) && due_for_cut(t)) {
        start_segment();
    }
    write_tag(tag_type::video, t, body);
    ++segment_tags_;
}

void segment_writer::on_audio(std::uint32_t timestamp, std::span<const std::uint8_t> body) {
    check_not_failed();
    if (body.empty()) {
        return;
    }
    const std::uint8_t format = body[0] >> 4;
    if (index_.audio_format == -1) {
        index_.audio_format = static_cast<std::int8_t>(format);
    }
    const std::uint32_t t = rebase(timestamp);
    if (format == aac_format && body.size() > 1 && body[1] == 0) {
        config_changed(tag_type::audio, t, body);
    } else if (index_.video_codec == -1 && due_for_cut(t)) {
        start_segment();
    }
    write_tag(tag_type::audio, t, body);
    ++segment_tags_;
}

void segment_writer::on_data(std::uint32_t timestamp, std::span<const std::uint8_t> body) {
    check_not_failed();
    write_tag(tag_type::data, rebase(timestamp), body);
    const std::string_view message = text_of(body);
    if (message.size() > metadata_prefix.size() && message.starts_with(metadata_prefix)) {
        index_.metadata = message;
    }
}

void segment_writer::end_as_vod() {
    end(0, false);
}

void segment_writer::end_as_fake_live() {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    end(static_cast<std::uint32_t>(now.count()) - index_.duration_ms / 1000, true);
}

std::uint32_t segment_writer::rebase(std::uint32_t timestamp) {
    if (first_pending_) {
        first_timestamp_ = timestamp;
        first_pending_ = false;
    }
    return time_base_ + (timestamp - first_timestamp_);
}

bool segment_writer::due_for_cut(std::uint32_t t) const {
    return t - segment_start_ > segment_length_ms;
}

void segment_writer::config_changed(tag_type type, std::uint32_t t,
                                    std::span<const std::uint8_t> header) {
    const bool video = type == tag_type::video;
    // A publisher sends both headers back to back: the second one joins the
    // segment that the first one began.
    const bool only_other_changed = video ? audio_config_changed_ && !video_config_changed_
                                          : video_config_changed_ && !audio_config_changed_;
    const bool cut = segment_tags_ > 0 && !only_other_changed;
    // Registered with the segment that begins with it, so that a player
    // starting there decodes it with this configuration.
    const auto first_segment = static_cast<std::uint32_t>(index_.segments.size()) + (cut ? 1 : 0);
    const std::string tag = config_tag(static_cast<std::uint8_t>(type), header);
    if (!(video ? index_.add_video_config(tag, first_segment)
                : index_.add_audio_config(tag, first_segment))) {
        return;
    }
    if (cut) {
        start_segment();
    }
    if (video) {
        video_config_changed_ = true;
        write_tag(tag_type::video, t, bytes_of(avc_end_of_sequence));
    } else {
        audio_config_changed_ = true;
    }
    if (!format_change_written_) {
        write_tag(tag_type::data, t, bytes_of(av_format_changed));
        format_change_written_ = true;
    }
}

void segment_writer::write_tag(tag_type type, std::uint32_t t, std::span<const std::uint8_t> body) {
    if (body.size() > max_tag_body) {
        throw std::length_error("Tag too large");
    }
    if (!segment_.is_open()) {
        start_segment();
    }
    const auto tag_bytes = static_cast<std::uint32_t>(body.size()) + flv_tag_overhead;
    if (tag_bytes > segment_header::max_file_bytes - segment_header::size - segment_bytes_) {
        // The header's size word could not hold it.
        too_large_ = true;
        check_not_failed();
    }
    if (segment_bytes_ == 0) {
        segment_start_ = t;
    }
    if (t > index_.duration_ms && static_cast<std::int32_t>(t) >= 0) {
        index_.duration_ms = t;
    }
    std::uint8_t header[flv_tag_header_bytes];
    buffer_writer header_out(header, sizeof header);
    write_tag_header(header_out, static_cast<std::uint8_t>(type),
                     static_cast<std::uint32_t>(body.size()), t);
    std::uint8_t trailer[4];
    buffer_writer trailer_out(trailer, sizeof trailer);
    trailer_out.write_u32_be(static_cast<std::uint32_t>(body.size()) + flv_tag_header_bytes);

    segment_.write(reinterpret_cast<const char*>(header), sizeof header);
    segment_.write(reinterpret_cast<const char*>(body.data()),
                   static_cast<std::streamsize>(body.size()));
    segment_.write(reinterpret_cast<const char*>(trailer), sizeof trailer);
    last_timestamp_ = t;
    segment_bytes_ += tag_bytes;
}

void segment_writer::start_segment() {
    close_segment(false);
    if (!segment_.is_open()) {
        const auto n = static_cast<std::uint32_t>(index_.segments.size());
        segment_file_ = segment_dir_path(segment_path(n), "0");
        segment_.open(segment_file_, std::ios::binary | std::ios::out | std::ios::trunc);
        const char room_for_header[segment_header::size] = {};
        segment_.write(room_for_header, sizeof room_for_header);
        segment_bytes_ = 0;
    }
    if (index_.segments.size() > saved_count_) {
        index_.save(index_path_);
        saved_count_ = static_cast<std::uint32_t>(index_.segments.size());
    }
}

void segment_writer::close_segment(bool final) {
    if (!segment_.is_open()) {
        return;
    }
    if (segment_bytes_ > 0) {
        segment_header header;
        header.data_bytes = segment_bytes_;
        header.video_config_changed = video_config_changed_;
        header.audio_config_changed = audio_config_changed_;
        header.start_ms = segment_start_;
        header.duration_ms = last_timestamp_ - segment_start_;
        std::uint8_t bytes[segment_header::size];
        header.write(bytes);
        segment_.seekp(0);
        segment_.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
        segment_.close();
        const auto n = static_cast<std::uint32_t>(index_.segments.size());
        fs::rename(segment_file_, segment_path(n));
        index_.segments.push_back({segment_start_, segment_bytes_, header.duration_ms});
        segment_bytes_ = 0;
        segment_tags_ = 0;
    } else if (final) {
        segment_.close();
        fs::remove(segment_file_);
    }
    video_config_changed_ = false;
    audio_config_changed_ = false;
    format_change_written_ = false;
}

void segment_writer::adopt_closed_segments() {
    // A writer that was killed after closing a segment but before saving
    // the index leaves that segment complete on disk; take it back.
    for (;;) {
        const fs::path file = segment_path(static_cast<std::uint32_t>(index_.segments.size()));
        std::ifstream in(file, std::ios::binary);
        std::uint8_t bytes[segment_header::size];
        if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
            return;
        }
        const segment_header header = segment_header::read(bytes);
        std::error_code error;
        const auto file_bytes = fs::file_size(file, error);
        if (error || header.data_bytes == 0 ||
            file_bytes != std::uintmax_t{header.data_bytes} + segment_header::size) {
            return;
        }
        if (!index_.segments.empty()) {
            index_.segments.back().duration_ms = header.start_ms - index_.segments.back().start_ms;
        }
        index_.segments.push_back({header.start_ms, header.data_bytes, header.duration_ms});
        const std::uint32_t end = header.start_ms + header.duration_ms;
        if (end > index_.duration_ms && static_cast<std::int32_t>(end) >= 0) {
            index_.duration_ms = end;
        }
    }
}

void segment_writer::end(std::uint32_t start_time, bool has_start_time) {
    index_.live = false;
    if (has_start_time) {
        index_.has_start_time = true;
        index_.start_time = start_time;
    }
    index_.set_metadata_duration();
    close_segment(true);
    const fs::path base = dir_ / name_;
    index_.save(segment_dir_path(base, ".zpksegments"));
    index_.save(segment_dir_path(base, ".livesegments"));
    std::ofstream marker;
    marker.exceptions(std::ios::badbit | std::ios::failbit);
    marker.open(segment_dir_path(base, ".stopped"), std::ios::binary | std::ios::out);
}

void segment_writer::finish() {
    if (index_.segments.empty()) {
        fs::remove_all(folder_);
        fs::remove(index_path_);
    } else {
        index_.save(index_path_);
    }
}

void segment_writer::check_not_failed() const {
    if (too_large_) {
        throw std::runtime_error("Segment too large");
    }
}
