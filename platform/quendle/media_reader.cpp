#include "platform/quendle/media_reader.hpp"

#include <algorithm>
#include <limits>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Quendle {
namespace {

// Where a picture without a time goes when the file gives no frame rate.
constexpr std::int64_t default_frame_interval = 400000;

bool valid(AVRational rate) {
    return rate.num > 0 && rate.den > 0;
}

std::uint32_t clamp_to_u32(std::int64_t value) {
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

media_reader::media_reader(format_input_ptr format)
    : format_(std::move(format)), packet_(av_packet_alloc()) {}

std::unique_ptr<media_reader> media_reader::open(const std::string& path, bool want_video,
                                                 bool want_audio, int& error) {
    // The file protocol alone: the name is taken as it is (no "%" escapes,
    // no other protocol by a "name:" prefix), and nothing the file names
    // (a playlist's entries) is fetched from elsewhere.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* opened = nullptr;
    const std::string url = "file:" + path;
    error = avformat_open_input(&opened, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (error < 0) {
        return {};
    }
    format_input_ptr format(opened);
    error = avformat_find_stream_info(format.get(), nullptr);
    if (error < 0) {
        return {};
    }
    std::unique_ptr<media_reader> reader(new media_reader(std::move(format)));
    if (!reader->packet_) {
        error = AVERROR(ENOMEM);
        return {};
    }
    AVFormatContext* file = reader->format_.get();

    const auto pick = [&](decoder& d, AVMediaType type) {
        const int best = av_find_best_stream(file, type, -1, -1, nullptr, 0);
        std::vector<int> candidates;
        if (best >= 0) {
            candidates.push_back(best);
        }
        for (unsigned i = 0; i < file->nb_streams; ++i) {
            if (static_cast<int>(i) != best && file->streams[i]->codecpar->codec_type == type) {
                candidates.push_back(static_cast<int>(i));
            }
        }
        for (const int index : candidates) {
            // A cover picture is no video.
            if ((file->streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 &&
                reader->open_decoder(d, index)) {
                return;
            }
        }
    };
    if (want_video) {
        pick(reader->video_, AVMEDIA_TYPE_VIDEO);
    }
    if (want_audio) {
        pick(reader->audio_, AVMEDIA_TYPE_AUDIO);
    }
    if (reader->video_.index < 0 && reader->audio_.index < 0) {
        error = AVERROR_STREAM_NOT_FOUND;
        return {};
    }
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        const int index = static_cast<int>(i);
        if (index != reader->video_.index && index != reader->audio_.index) {
            file->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    reader->describe_streams();
    error = 0;
    return reader;
}

bool media_reader::open_decoder(decoder& d, int index) {
    const AVStream* stream = format_->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        return false;
    }
    codec_context_ptr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) {
        return false;
    }
    context->pkt_timebase = stream->time_base;
    context->thread_count = 0;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        return false;
    }
    d.index = index;
    d.context = std::move(context);
    d.time_base = stream->time_base;
    return true;
}

void media_reader::describe_streams() {
    AVFormatContext* file = format_.get();
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        AVStream* stream = file->streams[i];
        const AVCodecParameters& codec = *stream->codecpar;
        StreamDescription description{};
        description.id = static_cast<std::int32_t>(i);
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO) {
            description.kind = StreamKind::video;
            description.width = static_cast<std::uint32_t>(std::max(codec.width, 0));
            description.height = static_cast<std::uint32_t>(std::max(codec.height, 0));
            const AVRational rate =
                valid(stream->avg_frame_rate) ? stream->avg_frame_rate : stream->r_frame_rate;
            if (valid(rate)) {
                description.frame_rate_numerator = static_cast<std::uint32_t>(rate.num);
                description.frame_rate_denominator = static_cast<std::uint32_t>(rate.den);
            }
            const AVRational aspect = av_guess_sample_aspect_ratio(file, stream, nullptr);
            int numerator = 0;
            int denominator = 0;
            if (valid(aspect) &&
                av_reduce(&numerator, &denominator, aspect.num, aspect.den, 0xFFFF) >= 0 &&
                numerator > 0 && denominator > 0) {
                description.pixel_aspect = static_cast<std::uint32_t>(numerator) << 16 |
                                           static_cast<std::uint32_t>(denominator);
            }
        } else if (codec.codec_type == AVMEDIA_TYPE_AUDIO) {
            description.kind = StreamKind::audio;
            description.sample_rate = static_cast<std::uint32_t>(std::max(codec.sample_rate, 0));
            description.channels =
                static_cast<std::uint32_t>(std::max(codec.ch_layout.nb_channels, 0));
        } else {
            description.kind = StreamKind::other;
        }
        streams_.push_back(description);
    }

