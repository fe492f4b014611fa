#pragma once

#include <filesystem>

#include "platform/quendle/quendle.hpp"

namespace Quendle {

// The media library's shared object, opened at run time. Once loaded it
// stays loaded until the process ends, as a program's manager does: the
// libraries beneath it keep state of their own that an unload would cut
// off.
class library {
  public:
    // Throws std::runtime_error with the loader's reason when the file
    // cannot be loaded or has no CreateAVManager.
    explicit library(const std::filesystem::path& file);
    library(const library&) = delete;
    library& operator=(const library&) = delete;

    CreateAVManagerFunction& create_av_manager() const { return *create_; }

  private:
    CreateAVManagerFunction* create_;
};

// The file name of the shared object in a program's folder.
inline constexpr const char* library_file_name = "libquendle.so";

}  // namespace Quendle
