#pragma once

// Byte strings for the codec's tests: literals, hex text, and what a chunk
// or a writer produced.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/hex.hpp"
#include "rtmfp/chunks.hpp"

namespace rtmfp_test {

using bytes = std::vector<std::uint8_t>;

inline bytes to_bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

inline bytes as_bytes(rtmfp_bytes view) {
    return {view.begin(), view.end()};
}

// "30 00 1E" -> {0x30, 0x00, 0x1E}.
inline bytes hex(std::string_view text) {
    const std::string raw = platform::testing::hex_bytes(text);
    return {raw.begin(), raw.end()};
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
