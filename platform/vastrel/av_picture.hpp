#pragma once

// The media libraries' own side of the picture interface: frames over
// FFmpeg's AVFrame, and the pixel formats that both sides name by number.
// For the implementations of the libraries only; their users see
// IRawVideoFrame.

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "platform/vastrel/raw_video_frame.hpp"

namespace Vastrel {

struct av_frame_deleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using av_frame_ptr = std::unique_ptr<AVFrame, av_frame_deleter>;

// Pixel format numbers: 0 is planar 4:2:0 with the planes Y, U, V; 12, 13
// and 14 are 4:2:0, 4:2:2 and 4:4:4 in full range; 30 is 32-bit RGB as
// the little-endian word 0xFFRRGGBB (bytes B, G, R, 255).
struct pixel_format {
    int number;
    AVPixelFormat av_format;
    bool full_range;
    int plane_records;  // as the interface counts planes; may exceed FFmpeg's
};

// The entry of a format number; nothing for one without an FFmpeg format.
const pixel_format* find_pixel_format(int number);
// The format number of a decoded picture's format and range; -1 when the
// table has none.
int pixel_format_number(AVPixelFormat format, AVColorRange range);

// A new picture of the format and size, with its pixel memory; none when
// the memory cannot be had.
av_frame_ptr allocate_av_frame(AVPixelFormat format, int width, int height);

// Copies a frame's visible part into a new AVFrame of its format, flipping
// the row order when asked. Planes that an FFmpeg format holds a little
// larger (the half of an odd size is rounded up) are filled by repeating
// the last column or row. None for a frame without pixels or with a format
// outside the table.
av_frame_ptr copy_to_av_frame(const IRawVideoFrame& frame, bool flip);

// A frame over a picture that it holds: `frame` is kept as given and its
// pixels are read through it. `top_down` says whether row 0 in memory is
// the top of the picture.
class av_picture final : public IRawVideoFrame {
  public:
    av_picture(av_frame_ptr frame, int pixel_format, bool top_down, double timestamp,
               bool owns_itself);

    const AVFrame& frame() const { return *frame_; }

    int GetPixelFormat() const override { return pixel_format_; }
    void GetSize(int& width, int& height) const override;
    int GetTag() const override { return tag_; }
    void SetTag(int tag) override { tag_ = tag; }
    bool IsTopDown() const override { return top_down_; }
    bool GetFlag5() const override { return plane_count_ == 1; }
    int GetPlaneCount() const override { return plane_count_; }
    std::int64_t GetDataSize() const override;
    std::uint8_t* GetPlane(int index, int& width_bytes, int& pitch, int& rows) const override;
    double GetTimestamp() const override { return timestamp_; }
    bool SetCropOffset(int x, int y) override;
    void Release() override;
    int GetIntParam() const override { return int_param_; }
    void SetIntParam(int value) override { int_param_ = value; }
    int GetRatio(int& second) const override;
    void SetRatio(int first, int second) override;
    // A copy with pixel memory of its own; none when it cannot be had.
    IRawVideoFrame* Clone() const override;
    std::uint8_t GetFlag22() const override { return flag22_; }
    void SetFlag22(std::uint8_t value) override { flag22_ = value; }
    std::uint8_t GetFlag25() const override { return flag25_; }
    void SetFlag25(std::uint8_t value) override { flag25_ = value; }
    std::uint8_t GetFlag24() const override { return flag24_; }
    void SetFlag24(std::uint8_t value) override { flag24_ = value; }

  private:
    av_frame_ptr frame_;
    int pixel_format_;
    bool top_down_;
    double timestamp_;
    bool owns_itself_;
    int plane_count_;
    int tag_ = 0;
    int crop_x_ = 0;
    int crop_y_ = 0;
    int int_param_ = 1;
    int ratio_first_ = 1;
    int ratio_second_ = 0;
    std::uint8_t flag22_ = 1;
    std::uint8_t flag25_ = 0;
    std::uint8_t flag24_ = 0;
};

}  // namespace Vastrel
