#pragma once

#include <string>
#include <string_view>

namespace platform::testing {

// Bytes written out in a test: "03 00 01 61" gives four bytes; quoted runs
// are taken as text, so "02 00 02 'ab'" is an AMF0 string. White space
// separates; anything else throws std::invalid_argument.
std::string hex_bytes(std::string_view text);

}  // namespace platform::testing
