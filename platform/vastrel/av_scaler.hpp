#pragma once

// Picture scaling and pixel-format conversion through libswscale, for the
// implementations of the media libraries.

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

namespace Vastrel {

// Keeps one scaling context and makes it again only when the pictures'
// formats, sizes, ranges or colour matrix change. Not locked: one thread
// at a time.
class av_scaler {
  public:
    // `flags`: the SWS_ scaling algorithm.
    explicit av_scaler(int flags);
    ~av_scaler();
    av_scaler(const av_scaler&) = delete;
    av_scaler& operator=(const av_scaler&) = delete;

    // Scales `source` into `target`, whose format, size and memory are set.
    // Each side's range comes from its color_range (a full-range "J" format
    // counts as full range); the source's colour matrix is kept. False when
    // libswscale cannot do it.
    bool scale(const AVFrame& source, AVFrame& target);

  private:
    struct geometry {
        int source_format, source_width, source_height;
        int target_format, target_width, target_height;
        bool source_full, target_full;
        int matrix;
        bool operator==(const geometry&) const = default;
    };

    int flags_;
    SwsContext* context_ = nullptr;
    geometry made_{};
};

}  // namespace Vastrel
