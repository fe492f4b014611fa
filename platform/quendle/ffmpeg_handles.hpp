#pragma once

// Owners of FFmpeg's objects, each freed by its own function.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace Quendle {

struct format_input_closer {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using format_input_ptr = std::unique_ptr<AVFormatContext, format_input_closer>;

struct codec_context_freer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_freer>;

struct packet_freer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;

struct resampler_freer {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
using resampler_ptr = std::unique_ptr<SwrContext, resampler_freer>;

struct audio_fifo_freer {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_freer>;

// Times of the library's interface: units of 100 ns.
inline constexpr AVRational interface_time_base{1, 10000000};

}  // namespace Quendle
