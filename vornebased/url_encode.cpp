#include "vornebased/url_encode.hpp"

namespace VorneBased {
namespace {

bool NeedsEncoding(unsigned char byte) {
    if (byte <= 0x20 || byte >= 0x7F) {
        return true;
    }
    switch (byte) {
        case '#':
        case '%':
        case '&':
        case '+':
        case '/':
        case '=':
        case '?':
        case '\\':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string UrlEncode(std::string_view text) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEncoding(byte)) {
            encoded.push_back('%');
            encoded.push_back(hex_digits[byte >> 4]);
            encoded.push_back(hex_digits[byte & 0xF]);
        } else {
            encoded.push_back(c);
        }
    }
    return encoded;
}

}  // namespace VorneBased
