#pragma once

#include <cstdint>
#include <vector>

#include "platform/vastrel/raw_video_frame.hpp"
#include "vornebased/res_keeper.hpp"

namespace Vastrel {

// The client's own raw video frame: the planes of a pixel format at a
// given size. A frame starts without pixel memory; AttachPlane points a
// plane at memory that someone else owns, and Clone makes a copy that holds
// all its planes in one 16-byte-aligned buffer of its own.
class CRawVideoFrame : public IRawVideoFrame {
  public:
    // Throws error::bad_argument "Bad pixel format" for a format it does
    // not know. A frame that owns itself is ended by Release.
    CRawVideoFrame(bool owns_itself, int pixel_format, int width, int height, bool top_down);
    // A copy with its own buffer, owned by its holder like any value (a
    // clone owns itself); throws error::no_memory when the buffer cannot
    // be had.
    CRawVideoFrame(const CRawVideoFrame& other);
    CRawVideoFrame& operator=(const CRawVideoFrame&) = delete;
    ~CRawVideoFrame() override;

    int GetPixelFormat() const override { return pixel_format_; }
    void GetSize(int& width, int& height) const override;
    int GetTag() const override { return tag_; }
    void SetTag(int tag) override { tag_ = tag; }
    bool IsTopDown() const override { return top_down_; }
    bool GetFlag5() const override { return packed_; }
    int GetPlaneCount() const override { return static_cast<int>(planes_.size()); }
    std::int64_t GetDataSize() const override;
    std::uint8_t* GetPlane(int index, int& width_bytes, int& pitch, int& rows) const override;
    double GetTimestamp() const override { return timestamp_; }
    bool SetCropOffset(int x, int y) override;
    void Release() override;
    int GetIntParam() const override { return int_param_; }
    void SetIntParam(int value) override { int_param_ = value; }
    int GetRatio(int& second) const override;
    void SetRatio(int first, int second) override;
    IRawVideoFrame* Clone() const override;
    std::uint8_t GetFlag22() const override { return flag22_; }
    void SetFlag22(std::uint8_t value) override { flag22_ = value; }
    std::uint8_t GetFlag25() const override { return flag25_; }
    void SetFlag25(std::uint8_t value) override { flag25_ = value; }
    std::uint8_t GetFlag24() const override { return flag24_; }
    void SetFlag24(std::uint8_t value) override { flag24_ = value; }

    // Points a plane at `pitch` x rows bytes of pixel memory that outlives
    // the frame (and its use). False for an index past the last plane or a
    // negative pitch.
    bool AttachPlane(int index, std::uint8_t* data, int pitch);
    // Bytes of the buffer that a copy keeps its planes in (0 for a frame
    // that is no copy).
    std::size_t copy_buffer_size() const { return buffer_.size(); }

  private:
    struct plane {
        std::uint8_t* data = nullptr;
        int width_bytes = 0;
        int pitch = 0;
        int rows = 0;
        std::uint16_t bytes_per_pixel_num = 1;  // horizontal bytes per pixel,
        std::uint16_t bytes_per_pixel_den = 1;  // as a fraction
        int vertical_divisor = 1;
    };

    void LayOutPlanes();

    int pixel_format_;
    int width_;
    int height_;
    int tag_ = 0;
    bool top_down_;
    bool packed_ = false;
    std::uint8_t flag22_ = 1;
    bool owns_itself_;
    std::uint8_t flag25_ = 0;
    std::uint8_t flag24_ = 0;
    std::vector<plane> planes_;
    double timestamp_ = 0;
    int crop_x_ = 0;
    int crop_y_ = 0;
    int int_param_ = 1;
    int ratio_first_ = 1;
    int ratio_second_ = 0;
    VorneBased::aligned_res_keeper buffer_{16};
};

}  // namespace Vastrel
