#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>

#include "foundation/segment_index.hpp"

// Records a stream of FLV message bodies as a segment recording: a new
// segment at the first video keyframe more than 10 s after the open
// segment's first tag (any audio message, for a recording without video),
// and at a changed sequence header, which the index keeps for players that
// start at a later segment.
//
// The index is saved whenever a segment has been closed, so a recording
// interrupted by a crash loses at most the segment it was writing. A live
// recording that is not ended stays resumable: the next live writer of the
// same name continues its numbering and its timeline.
//
// Not locked: the caller sends one message at a time.
class segment_writer {
  public:
    // Throws "Can't record to an ended stream" (a live writer over a
    // recording that has ended), "Can't create directory for segments",
    // and the index's load errors.
    segment_writer(const std::filesystem::path& dir, std::string_view name, bool live,
                   bool overwrite);
    // Closes the open segment and saves the index; a writer that recorded
    // nothing removes the files it made. Errors here are dropped.
    ~segment_writer();

    segment_writer(const segment_writer&) = delete;
    segment_writer& operator=(const segment_writer&) = delete;

    // One FLV message body each, without its tag header. File errors
    // surface as std::ios_base::failure; a segment that would reach
    // segment_header::max_file_bytes fails the recording with "Segment too
    // large" (this message and every later one), leaving what was written
    // readable.
    void on_video(std::uint32_t timestamp, std::span<const std::uint8_t> body);
    void on_audio(std::uint32_t timestamp, std::span<const std::uint8_t> body);
    void on_data(std::uint32_t timestamp, std::span<const std::uint8_t> body);

    // End the recording: it is no longer live, both index files hold it and
    // the ".stopped" marker is made. Fake live also gives it a start time
    // of now minus its duration. Calling either again saves again.
    void end_as_vod();
    void end_as_fake_live();

    // The "onMetaData" message kept in the index (replaced by every such
    // data message); end_as_vod/end_as_fake_live set its duration.
    const std::string& metadata() const noexcept { return index_.metadata; }
    void set_metadata(std::string message) { index_.metadata = std::move(message); }

    const segment_index& index() const noexcept { return index_; }
    const std::filesystem::path& index_path() const noexcept { return index_path_; }
    const std::filesystem::path& segment_folder() const noexcept { return folder_; }

    // Closed segment n; while written it has ".zpksegment0" instead.
    std::filesystem::path segment_path(std::uint32_t n) const;

  private:
    enum class tag_type : std::uint8_t { audio = 8, video = 9, data = 18 };

    std::uint32_t rebase(std::uint32_t timestamp);
    bool due_for_cut(std::uint32_t t) const;
    void config_changed(tag_type type, std::uint32_t t, std::span<const std::uint8_t> header);
    void write_tag(tag_type type, std::uint32_t t, std::span<const std::uint8_t> body);
    void start_segment();
    void close_segment(bool final);
    void adopt_closed_segments();
    void end(std::uint32_t start_time, bool has_start_time);
    void finish();
    void check_not_failed() const;

    std::filesystem::path dir_;
    std::string name_;
    std::filesystem::path folder_;
    std::filesystem::path index_path_;
    segment_index index_;
    std::ofstream segment_;
    std::filesystem::path segment_file_;  // of the open segment, while written

    std::uint32_t time_base_ = 0;
    std::uint32_t first_timestamp_ = 0;
    bool first_pending_ = true;
    bool wait_keyframe_ = true;
    std::uint32_t segment_bytes_ = 0;
    std::uint32_t segment_start_ = 0;
    std::uint32_t last_timestamp_ = 0;
    std::uint32_t segment_tags_ = 0;
    bool video_config_changed_ = false;
    bool audio_config_changed_ = false;
    bool format_change_written_ = false;
    std::uint32_t saved_count_ = 0;
    bool too_large_ = false;
};
