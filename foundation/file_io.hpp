#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

// Whole reads and writes on a POSIX descriptor: short transfers and
// interrupted calls are taken up again until everything is done.

// Throws std::filesystem::filesystem_error with `what`, the file and errno.
[[noreturn]] void throw_file_error(const char* what, const std::filesystem::path& file);

// Writes every byte at `offset`; throws "Can't write file".
void write_at(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset,
              const std::filesystem::path& file);

// Writes every byte the pieces hold at the file's position, as few calls as
// IOV_MAX allows; throws "Can't write file". The pieces are used up.
void write_gathered(int fd, std::vector<iovec>& pieces, const std::filesystem::path& file);

// Fills `into` from `offset`; false when the file ends first or the read
// fails.
bool read_at(int fd, std::span<std::uint8_t> into, std::uint64_t offset);
