#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/file_window.hpp"
#include "foundation/media_source_callbacks.hpp"

namespace rtmp {

// An FLV file as the recorded-stream player reads it: the sequence headers
// and the onMetaData message found among the first tags, a seek index from
// that message's keyframes table, and then the tags one by one.
//
// A file whose first media arrives late (5001 ms or more) is shifted so that
// it plays from 0. Its public operations have the signatures of
// media_source_callbacks; returned pointers stay valid until the next
// read_tag, seek or release_buffer. Not locked: one caller at a time.
class flv_stream_source {
  public:
    // One entry of the seek index: a keyframe's time in the file's own
    // timeline (not shifted) and the file offset of its tag.
    struct keyframe {
        std::uint32_t time;
        std::int64_t position;
        bool operator==(const keyframe&) const = default;
    };

    // Throws std::runtime_error "It's not a FLV file" when the file does not
    // start with an FLV header of version 1, std::system_error when it cannot
    // be opened.
    explicit flv_stream_source(const std::filesystem::path& file);

    flv_stream_source(const flv_stream_source&) = delete;
    flv_stream_source& operator=(const flv_stream_source&) = delete;

    // The last AAC / AVC sequence header body met so far, and the onMetaData
    // data message; null with size 0 when there is none.
    const std::uint8_t* audio_config(std::uint32_t& size) const;
    const std::uint8_t* video_config(std::uint32_t& size) const;
    const std::uint8_t* metadata(std::uint32_t& size) const;

    // The next tag's body, its shifted time and its FLV tag type. At the end
    // of the file, or at a damaged tag, null with status media_source_ended;
    // the status is left alone when a tag is returned.
    const std::uint8_t* read_tag(std::uint32_t& size, std::uint32_t& timestamp, std::uint8_t& type,
                                 std::int32_t& status);

    // Moves to the indexed keyframe at or before `ms` (shifted timeline). On
    // a keyframe, or before the first one, `ms` is kept; between keyframes or
    // after the last one it becomes the keyframe's time. False without an
    // index.
    bool seek(std::uint32_t& ms);

    // Gives back the room the file is read into (what was read ahead, and
    // the last tag); reading goes on from where it was.
    void release_buffer() noexcept;

    std::uint32_t start_offset() const noexcept { return start_offset_; }
    const std::vector<keyframe>& keyframes() const noexcept { return keyframes_; }

  private:
    // The next tag, at tag_ (its header, then its body); false at the end of
    // the file or at a tag that is cut short.
    bool next_tag(std::uint32_t& size, std::uint32_t& time, std::uint8_t& type);
    void remember_sequence_header(std::uint8_t type, const std::uint8_t* body, std::uint32_t size);
    void scan_first_tags();
    // A time of the file in the timeline played: earlier times become 0.
    std::uint32_t shifted(std::uint32_t time) const noexcept {
        return time > start_offset_ ? time - start_offset_ : 0;
    }
    void load_keyframes();

    file_window file_;
    std::int64_t file_size_ = 0;
    // The tag read last, in the window.
    const std::uint8_t* tag_ = nullptr;
    std::string video_header_;
    std::string audio_header_;
    std::string metadata_;
    std::uint32_t start_offset_ = 0;
    std::vector<keyframe> keyframes_;
};

}  // namespace rtmp
