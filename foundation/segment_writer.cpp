#include "foundation/segment_writer.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "foundation/buffer.hpp"
#include "foundation/decoded_metadata.hpp"
#include "foundation/file_io.hpp"
#include "foundation/replace_file.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

constexpr std::uint32_t segment_length_ms = 10000;
// Keeps a resumed recording's first tag after its last one.
constexpr std::uint32_t resume_gap_ms = 40;
constexpr std::uint32_t flv_tag_overhead = flv_tag_header::size + flv_tag_header::trailer_size;
constexpr std::uint32_t max_tag_body = 0xFFFFFF;
// A write's worth: what flush() would write, the writer writes by itself.
constexpr std::uint32_t flush_bytes = 256 * 1024;
constexpr std::size_t flush_tags = 256;
// What ending a recording may add to its index (the metadata's duration, a
// start time) besides the segment it closes.
constexpr std::uint32_t end_room = 64;

constexpr std::uint8_t avc_keyframe = 0x17;
constexpr std::uint8_t aac_format = 10;
constexpr std::string_view avc_end_of_sequence = "\x17\x02\x00\x00\x00"sv;
// AMF0 string "onAVFormatChanged" and null: tells a player that the
// sequence header which follows replaces the one it has.
constexpr std::string_view av_format_changed = "\x02\x00\x11onAVFormatChanged\x05"sv;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view text_of(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A sequence header as the index keeps it: a whole FLV tag at time 0.
std::string config_tag(std::uint8_t type, std::span<const std::uint8_t> body) {
    own_buffer_writer out;
    flv_tag_header{type, static_cast<std::uint32_t>(body.size()), 0}.write(out);
    out.write_string(text_of(body));
    out.write_u32_be(static_cast<std::uint32_t>(body.size()) + flv_tag_header::size);
    return {reinterpret_cast<const char*>(out.data), out.size};
}

bool keyframe(std::uint8_t first_byte) {
    return first_byte >> 4 == 1;
}

// The body and what keeps it until it is written: the caller's owner, or a
// copy when the caller keeps it only for the call.
std::shared_ptr<const void> keep(std::span<const std::uint8_t>& body,
                                 std::shared_ptr<const void> owner) {
    if (owner == nullptr) {
        auto copy = std::make_shared<const std::vector<std::uint8_t>>(body.begin(), body.end());
        body = *copy;
        owner = std::move(copy);
    }
    return owner;
}

}  // namespace

segment_writer::segment_writer(const std::filesystem::path& dir, std::string_view name, bool live,
                               bool overwrite)
    : dir_(dir),
      name_(name),
      folder_(segment_dir_path(dir / name_, ".segments")),
      index_path_(segment_dir_path(dir / name_, live ? ".livesegments" : ".zpksegments")),
      index_file_(std::make_shared<segment_index_file>(index_path_)) {
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
    } else {
        index_.new_recording_id();
    }
    std::error_code error;
    fs::create_directories(folder_, error);
    if (error || !fs::is_directory(folder_, error)) {
        throw std::runtime_error("Can't create directory for segments");
    }
    if (exists && !overwrite) {
        // What a writer that was killed had written beyond its last save.
        take_back_segments(index_, folder_, true);
    }
    index_.live = live;
    time_base_ = index_.segments.empty() ? 0 : index_.duration_ms + resume_gap_ms;
    if (live) {
        // A recording can be found from its first moment on.
        save_index();
        saved_count_ = static_cast<std::uint32_t>(index_.segments.size());
    }
}

segment_writer::~segment_writer() {
    try {
        close_segment(true);
    } catch (const std::exception&) {
        // The segment stays open on disk, for the next writer to take back;
        // what was closed is saved below.
    }
    try {
        finish();
    } catch (const std::exception&) {
    }
}

std::filesystem::path segment_writer::segment_path(std::uint32_t n) const {
    return segment_file_name(folder_ / std::to_string(n));
}

void segment_writer::on_video(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                              std::shared_ptr<const void> owner) {
    check_not_failed();
    if (body.empty()) {
        return;
    }
    owner = keep(body, std::move(owner));
    video(timestamp, body, std::move(owner));
}

void segment_writer::video(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                           std::shared_ptr<const void> owner) {
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
    write_tag(tag_type::video, t, body, std::move(owner));
    ++segment_tags_;
}

void segment_writer::on_audio(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                              std::shared_ptr<const void> owner) {
    check_not_failed();
    if (body.empty()) {
        return;
    }
    owner = keep(body, std::move(owner));
    audio(timestamp, body, std::move(owner));
}

void segment_writer::audio(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                           std::shared_ptr<const void> owner) {
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
    write_tag(tag_type::audio, t, body, std::move(owner));
    ++segment_tags_;
}

void segment_writer::on_data(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                             std::shared_ptr<const void> owner) {
    check_not_failed();
    owner = keep(body, std::move(owner));
    write_tag(tag_type::data, rebase(timestamp), body, std::move(owner));
    const std::string_view message = text_of(body);
    if (is_metadata_message(message) && index_.metadata != message) {
        index_.metadata = message;
        save_index();
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
    } else {
        save_index();
    }
    if (video) {
        video_config_changed_ = true;
        write_tag(tag_type::video, t, bytes_of(avc_end_of_sequence), nullptr);
    } else {
        audio_config_changed_ = true;
    }
    if (!format_change_written_) {
        write_tag(tag_type::data, t, bytes_of(av_format_changed), nullptr);
        format_change_written_ = true;
    }
}

