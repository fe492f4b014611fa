#pragma once

// Byte strings written out as hexadecimal text in the tests.

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/hex.hpp"
#include "platform/testing/hex.hpp"

namespace rpc::testing {

// "0100 61" -> {0x01, 0x00, 0x61}; spaces are ignored.
inline std::vector<std::uint8_t> hex(const std::string& text) {
    const std::string bytes = platform::testing::hex_bytes(text);
    return {bytes.begin(), bytes.end()};
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    return hex_encode(bytes.data(), bytes.size());
}

// The text of hex() without its spaces, for comparing with to_hex().
inline std::string plain_hex(const std::string& text) {
    return to_hex(hex(text));
}

}  // namespace rpc::testing
