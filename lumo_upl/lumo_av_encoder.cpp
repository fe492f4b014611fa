#include "lumo_upl/lumo_av_encoder.hpp"

#include <stdexcept>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "vornebased/raw_video_frame.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* importer_name = "SimpleEditImporter";
constexpr double default_frame_rate = 25.0;
// Sources faster than this are encoded at half their rate.
constexpr double max_frame_rate = 31.0;
// The audio-only switch of the timeline.
constexpr int audio_only = 2;

std::span<const std::uint8_t> extra_data(std::uint32_t length, const std::uint8_t* bytes) {
    return {bytes, bytes == nullptr ? 0 : length};
}

}  // namespace

lumo_av_encoder::lumo_av_encoder(Quendle::IAVManager& manager, std::string_view name,
                                 transcode_params& params, const fs::path& source,
                                 const fs::path& folder) {
    manager.Prepare();
    std::int32_t audio_stream = -1;
    std::int32_t video_stream = -1;
    const Quendle::MediaInfo* info = nullptr;
    source_.reset(
        manager.OpenSource(source.c_str(), nullptr, &audio_stream, &video_stream, nullptr, &info));
    if (!source_) {
        throw std::runtime_error("Can't load the source video");
    }
    adjust(params, video_stream, info);
    const bool with_video = video_stream != -1;

    writer_ = std::make_unique<segment_writer>(folder, name, false, true);

    if (with_video) {
        video_encoder_.reset(manager.CreateVideoEncoder("h264"));
        if (!video_encoder_) {
            throw std::runtime_error("Can't create h264 encoder");
        }
        video_encoder_->configure({params.video_bitrate, 2 * params.video_bitrate});
        const Vastrel::CRawVideoFrame input(false, 0, static_cast<int>(params.width),
                                            static_cast<int>(params.height), true);
        if (!video_encoder_->set_input_type(input)) {
            throw std::runtime_error("h264 encoder: Can't SetInputType");
        }
        if (!video_encoder_->open()) {
            throw std::runtime_error("Can't open h264 encoder");
        }
    }
    audio_encoder_.reset(manager.CreateAudioEncoder("aac"));
    if (!audio_encoder_) {
        throw std::runtime_error("Can't create aac encoder");
    }
    if (!audio_encoder_->open({params.sample_rate, params.channels, params.audio_bitrate})) {
        throw std::runtime_error("Can't open aac encoder");
    }

    {
        Quendle::object_ptr<Quendle::IObject> importer(manager.CreateObject(importer_name));
        if (!importer) {
            throw std::runtime_error("Can't create simple edit importer");
        }
        auto* timeline = static_cast<Quendle::ISimpleEditTimeLine*>(
            importer->query_interface("ISimpleEditTimeLine"));
        if (timeline == nullptr) {
            throw std::runtime_error(
                "Can't simple edit importer have no ISimpleEditTimeLine interface");
        }
        source_.reset();
        timeline->add_clip(0, source.c_str(), 0, 0, -1);
        if (with_video) {
            timeline->set_frame_rate(params.framerate);
            timeline->set_size(params.width, params.height, 0);
        } else {
            timeline->set_stream_mode(audio_only);
        }
        const fs::path timeline_file = folder / (std::string(name) + ".seix");
        if (!timeline->save(timeline_file.c_str())) {
            throw std::runtime_error("Can't save timeline file");
        }
        importer.reset();
        source_.reset(manager.OpenSource(timeline_file.c_str(), importer_name, &audio_stream,
                                         &video_stream, nullptr, nullptr));
        fs::remove(timeline_file);
        if (!source_) {
            throw std::runtime_error("Can't create timeline source");
        }
    }

    // The encoders' configurations open the recording. One that cannot be
    // packed would leave a recording that no player decodes.
    std::uint32_t length = 0;
    if (with_video) {
        const std::uint8_t* parameter_sets = video_encoder_->extra_data(length);
        if (!packer_.set_video_codec("h264", extra_data(length, parameter_sets))) {
            throw std::runtime_error("Can't open h264 encoder");
        }
    }
    const std::uint8_t* config = audio_encoder_->extra_data(length);
    if (!packer_.set_audio_codec("aac", extra_data(length, config), params.sample_rate,
                                 params.channels, 16)) {
        throw std::runtime_error("Can't open aac encoder");
    }
    if (with_video) {
        writer_->on_video(0, packer_.video_sequence_header());
    }
    writer_->on_audio(0, packer_.audio_sequence_header());

    params_ = params;
    duration_ = source_->duration() / 1000.0;
}

lumo_av_encoder::~lumo_av_encoder() {
    source_.reset();
    writer_.reset();
}

