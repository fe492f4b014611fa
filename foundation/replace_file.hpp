#pragma once

#include <filesystem>
#include <string_view>

// The permission bits the new content gets.
enum class replaced_mode {
    // What an ordinary create gives (0666 less the umask), as the file it
    // replaces had when it was made that way.
    fresh,
    // The permission bits of the file replaced, when there is one: a file
    // that only its owner may read stays so. Never wider, not even while
    // the new content is being written. Its owner and group too, where this
    // process may give them.
    kept,
};

// Gives `target` the content `bytes` in one step: the bytes go to a new file
// beside it, reach the disk, and that file is renamed over `target`. Whoever
// opens `target` sees the old content or the new one, whole, and a crash or
// a full disk leaves the old one.
//
// Throws std::filesystem::filesystem_error naming the file on failure; the temporary
// file is removed then and `target` is left as it was.
void replace_file(const std::filesystem::path& target, std::string_view bytes,
                  replaced_mode mode = replaced_mode::fresh);

// The same in two steps, for a writer that has more to do between the new
// content reaching the disk and its taking the target's place (a backup of
// the old content, say). The constructor writes and syncs the temporary
// file; commit() renames it over the target. A replacement that is never
// committed removes its temporary file and leaves the target alone. Both
// steps throw as replace_file does.
class file_replacement {
  public:
    file_replacement(const std::filesystem::path& target, std::string_view bytes,
                     replaced_mode mode = replaced_mode::fresh);
    ~file_replacement();
    file_replacement(const file_replacement&) = delete;
    file_replacement& operator=(const file_replacement&) = delete;

    void commit();

  private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool pending_ = true;
};
