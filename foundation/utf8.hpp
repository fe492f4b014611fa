#pragma once

#include <memory>
#include <string>
#include <string_view>

// UTF-8 protocol text to wide text (one wchar_t per code point here). The
// conversion is lenient, as the servers have always been: each maximal
// invalid sequence (a stray byte, an overlong form, a surrogate, a value
// above U+10FFFF, a truncated sequence) becomes U+FFFD, and nothing is
// refused. Files are named by UTF-8 std::filesystem::path instead.
std::wstring utf8_to_wstring(std::string_view utf8);

// The same into a zero-terminated array; null when `utf8` is null.
std::unique_ptr<wchar_t[]> utf8_to_wchar_array(const char* utf8);

// Wide text back to UTF-8, as leniently: a value that is no code point (a
// surrogate, anything above U+10FFFF or below zero) becomes U+FFFD.
std::string wstring_to_utf8(std::wstring_view wide);