    if (file->start_time != AV_NOPTS_VALUE) {
        start_ = av_rescale_q(file->start_time, AV_TIME_BASE_Q, interface_time_base);
    }
    if (file->duration != AV_NOPTS_VALUE) {
        duration_ms_ = clamp_to_u32(file->duration / 1000);
    } else {
        for (unsigned i = 0; i < file->nb_streams; ++i) {
            const AVStream* stream = file->streams[i];
            if (stream->duration != AV_NOPTS_VALUE) {
                duration_ms_ = std::max(
                    duration_ms_,
                    clamp_to_u32(av_rescale_q(stream->duration, stream->time_base, {1, 1000})));
            }
        }
    }
    if (video_.index >= 0) {
        const AVStream* stream = file->streams[video_.index];
        const AVRational rate =
            valid(stream->avg_frame_rate) ? stream->avg_frame_rate : stream->r_frame_rate;
        if (valid(rate)) {
            frame_interval_ = av_rescale(interface_time_base.den, rate.den, rate.num);
        }
    }
}

bool media_reader::seek(std::uint32_t ms) {
    const std::int64_t target = std::int64_t{ms} * 10000;
    const std::int64_t position =
        av_rescale_q(target + start_, interface_time_base, AV_TIME_BASE_Q);
    if (avformat_seek_file(format_.get(), -1, std::numeric_limits<std::int64_t>::min(), position,
                           position, 0) < 0) {
        return false;
    }
    for (decoder* d : {&video_, &audio_}) {
        if (d->context) {
            avcodec_flush_buffers(d->context.get());
            d->flushed = false;
            d->next_time = target;
        }
    }
    skip_before_ = target;
    end_of_file_ = false;
    return true;
}

bool media_reader::next(decoded_frame& out) {
    for (;;) {
        for (decoder* d : {&video_, &audio_}) {
            while (d->context && receive(*d, out)) {
                if (!skipped(out)) {
                    return true;
                }
            }
        }
        if (end_of_file_) {
            bool flushing = false;
            for (decoder* d : {&video_, &audio_}) {
                if (d->context && !d->flushed) {
                    flush(*d);
                    flushing = true;
                }
            }
            if (!flushing) {
                return false;
            }
            continue;
        }
        const int read = av_read_frame(format_.get(), packet_.get());
        if (read < 0) {
            // The end, or a read error: either way nothing more comes.
            end_of_file_ = true;
            continue;
        }
        decoder* d = packet_->stream_index == video_.index   ? &video_
                     : packet_->stream_index == audio_.index ? &audio_
                                                             : nullptr;
        if (d != nullptr && d->context) {
            // A packet the decoder refuses is left out, as ffmpeg leaves it.
            avcodec_send_packet(d->context.get(), packet_.get());
        }
        av_packet_unref(packet_.get());
    }
}

bool media_reader::receive(decoder& d, decoded_frame& out) {
    Vastrel::av_frame_ptr frame(av_frame_alloc());
    if (!frame || avcodec_receive_frame(d.context.get(), frame.get()) < 0) {
        return false;
    }
    const bool video = &d == &video_;
    const std::int64_t stamp = frame->best_effort_timestamp;
    const std::int64_t time = stamp == AV_NOPTS_VALUE
                                  ? d.next_time
                                  : av_rescale_q(stamp, d.time_base, interface_time_base) - start_;
    if (video) {
        d.next_time = time + (frame_interval_ > 0 ? frame_interval_ : default_frame_interval);
    } else if (frame->sample_rate > 0) {
        d.next_time =
            time + av_rescale(frame->nb_samples, interface_time_base.den, frame->sample_rate);
    }
    out.frame = std::move(frame);
    out.video = video;
    out.time = time;
    return true;
}

bool media_reader::skipped(const decoded_frame& frame) const {
    if (skip_before_ <= 0) {
        return false;
    }
    if (frame.video) {
        return frame.time < skip_before_;
    }
    const int rate = frame.frame->sample_rate;
    const std::int64_t end =
        frame.time +
        (rate > 0 ? av_rescale(frame.frame->nb_samples, interface_time_base.den, rate) : 0);
    return end <= skip_before_;
}

void media_reader::flush(decoder& d) {
    avcodec_send_packet(d.context.get(), nullptr);
    d.flushed = true;
}

}  // namespace Quendle
