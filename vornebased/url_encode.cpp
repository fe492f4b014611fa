#include "vornebased/url_encode.hpp"

#include "foundation/hex.hpp"

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
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEncoding(byte)) {
            encoded += '%' + hex_encode(&byte, 1, hex_letters::upper);
        } else {
            encoded.push_back(c);
        }
    }
    return encoded;
}

}  // namespace VorneBased
