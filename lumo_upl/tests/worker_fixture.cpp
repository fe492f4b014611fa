#include "lumo_upl/tests/worker_fixture.hpp"

#include <gtest/gtest.h>
#include <json/writer.h>
#include <QColor>
#include <QImage>
#include <QString>

#include <boost/property_tree/ptree.hpp>

#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>

#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/lumo_av_encoder.hpp"
#include "lumo_upl/preset_params.hpp"
#include "lumo_upl/tests/media_samples.hpp"

namespace lumo_upl_testing {
namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;
using namespace lumo_upl;
using platform::testing::read_file;

constexpr const char* recording_name = "T1700000000123";

recording make_recording(const fs::path& folder) {
    recording made;
    made.folder = folder;
    made.name = recording_name;
    transcode_params params;
    preset_params(0, params);
    lumo_av_encoder encoder(*av_manager(), made.name, params, lumo_upl_test::sample("long.mp4"),
                            folder);
    encoder.run();
    if (encoder.failed()) {
        throw std::runtime_error("the shared recording could not be made");
    }
    made.count_block = encoder.segment_count();
    made.converted = {.width = static_cast<std::int32_t>(params.width),
                      .height = static_cast<std::int32_t>(params.height),
                      .video_kbps = static_cast<std::int32_t>(params.video_bitrate / 1000),
                      .audio_kbps = static_cast<std::int32_t>(params.audio_bitrate / 1000),
                      .duration_ms = std::round(encoder.duration() * 1000),
                      .framerate = static_cast<std::int32_t>(params.framerate),
                      .total_bitrate = encoder.bitrate()};
    // Pictures of their own: what the thumbnails show is the transcode
    // thread's tests' concern.
    for (int number = 1; number <= 6; ++number) {
        QImage picture(160, 120, QImage::Format_RGB32);
        picture.fill(QColor::fromHsv(number * 60 % 360, 255, 255));
        const fs::path file = folder / ("thumbnail_c" + std::to_string(number) + ".jpg");
        if (!picture.save(QString::fromStdString(file.string()), "JPEG")) {
            throw std::runtime_error("can't save " + file.string());
        }
    }
    return made;
}

// A file or folder of the recording under the local name `name`.
std::string renamed(const std::string& entry, const std::string& name) {
    return entry.starts_with(recording_name)
               ? name + entry.substr(std::string(recording_name).size())
               : entry;
}

}  // namespace

void add_task_records(upload_tasks& tasks, const std::vector<task_record>& records) {
    pt::ptree tree;
    tree.put_child("tasks", pt::ptree());
    for (const task_record& record : records) {
        write_task_record(record, tree.add_child("tasks.task", pt::ptree()));
    }
    tasks.read_task_list(tree);
}

std::string accepted_code(fake_site& site, const std::string& password) {
    const std::string code = encode_launch_code("0123456789abcdef", password);
    site.add_token(code);
    return code;
}

worker_session::worker_session(const options& chosen)
    : work_folder(root / "lumo_work_folder"),
      code(accepted_code(site, "secret")),
      tasks(work_folder.string(), chosen.max_transcoding, chosen.max_uploading, chosen.retry_pause,
            chosen.free_size_cycle) {
    fs::create_directories(work_folder);
    std::int32_t status = 0;
    std::string msg;
    if (!tasks.login(site.address(), code, status, msg)) {
        throw std::runtime_error("login refused: " + msg);
    }
}

const recording& shared_recording() {
    static platform::testing::temp_dir folder;
    static const recording made = make_recording(folder.path());
    return made;
}

task_record place_transcoded_task(const fs::path& work_folder, const std::string& name) {
    const recording& from = shared_recording();
    const fs::path to = work_folder / name;
    fs::create_directories(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from.folder)) {
        fs::copy(entry.path(), to / renamed(entry.path().filename().string(), name),
                 fs::copy_options::recursive);
    }
    task_record record;
    record.state = task_state::transcoded;
    record.info = {.caption = "节目 " + name,
                   .path = "/videos/" + name + ".mp4",
                   .preset_index = 0,
                   .category = "News",
                   .labels = "a, b",
                   .note = "note of " + name,
                   .duration_ms = 23000};
    record.converted = from.converted;
    record.local_file_name = name;
    record.count_block = from.count_block;
    return record;
}

