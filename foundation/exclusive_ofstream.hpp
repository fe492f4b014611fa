#pragma once

#include <filesystem>
#include <fstream>

#include "foundation/unique_fd.hpp"

// An output file stream that keeps every other exclusive opener out while
// it is open, in this process or another: lock files and marker files rely
// on it. The file is opened for binary writing and truncated, but only once
// the lock is held; when another opener holds it, nothing is changed and the
// stream is left in the failed state (callers test the state, or enable
// exceptions on failbit before open).
//
// The lock is an flock(2) lock, so ordinary openers are not kept out; only
// other exclusive_ofstreams are.
class exclusive_ofstream : public std::basic_ofstream<char> {
  public:
    exclusive_ofstream() = default;
    explicit exclusive_ofstream(const std::filesystem::path& path) { open(path); }
    ~exclusive_ofstream() override;

    exclusive_ofstream(const exclusive_ofstream&) = delete;
    exclusive_ofstream& operator=(const exclusive_ofstream&) = delete;

    void open(const std::filesystem::path& path);
    // Flushes and closes the file, then lets the next opener in.
    void close();

  private:
    unique_fd lock_;
};