void lumo_av_encoder::adjust(transcode_params& params, std::int32_t video_stream,
                             const Quendle::MediaInfo* info) const {
    if (video_stream == -1) {
        params.width = 0;
        params.height = 0;
        params.framerate = 0;
        params.video_bitrate = 0;
        return;
    }
    const Quendle::StreamDescription* video = nullptr;
    for (std::uint32_t i = 0; info != nullptr && i < info->stream_count; ++i) {
        if (info->streams[i].id == video_stream) {
            video = &info->streams[i];
        }
    }
    // The output's height is the width divided by the source's aspect.
    if (video == nullptr || video->width == 0 || video->height == 0) {
        throw std::runtime_error("Can't load the source video");
    }
    if (params.width == 0) {
        throw std::invalid_argument("Bad transcoding parameters: no picture size");
    }
    if (video->width < params.width) {
        params.width = video->width;
    }
    double aspect = static_cast<double>(video->width) / video->height;
    const std::uint32_t pixel_aspect = video->pixel_aspect;
    if (pixel_aspect >= 0x10000 && (pixel_aspect & 0xFFFF) != 0) {
        aspect = (pixel_aspect >> 16) * aspect / (pixel_aspect & 0xFFFF);
    }
    params.height = static_cast<std::uint32_t>(params.width / aspect);
    params.height += params.height % 2;
    params.width += params.width % 2;
    if (params.framerate == 0) {
        const std::uint32_t numerator = video->frame_rate_numerator;
        const std::uint32_t denominator = video->frame_rate_denominator;
        if (numerator == 0 || denominator == 0) {
            params.framerate = default_frame_rate;
        } else {
            params.framerate = static_cast<double>(numerator) / denominator;
            if (params.framerate > max_frame_rate) {
                params.framerate /= 2;
            }
        }
    }
}

void lumo_av_encoder::run() {
    if (failed_) {
        return;
    }
    try {
        while (!stop_requested_) {
            Quendle::IAudioSample* audio = nullptr;
            Vastrel::IRawVideoFrame* video = nullptr;
            if (!source_->read_sample(&audio, &video, nullptr, 0)) {
                break;
            }
            if (video != nullptr && video_encoder_) {
                if (const Quendle::IAVPacket* packet = video_encoder_->encode(video)) {
                    write_video(*packet);
                }
            }
            if (audio != nullptr) {
                audio_encoder_->push(*audio);
                while (const Quendle::IAVPacket* packet = audio_encoder_->pull()) {
                    write_audio(*packet);
                }
            }
        }
        if (video_encoder_) {
            while (const Quendle::IAVPacket* packet = video_encoder_->encode(nullptr)) {
                write_video(*packet);
            }
        }
    } catch (const std::exception&) {
        failed_ = true;
        return;
    }
    finish();
    // A source of which nothing decoded leaves a recording of headers
    // alone: no success.
    failed_ = packets_written_ == 0;
}

void lumo_av_encoder::write_video(const Quendle::IAVPacket& packet) {
    const auto& body = packer_.pack_video(packet);
    writer_->on_video(packer_.last_video_time(), body);
    written(packer_.last_video_time());
}

void lumo_av_encoder::write_audio(const Quendle::IAVPacket& packet) {
    const auto& body = packer_.pack_audio(packet);
    writer_->on_audio(packer_.last_audio_time(), body);
    written(packer_.last_audio_time());
}

void lumo_av_encoder::written(std::uint32_t time) {
    ++packets_written_;
    if (time > max_time_) {
        max_time_ = time;
    }
}

void lumo_av_encoder::finish() {
    writer_->end_as_vod();
    const segment_index& index = writer_->index();
    const double seconds = index.duration_ms / 1000.0;
    duration_ = seconds;
    std::uint64_t bytes = 0;
    for (const zpk_segment_entry& segment : index.segments) {
        bytes += segment.data_bytes;
    }
    const double kbit = bytes * 8 / 1000.0;
    const double bitrate = seconds > 0 ? kbit / seconds : 2.0 * params_.audio_bitrate / 1000;

    own_buffer_writer out;
    amf0_string("onMetaData").write(out);
    out.write_u8(amf0_object::type_marker);
    const auto property = [&out](light_string key, double value) {
        amf0_write_key(out, key);
        amf0_number(value).write(out);
    };
    if (video_encoder_) {
        property("width", params_.width);
        property("height", params_.height);
        property("framerate", params_.framerate);
        property("videoBitrate", params_.video_bitrate / 1000);
    }
    property("audioBitrate", params_.audio_bitrate / 1000);
    property("duration", seconds);
    property("bitrate", bitrate);
    amf0_write_object_end(out);
    writer_->set_metadata(std::string(reinterpret_cast<const char*>(out.data), out.size));
    writer_->end_as_vod();
    segment_count_ = static_cast<std::int32_t>(writer_->index().segments.size());
    bitrate_ = static_cast<std::int32_t>(bitrate);
}

double lumo_av_encoder::progress() const {
    const double duration = duration_;
    if (duration == 0) {
        return 0;
    }
    // All of it once the recording reaches the duration (which the end of
    // run sets to the recording's own).
    const double written = max_time_ / 1000.0;
    return written >= duration ? 100 : written * 100 / duration;
}
