#include "platform/quendle/encoders.hpp"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include "platform/quendle/decoded_audio.hpp"
#include "platform/quendle/settings.hpp"

namespace Quendle {
namespace {

constexpr std::uint32_t max_channels = 8;

struct dictionary {
    AVDictionary* entries = nullptr;
    ~dictionary() { av_dict_free(&entries); }
    void set(const char* key, const char* value) { av_dict_set(&entries, key, value, 0); }
};

const std::uint8_t* extra_data_of(const codec_context_ptr& context, std::uint32_t& length) {
    if (!context || context->extradata == nullptr) {
        length = 0;
        return nullptr;
    }
    length = static_cast<std::uint32_t>(context->extradata_size);
    return context->extradata;
}

// Hands a frame (or the end, as none) to an encoder that may first want
// its finished packets taken.
void send_frame(AVCodecContext& encoder, const AVFrame* frame, packet_queue& packets) {
    if (avcodec_send_frame(&encoder, frame) == AVERROR(EAGAIN)) {
        packets.receive_all(encoder);
        avcodec_send_frame(&encoder, frame);
    }
    packets.receive_all(encoder);
}

}  // namespace

video_encoder::video_encoder() : packets_(interface_time_base) {}

bool video_encoder::set_input_type(const Vastrel::IRawVideoFrame& description) {
    int width = 0;
    int height = 0;
    description.GetSize(width, height);
    // 4:2:0 wants even sizes.
    if (context_ || description.GetPixelFormat() != 0 || width <= 0 || height <= 0 ||
        width % 2 != 0 || height % 2 != 0) {
        return false;
    }
    width_ = width;
    height_ = height;
    return true;
}

bool video_encoder::open() {
    const AVCodec* codec = avcodec_find_encoder_by_name(settings::video_codec);
    if (context_ || width_ == 0 || codec == nullptr) {
        return false;
    }
    codec_context_ptr context(avcodec_alloc_context3(codec));
    if (!context) {
        return false;
    }
    context->width = width_;
    context->height = height_;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = interface_time_base;
    context->framerate = {settings::nominal_frame_rate, 1};
    context->bit_rate = settings_.bitrate;
    context->rc_max_rate = settings_.max_bitrate;
    context->rc_buffer_size =
        static_cast<int>(std::lround(settings_.max_bitrate * settings::rate_buffer_seconds));
    context->gop_size = settings::max_keyframe_interval;
    context->max_b_frames = 0;
    context->thread_count = 0;
    // The parameter sets once, as extra data, rather than in the packets.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    dictionary options;
    options.set("preset", settings::x264_preset);
    options.set("x264-params", settings::x264_params);
    options.set("forced-idr", "1");
    options.set("thread_type", settings::video_thread_type);
    if (avcodec_open2(context.get(), codec, &options.entries) < 0 || context->extradata_size <= 0) {
        return false;
    }
    context_ = std::move(context);
    return true;
}

const std::uint8_t* video_encoder::extra_data(std::uint32_t& length) const {
    return extra_data_of(context_, length);
}

IAVPacket* video_encoder::encode(const Vastrel::IRawVideoFrame* frame) {
    if (!context_) {
        return nullptr;
    }
    if (frame != nullptr) {
        Vastrel::av_frame_ptr picture = picture_for(*frame);
        if (picture && !draining_) {
            // The encoder wants rising times.
            const std::int64_t time =
                std::max<std::int64_t>(std::llround(frame->GetTimestamp()), last_time_ + 1);
            last_time_ = time;
            picture->pts = time;
            picture->pict_type = AV_PICTURE_TYPE_NONE;
            const std::int64_t interval =
                std::llround(settings::keyframe_interval_seconds * interface_time_base.den);
            if (time >= next_forced_keyframe_) {
                picture->pict_type = AV_PICTURE_TYPE_I;
                next_forced_keyframe_ = (time / interval + 1) * interval;
            }
            send_frame(*context_, picture.get(), packets_);
        }
    } else if (!draining_) {
        draining_ = true;
        send_frame(*context_, nullptr, packets_);
    }
    return packets_.next();
}

Vastrel::av_frame_ptr video_encoder::picture_for(const Vastrel::IRawVideoFrame& frame) const {
    int width = 0;
    int height = 0;
    frame.GetSize(width, height);
    if (frame.GetPixelFormat() != 0 || width != width_ || height != height_) {
        return {};
    }
    // The library's own pictures are passed on as they are; others are
    // copied, top-down.
    if (const auto* own = dynamic_cast<const Vastrel::av_picture*>(&frame)) {
        const AVFrame& picture = own->frame();
        if (own->IsTopDown() && picture.format == AV_PIX_FMT_YUV420P && picture.width == width &&
            picture.height == height) {
            return Vastrel::av_frame_ptr(av_frame_clone(&picture));
        }
    }
    return Vastrel::copy_to_av_frame(frame, !frame.IsTopDown());
}

audio_encoder::audio_encoder() = default;

audio_encoder::~audio_encoder() {
    av_channel_layout_uninit(&input_layout_);
}

bool audio_encoder::open(const AudioEncoderSettings& settings) {
    const AVCodec* codec = avcodec_find_encoder_by_name(settings::audio_codec);
    if (context_ || codec == nullptr || settings.sample_rate == 0 || settings.channels == 0 ||
        settings.channels > max_channels) {
        return false;
    }
    codec_context_ptr context(avcodec_alloc_context3(codec));
    if (!context) {
        return false;
    }
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = static_cast<int>(settings.sample_rate);
    av_channel_layout_default(&context->ch_layout, static_cast<int>(settings.channels));
    context->bit_rate = settings.bitrate;
    context->time_base = {1, context->sample_rate};
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(context.get(), codec, nullptr) < 0 || context->frame_size <= 0) {
        return false;
    }
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, static_cast<int>(settings.channels),
                                    2 * context->frame_size));
    if (!fifo_) {
        return false;
    }
    packets_.set_time_base(context->time_base);
    context_ = std::move(context);
    return true;
}

