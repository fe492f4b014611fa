#include "foundation/file_name.hpp"

bool is_valid_file_name(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == ".." || name.size() > 256) {
        return false;
    }
    constexpr std::string_view refused("\0\"*/:<>?\\|", 10);
    return name.find_first_of(refused) == std::string_view::npos;
}
