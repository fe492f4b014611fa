#include "vornebased/sysutils.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "foundation/utf8.hpp"
#include "vornebased/vorne_exception.hpp"

namespace VorneBased {
namespace {

constexpr const char* module = "sysutils";

[[noreturn]] void RaiseSystemError(std::string_view operation, int error_number,
                                   std::source_location where = std::source_location::current()) {
    Raise(error::system, SystemErrorText(operation, error_number), module, where);
}

void CheckBufferAndCount(const void* buffer, int count,
                         std::source_location where = std::source_location::current()) {
    if (buffer == nullptr) {
        Raise(error::bad_pointer, "Bad pointer", module, where);
    }
    if (count < 0) {
        Raise(error::bad_argument, "Count can't be less than zero", module, where);
    }
}

int OpenFile(const char* name, int flags, std::string_view operation) {
    int handle;
    do {
        handle = ::open(name, flags | O_CLOEXEC, 0666);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        RaiseSystemError(operation, errno);
    }
    // A directory is no file to read or write (and reading one by
    // descriptor fails only later, after its "size" has been taken).
    struct stat status {};
    if (::fstat(handle, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(handle);
        RaiseSystemError(operation, EISDIR);
    }
    return handle;
}

int CreateFile(const char* name) {
    if (name == nullptr) {
        Raise(error::bad_pointer, "Bad pointer", module);
    }
    if (*name == '\0') {
        Raise(error::bad_argument, "filename can't be empty", module);
    }
    return OpenFile(name, O_RDWR | O_CREAT | O_TRUNC, "file_create error");
}

constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte has an entry, so no input reads outside the table; bytes
// outside the alphabet (and '=') count as 0.
constexpr std::array<std::uint8_t, 256> base64_values = [] {
    std::array<std::uint8_t, 256> values{};
    for (std::size_t i = 0; i < base64_alphabet.size(); ++i) {
        values[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return values;
}();

}  // namespace

std::unique_ptr<char[]> WideToUtf8(const wchar_t* wide) {
    if (wide == nullptr) {
        return nullptr;
    }
    const std::string utf8 = wstring_to_utf8(wide);
    auto array = std::make_unique<char[]>(utf8.size() + 1);
    std::copy(utf8.begin(), utf8.end(), array.get());
    return array;
}

std::unique_ptr<wchar_t[]> Utf8ToWide(const char* utf8) {
    return utf8_to_wchar_array(utf8);
}

std::wstring Utf8ToWString(std::string_view utf8) {
    return utf8_to_wstring(utf8);
}

std::string WideToUtf8String(std::wstring_view wide) {
    return wstring_to_utf8(wide);
}

std::string IncludeTrailingBackslash(std::string_view path) {
    std::string result(path);
    if (!result.empty() && (result.back() == '/' || result.back() == '\\')) {
        result.back() = '/';
    } else {
        result.push_back('/');
    }
    return result;
}

std::string ExtractFileName(std::string_view path) {
    std::error_code failed;
    const auto absolute = std::filesystem::absolute(std::filesystem::path(path), failed);
    if (failed || path.empty()) {
        Raise(error::unknown, "Can't detect file name length", module);
    }
    return absolute.filename().string();
}

int file_read(int handle, void* buffer, int count) {
    return RunCStyle(module, -1, [&] {
        CheckBufferAndCount(buffer, count);
        if (count == 0) {
            return 0;
        }
        ssize_t got;
        do {
            got = ::read(handle, buffer, static_cast<std::size_t>(count));
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            RaiseSystemError("file_read error", errno);
        }
        if (got == 0) {
            Raise(error::end_of_file, "End of file", module);
        }
        return static_cast<int>(got);
    });
}

int file_write(int handle, const void* buffer, int count) {
    return RunCStyle(module, -1, [&] {
        CheckBufferAndCount(buffer, count);
        const auto* bytes = static_cast<const char*>(buffer);
        int written = 0;
        while (written < count) {
            const ssize_t put =
                ::write(handle, bytes + written, static_cast<std::size_t>(count - written));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0) {
                RaiseSystemError("file_write error", errno);
            }
            written += static_cast<int>(put);
        }
        return written;
    });
}

bool file_set_current_end(int handle) {
    return RunCStyle(module, false, [&] {
        const off_t position = ::lseek(handle, 0, SEEK_CUR);
        if (position < 0 || ::ftruncate(handle, position) != 0) {
            RaiseSystemError("file_set_current_end", errno);
        }
        return true;
    });
}

std::int64_t file_seek(int handle, std::int64_t offset, int origin) {
    return RunCStyle(module, std::int64_t{-1}, [&]() -> std::int64_t {
        static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
        if (origin < 0 || origin > 2) {
            RaiseSystemError("file_seek error", EINVAL);
        }
        const off_t position = ::lseek(handle, offset, whence[origin]);
        if (position < 0) {
            RaiseSystemError("file_seek error", errno);
        }
        return position;
    });
}

bool file_close(int handle) {
    return RunCStyle(module, false, [&] {
        // Linux releases the descriptor even when close reports an error,
        // so it is never closed twice.
        if (::close(handle) != 0 && errno != EINTR) {
            RaiseSystemError("file_close error", errno);
        }
        GetVorneException()->Clear();
        return true;
    });
}

int file_create(const char* name) {
    return RunCStyle(module, invalid_handle, [&] {
        const int handle = CreateFile(name);
        GetVorneException()->Clear();
        return handle;
    });
}

int file_open(const char* name, std::uint16_t mode) {
    return RunCStyle(module, invalid_handle, [&] {
        if (mode == 0xFFFF) {
            const int handle = CreateFile(name);
            GetVorneException()->Clear();
            return handle;
        }
        if (name == nullptr) {
            Raise(error::bad_pointer, "Bad pointer", module);
        }
        static constexpr int access_flags[] = {O_RDONLY, O_WRONLY, O_RDWR};
        const int access = mode & 0x3;
        const int sharing = mode >> 4 & 0xF;
        if (access > 2 || sharing > 4) {
            Raise(error::bad_argument, "file_open error: bad access mode", module);
        }
        const int handle = OpenFile(name, access_flags[access], "file_open error");
        GetVorneException()->Clear();
        return handle;
    });
}

bool get_environment_variable(const char* name, std::string& value) {
    return RunCStyle(module, false, [&] {
        if (name == nullptr) {
            Raise(error::bad_pointer, "Bad pointer", module);
        }
        const char* found = std::getenv(name);
        if (found == nullptr) {
            // getenv gives no reason; a missing variable is "not found".
            Raise(error::variable_missing,
                  SystemErrorText("get_environment_variable error", ENOENT), module);
        }
        value = found;
        return true;
    });
}

std::string GetHomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

std::vector<std::string> SplitString(std::string_view text, std::string_view delimiters) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find_first_of(delimiters, start), text.size());
        if (end > start) {
            pieces.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

std::string LeftStr(std::string_view text, int count) {
    if (count <= 0) {
        return {};
    }
    return std::string(text.substr(0, static_cast<std::size_t>(count)));
}

std::string MidStr(std::string_view text, int start, int count) {
    if (start < 0 || static_cast<std::size_t>(start) >= text.size()) {
        return {};
    }
    return LeftStr(text.substr(static_cast<std::size_t>(start)), count);
}

std::string IntToStr(int value) {
    return std::to_string(value);
}

int StrToInt(std::string_view text) {
    auto at = text.begin();
    const auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (at != text.end() && is_space(*at)) {
        ++at;
    }
    bool negative = false;
    if (at != text.end() && (*at == '+' || *at == '-')) {
        negative = *at++ == '-';
    }
    // Gathered as a negative number, whose range reaches INT_MIN.
    int value = 0;
    for (; at != text.end() && *at >= '0' && *at <= '9'; ++at) {
        const int digit = *at - '0';
        if (value < (INT_MIN + digit) / 10) {
            value = INT_MIN;
            break;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return value;
    }
    return value == INT_MIN ? INT_MAX : -value;
}

std::string Base64Encode(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        const std::size_t left = std::min<std::size_t>(3, size - i);
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (left > 1) {
            group |= std::uint32_t{bytes[i + 1]} << 8;
        }
        if (left > 2) {
            group |= bytes[i + 2];
        }
        text.push_back(base64_alphabet[group >> 18 & 0x3F]);
        text.push_back(base64_alphabet[group >> 12 & 0x3F]);
        text.push_back(left > 1 ? base64_alphabet[group >> 6 & 0x3F] : '=');
        text.push_back(left > 2 ? base64_alphabet[group & 0x3F] : '=');
    }
    return text;
}

std::string Base64Decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            group = group << 6 | base64_values[static_cast<unsigned char>(text[i + j])];
        }
        bytes.push_back(static_cast<char>(group >> 16));
        bytes.push_back(static_cast<char>(group >> 8 & 0xFF));
        bytes.push_back(static_cast<char>(group & 0xFF));
    }
    return bytes;
}

}  // namespace VorneBased
