#include "foundation/utf8.hpp"

#include <algorithm>
#include <cstdint>

static_assert(sizeof(wchar_t) == 4, "wide text holds one code point per wchar_t");

namespace {

constexpr wchar_t replacement = 0xFFFD;

}  // namespace

// One U+FFFD per maximal subpart of an ill-formed sequence, as the Unicode
// standard recommends and common decoders do.
std::wstring utf8_to_wstring(std::string_view utf8) {
    std::wstring wide;
    wide.reserve(utf8.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto* const end = p + utf8.size();
    while (p != end) {
        const std::uint8_t lead = *p++;
        if (lead < 0x80) {
            wide.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int continuation;
        std::uint32_t code;
        // The range of the second byte rules out overlong forms, surrogates
        // and values above U+10FFFF before anything is combined.
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuation = 2;
            code = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuation = 3;
            code = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            wide.push_back(replacement);
            continue;
        }
        bool complete = true;
        for (int i = 0; i < continuation; ++i) {
            if (p == end || *p < low || *p > high) {
                complete = false;
                break;
            }
            code = code << 6 | (*p++ & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        // The byte that broke the sequence is not consumed: it may start the
        // next one.
        wide.push_back(complete ? static_cast<wchar_t>(code) : replacement);
    }
    return wide;
}

std::unique_ptr<wchar_t[]> utf8_to_wchar_array(const char* utf8) {
    if (utf8 == nullptr) {
        return nullptr;
    }
    const std::wstring wide = utf8_to_wstring(utf8);
    auto array = std::make_unique<wchar_t[]>(wide.size() + 1);
    std::copy(wide.begin(), wide.end(), array.get());
    return array;
}

std::string wstring_to_utf8(std::wstring_view wide) {
    std::string utf8;
    utf8.reserve(wide.size());
    for (const wchar_t c : wide) {
        auto code = static_cast<std::uint32_t>(c);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            code = replacement;
        }
        if (code < 0x80) {
            utf8.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | code >> 6));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            utf8.push_back(static_cast<char>(0xE0 | code >> 12));
            utf8.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xF0 | code >> 18));
            utf8.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return utf8;
}
