// The library's entry and its manager. The manager keeps no state of its
// own, so the threads that share it need no lock.
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "platform/quendle/encoders.hpp"
#include "platform/quendle/file_source.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/quendle/settings.hpp"
#include "platform/quendle/source_url.hpp"
#include "platform/quendle/timeline.hpp"
#include "platform/quendle/timeline_source.hpp"

namespace Quendle {
namespace {

// A timeline file is a few hundred bytes; anything much larger is not one.
constexpr std::streamsize max_timeline_bytes = 1 << 20;

bool named(const char* name, const char* expected) {
    return name != nullptr && std::strcmp(name, expected) == 0;
}

template <class Source>
IAVSource* hand_out(std::unique_ptr<Source> source, int video_stream, int audio_stream,
                    std::int32_t* audio_stream_id, std::int32_t* video_stream_id,
                    const MediaInfo** info) {
    if (audio_stream_id != nullptr) {
        *audio_stream_id = audio_stream;
    }
    if (video_stream_id != nullptr) {
        *video_stream_id = video_stream;
    }
    if (info != nullptr) {
        *info = &source->info();
    }
    return source.release();
}

std::unique_ptr<timeline_source> open_timeline(const char* path, int& error) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes;
    if (file) {
        bytes.resize(static_cast<std::size_t>(max_timeline_bytes));
        file.read(bytes.data(), max_timeline_bytes);
        bytes.resize(static_cast<std::size_t>(file.gcount()));
    }
    const auto timeline = decode_timeline(bytes);
    if (!file.eof() || !timeline) {
        error = AVERROR_INVALIDDATA;
        return {};
    }
    return timeline_source::open(*timeline, error);
}

class av_manager final : public IAVManager {
  public:
    void Prepare() override {}

    IAVSource* OpenSource(const char* url, const char* importer, std::int32_t* audio_stream_id,
                          std::int32_t* video_stream_id, std::int32_t* error,
                          const MediaInfo** info) override {
        int code = AVERROR(EINVAL);
        IAVSource* source = nullptr;
        if (url != nullptr && importer == nullptr) {
            if (auto file = file_source::open(parse_source_url(url), code)) {
                const media_reader& reader = file->reader();
                source = hand_out(std::move(file), reader.video_stream(), reader.audio_stream(),
                                  audio_stream_id, video_stream_id, info);
            }
        } else if (url != nullptr && named(importer, importer_name)) {
            if (auto timeline = open_timeline(url, code)) {
                const int video = timeline->video_stream();
                const int audio = timeline->audio_stream();
                source = hand_out(std::move(timeline), video, audio, audio_stream_id,
                                  video_stream_id, info);
            }
        }
        if (error != nullptr) {
            *error = code;
        }
        return source;
    }

    IObject* CreateObject(const char* class_name) override {
        if (!named(class_name, importer_name)) {
            return nullptr;
        }
        return std::make_unique<simple_edit_importer>().release();
    }

    IVideoEncoder* CreateVideoEncoder(const char* name) override {
        return named(name, "h264") ? std::make_unique<video_encoder>().release() : nullptr;
    }

    IAudioEncoder* CreateAudioEncoder(const char* name) override {
        return named(name, "aac") ? std::make_unique<audio_encoder>().release() : nullptr;
    }

    void release() override { delete this; }
};

}  // namespace
}  // namespace Quendle

extern "C" __attribute__((visibility("default"))) Quendle::IAVManager* CreateAVManager(const char*,
                                                                                       int) {
    static std::once_flag quiet;
    // The library reports through its results; of FFmpeg's own messages
    // only the fatal ones are let through.
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
    if (avcodec_find_encoder_by_name(Quendle::settings::video_codec) == nullptr ||
        avcodec_find_encoder_by_name(Quendle::settings::audio_codec) == nullptr) {
        return nullptr;
    }
    return std::make_unique<Quendle::av_manager>().release();
}
