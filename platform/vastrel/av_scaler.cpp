#include "platform/vastrel/av_scaler.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace Vastrel {
namespace {

// libswscale warns about the full-range "J" formats; it is told the range
// instead.
AVPixelFormat without_range(AVPixelFormat format, bool& full_range) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            full_range = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            full_range = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            full_range = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            full_range = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            full_range = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

}  // namespace

av_scaler::av_scaler(int flags) : flags_(flags) {}

av_scaler::~av_scaler() {
    sws_freeContext(context_);
}

bool av_scaler::scale(const AVFrame& source, AVFrame& target) {
    geometry wanted{};
    wanted.source_full = source.color_range == AVCOL_RANGE_JPEG;
    wanted.target_full = target.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source_format =
        without_range(static_cast<AVPixelFormat>(source.format), wanted.source_full);
    const AVPixelFormat target_format =
        without_range(static_cast<AVPixelFormat>(target.format), wanted.target_full);
    wanted.source_format = source_format;
    wanted.source_width = source.width;
    wanted.source_height = source.height;
    wanted.target_format = target_format;
    wanted.target_width = target.width;
    wanted.target_height = target.height;
    wanted.matrix = source.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : source.colorspace;

    if (context_ == nullptr || !(wanted == made_)) {
        sws_freeContext(context_);
        context_ = sws_getContext(source.width, source.height, source_format, target.width,
                                  target.height, target_format, flags_, nullptr, nullptr, nullptr);
        if (context_ == nullptr) {
            return false;
        }
        // The same matrix on both sides: a YUV picture keeps its colours'
        // meaning, and an RGB one is made with the source's matrix.
        const int* matrix = sws_getCoefficients(wanted.matrix);
        sws_setColorspaceDetails(context_, matrix, wanted.source_full ? 1 : 0, matrix,
                                 wanted.target_full ? 1 : 0, 0, 1 << 16, 1 << 16);
        made_ = wanted;
    }
    const int rows = sws_scale(context_, source.data, source.linesize, 0, source.height,
                               target.data, target.linesize);
    return rows > 0;
}

}  // namespace Vastrel
