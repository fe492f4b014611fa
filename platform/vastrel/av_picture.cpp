#include "platform/vastrel/av_picture.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace Vastrel {
namespace {

constexpr pixel_format pixel_formats[] = {
    {0, AV_PIX_FMT_YUV420P, false, 3},   {12, AV_PIX_FMT_YUV420P, true, 3},
    {4, AV_PIX_FMT_YUV422P, false, 3},   {13, AV_PIX_FMT_YUV422P, true, 3},
    {5, AV_PIX_FMT_YUV444P, false, 3},   {14, AV_PIX_FMT_YUV444P, true, 3},
    {6, AV_PIX_FMT_YUV410P, false, 3},   {7, AV_PIX_FMT_YUV411P, false, 3},
    {33, AV_PIX_FMT_YUV440P, false, 3},  {35, AV_PIX_FMT_YUVA420P, false, 4},
    {60, AV_PIX_FMT_YUVA444P, false, 4}, {1, AV_PIX_FMT_YUYV422, false, 1},
    {17, AV_PIX_FMT_UYVY422, false, 1},  {2, AV_PIX_FMT_RGB24, false, 1},
    {3, AV_PIX_FMT_BGR24, false, 1},     {11, AV_PIX_FMT_GRAY8, true, 2},
    {27, AV_PIX_FMT_RGBA, false, 1},     {28, AV_PIX_FMT_ARGB, false, 1},
    {29, AV_PIX_FMT_ABGR, false, 1},     {30, AV_PIX_FMT_BGRA, false, 1},
};

bool yuv(const pixel_format& format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format.av_format);
    return descriptor->nb_components >= 3 && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0;
}

// Rows of a plane of a picture `height` rows high; the chroma planes of a
// subsampled format round up, as FFmpeg lays them out.
int plane_rows(AVPixelFormat format, int height, int plane) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (plane == 1 || plane == 2) {
        return AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h);
    }
    return height;
}

}  // namespace

const pixel_format* find_pixel_format(int number) {
    const auto found = std::find_if(std::begin(pixel_formats), std::end(pixel_formats),
                                    [number](const pixel_format& f) { return f.number == number; });
    return found == std::end(pixel_formats) ? nullptr : found;
}

int pixel_format_number(AVPixelFormat format, AVColorRange range) {
    bool full_range = range == AVCOL_RANGE_JPEG;
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return 12;
        case AV_PIX_FMT_YUVJ422P:
            return 13;
        case AV_PIX_FMT_YUVJ444P:
            return 14;
        case AV_PIX_FMT_GRAY8:
            return 11;
        default:
            break;
    }
    for (const pixel_format& entry : pixel_formats) {
        if (entry.av_format == format && (!yuv(entry) || entry.full_range == full_range)) {
            return entry.number;
        }
    }
    return -1;
}

av_frame_ptr allocate_av_frame(AVPixelFormat format, int width, int height) {
    av_frame_ptr frame(av_frame_alloc());
    if (!frame) {
        return {};
    }
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return {};
    }
    return frame;
}

av_frame_ptr copy_to_av_frame(const IRawVideoFrame& frame, bool flip) {
    const pixel_format* format = find_pixel_format(frame.GetPixelFormat());
    int width = 0;
    int height = 0;
    frame.GetSize(width, height);
    if (format == nullptr || width <= 0 || height <= 0) {
        return {};
    }
    const int planes = av_pix_fmt_count_planes(format->av_format);
    if (frame.GetPlaneCount() < planes) {
        return {};
    }
    av_frame_ptr copy = allocate_av_frame(format->av_format, width, height);
    if (!copy) {
        return {};
    }
    copy->color_range = format->full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    for (int plane = 0; plane < planes; ++plane) {
        int source_bytes = 0;
        int pitch = 0;
        int source_rows = 0;
        const std::uint8_t* source = frame.GetPlane(plane, source_bytes, pitch, source_rows);
        // A pitch below the row's width would read past the last row.
        if (source == nullptr || source_bytes <= 0 || source_rows <= 0 || pitch < source_bytes) {
            return {};
        }
        const int target_bytes = av_image_get_linesize(format->av_format, width, plane);
        const int target_rows = plane_rows(format->av_format, height, plane);
        const int copied = std::min(source_bytes, target_bytes);
        for (int row = 0; row < target_rows; ++row) {
            const int picture_row = std::min(row, source_rows - 1);
            const int memory_row = flip ? source_rows - 1 - picture_row : picture_row;
            const std::uint8_t* from = source + static_cast<std::ptrdiff_t>(memory_row) * pitch;
            std::uint8_t* to =
                copy->data[plane] + static_cast<std::ptrdiff_t>(row) * copy->linesize[plane];
            std::memcpy(to, from, static_cast<std::size_t>(copied));
            if (target_bytes > copied) {
                std::memset(to + copied, from[copied - 1],
                            static_cast<std::size_t>(target_bytes - copied));
            }
        }
    }
    return copy;
}

