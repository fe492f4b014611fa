#pragma once

#include <cstddef>
#include <string>

#include "vornebased/vorne_exception.hpp"

namespace vornebased_testing {

inline int LastCode() {
    return VorneBased::GetVorneException()->GetCode();
}
inline std::string LastMessage() {
    return VorneBased::GetVorneException()->GetMessage();
}

// Bytes in which a piece lost, doubled or moved shows: no short period.
inline std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    }
    return bytes;
}

}  // namespace vornebased_testing
