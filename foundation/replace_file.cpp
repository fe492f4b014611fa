#include "foundation/replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

#include "foundation/hex.hpp"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throw_file_error(const char* what, const fs::path& file, int error) {
    throw fs::filesystem_error(what, file, std::error_code(error, std::generic_category()));
}

// A name beside `target` that no other writer picks: two savers of one
// file never share their temporary file.
fs::path temporary_name(const fs::path& target) {
    const boost::uuids::uuid id = boost::uuids::random_generator()();
    fs::path temporary = target;
    temporary += '.';
    temporary += hex_encode(id.data, 6);
    temporary += ".tmp";
    return temporary;
}

// What the new file takes over from the one it replaces.
struct kept_attributes {
    mode_t bits;
    uid_t owner;
    gid_t group;
};

std::optional<kept_attributes> kept_from(const fs::path& target, replaced_mode mode) {
    struct stat old {};
    if (mode != replaced_mode::kept || ::stat(target.c_str(), &old) != 0) {
        return std::nullopt;
    }
    return kept_attributes{old.st_mode & 07777, old.st_uid, old.st_gid};
}

// Owner and group first: a change of owner clears the set-id bits.
bool take_over(int fd, const kept_attributes& kept) {
    // Only a privileged process may give a file away; any other keeps it
    // as its own, with the old bits.
    if (::fchown(fd, kept.owner, kept.group) != 0 && errno != EPERM) {
        return false;
    }
    return ::fchmod(fd, kept.bits) == 0;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

file_replacement::file_replacement(const fs::path& target, std::string_view bytes,
                                   replaced_mode mode)
    : target_(target), temporary_(temporary_name(target)) {
    const std::optional<kept_attributes> kept = kept_from(target, mode);
    // O_EXCL: never opens a file that exists; O_CLOEXEC: not inherited by
    // children. Created with the kept bits (less the umask), so the file is
    // never more open than the one it replaces; fchmod then restores the
    // bits the umask took.
    const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          kept ? (kept->bits & 0777) : 0666);
    if (fd < 0) {
        throw_file_error("Can't create file", temporary_, errno);
    }
    // The rename must not reach the disk before the bytes it publishes.
    bool written = (!kept || take_over(fd, *kept)) && write_all(fd, bytes) && ::fdatasync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary_.c_str());
        throw_file_error("Can't write file", temporary_, error);
    }
}

file_replacement::~file_replacement() {
    if (pending_) {
        ::unlink(temporary_.c_str());
    }
}

void file_replacement::commit() {
    if (!pending_) {
        return;
    }
    pending_ = false;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary_.c_str());
        throw_file_error("Can't replace file", target_, error);
    }
}

void replace_file(const fs::path& target, std::string_view bytes, replaced_mode mode) {
    file_replacement(target, bytes, mode).commit();
}
