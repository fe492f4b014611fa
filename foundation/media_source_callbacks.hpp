#pragma once

#include <cstdint>
#include <functional>

// What `read_tag` reports through its status when it returns no tag.
inline constexpr std::int32_t media_tag_read = 0;      // a tag came (status left as it was)
inline constexpr std::int32_t media_tag_later = 1;     // none yet: the source is still written
inline constexpr std::int32_t media_source_ended = 2;  // the end of the source

// A stored stream as the recorded-stream player reads it, bound to one
// source (an FLV file or a segment recording). Returned pointers stay valid
// until the next call to `read_tag`, `seek` or `release_buffer`; a null
// pointer means none, with size 0.
struct media_source_callbacks {
    // The AAC sequence header's body.
    std::function<const std::uint8_t*(std::uint32_t& size)> audio_config;
    // The AVC sequence header's body.
    std::function<const std::uint8_t*(std::uint32_t& size)> video_config;
    // The stored "onMetaData" data message.
    std::function<const std::uint8_t*(std::uint32_t& size)> metadata;
    // The next tag's body with its timestamp (ms) and FLV tag type; when
    // there is none, null and the status says why.
    std::function<const std::uint8_t*(std::uint32_t& size, std::uint32_t& timestamp,
                                      std::uint8_t& type, std::int32_t& status)>
        read_tag;
    // Positions the source at the keyframe at or before the time (ms) and
    // writes that keyframe's time back; false when it cannot seek.
    std::function<bool(std::uint32_t& ms)> seek;
    // Gives back the room the source reads tags into: the player calls it
    // after each run, so that one waiting for its next run holds none.
    // Reading goes on from where it was. May be empty.
    std::function<void()> release_buffer;
};
