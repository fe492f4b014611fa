#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The picture interface that the media libraries and their users share: a
// decoded frame of some pixel format, laid out as one or more planes. The
// libraries only ever see this interface; each side brings its own
// implementation.
namespace Vastrel {

class IRawVideoFrame {
  public:
    virtual int GetPixelFormat() const = 0;
    // The visible size: the picture less its crop offset.
    virtual void GetSize(int& width, int& height) const = 0;
    virtual int GetTag() const = 0;
    virtual void SetTag(int tag) = 0;
    // Whether the first row in memory is the top of the picture.
    virtual bool IsTopDown() const = 0;
    // Whether the format keeps all its pixels in one plane.
    virtual bool GetFlag5() const = 0;
    virtual int GetPlaneCount() const = 0;
    // Bytes of pixel memory: rows times pitch, over all planes.
    virtual std::int64_t GetDataSize() const = 0;
    // The visible part of a plane: its first byte (none for an index past
    // the last plane), the bytes of a row, the bytes from one row to the
    // next, and the number of rows.
    virtual std::uint8_t* GetPlane(int index, int& width_bytes, int& pitch, int& rows) const = 0;
    virtual double GetTimestamp() const = 0;
    // Hides `x` columns on the right and `y` rows at the bottom; refused
    // (false) when that would leave nothing.
    virtual bool SetCropOffset(int x, int y) = 0;
    // Ends a frame handed out by Clone; a frame that someone else owns
    // ignores it.
    virtual void Release() = 0;
    virtual int GetIntParam() const = 0;
    virtual void SetIntParam(int value) = 0;
    virtual int GetRatio(int& second) const = 0;
    virtual void SetRatio(int first, int second) = 0;
    // A copy with pixel memory of its own, to be ended with Release.
    virtual IRawVideoFrame* Clone() const = 0;
    virtual std::uint8_t GetFlag22() const = 0;
    virtual void SetFlag22(std::uint8_t value) = 0;
    virtual std::uint8_t GetFlag25() const = 0;
    virtual void SetFlag25(std::uint8_t value) = 0;
    virtual std::uint8_t GetFlag24() const = 0;
    virtual void SetFlag24(std::uint8_t value) = 0;
    virtual ~IRawVideoFrame() = default;
};

// Holds a frame from Clone (or another maker of owned frames) and releases
// it at the end of the scope.
struct release_frame {
    void operator()(IRawVideoFrame* frame) const { frame->Release(); }
};
using frame_ptr = std::unique_ptr<IRawVideoFrame, release_frame>;

}  // namespace Vastrel

// Copies `size` bytes of pixel memory; the ranges do not overlap.
void VastrelMemCopy(void* destination, const void* source, std::size_t size);
