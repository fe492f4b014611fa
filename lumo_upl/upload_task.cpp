#include "lumo_upl/upload_task.hpp"

#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <cmath>
#include <ctime>
#include <limits>
#include <random>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "foundation/file_name.hpp"
#include "lumo_upl/decimal_text.hpp"
#include "lumo_upl/lumo_av_encoder.hpp"
#include "lumo_upl/upload_tasks.hpp"

namespace lumo_upl {
namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

constexpr std::size_t log_limit = 64000;

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

[[noreturn]] void damaged(const char* key) {
    throw std::runtime_error(std::string("Bad task value: ") + key);
}

std::string read_text(const pt::ptree& task, const char* key) {
    return task.get<std::string>(key, "");
}

// An absent key is 0; a present one must be a number in [low, high].
std::int32_t read_integer(const pt::ptree& task, const char* key,
                          std::int32_t low = std::numeric_limits<std::int32_t>::min(),
                          std::int32_t high = std::numeric_limits<std::int32_t>::max()) {
    const auto text = task.get_optional<std::string>(key);
    if (!text) {
        return 0;
    }
    const std::optional<std::int32_t> value = decimal_value<std::int32_t>(trimmed(*text));
    if (!value || *value < low || *value > high) {
        damaged(key);
    }
    return *value;
}

// Written as a floating number; read as one and cut to a whole number of
// milliseconds, as the site is sent.
double read_whole_milliseconds(const pt::ptree& task, const char* key) {
    const auto text = task.get_optional<std::string>(key);
    if (!text) {
        return 0;
    }
    const std::string_view number = trimmed(*text);
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        !std::isfinite(value) || std::trunc(value) < std::numeric_limits<std::int32_t>::min() ||
        std::trunc(value) > std::numeric_limits<std::int32_t>::max()) {
        damaged(key);
    }
    return std::trunc(value);
}

std::uint32_t draw_name_number() {
    // Seeded anew each time: two clients that start at the same moment
    // must not draw alike.
    std::random_device seed;
    return std::uniform_int_distribution<std::uint32_t>(0, 0x7FFFFFFF)(seed);
}

}  // namespace

void write_task_record(const task_record& record, pt::ptree& task) {
    task.put("state", record.state);
    task.put("task_info.caption", record.info.caption);
    task.put("task_info.cat", record.info.category);
    task.put("task_info.duration", record.info.duration_ms);
    task.put("task_info.labels", record.info.labels);
    task.put("task_info.note", record.info.note);
    task.put("task_info.path", record.info.path);
    task.put("task_info.presetIndex", record.info.preset_index);
    task.put("convertedWidth", record.converted.width);
    task.put("convertedHeight", record.converted.height);
    task.put("convertedVideoBtr", record.converted.video_kbps);
    task.put("convertedAudioBtr", record.converted.audio_kbps);
    task.put("convertedDuration", record.converted.duration_ms);
    task.put("convertedFramerate", record.converted.framerate);
    task.put("totalBitrate", record.converted.total_bitrate);
    task.put("streamName", record.stream_name);
    task.put("localFileName", record.local_file_name);
    task.put("currentBlock", record.current_block);
    task.put("countBlock", record.count_block);
}

task_record read_task_record(const pt::ptree& task) {
    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    task_record record;
    record.state = read_integer(task, "state", task_state::queued, task_state::upload_failed);
    record.info.caption = read_text(task, "task_info.caption");
    record.info.category = read_text(task, "task_info.cat");
    record.info.duration_ms = read_integer(task, "task_info.duration");
    record.info.labels = read_text(task, "task_info.labels");
    record.info.note = read_text(task, "task_info.note");
    record.info.path = read_text(task, "task_info.path");
    record.info.preset_index = read_integer(task, "task_info.presetIndex", 0, 2);
    record.converted.width = read_integer(task, "convertedWidth");
    record.converted.height = read_integer(task, "convertedHeight");
    record.converted.video_kbps = read_integer(task, "convertedVideoBtr");
    record.converted.audio_kbps = read_integer(task, "convertedAudioBtr");
    record.converted.duration_ms = read_whole_milliseconds(task, "convertedDuration");
    record.converted.framerate = read_integer(task, "convertedFramerate");
    record.converted.total_bitrate = read_integer(task, "totalBitrate");
    record.stream_name = read_text(task, "streamName");
    record.local_file_name = read_text(task, "localFileName");
    record.current_block = read_integer(task, "currentBlock", 0, max);
    record.count_block = read_integer(task, "countBlock", 0, max);

    // Interrupted work starts again: a transcoding from the beginning, an
    // upload from its current block.
    if (record.state == task_state::transcoding) {
        record.state = task_state::queued;
    } else if (record.state == task_state::uploading) {
        record.state = task_state::transcoded;
    }
    if (!is_valid_file_name(record.local_file_name)) {
        record.local_file_name.clear();
        if (record.state == task_state::transcoded) {
            record.state = task_state::queued;
        }
    }
    return record;
}

