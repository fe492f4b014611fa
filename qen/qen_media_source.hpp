#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "foundation/media_source_callbacks.hpp"
#include "foundation/zpk_reader.hpp"
#include "rtmp/flv_stream_source.hpp"

namespace qen {

// A stored stream opened for playback: an FLV file or a segment recording.
struct media_source {
    std::unique_ptr<rtmp::flv_stream_source> flv;
    std::unique_ptr<zpk_reader> zpk;

    // The player's view of the source, which must outlive every call through
    // it (a recorded player makes none once its stop() has returned). Empty
    // callbacks when neither source is open.
    media_source_callbacks callbacks();
};

// Opens the file in the named format: "flv" (an FLV file) or "zpk" (a
// recording's index file). Throws "Unknown file format", or what opening the
// file throws.
std::unique_ptr<media_source> open_file_source(const std::filesystem::path& path,
                                               const std::string& format);

}  // namespace qen
