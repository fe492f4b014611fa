#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "foundation/file_window.hpp"
#include "foundation/media_source_callbacks.hpp"
#include "foundation/segment_index.hpp"

// Plays a segment recording back tag by tag. A recording that is still
// live is followed as it is written, its open segment up to its last whole
// tag, and its end is noticed when the index says it is no longer live; a
// segment that a killed writer left open is read up to its last whole tag
// too. Damaged or missing segments are skipped. Its public operations have
// the signatures of media_source_callbacks; returned pointers stay valid
// until the next read_tag, seek or release_buffer.
//
// Not locked: one caller at a time.
class zpk_reader {
  public:
    // Throws what segment_index::load throws.
    explicit zpk_reader(const std::filesystem::path& index_path);

    zpk_reader(const zpk_reader&) = delete;
    zpk_reader& operator=(const zpk_reader&) = delete;

    // The body of the sequence header that applies to the current segment.
    const std::uint8_t* audio_config(std::uint32_t& size) const;
    const std::uint8_t* video_config(std::uint32_t& size) const;
    // The stored "onMetaData" message.
    const std::uint8_t* metadata(std::uint32_t& size) const;

    // The next tag's body; null with status media_tag_later (a live
    // recording has nothing further written yet) or media_source_ended.
    // The status is left alone when a tag is returned.
    const std::uint8_t* read_tag(std::uint32_t& size, std::uint32_t& timestamp, std::uint8_t& type,
                                 std::int32_t& status);

    // Moves to the video keyframe at or before `ms` (to the first tag at or
    // after it, for a recording without video) and writes its time back.
    bool seek(std::uint32_t& ms);

    // Gives back the room segments are read into (what was read ahead, and
    // the last tag); reading goes on from where it was.
    void release_buffer() noexcept;

    const segment_index& index() const noexcept { return index_; }
    std::uint32_t current_segment() const noexcept { return current_; }

  private:
    // Tells a rewritten index from the one loaded (a save renames a new file
    // over it).
    struct file_identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modified_ns = 0;
        bool operator==(const file_identity&) const = default;
    };
    static file_identity identity_of(const std::filesystem::path& file) noexcept;

    struct tag {
        std::uint32_t segment;
        std::uint64_t offset;  // of its header in the segment file
        std::uint8_t type;
        std::uint32_t timestamp;
        std::uint32_t size;
    };

    bool next_tag(tag& found, std::int32_t& status);
    bool read_from_current(tag& found);
    bool open_segment(std::uint32_t n);
    bool position_at(const tag& where);
    void close_segment();
    // Closed, or open.
    bool segment_exists(std::uint32_t n) const;
    std::uint64_t file_size_of_current() const;
    void reload();
    void reload_if_changed();
    const std::uint8_t* config_body(const std::vector<zpk_config_entry>& configs,
                                    std::uint32_t& size) const;

    segment_index index_;
    file_identity index_identity_;
    std::filesystem::path folder_;
    std::uint32_t current_ = 0;
    // The current segment's file.
    file_window segment_;
    std::uint64_t segment_size_ = 0;
    // The current segment is read under its open name: it may grow.
    bool reading_open_segment_ = false;
    // The body of the tag read last, in the segment's window.
    const std::uint8_t* body_ = nullptr;
};
