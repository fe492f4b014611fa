#pragma once

// Byte strings written out as hexadecimal text in the tests.

#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rpc::testing {

// "0100 61" -> {0x01, 0x00, 0x61}; spaces are ignored.
inline std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits: " + text);
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
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