av_picture::av_picture(av_frame_ptr frame, int pixel_format, bool top_down, double timestamp,
                       bool owns_itself)
    : frame_(std::move(frame)),
      pixel_format_(pixel_format),
      top_down_(top_down),
      timestamp_(timestamp),
      owns_itself_(owns_itself) {
    const Vastrel::pixel_format* format = find_pixel_format(pixel_format);
    plane_count_ = format != nullptr
                       ? format->plane_records
                       : av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame_->format));
}

void av_picture::GetSize(int& width, int& height) const {
    width = frame_->width - crop_x_;
    height = frame_->height - crop_y_;
}

std::int64_t av_picture::GetDataSize() const {
    const auto format = static_cast<AVPixelFormat>(frame_->format);
    std::int64_t size = 0;
    for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
        size += std::int64_t{plane_rows(format, frame_->height, plane)} * frame_->linesize[plane];
    }
    return size;
}

std::uint8_t* av_picture::GetPlane(int index, int& width_bytes, int& pitch, int& rows) const {
    width_bytes = pitch = rows = 0;
    const auto format = static_cast<AVPixelFormat>(frame_->format);
    if (index < 0 || index >= plane_count_ || index >= av_pix_fmt_count_planes(format)) {
        return nullptr;
    }
    int width = 0;
    int height = 0;
    GetSize(width, height);
    // The crop hides columns on the right and rows at the bottom; in a
    // bottom-up picture those rows come first in memory.
    width_bytes = std::max(0, av_image_get_linesize(format, width, index));
    rows = plane_rows(format, height, index);
    pitch = frame_->linesize[index];
    const int hidden_rows = plane_rows(format, frame_->height, index) - rows;
    return frame_->data[index] + (top_down_ ? 0 : static_cast<std::ptrdiff_t>(hidden_rows) * pitch);
}

bool av_picture::SetCropOffset(int x, int y) {
    if (x < 0 || y < 0 || x >= frame_->width || y >= frame_->height) {
        return false;
    }
    crop_x_ = x;
    crop_y_ = y;
    return true;
}

void av_picture::Release() {
    if (owns_itself_) {
        delete this;
    }
}

int av_picture::GetRatio(int& second) const {
    second = ratio_second_;
    return ratio_first_;
}

void av_picture::SetRatio(int first, int second) {
    ratio_first_ = first;
    ratio_second_ = second;
}

IRawVideoFrame* av_picture::Clone() const {
    av_frame_ptr pixels = allocate_av_frame(static_cast<AVPixelFormat>(frame_->format),
                                            frame_->width, frame_->height);
    if (!pixels || av_frame_copy(pixels.get(), frame_.get()) < 0 ||
        av_frame_copy_props(pixels.get(), frame_.get()) < 0) {
        return nullptr;
    }
    auto copy =
        std::make_unique<av_picture>(std::move(pixels), pixel_format_, top_down_, timestamp_, true);
    copy->tag_ = tag_;
    copy->crop_x_ = crop_x_;
    copy->crop_y_ = crop_y_;
    copy->int_param_ = int_param_;
    copy->ratio_first_ = ratio_first_;
    copy->ratio_second_ = ratio_second_;
    copy->flag22_ = flag22_;
    copy->flag25_ = flag25_;
    copy->flag24_ = flag24_;
    return copy.release();
}

}  // namespace Vastrel
