#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Whether a name that a client or an operator supplied may become one file
// or directory name: not empty, not "." or "..", at most 256 bytes, and none
// of the bytes NUL " * / : < > ? \ |. Other bytes, UTF-8 included, pass.
bool is_valid_file_name(std::string_view name) noexcept;

// The non-empty segments of a "/"-separated path, or nothing when one of
// them is no valid file name and so could reach outside the directory it is
// joined to ("..", a separator, a NUL...).
std::optional<std::vector<std::string>> valid_path_segments(std::string_view path);
