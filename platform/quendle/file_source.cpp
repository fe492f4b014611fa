#include "platform/quendle/file_source.hpp"

#include "platform/quendle/settings.hpp"

namespace Quendle {

std::unique_ptr<file_source> file_source::open(const source_request& request, int& error) {
    auto reader = media_reader::open(request.path, request.video, request.audio, error);
    if (!reader) {
        return {};
    }
    return std::unique_ptr<file_source>(new file_source(std::move(reader)));
}

file_source::file_source(std::unique_ptr<media_reader> reader)
    : reader_(std::move(reader)),
      info_{static_cast<std::uint32_t>(reader_->streams().size()), reader_->streams().data()},
      scaler_(settings::scale_flags) {}

bool file_source::seek(std::uint32_t ms) {
    picture_.reset();
    audio_.reset();
    return reader_->seek(ms);
}

bool file_source::read_sample(IAudioSample** audio, Vastrel::IRawVideoFrame** video,
                              std::int64_t* time, int) {
    picture_.reset();
    audio_.reset();
    if (audio != nullptr) {
        *audio = nullptr;
    }
    if (video != nullptr) {
        *video = nullptr;
    }
    decoded_frame decoded;
    while (reader_->next(decoded)) {
        if (time != nullptr) {
            *time = decoded.time;
        }
        if (!decoded.video) {
            audio_ = std::make_unique<decoded_audio>(std::move(decoded.frame), decoded.time);
            if (audio != nullptr) {
                *audio = audio_.get();
            }
            return true;
        }
        picture_ = picture_of(decoded);
        if (picture_) {
            if (video != nullptr) {
                *video = picture_.get();
            }
            return true;
        }
        // A picture that cannot be converted is left out, as a damaged one.
    }
    return false;
}

std::unique_ptr<Vastrel::av_picture> file_source::picture_of(decoded_frame& decoded) {
    AVFrame& frame = *decoded.frame;
    const int number =
        Vastrel::pixel_format_number(static_cast<AVPixelFormat>(frame.format), frame.color_range);
    // Pictures leave top-down in memory too: a decoder that lays rows out
    // bottom-up (a negative pitch) is copied.
    bool upside_down = false;
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS && frame.data[plane] != nullptr; ++plane) {
        upside_down |= frame.linesize[plane] < 0;
    }
    Vastrel::av_frame_ptr picture = std::move(decoded.frame);
    int picture_format = number;
    if (number < 0) {
        Vastrel::av_frame_ptr converted =
            Vastrel::allocate_av_frame(AV_PIX_FMT_YUV420P, frame.width, frame.height);
        if (!converted) {
            return {};
        }
        converted->color_range = AVCOL_RANGE_MPEG;
        converted->colorspace = frame.colorspace;
        if (!scaler_.scale(frame, *converted)) {
            return {};
        }
        picture = std::move(converted);
        picture_format = 0;
    } else if (upside_down) {
        Vastrel::av_frame_ptr copy = Vastrel::allocate_av_frame(
            static_cast<AVPixelFormat>(frame.format), frame.width, frame.height);
        if (!copy || av_frame_copy(copy.get(), &frame) < 0) {
            return {};
        }
        copy->color_range = frame.color_range;
        picture = std::move(copy);
    }
    return std::make_unique<Vastrel::av_picture>(std::move(picture), picture_format, true,
                                                 static_cast<double>(decoded.time), false);
}

}  // namespace Quendle
