#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/quendle/loader.hpp"
#include "platform/quendle/quendle.hpp"

class QImage;

// The media library of a folder and its manager.
class av_libraries {
  public:
    // Throws std::runtime_error when the library cannot be loaded or makes
    // no manager (an FFmpeg without H.264 or AAC encoding).
    explicit av_libraries(const std::filesystem::path& folder);

    Quendle::IAVManager& manager() const { return *manager_; }

  private:
    Quendle::library library_;
    Quendle::object_ptr<Quendle::IAVManager> manager_;
};

// Loads the media library from the program's folder once per process and
// keeps its manager for the life of the program; true when it is there.
// A failure may be tried again.
bool load_av_libraries();
// The same from a folder of the caller's choice; true at once when a
// library is loaded already.
bool load_av_libraries(const std::filesystem::path& folder);
// The manager that load_av_libraries keeps; none before it succeeded.
Quendle::IAVManager* av_manager();

// Opens a file with or without its video and audio; none when it does
// not open (or before load_av_libraries).
Quendle::object_ptr<Quendle::IAVSource> open_media_source(const std::filesystem::path& path,
                                                          bool with_video, bool with_audio);

// A picture of a file at about `position_ms` (a later position than the
// file's end takes 10 s, or the middle of a shorter file): 1 with
// `picture` set to a 32-bit RGB image (QImage::Format_RGB32) of its own,
// 0 when the file has no picture there, -1 when it cannot be opened. The
// file's duration (ms) goes to `duration_ms` unless it cannot be opened.
// Either output may be none. Any thread may call it; the GUI thread makes
// pixmaps of the image.
int grab_thumbnail(const std::filesystem::path& path, std::uint32_t position_ms, QImage* picture,
                   std::uint32_t* duration_ms);

// grab_thumbnail on a thread of its own, while the calling (GUI) thread
// goes on handling its events about once a second.
int probe_media_async(const std::filesystem::path& path, std::uint32_t position_ms, QImage* picture,
                      std::uint32_t* duration_ms);
