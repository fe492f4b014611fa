#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace lumo_install {

// Hands a result to a caller's buffer, whose capacity `length` holds on the
// way in and which holds the bytes written, the NUL left out, on the way
// out. A result that does not fit is cut to capacity - 1 bytes; a capacity
// of 0 or below, or a null buffer, gets nothing and a length of 0.
template <class Length>
void copy_out(std::string_view result, char* buffer, Length* length) {
    if (length == nullptr) {
        return;
    }
    if (buffer == nullptr || *length <= 0) {
        *length = 0;
        return;
    }
    const auto capacity = static_cast<std::size_t>(*length);
    const std::size_t copied = result.size() < capacity ? result.size() : capacity - 1;
    std::copy_n(result.data(), copied, buffer);
    buffer[copied] = '\0';
    *length = static_cast<Length>(copied);
}

}  // namespace lumo_install
