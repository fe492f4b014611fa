#include "platform/testing/hex.hpp"

#include "foundation/hex.hpp"

#include <cctype>
#include <stdexcept>

namespace platform::testing {
std::string hex_bytes(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '\'') {
            const std::size_t end = text.find('\'', i + 1);
            if (end == std::string_view::npos) {
                throw std::invalid_argument("unterminated text in hex bytes");
            }
            out.append(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            const int high = hex_digit_value(c);
            const int low = i + 1 < text.size() ? hex_digit_value(text[i + 1]) : -1;
            if (high < 0 || low < 0) {
                throw std::invalid_argument("bad hex bytes: " + std::string(text.substr(i)));
            }
            out.push_back(static_cast<char>(high << 4 | low));
            i += 2;
        }
    }
    return out;
}

}  // namespace platform::testing
