#pragma once

#include <filesystem>
#include <string_view>

// Gives `target` the content `bytes` in one step: the bytes go to a new file
// beside it, reach the disk, and that file is renamed over `target`. Whoever
// opens `target` sees the old content or the new one, whole, and a crash or
// a full disk leaves the old one. The new file gets the mode an ordinary
// create gives (0666 less the umask), as the file it replaces had.
//
// Throws std::filesystem::error naming the file on failure; the temporary
// file is removed then and `target` is left as it was.
void replace_file(const std::filesystem::path& target, std::string_view bytes);
