#include "foundation/exclusive_ofstream.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

bool same_file(int fd, const std::filesystem::path& path) {
    struct stat locked {};
    struct stat named {};
    return ::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &named) == 0 &&
           locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

}  // namespace

exclusive_ofstream::~exclusive_ofstream() {
    // The data goes out before the next opener may come in.
    // The lock itself goes with the member afterwards.
    rdbuf()->close();
}

void exclusive_ofstream::open(const std::filesystem::path& path) {
    if (lock_ || is_open()) {
        setstate(std::ios_base::failbit);
        return;
    }
    // flock rather than fcntl locks: those never conflict within one
    // process, and one server process records many streams.
    unique_fd lock(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 ||
        ::ftruncate(lock.get(), 0) != 0) {
        setstate(std::ios_base::failbit);
        return;
    }
    std::basic_ofstream<char>::open(path,
                                    std::ios_base::in | std::ios_base::out | std::ios_base::binary);
    if (!is_open()) {
        return;  // failbit is set; the descriptor closes on the way out
    }
    if (!same_file(lock.get(), path)) {
        // Replaced between the two opens: what we write would not be locked.
        rdbuf()->close();
        setstate(std::ios_base::failbit);
        return;
    }
    lock_ = std::move(lock);
}

void exclusive_ofstream::close() {
    const unique_fd lock = std::move(lock_);
    std::basic_ofstream<char>::close();
}