bool all_in_state(const upload_tasks& tasks, std::int32_t state) {
    for (std::size_t i = 0; i < tasks.count(); ++i) {
        if (tasks.task_at(i).state() != state) {
            return false;
        }
    }
    return true;
}

bool schedule_until(upload_tasks& tasks, const std::function<bool()>& done,
                    const std::function<void()>& after_each_call,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        tasks.schedule();
        if (after_each_call) {
            after_each_call();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> upload_requests(fake_site& site) {
    static const std::set<std::string> upload_actions = {
        "createUpload", "uploadBlock", "uploadThumbnail", "completeUpload", "cancelUpload"};
    std::vector<std::string> seen;
    for (const recorded_request& request : site.requests()) {
        if (!upload_actions.contains(request.action)) {
            continue;
        }
        // A request cut short has no fields.
        const auto field = [&request](const char* name) {
            const auto found = request.fields.find(name);
            return found == request.fields.end() ? std::string("?") : found->second;
        };
        std::string text = request.action;
        if (request.action == "uploadBlock") {
            text.append(" ").append(field("currentBlock"));
        } else if (request.action == "uploadThumbnail") {
            text.append(" ").append(field("imgNo"));
        }
        seen.push_back(text);
    }
    return seen;
}

::testing::AssertionResult site_holds_upload(fake_site& site, const upload_task& task) {
    const std::string name = task.stream_name();
    const Json::Value stream = site.streams()[name];
    if (name.empty() || stream.isNull()) {
        return ::testing::AssertionFailure() << "the site has no stream \"" << name << "\"";
    }
    if (!stream["complete"].asBool()) {
        return ::testing::AssertionFailure() << name << " is not complete";
    }
    const fs::path stored = site.storage() / name;
    const auto differs = [](const fs::path& ours, const fs::path& theirs) {
        return !fs::exists(theirs) || read_file(ours) != read_file(theirs);
    };
    Json::Value blocks(Json::arrayValue);
    for (std::int32_t block = 0; block < task.count_block(); ++block) {
        blocks.append(block);
        if (differs(task.segment_path(block), stored / (std::to_string(block) + ".zpksegment"))) {
            return ::testing::AssertionFailure() << name << ": block " << block << " differs";
        }
    }
    const auto text = [](const Json::Value& value) {
        return Json::writeString(Json::StreamWriterBuilder(), value);
    };
    if (stream["blocks"] != blocks) {
        return ::testing::AssertionFailure() << name << " holds blocks " << text(stream["blocks"]);
    }
    if (differs(task.index_path(), stored / (name + ".zpksegments"))) {
        return ::testing::AssertionFailure() << name << ": the index file differs";
    }
    Json::Value thumbnails(Json::arrayValue);
    for (int number = 1; number <= 6; ++number) {
        if (!fs::exists(task.thumbnail_path(number))) {
            continue;
        }
        thumbnails.append(number);
        const fs::path theirs = stored / ("thumbnail_" + std::to_string(number) + ".jpg");
        if (differs(task.thumbnail_path(number), theirs)) {
            return ::testing::AssertionFailure() << name << ": thumbnail " << number << " differs";
        }
    }
    if (stream["thumbnails"] != thumbnails) {
        return ::testing::AssertionFailure()
               << name << " holds thumbnails " << text(stream["thumbnails"]);
    }

    const converted_parameters converted = task.converted();
    Json::Value completion;
    completion["title"] = task.info().caption;
    completion["cat"] = task.info().category;
    completion["tag"] = task.info().labels;
    completion["description"] = task.info().note;
    completion["width"] = std::to_string(converted.width);
    completion["height"] = std::to_string(converted.height);
    completion["framerate"] = std::to_string(converted.framerate);
    completion["duration"] = std::to_string(static_cast<std::int32_t>(converted.duration_ms));
    completion["videoBitrate"] = std::to_string(converted.video_kbps);
    completion["audioBitrate"] = std::to_string(converted.audio_kbps);
    completion["bitrate"] = std::to_string(converted.total_bitrate);
    completion["indexFileSize"] = std::to_string(fs::file_size(task.index_path()));
    if (stream["completion"] != completion) {
        return ::testing::AssertionFailure()
               << name << " was completed with " << text(stream["completion"]) << ", not "
               << text(completion);
    }
    return ::testing::AssertionSuccess();
}

}  // namespace lumo_upl_testing
