#include "foundation/file_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

void throw_file_error(const char* what, const std::filesystem::path& file) {
    throw std::filesystem::filesystem_error(what, file,
                                            std::error_code(errno, std::generic_category()));
}

void write_at(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset,
              const std::filesystem::path& file) {
    while (!bytes.empty()) {
        const ssize_t written =
            ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw_file_error("Can't write file", file);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
        offset += static_cast<std::uint64_t>(written);
    }
}

void write_gathered(int fd, std::vector<iovec>& pieces, const std::filesystem::path& file) {
    std::size_t next = 0;
    while (next < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - next, IOV_MAX));
        ssize_t written = ::writev(fd, pieces.data() + next, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw_file_error("Can't write file", file);
        }
        // Past the pieces written whole, into the one written in part.
        while (next < pieces.size() && static_cast<std::size_t>(written) >= pieces[next].iov_len) {
            written -= static_cast<ssize_t>(pieces[next].iov_len);
            ++next;
        }
        if (written > 0) {
            pieces[next].iov_base = static_cast<std::uint8_t*>(pieces[next].iov_base) + written;
            pieces[next].iov_len -= static_cast<std::size_t>(written);
        }
    }
}

bool read_at(int fd, std::span<std::uint8_t> into, std::uint64_t offset) {
    while (!into.empty()) {
        const ssize_t got = ::pread(fd, into.data(), into.size(), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into = into.subspan(static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}
