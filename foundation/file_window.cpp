#include "foundation/file_window.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// A window too small for what is asked grows to it in steps of this.
constexpr std::size_t room_step = 4096;

}  // namespace

bool file_window::open(const std::filesystem::path& file) {
    close();
    fd_.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    return is_open();
}

void file_window::close() noexcept {
    fd_.reset();
    move_to(0);
}

std::span<const std::uint8_t> file_window::fill(std::size_t needed) {
    const std::size_t held = end_ - begin_;
    if (held >= needed || !fd_) {
        return {window_.get() + begin_, held};
    }
    room_ = std::max({room_, read_ahead_, (needed + room_step - 1) / room_step * room_step});
    if (window_size_ < room_) {
        auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(room_);
        if (held != 0) {
            std::memcpy(larger.get(), window_.get() + begin_, held);
        }
        window_ = std::move(larger);
        window_size_ = room_;
    } else if (held != 0) {
        std::memmove(window_.get(), window_.get() + begin_, held);
    }
    start_ += begin_;
    begin_ = 0;
    end_ = held;
    // Ahead as far as the room takes; a short read is the end of the file
    // (for now: a file being written may have grown by the next fill).
    while (end_ < needed) {
        const ssize_t got = ::pread(fd_.get(), window_.get() + end_, window_size_ - end_,
                                    static_cast<off_t>(start_ + end_));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        end_ += static_cast<std::size_t>(got);
    }
    return {window_.get(), end_};
}

void file_window::move_to(std::uint64_t position) noexcept {
    start_ = position;
    begin_ = end_ = 0;
}

void file_window::release() noexcept {
    move_to(position());
    window_.reset();
    window_size_ = 0;
}

std::int64_t file_window::file_size() const noexcept {
    struct stat status {};
    if (!fd_ || ::fstat(fd_.get(), &status) != 0) {
        return -1;
    }
    return status.st_size;
}