std::string make_local_file_name(const fs::path& work_folder, std::int64_t seconds,
                                 const std::function<std::uint32_t()>& draw) {
    for (;;) {
        std::string name = "T";
        name += std::to_string(seconds);
        name += std::to_string(draw());
        std::error_code error;
        if (fs::create_directory(work_folder / name, error)) {
            return name;
        }
        // Taken: draw again. Any other failure is the transcoder's to
        // report when it makes the folder.
        if (!fs::exists(fs::symlink_status(work_folder / name, error))) {
            return name;
        }
    }
}

upload_task::upload_task(upload_tasks& tasks, task_info info)
    : tasks_(tasks), info_(std::move(info)), uploader_(tasks.get_server_url()) {}

upload_task::upload_task(upload_tasks& tasks, const task_record& record)
    : tasks_(tasks),
      info_(record.info),
      state_(record.state),
      current_block_(record.current_block),
      count_block_(record.count_block),
      converted_(record.converted),
      stream_name_(record.stream_name),
      local_file_name_(record.local_file_name),
      uploader_(tasks.get_server_url()) {}

upload_task::~upload_task() {
    stop_workers();
}

converted_parameters upload_task::converted() const {
    std::lock_guard lock(mutex_);
    return converted_;
}

void upload_task::set_converted(const converted_parameters& converted) {
    std::lock_guard lock(mutex_);
    converted_ = converted;
}

std::string upload_task::stream_name() const {
    std::lock_guard lock(mutex_);
    return stream_name_;
}

void upload_task::set_stream_name(std::string name) {
    std::lock_guard lock(mutex_);
    stream_name_ = std::move(name);
}

std::string upload_task::local_file_name() const {
    std::lock_guard lock(mutex_);
    return local_file_name_;
}

std::string upload_task::ensure_local_file_name() {
    const std::string work_folder = tasks_.get_work_folder();
    std::lock_guard lock(mutex_);
    if (local_file_name_.empty()) {
        local_file_name_ = make_local_file_name(work_folder, std::time(nullptr), draw_name_number);
    }
    return local_file_name_;
}

void upload_task::append_log(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (log_.size() > log_limit) {
        log_.clear();
    }
    log_ += line;
    log_ += "\r\n";
}

std::string upload_task::log_text() const {
    std::lock_guard lock(mutex_);
    return log_;
}

fs::path upload_task::task_folder() const {
    return fs::path(tasks_.get_work_folder()) / local_file_name();
}

fs::path upload_task::segment_path(std::int32_t block) const {
    const std::string name = local_file_name();
    return task_folder() / (name + ".segments") / (std::to_string(block) + ".zpksegment");
}

fs::path upload_task::index_path() const {
    return task_folder() / (local_file_name() + ".zpksegments");
}

fs::path upload_task::thumbnail_path(std::int32_t number) const {
    return task_folder() / ("thumbnail_c" + std::to_string(number) + ".jpg");
}

void upload_task::make_work_dir() const {
    if (local_file_name().empty()) {
        throw std::runtime_error("The task has no local file name");
    }
    fs::create_directories(task_folder());
}

void upload_task::remove_work_dir() const {
    // Only ever one plain name inside the work folder: the name came from
    // a file that anyone could have edited.
    const std::string work_folder = tasks_.get_work_folder();
    const std::string name = local_file_name();
    if (work_folder.empty() || !is_valid_file_name(name)) {
        return;
    }
    std::error_code ignored;
    fs::remove_all(fs::path(work_folder) / name, ignored);
}

double upload_task::progress() const {
    {
        std::lock_guard lock(mutex_);
        if (transcoder_) {
            return transcoder_->progress();
        }
    }
    return progress_;
}

void upload_task::request_stop() {
    stop_.set();
    std::lock_guard lock(mutex_);
    if (transcoder_) {
        transcoder_->request_stop();
    }
}

void upload_task::stop_convert() {
    if (!transcode_thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (transcoder_) {
            transcoder_->request_stop();
        }
    }
    transcode_thread_.join();
    release_transcoder();
}

std::unique_ptr<lumo_av_encoder> upload_task::release_transcoder() {
    std::lock_guard lock(mutex_);
    return std::move(transcoder_);
}

void upload_task::stop_workers() {
    request_stop();
    stop_convert();
    if (upload_thread_.joinable()) {
        upload_thread_.join();
    }
}

void upload_task::cancel() {
    stop_workers();
    const std::string stream = stream_name();
    if (state_ != task_state::uploaded && !stream.empty()) {
        // The code of this run: a task read from the file has never had one.
        uploader_.set_auth_token(tasks_.get_launch_code());
        uploader_.cancel_upload(stream);
    }
    remove_work_dir();
}

task_record upload_task::record() const {
    task_record record;
    record.state = state_;
    record.info = info_;
    record.current_block = current_block_;
    record.count_block = count_block_;
    std::lock_guard lock(mutex_);
    record.converted = converted_;
    record.stream_name = stream_name_;
    record.local_file_name = local_file_name_;
    return record;
}

}  // namespace lumo_upl
