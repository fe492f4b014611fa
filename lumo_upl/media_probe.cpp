#include "lumo_upl/media_probe.hpp"

#include <QCoreApplication>
#include <QImage>
#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/vastrel/image_converter.hpp"

namespace {

namespace fs = std::filesystem;

// The picture is taken from the frames that follow the position: the
// 30th, or the last one among the first 60 samples.
constexpr int frames_to_pass = 30;
constexpr int samples_to_read = 60;
constexpr std::uint32_t position_in_long_files_ms = 10000;
constexpr int rgb32 = 30;
constexpr int top_down = 1;
constexpr auto gui_wait = std::chrono::milliseconds(1000);

fs::path program_folder() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

std::mutex libraries_mutex;
std::atomic<Quendle::IAVManager*> process_manager{nullptr};

// The process's libraries; only load_av_libraries sets it.
std::unique_ptr<av_libraries>& process_libraries() {
    static std::unique_ptr<av_libraries> libraries;
    return libraries;
}

}  // namespace

av_libraries::av_libraries(const fs::path& folder)
    : library_(folder / Quendle::library_file_name),
      manager_(library_.create_av_manager()(folder.c_str(), 0)) {
    if (!manager_) {
        throw std::runtime_error("The media library cannot encode H.264 and AAC here");
    }
}

bool load_av_libraries() {
    return load_av_libraries(program_folder());
}

bool load_av_libraries(const fs::path& folder) {
    const std::lock_guard lock(libraries_mutex);
    auto& libraries = process_libraries();
    if (!libraries) {
        try {
            libraries = std::make_unique<av_libraries>(folder);
        } catch (const std::exception&) {
            return false;
        }
        process_manager = &libraries->manager();
    }
    return true;
}

Quendle::IAVManager* av_manager() {
    return process_manager;
}

Quendle::object_ptr<Quendle::IAVSource> open_media_source(const fs::path& path, bool with_video,
                                                          bool with_audio) {
    Quendle::IAVManager* manager = av_manager();
    if (manager == nullptr) {
        return {};
    }
    std::string url = path.string() + "?";
    if (!with_video) {
        url += "&vstreamid=-1";
    }
    if (!with_audio) {
        url += "&astreamid=-1";
    }
    return Quendle::object_ptr<Quendle::IAVSource>(
        manager->OpenSource(url.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

int grab_thumbnail(const fs::path& path, std::uint32_t position_ms, QImage* picture,
                   std::uint32_t* duration_ms) {
    const auto source = open_media_source(path, true, true);
    if (!source) {
        return -1;
    }
    const std::uint32_t duration = source->duration();
    if (duration_ms != nullptr) {
        *duration_ms = duration;
    }
    if (position_ms > duration) {
        position_ms =
            duration >= position_in_long_files_ms ? position_in_long_files_ms : duration / 2;
    }
    if (position_ms != 0) {
        source->seek(position_ms);
    }

    Vastrel::frame_ptr kept;
    int frames = 0;
    for (int samples = 0; frames < frames_to_pass && samples < samples_to_read; ++samples) {
        Quendle::IAudioSample* audio = nullptr;
        Vastrel::IRawVideoFrame* video = nullptr;
        if (!source->read_sample(&audio, &video, nullptr, 0)) {
            break;
        }
        if (video != nullptr) {
            ++frames;
            kept.reset(video->Clone());
        }
    }
    if (!kept) {
        return 0;
    }
    if (kept->GetPixelFormat() != rgb32) {
        const Vastrel::converter_ptr converter(Vastrel::CreateImageConverter(rgb32));
        const Vastrel::IRawVideoFrame* converted = converter ? converter->Convert(*kept) : nullptr;
        kept.reset(converted != nullptr ? converted->Clone() : nullptr);
    }
    if (kept && !kept->IsTopDown()) {
        const Vastrel::crop_pan_ptr crop_pan(Vastrel::CreateRawVideoFrameCropPan());
        crop_pan->SetOption(top_down);
        const Vastrel::IRawVideoFrame* copy = crop_pan->Process(*kept);
        kept.reset(copy != nullptr ? copy->Clone() : nullptr);
    }
    if (!kept) {
        return 0;
    }
    int width = 0;
    int height = 0;
    kept->GetSize(width, height);
    int width_bytes = 0;
    int pitch = 0;
    int rows = 0;
    const std::uint8_t* pixels = kept->GetPlane(0, width_bytes, pitch, rows);
    if (pixels == nullptr || width_bytes < width * 4 || rows < height) {
        return 0;
    }
    if (picture != nullptr) {
        // A copy of its own: the frame goes with this function.
        *picture = QImage(pixels, width, height, pitch, QImage::Format_RGB32).copy();
    }
    return 1;
}

int probe_media_async(const fs::path& path, std::uint32_t position_ms, QImage* picture,
                      std::uint32_t* duration_ms) {
    struct outcome {
        int result = -1;
        QImage picture;
        std::uint32_t duration = 0;
    };
    std::future<outcome> probe = std::async(std::launch::async, [=] {
        outcome made;
        made.result = grab_thumbnail(path, position_ms,
                                     picture != nullptr ? &made.picture : nullptr, &made.duration);
        return made;
    });
    while (probe.wait_for(gui_wait) == std::future_status::timeout) {
        QCoreApplication::processEvents();
    }
    outcome made = probe.get();
    if (picture != nullptr && made.result == 1) {
        *picture = std::move(made.picture);
    }
    if (duration_ms != nullptr && made.result != -1) {
        *duration_ms = made.duration;
    }
    return made.result;
}
