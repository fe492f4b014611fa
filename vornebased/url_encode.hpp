#pragma once

#include <string>
#include <string_view>

namespace VorneBased {

// Percent-encodes the bytes that may not stand as they are in a form name
// or a query: control bytes and space (0x00-0x20), 0x7F-0xFF, and
// # % & + / = ? \. Each becomes '%' and two upper-case hexadecimal digits.
std::string UrlEncode(std::string_view text);

}  // namespace VorneBased
