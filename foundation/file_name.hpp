#pragma once

#include <string_view>

// Whether a name that a client or an operator supplied may become one file
// or directory name: not empty, not "." or "..", at most 256 bytes, and none
// of the bytes NUL " * / : < > ? \ |. Other bytes, UTF-8 included, pass.
bool is_valid_file_name(std::string_view name) noexcept;
