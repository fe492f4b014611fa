#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/segment_index.hpp"
#include "foundation/segment_index_file.hpp"
#include "foundation/unique_fd.hpp"

// Records a stream of FLV message bodies as a segment recording: a new
// segment at the first video keyframe more than 10 s after the open
// segment's first tag (any audio message, for a recording without video),
// and at a changed sequence header, which the index keeps for players that
// start at a later segment.
//
// What it takes reaches the open segment's file a write at a time (flush(),
// and by itself once about a write's worth waits), never later: a recording
// that is killed keeps what was written of its open segment, which the next
// writer of the name (take_back_segments) closes and lists. A live
// recording's index exists from the start and is saved whenever a segment
// has been closed, or a sequence header or the metadata changed; a live
// recording that is not ended stays resumable: the next live writer of the
// same name continues its numbering and its timeline.
//
// The slow file work of a cut (the index save and its sync) and of an end
// can be handed to another thread (defer_file_work); it is then done in the
// order given, after the writer has moved on.
//
// Not locked: the caller sends one message at a time.
class segment_writer {
  public:
    using file_work = std::function<void()>;

    // Throws "Can't record to an ended stream" (a live writer over a
    // recording that has ended), "Can't create directory for segments",
    // and the index's load and save errors.
    segment_writer(const std::filesystem::path& dir, std::string_view name, bool live,
                   bool overwrite);
    // Writes what it has, closes the open segment and saves the index; a
    // writer that recorded nothing removes the files it made. Errors here
    // are dropped.
    ~segment_writer();

    segment_writer(const segment_writer&) = delete;
    segment_writer& operator=(const segment_writer&) = delete;

    // One FLV message body each, without its tag header; copied unless
    // `owner` keeps the body as it is until it has been written. File errors
    // surface as std::filesystem::filesystem_error; a segment that would
    // reach segment_header::max_file_bytes fails the recording with "Segment
    // too large", and an index that could not list another segment ends it
    // (as end_as_vod) with "Index is full": this message and every later one
    // throw, and what was written stays readable.
    void on_video(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                  std::shared_ptr<const void> owner = nullptr);
    void on_audio(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                  std::shared_ptr<const void> owner = nullptr);
    void on_data(std::uint32_t timestamp, std::span<const std::uint8_t> body,
                 std::shared_ptr<const void> owner = nullptr);

    // Writes the tags taken so far to the open segment, in one write.
    void flush();

    // End the recording: it is no longer live, both index files hold it and
    // the ".stopped" marker is made. Fake live also gives it a start time
    // of now minus its duration. Calling either again saves again.
    void end_as_vod();
    void end_as_fake_live();

    // From now on the index saves, and the other slow file work, are handed
    // to `to`, which runs them in the order given; one that throws leaves
    // the files as the last one that did not. The work holds what it needs
    // and may run after the writer is gone.
    void defer_file_work(std::function<void(file_work)> to) { defer_ = std::move(to); }

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

    // A tag taken but not yet written; its body stays where `owner` keeps
    // it (static storage, for the writer's own tags without one).
    struct pending_tag {
        tag_type type;
        std::uint32_t timestamp;
        std::span<const std::uint8_t> body;
        std::shared_ptr<const void> owner;
    };

    void video(std::uint32_t timestamp, std::span<const std::uint8_t> body,
               std::shared_ptr<const void> owner);
    void audio(std::uint32_t timestamp, std::span<const std::uint8_t> body,
               std::shared_ptr<const void> owner);
    std::uint32_t rebase(std::uint32_t timestamp);
    bool due_for_cut(std::uint32_t t) const;
    void config_changed(tag_type type, std::uint32_t t, std::span<const std::uint8_t> header);
    void write_tag(tag_type type, std::uint32_t t, std::span<const std::uint8_t> body,
                   std::shared_ptr<const void> owner);
    void start_segment();
    bool room_for_another_segment() const;
    void close_segment(bool final);
    void save_index();
    void run(file_work work);
    void end(std::uint32_t start_time, bool has_start_time);
    void finish();
    void check_not_failed() const;

    std::filesystem::path dir_;
    std::string name_;
    std::filesystem::path folder_;
    std::filesystem::path index_path_;
    segment_index index_;
    std::shared_ptr<segment_index_file> index_file_;
    segment_index_updates index_updates_;
    std::function<void(file_work)> defer_;

    unique_fd segment_;
    std::filesystem::path segment_file_;  // of the open segment, while written
    std::vector<pending_tag> pending_;
    std::uint32_t pending_bytes_ = 0;
    // flush()'s, kept for their room.
    std::vector<pending_tag> writing_;
    std::vector<std::uint8_t> framing_;
    std::vector<iovec> pieces_;

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
    bool index_full_ = false;
};
