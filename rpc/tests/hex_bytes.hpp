#pragma once

// Byte strings written out as hexadecimal text in the tests.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/hex.hpp"

namespace rpc::testing {

// "0100 61" -> {0x01, 0x00, 0x61}; spaces are ignored.
inline std::vector<std::uint8_t> hex(const std::string& text) {
    const std::string bytes = platform::testing::hex_bytes(text);
    return {bytes.begin(), bytes.end()};
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

// The text of hex() without its spaces, for comparing with to_hex().
inline std::string plain_hex(const std::string& text) {
    return to_hex(hex(text));
}

}  // namespace rpc::testing
