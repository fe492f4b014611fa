#pragma once

#include <memory>

#include "platform/vastrel/raw_video_frame.hpp"

// Picture conversions for the users of the media libraries: a converter
// into one pixel format, and a copier that re-lays a frame's visible part.
namespace Vastrel {

class IImageConverter {
  public:
    // The frame in the converter's pixel format, at the frame's visible size
    // and in its row order. The result belongs to the converter and stays
    // valid until the next Convert or Release; none when the frame has no
    // pixels or a format the converter cannot read.
    virtual IRawVideoFrame* Convert(const IRawVideoFrame& frame) = 0;
    virtual void Release() = 0;

  protected:
    ~IImageConverter() = default;
};

class IRawVideoFrameCropPan {
  public:
    // 1: copies are top-down; 0 (the start): copies keep the frame's row
    // order. Other values are taken as 0.
    virtual void SetOption(int option) = 0;
    // A copy of the frame's visible part, in its pixel format. The result
    // belongs to the processor and stays valid until the next Process or
    // Release; none as for IImageConverter::Convert.
    virtual IRawVideoFrame* Process(const IRawVideoFrame& frame) = 0;
    virtual void Release() = 0;

  protected:
    ~IRawVideoFrameCropPan() = default;
};

// A converter into `output_format` (30: 32-bit RGB, each pixel the
// little-endian word 0xFFRRGGBB); none for a format it cannot make.
IImageConverter* CreateImageConverter(int output_format);
IRawVideoFrameCropPan* CreateRawVideoFrameCropPan();

// Holds a converter or processor and releases it at the end of the scope.
struct release_object {
    template <class T>
    void operator()(T* object) const {
        object->Release();
    }
};
using converter_ptr = std::unique_ptr<IImageConverter, release_object>;
using crop_pan_ptr = std::unique_ptr<IRawVideoFrameCropPan, release_object>;

}  // namespace Vastrel
