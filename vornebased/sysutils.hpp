#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Files, the environment, text conversion and a few string helpers of the
// client. File names are UTF-8. File functions follow the C-style
// convention (see vorne_exception.hpp); on success file_close, file_create
// and file_open clear the last error, the others leave it as it was.
namespace VorneBased {

// Descriptors are handles here; this one is never valid.
inline constexpr int invalid_handle = -1;

// Wide text is one code point per wchar_t; both directions are lenient
// (what is no character becomes U+FFFD). The array forms give null for
// null text.
std::unique_ptr<char[]> WideToUtf8(const wchar_t* wide);
std::unique_ptr<wchar_t[]> Utf8ToWide(const char* utf8);
std::wstring Utf8ToWString(std::string_view utf8);
std::string WideToUtf8String(std::wstring_view wide);

// The path ending in a '/': a trailing '/' or '\' becomes '/', otherwise
// one is appended.
std::string IncludeTrailingBackslash(std::string_view path);
// The file name of the absolute form of `path` ("" for a path that ends in
// a separator); raises error::unknown "Can't detect file name length" when
// no absolute form can be made (an empty path, an unreadable working
// directory).
std::string ExtractFileName(std::string_view path);

// The bytes read (fewer only at the end of the file or of what a pipe
// holds); 0 for a count of 0; end of file is -1 with error::end_of_file.
int file_read(int handle, void* buffer, int count);
// Writes all `count` bytes, or fails with -1.
int file_write(int handle, const void* buffer, int count);
// Ends the file at the current position.
bool file_set_current_end(int handle);
// `origin`: 0 from the beginning, 1 from the current position, 2 from the
// end. The new position, or -1.
std::int64_t file_seek(int handle, std::int64_t offset, int origin);
bool file_close(int handle);
// Creates or truncates a file for reading and writing.
int file_create(const char* name);
// Opens an existing file. `mode`: bits 0-1 access (0 read, 1 write, 2 both),
// bits 4-7 sharing granted to other openers (0 to 4; checked only, Linux
// has no share modes); 0xFFFF is file_create. Directories are refused.
int file_open(const char* name, std::uint16_t mode);
bool get_environment_variable(const char* name, std::string& value);

// $HOME, or the password database's home when it is unset or empty.
std::string GetHomeDir();
// The pieces between any of the delimiter characters, without empty ones.
std::vector<std::string> SplitString(std::string_view text, std::string_view delimiters);
// The first `count` bytes (all of a shorter text, none for a negative count).
std::string LeftStr(std::string_view text, int count);
// LeftStr of the text from `start`; empty when `start` is not inside it.
std::string MidStr(std::string_view text, int start, int count);
std::string IntToStr(int value);
// The leading decimal number after white space, as "%d" reads it: 0 when
// there is none, held at the limits of int when it does not fit.
int StrToInt(std::string_view text);

// Standard Base64 with '=' padding.
std::string Base64Encode(const void* data, std::size_t size);
// Three bytes for each complete group of four characters (a trailing
// partial group is ignored). Padding and characters outside the alphabet
// are not refused: the bytes they give are unspecified, so callers take
// only as many leading bytes as they expect.
std::string Base64Decode(std::string_view text);

}  // namespace VorneBased
