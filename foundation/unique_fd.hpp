#pragma once

// Sole owner of a POSIX file descriptor: closed when the owner goes, moved
// but never copied. -1 holds nothing.

#include <unistd.h>

#include <utility>

class unique_fd {
  public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd() { reset(); }

    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes what it holds (a close that fails has still released the
    // descriptor) and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (const int old = std::exchange(fd_, fd); old >= 0) {
            ::close(old);
        }
    }

  private:
    int fd_ = -1;
};
