#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "foundation/unique_fd.hpp"

// A file read from front to back through a window of bytes read ahead.
//
// The window is held only while the file is being read: release() gives its
// room back, and the next read starts again where reading had got to. A
// stored stream's player reads in runs a second apart, so one that waits for
// its next run (most players of a busy server, at any time) holds no buffer;
// what the window had read ahead is read again then.
//
// Reads with pread at the position it keeps, so that moving costs no call.
// Not locked: one caller at a time.
class file_window {
  public:
    // Bytes read ahead at once: the window's least room.
    static constexpr std::size_t default_read_ahead = 16 * 1024;

    explicit file_window(std::size_t read_ahead = default_read_ahead) noexcept
        : read_ahead_(read_ahead) {}

    file_window(const file_window&) = delete;
    file_window& operator=(const file_window&) = delete;

    // Opens `file` for reading from its start, closing what was open; false,
    // with errno set and nothing open, when it cannot be opened.
    bool open(const std::filesystem::path& file);
    void close() noexcept;
    bool is_open() const noexcept { return static_cast<bool>(fd_); }

    // The bytes from the read position on: at least `needed` of them while
    // the file has them, fewer at its end or when reading fails. Reads ahead
    // as far as the window's room takes; the room grows to what `needed`
    // asks and keeps that size. What it returns stays valid until the next
    // fill, move_to, release or close (advance leaves it alone).
    std::span<const std::uint8_t> fill(std::size_t needed);
    // Moves the read position over `count` of the bytes fill made available.
    void advance(std::size_t count) noexcept { begin_ += count; }
    std::uint64_t position() const noexcept { return start_ + begin_; }
    // Moves the read position; what was read ahead is dropped.
    void move_to(std::uint64_t position) noexcept;
    // Gives the window's room back; the read position stays.
    void release() noexcept;
    // Whether the window holds room now.
    bool holds_room() const noexcept { return window_ != nullptr; }

    // The file's size now (it may grow while it is read); -1 when unknown.
    std::int64_t file_size() const noexcept;

  private:
    unique_fd fd_;
    const std::size_t read_ahead_;
    std::unique_ptr<std::uint8_t[]> window_;
    std::size_t window_size_ = 0;
    // The room the window takes when it is made again: the largest asked.
    std::size_t room_ = 0;
    // File offset of window_[0]; [begin_, end_) read and not yet passed.
    std::uint64_t start_ = 0;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};