void segment_writer::write_tag(tag_type type, std::uint32_t t, std::span<const std::uint8_t> body,
                               std::shared_ptr<const void> owner) {
    if (body.size() > max_tag_body) {
        throw std::length_error("Tag too large");
    }
    if (!segment_) {
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
    pending_.push_back({type, t, body, std::move(owner)});
    pending_bytes_ += tag_bytes;
    last_timestamp_ = t;
    segment_bytes_ += tag_bytes;
    if (pending_bytes_ >= flush_bytes || pending_.size() >= flush_tags) {
        flush();
    }
}

void segment_writer::flush() {
    if (pending_.empty()) {
        return;
    }
    // Written or not, the tags go: a segment whose write failed is not
    // written to again. Their bodies stay until the write is over.
    writing_.swap(pending_);
    pending_bytes_ = 0;
    framing_.resize(std::size_t{flv_tag_overhead} * writing_.size());
    pieces_.clear();
    std::uint8_t* at = framing_.data();
    for (const pending_tag& tag : writing_) {
        const auto size = static_cast<std::uint32_t>(tag.body.size());
        buffer_writer out(at, flv_tag_overhead);
        flv_tag_header{static_cast<std::uint8_t>(tag.type), size, tag.timestamp}.write(out);
        out.write_u32_be(size + flv_tag_header::size);
        pieces_.push_back({at, flv_tag_header::size});
        if (size > 0) {
            pieces_.push_back({const_cast<std::uint8_t*>(tag.body.data()), size});
        }
        pieces_.push_back({at + flv_tag_header::size, flv_tag_header::trailer_size});
        at += flv_tag_overhead;
    }
    struct release_bodies {
        std::vector<pending_tag>& tags;
        ~release_bodies() { tags.clear(); }
    } release{writing_};
    write_gathered(segment_.get(), pieces_, segment_file_);
}

void segment_writer::start_segment() {
    close_segment(false);
    if (!segment_) {
        if (!room_for_another_segment()) {
            // The recording ends with what it has: every closed segment
            // listed, the index within what any reader loads.
            index_full_ = true;
            end(0, false);
            check_not_failed();
        }
        const auto n = static_cast<std::uint32_t>(index_.segments.size());
        segment_file_ = open_segment_file_name(folder_ / std::to_string(n));
        segment_.reset(
            ::open(segment_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!segment_) {
            throw_file_error("Can't create file", segment_file_);
        }
        // The header's room, written over when the segment closes.
        std::uint8_t room_for_header[segment_header::size] = {};
        std::vector<iovec> room{{room_for_header, sizeof room_for_header}};
        write_gathered(segment_.get(), room, segment_file_);
        segment_bytes_ = 0;
    }
    if (index_.segments.size() > saved_count_) {
        save_index();
        saved_count_ = static_cast<std::uint32_t>(index_.segments.size());
    }
}

bool segment_writer::room_for_another_segment() const {
    // The segments listed, the one to open, and what ending adds.
    const std::uint64_t bytes =
        index_.encode_head().size() + segment_index_count_bytes +
        std::uint64_t{segment_index_entry_bytes} * (index_.segments.size() + 1) + end_room;
    return bytes <= segment_index_max_bytes;
}

void segment_writer::close_segment(bool final) {
    if (!segment_) {
        return;
    }
    if (segment_bytes_ > 0) {
        flush();
        segment_header header;
        header.data_bytes = segment_bytes_;
        header.video_config_changed = video_config_changed_;
        header.audio_config_changed = audio_config_changed_;
        header.start_ms = segment_start_;
        header.duration_ms = last_timestamp_ - segment_start_;
        std::uint8_t bytes[segment_header::size];
        header.write(bytes);
        write_at(segment_.get(), bytes, 0, segment_file_);
        segment_.reset();
        const auto n = static_cast<std::uint32_t>(index_.segments.size());
        fs::rename(segment_file_, segment_path(n));
        index_.segments.push_back({segment_start_, segment_bytes_, header.duration_ms});
        segment_bytes_ = 0;
        segment_tags_ = 0;
    } else if (final) {
        segment_.reset();
        fs::remove(segment_file_);
    }
    video_config_changed_ = false;
    audio_config_changed_ = false;
    format_change_written_ = false;
}

void segment_writer::run(file_work work) {
    if (defer_) {
        defer_(std::move(work));
    } else {
        work();
    }
}

void segment_writer::save_index() {
    if (auto update = index_updates_.next(index_)) {
        run([file = index_file_, update = std::move(*update)] { file->apply(update); });
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
    const fs::path vod = segment_dir_path(base, ".zpksegments");
    const fs::path live = segment_dir_path(base, ".livesegments");
    auto update = index_updates_.next(index_);
    std::string bytes = index_.encode();
    saved_count_ = static_cast<std::uint32_t>(index_.segments.size());
    run([file = index_file_, update = std::move(update), bytes = std::move(bytes), vod, live,
         marker = segment_dir_path(base, ".stopped")] {
        // The ended index under its own name first, then under the other.
        if (file->path() == vod && update) {
            file->apply(*update);
        }
        replace_file(file->path() == vod ? live : vod, bytes);
        if (file->path() == live && update) {
            file->apply(*update);
        }
        std::ofstream stopped;
        stopped.exceptions(std::ios::badbit | std::ios::failbit);
        stopped.open(marker, std::ios::binary | std::ios::out);
    });
}

void segment_writer::finish() {
    if (index_.segments.empty()) {
        run([folder = folder_, index = index_path_] {
            fs::remove_all(folder);
            fs::remove(index);
        });
    } else {
        save_index();
    }
}

void segment_writer::check_not_failed() const {
    if (too_large_) {
        throw std::runtime_error("Segment too large");
    }
    if (index_full_) {
        throw std::runtime_error("Index is full");
    }
}