const std::uint8_t* audio_encoder::extra_data(std::uint32_t& length) const {
    return extra_data_of(context_, length);
}

bool audio_encoder::resampler_for(const AVFrame& input) {
    AVChannelLayout layout{};
    if (input.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
        !av_channel_layout_check(&input.ch_layout)) {
        av_channel_layout_default(&layout, input.ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&layout, &input.ch_layout) < 0) {
        return false;
    }
    if (resampler_ && input.format == input_format_ && input.sample_rate == input_rate_ &&
        av_channel_layout_compare(&layout, &input_layout_) == 0) {
        av_channel_layout_uninit(&layout);
        return true;
    }
    resampler_.reset();
    av_channel_layout_uninit(&input_layout_);
    input_layout_ = layout;
    input_format_ = input.format;
    input_rate_ = input.sample_rate;
    SwrContext* made = nullptr;
    if (swr_alloc_set_opts2(&made, &context_->ch_layout, context_->sample_fmt,
                            context_->sample_rate, &input_layout_,
                            static_cast<AVSampleFormat>(input.format), input.sample_rate, 0,
                            nullptr) < 0) {
        return false;
    }
    resampler_.reset(made);
    if (swr_init(resampler_.get()) < 0) {
        resampler_.reset();
        return false;
    }
    return true;
}

bool audio_encoder::push(const IAudioSample& sample) {
    const auto* own = dynamic_cast<const decoded_audio*>(&sample);
    if (!context_ || own == nullptr) {
        return false;
    }
    const AVFrame& input = own->frame();
    if (input.nb_samples <= 0 || input.sample_rate <= 0 || !resampler_for(input)) {
        return false;
    }
    if (!started_) {
        next_sample_ = std::max<std::int64_t>(
            0, av_rescale(sample.GetTime(), context_->sample_rate, interface_time_base.den));
        started_ = true;
    }
    const int room = swr_get_out_samples(resampler_.get(), input.nb_samples);
    if (room <= 0) {
        return true;
    }
    Vastrel::av_frame_ptr converted(av_frame_alloc());
    if (!converted) {
        return false;
    }
    converted->format = context_->sample_fmt;
    converted->nb_samples = room;
    if (av_channel_layout_copy(&converted->ch_layout, &context_->ch_layout) < 0 ||
        av_frame_get_buffer(converted.get(), 0) < 0) {
        return false;
    }
    const int samples =
        swr_convert(resampler_.get(), converted->data, room,
                    const_cast<const std::uint8_t**>(input.extended_data), input.nb_samples);
    if (samples < 0) {
        return false;
    }
    return av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted->data), samples) ==
           samples;
}

IAVPacket* audio_encoder::pull() {
    if (!context_) {
        return nullptr;
    }
    const int frame_size = context_->frame_size;
    while (packets_.empty() && av_audio_fifo_size(fifo_.get()) >= frame_size) {
        Vastrel::av_frame_ptr frame(av_frame_alloc());
        if (!frame) {
            break;
        }
        frame->format = context_->sample_fmt;
        frame->nb_samples = frame_size;
        frame->sample_rate = context_->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout) < 0 ||
            av_frame_get_buffer(frame.get(), 0) < 0 ||
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), frame_size) !=
                frame_size) {
            break;
        }
        frame->pts = next_sample_;
        next_sample_ += frame_size;
        send_frame(*context_, frame.get(), packets_);
    }
    return packets_.next();
}

}  // namespace Quendle
