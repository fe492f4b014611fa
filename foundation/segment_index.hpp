#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/buffer.hpp"

// A recording is a folder of numbered segment files of about ten seconds
// each and one index file that lists them with what a player needs to start
// at any of them: the codec configurations, the metadata and the timeline.
// The media server, the supervisor and the upload client all read and write
// these files, so the bytes below are shared by three programs.
//
// For a recording `name` in `dir`:
//   dir/name.livesegments          index while a live recording is written
//   dir/name.zpksegments           index of an ended or never-live recording
//   dir/name.segments/N.zpksegment0  segment N while it is written
//   dir/name.segments/N.zpksegment   segment N once closed
//   dir/name.stopped               empty marker: the recording has ended
//
// Index file (little-endian): u8 version 1; u8 flags (bit 0 video codec,
// bit 1 audio format, bit 2 video configs, bit 3 audio configs, bit 4
// metadata, bit 5 live, bit 6 start time); 2 zero bytes; u8 video codec
// (FF none); u8 audio format (FF none); u8 segment format; u32 duration ms;
// u8 name length and the name; each present config list as entries
// {u8 tag length, u32 first segment, tag} ended by a 0 byte; u32 length and
// the metadata; u32 start time; u32 segment count and {u32 start ms, u32 data
// bytes} per segment. Segment durations are derived, not stored.
//
// Segment file: u32 file size (bit 31: begins with a new video
// configuration, bit 30: with a new audio configuration), u32 start ms, u32
// duration ms, then FLV tags back to back.

// Index files larger than this are refused unread, and no larger one is
// ever written.
inline constexpr std::uint32_t segment_index_max_bytes = 5 * 1024 * 1024;
// Where an index file's fields lie: its duration at a fixed offset, and
// after the head (every field up to the start time) the segment count and
// the table.
inline constexpr std::uint32_t segment_index_duration_offset = 7;
inline constexpr std::uint32_t segment_index_count_bytes = 4;
inline constexpr std::uint32_t segment_index_entry_bytes = 8;

// A sequence header kept as a whole FLV tag (11-byte header, body, 4-byte
// trailer), valid from segment `from_segment` on.
struct zpk_config_entry {
    std::uint32_t from_segment = 0;
    std::string tag;

    bool operator==(const zpk_config_entry&) const = default;
};

struct zpk_segment_entry {
    std::uint32_t start_ms = 0;
    std::uint32_t data_bytes = 0;  // tag bytes, without the 12-byte header
    std::uint32_t duration_ms = 0;

    bool operator==(const zpk_segment_entry&) const = default;
};

struct segment_found {
    std::uint32_t segment;
    std::uint32_t start_ms;
};

// The index of one recording. A plain value: callers read and change the
// fields directly and save when done. Not locked; one thread at a time.
class segment_index {
  public:
    std::int8_t audio_format = -1;  // FLV SoundFormat of the first audio tag
    std::int8_t video_codec = -1;   // FLV CodecID of the first video tag
    std::vector<zpk_config_entry> video_configs;
    std::vector<zpk_config_entry> audio_configs;
    std::vector<zpk_segment_entry> segments;
    std::string name;      // the recording id
    std::string metadata;  // the whole "onMetaData" data message, or empty
    bool live = false;
    bool has_start_time = false;
    std::uint8_t segment_format = 2;
    std::uint32_t duration_ms = 0;  // the largest tag timestamp written
    std::uint32_t start_time = 0;   // seconds since 1970, with has_start_time
    std::uint8_t version = 0;       // as read
    std::filesystem::path path;     // the file last loaded

    // Replaces the record with the file's content and remembers the path.
    // Throws "Bad file format" (over segment_index_max_bytes), "Bad file
    // version", buffer_over_range for a truncated file, and the file
    // system's errors; on failure the record is left as it was.
    void load(const std::filesystem::path& from);

