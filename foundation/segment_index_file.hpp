#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/segment_index.hpp"
#include "foundation/unique_fd.hpp"

// A change of an index file, worked out where the index is kept and written
// where the file is (another thread, later): either the whole file, or, when
// nothing but the duration and the end of the segment table changed since
// the last update, the segments added.
struct segment_index_update {
    // The index's bytes before the segment count (its duration among them).
    std::string head;
    // The entries below follow the first `first` ones listed; 0 with `whole`.
    std::uint32_t first = 0;
    std::vector<zpk_segment_entry> entries;
    bool whole = true;
};

// The updates that bring an index file to an index, one after the other;
// kept by the index's writer. Each assumes that the ones before it have been
// applied, in order.
class segment_index_updates {
  public:
    // The next update (whole, for the first), or nothing when the file will
    // hold `index` already. Throws "Write buffer overflow" for an index over
    // segment_index_max_bytes.
    std::optional<segment_index_update> next(const segment_index& index);

  private:
    std::string head_;
    std::uint32_t count_ = 0;
    bool started_ = false;
};

// The index file of a recording that is being written. A long recording's
// index grows by 8 bytes a segment and is saved at every cut: a whole save
// would write it all again each time, so segments added are written in
// place. The entries go first and reach the disk, and only then does the
// count name them (and the duration, written before them, cover them): a
// reader, a kill or a crash finds the old table or the new one, never a
// count that runs past the entries. A whole update replaces the file in one
// step (replace_file), as segment_index::save does.
//
// Not locked: one thread at a time.
class segment_index_file {
  public:
    explicit segment_index_file(std::filesystem::path path) : path_(std::move(path)) {}

    // Throws std::filesystem::filesystem_error naming the file, and "Index
    // file out of step" for an update in place that does not follow what
    // the file holds (one before it failed), which changes nothing.
    void apply(const segment_index_update& update);

    const std::filesystem::path& path() const noexcept { return path_; }

  private:
    void append(const segment_index_update& update);

    std::filesystem::path path_;
    // The file last written whole, for what is written in place, and what
    // it holds.
    unique_fd fd_;
    std::size_t head_size_ = 0;
    std::uint32_t count_ = 0;
};
