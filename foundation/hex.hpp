#pragma once

// Bytes as hexadecimal text: identifiers, digests, escapes and test dumps.

#include <cstddef>
#include <string>
#include <string_view>

enum class hex_letters { lower, upper };

// Two digits per byte, high nibble first.
std::string hex_encode(const void* bytes, std::size_t length,
                       hex_letters letters = hex_letters::lower);

inline std::string hex_encode(std::string_view bytes, hex_letters letters = hex_letters::lower) {
    return hex_encode(bytes.data(), bytes.size(), letters);
}

// The value of a hexadecimal digit of either case; -1 for any other character.
int hex_digit_value(char c) noexcept;
