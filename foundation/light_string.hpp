#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

// A view of bytes that it does not own, used for AMF0 strings and keys and
// for stream names. The bytes must outlive the view: a decoded value points
// into the message it was decoded from, a built one into a literal or a
// string that lives longer.
struct light_string {
    const char* data = nullptr;
    std::uint32_t size = 0;

    constexpr light_string() noexcept = default;
    constexpr light_string(const char* bytes, std::uint32_t length) noexcept
        : data(bytes), size(length) {}
    constexpr light_string(std::string_view bytes)
        : data(bytes.data()), size(checked(bytes.size())) {}
    constexpr light_string(const char* text)
        : light_string(text == nullptr ? std::string_view() : std::string_view(text)) {}
    light_string(const std::string& bytes) : light_string(std::string_view(bytes)) {}

    constexpr std::string_view view() const noexcept { return {data, size}; }
    std::string str() const { return std::string(view()); }
    constexpr bool empty() const noexcept { return size == 0; }

  private:
    static constexpr std::uint32_t checked(std::size_t length) {
        if (length > UINT32_MAX) {
            throw std::length_error("String too long");
        }
        return static_cast<std::uint32_t>(length);
    }
};

// Keys order shorter first, then by unsigned bytes; every light_string-keyed
// map (and so the order in which AMF0 objects are written) follows it.
inline bool operator<(light_string a, light_string b) noexcept {
    if (a.size != b.size) {
        return a.size < b.size;
    }
    return a.size != 0 && std::memcmp(a.data, b.data, a.size) < 0;
}

inline bool operator==(light_string a, light_string b) noexcept {
    return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

// Whether a received name is exactly the given text, as command names are
// matched.
inline bool light_string_equals(light_string s, std::string_view text) noexcept {
    return s.view() == text;
}