    // load() from the remembered path; false (record untouched) when the
    // file is missing or damaged.
    bool try_load() noexcept;

    // Replaces the file in one step (a temporary file beside it, renamed
    // over it), so a reader, a crash or a full disk never leaves a partly
    // written index. A record that would exceed segment_index_max_bytes
    // throws "Write buffer overflow" and writes nothing.
    void save(const std::filesystem::path& to) const;

    // The file's bytes; the same errors as load() and save().
    static segment_index decode(std::string_view bytes);
    std::string encode() const;
    // The bytes before the segment count, and table entries as the file
    // holds them: a writer that only adds segments rewrites no more.
    std::string encode_head() const;
    static void encode_entries(std::span<const zpk_segment_entry> entries, buffer_writer& out);

    void new_recording_id();

    // Appends a sequence header unless the list's last entry holds the same
    // body. A tag longer than 255 bytes cannot be stored in this format and
    // is not appended either. Returns whether it appended.
    bool add_video_config(std::string_view tag, std::uint32_t first_segment);
    bool add_audio_config(std::string_view tag, std::uint32_t first_segment);

    // The last segment whose start is not above `time_ms` (segment 0 for an
    // earlier time); nothing for an empty table or a time past the end.
    std::optional<segment_found> find_segment(std::uint32_t time_ms) const;

    // Sets "duration" (seconds) among the metadata's properties, kept as the
    // object or mixed array they came in, or builds an "onMetaData" message
    // holding only it. False, and the metadata left as it was, when the
    // stored message is not a string followed by either.
    bool set_metadata_duration();
};

// What a writer that stopped without finishing (killed, or its machine
// gone) left in the segment folder beyond what `index` lists: the segments
// it closed but had not listed yet, and the one it was writing (its
// ".zpksegment0" file) up to its last whole tag. Each is added to the index
// as the writer would have added it, the duration with it. Returns how many.
//
// With `repair` the files are made to match: the open segment is cut after
// its last whole tag, given its header and closed (removed when it holds no
// whole tag), so that the next writer starts a new one after it. Only the
// holder of the recording's lock may repair; anyone may look.
std::size_t take_back_segments(segment_index& index, const std::filesystem::path& folder,
                               bool repair);

// `path` with `suffix` (".livesegments", ".segments", ".zpksegments",
// ".stopped") appended to its last component.
std::filesystem::path segment_dir_path(const std::filesystem::path& path, std::string_view suffix);

// A segment path ("dir/name.segments/7") with ".zpksegment" appended.
std::filesystem::path segment_file_name(const std::filesystem::path& path);
// The same with ".zpksegment0": the name of a segment while it is written.
std::filesystem::path open_segment_file_name(const std::filesystem::path& path);

// The 11-byte FLV tag header that begins each tag of a segment file (and of
// a config tag): type, body size, timestamp (low 24 bits, then bits 24-31)
// and stream id 0. After the body a tag has its size, header included, in 4
// bytes.
struct flv_tag_header {
    static constexpr std::uint32_t size = 11;
    static constexpr std::uint32_t trailer_size = 4;

    std::uint8_t type = 0;
    std::uint32_t body_size = 0;
    std::uint32_t timestamp = 0;

    void write(buffer_writer& out) const;
    static flv_tag_header read(buffer_reader& in);
};

// The 12-byte header of a segment file.
struct segment_header {
    std::uint32_t data_bytes = 0;
    bool video_config_changed = false;
    bool audio_config_changed = false;
    std::uint32_t start_ms = 0;
    std::uint32_t duration_ms = 0;

    static constexpr std::uint32_t size = 12;
    // The size word keeps its top two bits for the flags.
    static constexpr std::uint32_t max_file_bytes = (1u << 30) - 1;

    // Throws std::length_error when the file size does not fit the word.
    void write(std::uint8_t (&out)[size]) const;
    static segment_header read(const std::uint8_t (&in)[size]) noexcept;
};
