#pragma once

#include <cstdint>

#include "platform/quendle/quendle.hpp"
#include "platform/vastrel/av_picture.hpp"

namespace Quendle {

// Audio as the sources hand it out: a decoded frame with its time.
class decoded_audio final : public IAudioSample {
  public:
    decoded_audio(Vastrel::av_frame_ptr frame, std::int64_t time)
        : frame_(std::move(frame)), time_(time) {}

    const AVFrame& frame() const { return *frame_; }

    std::int64_t GetTime() const override { return time_; }
    std::uint32_t GetSampleCount() const override {
        return static_cast<std::uint32_t>(frame_->nb_samples);
    }
    std::uint32_t GetSampleRate() const override {
        return static_cast<std::uint32_t>(frame_->sample_rate);
    }
    std::uint32_t GetChannelCount() const override {
        return static_cast<std::uint32_t>(frame_->ch_layout.nb_channels);
    }

  private:
    Vastrel::av_frame_ptr frame_;
    std::int64_t time_;
};

}  // namespace Quendle
