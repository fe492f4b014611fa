#include "foundation/replace_file.hpp"

#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throw_file_error(const char* what, const fs::path& file, int error) {
    throw fs::filesystem_error(what, file, std::error_code(error, std::generic_category()));
}

// A name beside `target` that no other writer picks: two savers of one
// file never share their temporary file.
fs::path temporary_name(const fs::path& target) {
    static constexpr char digits[] = "0123456789abcdef";
    const boost::uuids::uuid id = boost::uuids::random_generator()();
    std::string suffix = ".";
    for (std::size_t i = 0; i < 6; ++i) {
        suffix.push_back(digits[id.data[i] >> 4]);
        suffix.push_back(digits[id.data[i] & 15]);
    }
    fs::path temporary = target;
    temporary += suffix + ".tmp";
    return temporary;
}

}  // namespace

file_replacement::file_replacement(const fs::path& target, std::string_view bytes)
    : target_(target), temporary_(temporary_name(target)) {
    // "x": never opens a file that exists; "e": not inherited by children.
    // fopen creates with 0666 less the umask, where mkstemp would give 0600.
    std::FILE* file = std::fopen(temporary_.c_str(), "wbxe");
    if (file == nullptr) {
        throw_file_error("Can't create file", temporary_, errno);
    }
    // The rename must not reach the disk before the bytes it publishes.
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                   std::fflush(file) == 0 && ::fdatasync(::fileno(file)) == 0;
    int error = errno;
    if (std::fclose(file) != 0 && written) {
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

void replace_file(const fs::path& target, std::string_view bytes) {
    file_replacement(target, bytes).commit();
}
