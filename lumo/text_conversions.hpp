#pragma once

// The supervisor's text conversions. Texts are UTF-8 inside; wide text is
// one wchar_t per code point; "ANSI" is the machine's legacy charset, named
// by the environment variable LUMO_ANSI_CHARSET (an iconv name such as
// "CP1252" or "GBK") and read once; without it the legacy charset is UTF-8.
//
// None of them reports an error: a conversion that cannot be made at all (an
// unknown charset) gives the empty text, and a character the target cannot
// hold is substituted ("?" in a legacy charset, U+FFFD in wide text).

#include <string>
#include <string_view>

namespace lumo {

std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);
std::wstring ansi_to_wide(std::string_view ansi);
std::string wide_to_ansi(std::wstring_view wide);

// Through wide text, as the two steps above.
std::string utf8_to_ansi(std::string_view utf8);
std::string ansi_to_utf8(std::string_view ansi);

// The legacy charset's iconv name, as read from the environment at first use.
const std::string& ansi_charset();

// The conversions behind the ANSI ones, for a charset named by the caller.
std::wstring charset_to_wide(std::string_view text, const std::string& charset);
std::string wide_to_charset(std::wstring_view wide, const std::string& charset);

}  // namespace lumo
