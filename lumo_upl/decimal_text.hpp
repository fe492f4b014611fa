#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace lumo_upl {

// A whole decimal number with an optional sign, as the web site and the
// task file write numbers; nothing for any other text or one that does not
// fit.
template <typename Integer>
std::optional<Integer> decimal_value(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    Integer value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace lumo_upl
