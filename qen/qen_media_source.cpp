#include "qen/qen_media_source.hpp"

#include <stdexcept>

#include "rtmp/rtmp_recorded_stream_player.hpp"

namespace qen {

std::unique_ptr<media_source> open_file_source(const std::filesystem::path& path,
                                               const std::string& format) {
    auto source = std::make_unique<media_source>();
    if (format == "flv") {
        source->flv = std::make_unique<rtmp::flv_stream_source>(path);
    } else if (format == "zpk") {
        source->zpk = std::make_unique<zpk_reader>(path);
    } else {
        throw std::runtime_error("Unknown file format");
    }
    return source;
}

media_source_callbacks media_source::callbacks() {
    if (flv) {
        return rtmp::bind_media_source(*flv);
    }
    if (zpk) {
        return rtmp::bind_media_source(*zpk);
    }
    return {};
}

}  // namespace qen
