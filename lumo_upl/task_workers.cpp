// The two threads of a task: the transcode thread makes the thumbnails and
// the recording, the upload thread sends them to the site. Both end early
// when the task's stop signal is set; neither ever ends the task by itself
// for a failure of the site.
#include <QImage>
#include <QString>

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "lumo_upl/lumo_av_encoder.hpp"
#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/preset_params.hpp"
#include "lumo_upl/upload_task.hpp"
#include "lumo_upl/upload_tasks.hpp"

namespace lumo_upl {
namespace {

namespace fs = std::filesystem;
using uploader = lumo_channel_uploader;

constexpr int thumbnail_count = 6;
constexpr std::int64_t first_thumbnail_ms = 5000;
constexpr int thumbnail_width = 320;
constexpr int thumbnail_height = 240;

// Of the upload's progress, the blocks make the first 90 percent and the
// thumbnails the next 9.
constexpr double blocks_percent = 90;
constexpr double thumbnails_percent = 9;

bool file_exists(const fs::path& file) {
    std::error_code ignored;
    return fs::exists(file, ignored);
}

}  // namespace

bool upload_task::start_convert() {
    if (transcode_thread_.joinable() ||
        (state_ != task_state::queued && state_ != task_state::transcoding)) {
        return false;
    }
    clear_stop();
    ensure_local_file_name();
    progress_ = 0;
    state_ = task_state::transcoding;
    transcode_thread_ = std::thread([this] { convert(); });
    return true;
}

bool upload_task::start_upload() {
    if (upload_thread_.joinable() ||
        (state_ != task_state::transcoded && state_ != task_state::uploading)) {
        return false;
    }
    clear_stop();
    uploader_.set_auth_token(tasks_.get_launch_code());
    stop_convert();
    state_ = task_state::uploading;
    upload_thread_ = std::thread([this] { upload(); });
    return true;
}

void upload_task::convert() {
    try {
        transcode();
    } catch (const std::exception& failure) {
        release_transcoder();
        append_log(failure.what());
        state_ = task_state::transcode_failed;
    }
}

void upload_task::transcode() {
    const std::string name = local_file_name();
    remove_work_dir();
    make_work_dir();
    make_thumbnails();

    Quendle::IAVManager* manager = av_manager();
    if (manager == nullptr) {
        throw std::runtime_error("The media library is not loaded");
    }
    transcode_params params;
    preset_params(info_.preset_index, params);
    auto transcoder =
        std::make_unique<lumo_av_encoder>(*manager, name, params, info_.path, task_folder());
    converted_parameters converted = this->converted();
    converted.width = static_cast<std::int32_t>(params.width);
    converted.height = static_cast<std::int32_t>(params.height);
    converted.video_kbps = static_cast<std::int32_t>(params.video_bitrate / 1000);
    converted.audio_kbps = static_cast<std::int32_t>(params.audio_bitrate / 1000);
    converted.framerate = static_cast<std::int32_t>(params.framerate);
    set_converted(converted);

    // Handed over under the mutex: a stop request either comes before and
    // is seen here, or finds the transcoder and tells it.
    lumo_av_encoder& running = *transcoder;
    {
        std::lock_guard lock(mutex_);
        if (stop_requested()) {
            return;
        }
        transcoder_ = std::move(transcoder);
    }
    running.run();
    const bool failed = running.failed() || running.segment_count() <= 0;
    const std::int32_t segments = running.segment_count();
    const double seconds = running.duration();
    const std::int32_t bitrate = running.bitrate();
    progress_ = running.progress();
    // The recording's files are finished before anyone may read them.
    release_transcoder();

    // A recording cut short by a stop is no conversion: the task stays
    // transcoding, and the next run starts it again from the beginning.
    if (stop_requested()) {
        return;
    }
    if (failed) {
        append_log("Can't convert the file");
        state_ = task_state::transcode_failed;
        return;
    }
    count_block_ = segments;
    // The recording lasts whole milliseconds; the seconds would drop one.
    converted.duration_ms = std::round(seconds * 1000);
    converted.total_bitrate = bitrate;
    set_converted(converted);
    append_log("Conversion completed");
    state_ = task_state::transcoded;
}

void upload_task::make_thumbnails() {
    // The first at 5 s, then one every tenth of the source; positions past
    // the end are taken nearer its start by grab_thumbnail.
    const std::int64_t step = std::max(info_.duration_ms, 0) / 10;
    std::int64_t position = first_thumbnail_ms;
    for (int number = 1; number <= thumbnail_count && !stop_requested();
         ++number, position += step) {
        QImage picture;
        if (grab_thumbnail(info_.path, static_cast<std::uint32_t>(position), &picture, nullptr) !=
            1) {
            break;
        }
        // A thumbnail that cannot be saved is one the upload skips.
        picture
            .scaled(thumbnail_width, thumbnail_height, Qt::KeepAspectRatio, Qt::FastTransformation)
            .save(QString::fromStdString(thumbnail_path(number).string()), "JPEG");
    }
}

void upload_task::upload() {
    try {
        if (stream_name().empty()) {
            create_upload();
        }
        do {
            upload_blocks();
            upload_thumbnails();
        } while (!stop_requested() && complete_upload());
    } catch (const std::exception& failure) {
        append_log(failure.what());
        state_ = task_state::upload_failed;
    }
}

void upload_task::create_upload() {
    while (!stop_requested()) {
        std::string name = uploader_.create_upload(stream_name(), count_block_);
        if (uploader_.status() == uploader::status_success && !name.empty()) {
            set_stream_name(std::move(name));
            return;
        }
        // A success without a name is a failure too, tried again after the
        // pause like any other.
        if (refresh_auth()) {
            append_log("Need auth, bad password? retry later.");
        } else {
            append_log("createUpload failed, retry later: " + uploader_.msg());
        }
        pause();
    }
}

void upload_task::upload_blocks() {
    const std::string stream = stream_name();
    while (!stop_requested()) {
        const std::int32_t block = current_block_;
        const std::int32_t count = count_block_;
        if (block >= count) {
            return;
        }
        progress_ = block * blocks_percent / count;
        const fs::path file = segment_path(block);
        const std::int32_t expected = uploader_.upload_block(stream, block, file.string());
        if (uploader_.status() == uploader::status_success) {
            std::error_code unknown;
            const std::uintmax_t bytes = fs::file_size(file, unknown);
            if (!unknown) {
                tasks_.add_uploaded_bytes(static_cast<std::int64_t>(bytes));
            }
            current_block_ = block + 1;
            continue;
        }
        if (uploader_.status() == uploader::status_block_expected) {
            change_block(expected);
        } else {
            refused();
        }
        pause();
    }
}

void upload_task::upload_thumbnails() {
    const std::string stream = stream_name();
    for (int number = 1; number <= thumbnail_count; ++number) {
        if (stop_requested()) {
            return;
        }
        progress_ = blocks_percent + thumbnails_percent * number / thumbnail_count;
        // Numbers stay tied to the files: a thumbnail that was not made
        // leaves a gap.
        const fs::path file = thumbnail_path(number);
        if (!file_exists(file)) {
            continue;
        }
        for (;;) {
            uploader_.upload_thumbnail(stream, number, file.string());
            if (uploader_.status() == uploader::status_success) {
                break;
            }
            refused();
            if (pause()) {
                return;
            }
        }
    }
}

bool upload_task::complete_upload() {
    const converted_parameters converted = this->converted();
    const upload_description description{
        .title = info_.caption,
        .category = info_.category,
        .labels = info_.labels,
        .note = info_.note,
        .width = converted.width,
        .height = converted.height,
        .framerate = converted.framerate,
        .duration_ms = static_cast<std::int32_t>(converted.duration_ms),
        .video_kbps = converted.video_kbps,
        .audio_kbps = converted.audio_kbps,
        .total_bitrate = converted.total_bitrate,
    };
    const std::string stream = stream_name();
    const fs::path index = index_path();
    while (!stop_requested()) {
        const std::int32_t expected =
            uploader_.complete_upload(stream, description, index.string());
        if (uploader_.status() == uploader::status_success) {
            progress_ = 100;
            state_ = task_state::uploaded;
            return false;
        }
        if (uploader_.status() == uploader::status_blocks_missing) {
            if (!change_block(expected)) {
                return false;
            }
            // Missing blocks go again at once. A site that misses none of
            // them is asked again after the pause, not in a tight loop.
            return expected < count_block_ || !pause();
        }
        refused();
        pause();
    }
    return false;
}

bool upload_task::change_block(std::int32_t expected) {
    if (expected >= 0 && expected <= count_block_) {
        current_block_ = expected;
        append_log("Current block does not match, change to the new block");
        return true;
    }
    append_log(
        "Current block does not match, but server reports a incorrect block no, upload abort");
    state_ = task_state::upload_failed;
    stop_.set();
    return false;
}

void upload_task::refused() {
    switch (uploader_.status()) {
        case uploader::status_auth_refused:
            refresh_auth();
            append_log("Bad auth password, retry later");
            break;
        case uploader::status_no_stream:
            // Gone for good: a failed upload, which frees its place among
            // the uploads and which the operator can remove.
            append_log("Server reports that stream does not exist, stop");
            state_ = task_state::upload_failed;
            stop_.set();
            break;
        case uploader::status_complete:
            append_log("Server reports that stream is complete");
            state_ = task_state::uploaded;
            stop_.set();
            break;
        default:
            append_log("Server reports error: " + uploader_.msg());
            break;
    }
}

bool upload_task::refresh_auth() {
    if (uploader_.status() != uploader::status_auth_refused) {
        return false;
    }
    // A code handed in by a later launch is tried first; only without one
    // is the operator asked.
    std::string code = tasks_.get_launch_code();
    if (code != uploader_.auth_token()) {
        uploader_.set_auth_token(std::move(code));
    } else {
        tasks_.request_password();
    }
    return true;
}

bool upload_task::pause() {
    return stop_.wait_for(tasks_.retry_pause());
}

}  // namespace lumo_upl
