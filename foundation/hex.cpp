#include "foundation/hex.hpp"

#include <iterator>

#include <boost/algorithm/hex.hpp>

std::string hex_encode(const void* bytes, std::size_t length, hex_letters letters) {
    const auto* begin = static_cast<const unsigned char*>(bytes);
    std::string text;
    text.reserve(2 * length);
    if (letters == hex_letters::upper) {
        boost::algorithm::hex(begin, begin + length, std::back_inserter(text));
    } else {
        boost::algorithm::hex_lower(begin, begin + length, std::back_inserter(text));
    }
    return text;
}

int hex_digit_value(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
