#pragma once

#include <cstdint>

#include "platform/quendle/encoded_packet.hpp"
#include "platform/quendle/ffmpeg_handles.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/vastrel/av_picture.hpp"

namespace Quendle {

// "h264": libx264 with the fixed settings of settings.hpp; pictures of
// format 0, times taken from their GetTimestamp.
class video_encoder final : public IVideoEncoder {
  public:
    video_encoder();

    bool set_input_type(const Vastrel::IRawVideoFrame& description) override;
    void configure(const VideoEncoderSettings& settings) override { settings_ = settings; }
    bool open() override;
    const std::uint8_t* extra_data(std::uint32_t& length) const override;
    IAVPacket* encode(const Vastrel::IRawVideoFrame* frame) override;
    void release() override { delete this; }

  private:
    Vastrel::av_frame_ptr picture_for(const Vastrel::IRawVideoFrame& frame) const;

    int width_ = 0;
    int height_ = 0;
    VideoEncoderSettings settings_;
    codec_context_ptr context_;
    packet_queue packets_;
    std::int64_t last_time_ = -1;
    std::int64_t next_forced_keyframe_ = 0;
    bool draining_ = false;
};

// "aac": FFmpeg's AAC encoder. Samples are converted to the opened rate and
// channels and cut into the encoder's frames; the first sample's time
// starts the audio's timeline, which then runs on by samples.
class audio_encoder final : public IAudioEncoder {
  public:
    audio_encoder();
    ~audio_encoder();

    bool open(const AudioEncoderSettings& settings) override;
    const std::uint8_t* extra_data(std::uint32_t& length) const override;
    bool push(const IAudioSample& sample) override;
    IAVPacket* pull() override;
    void release() override { delete this; }

  private:
    bool resampler_for(const AVFrame& input);

    codec_context_ptr context_;
    packet_queue packets_;
    audio_fifo_ptr fifo_;
    resampler_ptr resampler_;
    // What the resampler was made for.
    int input_format_ = -1;
    int input_rate_ = 0;
    AVChannelLayout input_layout_{};
    bool started_ = false;
    std::int64_t next_sample_ = 0;
};

}  // namespace Quendle
