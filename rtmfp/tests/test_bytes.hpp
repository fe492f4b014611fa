#pragma once

// Byte strings for the codec's tests: literals, hex text, and what a chunk
// or a writer produced.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "rtmfp/chunks.hpp"

namespace rtmfp_test {

using bytes = std::vector<std::uint8_t>;

inline bytes to_bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

inline bytes as_bytes(rtmfp_bytes view) {
    return {view.begin(), view.end()};
}

// "30 00 1E" -> {0x30, 0x00, 0x1E}; anything but hex digits is ignored.
inline bytes hex(std::string_view text) {
    bytes out;
    int high = -1;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return out;
}

inline bytes fill(std::size_t n, std::uint8_t value) {
    return bytes(n, value);
}

template <class... Parts>
bytes cat(const Parts&... parts) {
    bytes out;
    (out.insert(out.end(), parts.begin(), parts.end()), ...);
    return out;
}

inline bytes output_of(const rtmfp_packet_writer& out) {
    return {out.data, out.data + out.size};
}

// The chunk as it writes itself.
inline bytes written(const rtmfp_command& command) {
    bytes storage(4096);
    rtmfp_packet_writer out(storage.data(), static_cast<std::uint32_t>(storage.size()));
    command.write(out);
    storage.resize(out.size);
    return storage;
}

template <class F>
std::string thrown_message(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "nothing thrown";
}

}  // namespace rtmfp_test
