#include "foundation/file_name.hpp"

bool is_valid_file_name(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == ".." || name.size() > 256) {
        return false;
    }
    constexpr std::string_view refused("\0\"*/:<>?\\|", 10);
    return name.find_first_of(refused) == std::string_view::npos;
}

std::optional<std::vector<std::string>> valid_path_segments(std::string_view path) {
    std::vector<std::string> segments;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > begin) {
            const std::string_view segment = path.substr(begin, end - begin);
            if (!is_valid_file_name(segment)) {
                return std::nullopt;
            }
            segments.emplace_back(segment);
        }
        begin = end + 1;
    }
    return segments;
}
