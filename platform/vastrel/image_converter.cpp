#include "platform/vastrel/image_converter.hpp"

#include <memory>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/vastrel/av_picture.hpp"
#include "platform/vastrel/av_scaler.hpp"

namespace Vastrel {
namespace {

// The converter reads frames of either side through the interface alone:
// each frame is first copied into a picture that libswscale can read.
class image_converter final : public IImageConverter {
  public:
    explicit image_converter(const pixel_format& output) : output_(output) {}

    IRawVideoFrame* Convert(const IRawVideoFrame& frame) override {
        av_frame_ptr source = copy_to_av_frame(frame, false);
        if (!source) {
            return nullptr;
        }
        av_frame_ptr target = allocate_av_frame(output_.av_format, source->width, source->height);
        if (!target) {
            return nullptr;
        }
        target->color_range = output_.full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        if (!scaler_.scale(*source, *target)) {
            return nullptr;
        }
        result_ = std::make_unique<av_picture>(std::move(target), output_.number, frame.IsTopDown(),
                                               frame.GetTimestamp(), false);
        return result_.get();
    }

    void Release() override { delete this; }

  private:
    const pixel_format& output_;
    av_scaler scaler_{SWS_BICUBIC};
    std::unique_ptr<av_picture> result_;
};

class crop_pan final : public IRawVideoFrameCropPan {
  public:
    void SetOption(int option) override { top_down_ = option == 1; }

    IRawVideoFrame* Process(const IRawVideoFrame& frame) override {
        const bool top_down = top_down_ || frame.IsTopDown();
        av_frame_ptr copy = copy_to_av_frame(frame, top_down != frame.IsTopDown());
        if (!copy) {
            return nullptr;
        }
        result_ = std::make_unique<av_picture>(std::move(copy), frame.GetPixelFormat(), top_down,
                                               frame.GetTimestamp(), false);
        return result_.get();
    }

    void Release() override { delete this; }

  private:
    bool top_down_ = false;
    std::unique_ptr<av_picture> result_;
};

}  // namespace

IImageConverter* CreateImageConverter(int output_format) {
    const pixel_format* output = find_pixel_format(output_format);
    return output == nullptr ? nullptr : std::make_unique<image_converter>(*output).release();
}

IRawVideoFrameCropPan* CreateRawVideoFrameCropPan() {
    return std::make_unique<crop_pan>().release();
}

}  // namespace Vastrel
