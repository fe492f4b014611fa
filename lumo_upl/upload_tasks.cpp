#include "lumo_upl/upload_tasks.hpp"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace lumo_upl {

namespace pt = boost::property_tree;

namespace {

// The free-space poll asks the site once in this many cycles.
constexpr std::uint64_t cycles_per_request = 16;

std::int64_t seconds_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::optional<std::int32_t> upload_speed_meter::update(std::int64_t seconds,
                                                       std::int64_t total_bytes) {
    if (seconds == seconds_) {
        return std::nullopt;
    }
    const std::int64_t elapsed = seconds - seconds_;
    const std::int64_t kbit = ((total_bytes - total_bytes_) >> 10) * 8;
    seconds_ = seconds;
    total_bytes_ = total_bytes;
    if (elapsed < 0 || kbit < 0) {
        return 0;
    }
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(kbit / elapsed, std::numeric_limits<std::int32_t>::max()));
}

std::vector<task_record> read_task_records(const pt::ptree& list) {
    std::vector<task_record> records;
    for (const auto& [name, child] : list.get_child("tasks")) {
        if (name == "task") {
            records.push_back(read_task_record(child));
        } else if (!name.starts_with('<')) {  // comments and attributes are no tasks
            throw std::runtime_error("Bad task list element: " + name);
        }
    }
    return records;
}

upload_tasks::upload_tasks(std::string work_folder, int max_transcoding, int max_uploading,
                           std::chrono::milliseconds retry_pause,
                           std::chrono::milliseconds free_size_cycle)
    : max_transcoding_(max_transcoding),
      max_uploading_(max_uploading),
      retry_pause_(retry_pause),
      free_size_cycle_(free_size_cycle),
      work_folder_(std::move(work_folder)) {}

upload_tasks::~upload_tasks() {
    stop();
    tasks_.clear();
}

bool upload_tasks::login(const std::string& site_address, const std::string& launch_code,
                         std::int32_t& status, std::string& msg) {
    lumo_channel_uploader uploader(site_address);
    uploader.set_auth_token(launch_code);
    set_categories(uploader.get_category_list());
    status = uploader.status();
    msg = uploader.msg();
    if (status != lumo_channel_uploader::status_success) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        server_url_ = site_address;
        launch_code_ = launch_code;
    }
    if (!free_size_thread_.joinable() && !stop_.is_set()) {
        free_size_thread_ = std::thread([this] { poll_free_size(); });
    }
    return true;
}

void upload_tasks::schedule() {
    if (stop_.is_set()) {
        return;
    }
    int transcoding = count_transcoding();
    int uploading = count_uploading();
    for (const auto& task : tasks_) {
        const std::int32_t state = task->state();
        if (state == task_state::queued && transcoding < max_transcoding_) {
            transcoding += task->start_convert() ? 1 : 0;
        } else if (state == task_state::transcoded && uploading < max_uploading_) {
            uploading += task->start_upload() ? 1 : 0;
        }
    }
}

void upload_tasks::stop() {
    // All are told before any is waited for, so that they wind down side
    // by side: the poll's request in flight takes as long as a task's.
    stop_.set();
    for (const auto& task : tasks_) {
        task->request_stop();
    }
    if (free_size_thread_.joinable()) {
        free_size_thread_.join();
    }
    for (const auto& task : tasks_) {
        task->stop_workers();
    }
}

void upload_tasks::poll_free_size() {
    lumo_channel_uploader uploader(get_server_url());
    uploader.set_auth_token(get_launch_code());
    upload_speed_meter meter(seconds_now(), uploaded_bytes());
    for (std::uint64_t cycle = 0; !stop_.is_set(); ++cycle) {
        const auto cycle_start = std::chrono::steady_clock::now();
        if (cycle % cycles_per_request == 0) {
            const std::int64_t size = uploader.get_free_size();
            if (uploader.status() == lumo_channel_uploader::status_success) {
                free_size_ = size;
            } else if (uploader.status() == lumo_channel_uploader::status_auth_refused) {
                uploader.set_auth_token(get_launch_code());
            }
            std::lock_guard lock(mutex_);
            if (const auto speed = meter.update(seconds_now(), uploaded_bytes_)) {
                speed_kbps_ = *speed;
            }
        }
        stop_.wait_until(cycle_start + free_size_cycle_);
    }
}

bool upload_tasks::add_task(const task_info& info, std::string& error) {
    try {
        // The task file would refuse it, and the whole list with it.
        if (info.preset_index < 0 || info.preset_index > 2) {
            throw std::invalid_argument("Bad preset index");
        }
        tasks_.push_back(std::make_unique<upload_task>(*this, info));
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
}

void upload_tasks::remove_task(std::size_t index) {
    task_at(index).cancel();
    tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(index));
}

upload_task& upload_tasks::task_at(std::size_t index) const {
    if (index >= tasks_.size()) {
        throw std::runtime_error("Bad task index");
    }
    return *tasks_[index];
}

std::optional<std::size_t> upload_tasks::index_of(const upload_task& task) const {
    const auto found = std::find_if(tasks_.begin(), tasks_.end(),
                                    [&](const auto& listed) { return listed.get() == &task; });
    if (found == tasks_.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - tasks_.begin());
}

int upload_tasks::count_transcoding() const {
    return static_cast<int>(std::count_if(tasks_.begin(), tasks_.end(), [](const auto& task) {
        return task->state() == task_state::transcoding;
    }));
}

int upload_tasks::count_uploading() const {
    return static_cast<int>(std::count_if(tasks_.begin(), tasks_.end(), [](const auto& task) {
        return task->state() == task_state::uploading;
    }));
}

std::string upload_tasks::get_launch_code() const {
    std::lock_guard lock(mutex_);
    return launch_code_;
}

void upload_tasks::set_launch_code(std::string code) {
    std::lock_guard lock(mutex_);
    launch_code_ = std::move(code);
}

std::string upload_tasks::get_server_url() const {
    std::lock_guard lock(mutex_);
    return server_url_;
}

void upload_tasks::set_server_url(std::string url) {
    std::lock_guard lock(mutex_);
    server_url_ = std::move(url);
}

std::string upload_tasks::get_work_folder() const {
    std::lock_guard lock(mutex_);
    return work_folder_;
}

std::vector<std::string> upload_tasks::categories() const {
    std::lock_guard lock(mutex_);
    return categories_;
}

void upload_tasks::set_categories(std::vector<std::string> names) {
    std::lock_guard lock(mutex_);
    categories_ = std::move(names);
}

void upload_tasks::add_uploaded_bytes(std::int64_t bytes) {
    std::lock_guard lock(mutex_);
    uploaded_bytes_ += bytes;
}

std::int64_t upload_tasks::uploaded_bytes() const {
    std::lock_guard lock(mutex_);
    return uploaded_bytes_;
}

void upload_tasks::set_need_password(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    need_password_ = std::move(callback);
}

void upload_tasks::request_password() const {
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex_);
        callback = need_password_;
    }
    if (callback) {
        callback();
    }
}

void upload_tasks::write_task_list(pt::ptree& tree) const {
    tree.put_child("tasks", pt::ptree());
    for (const auto& task : tasks_) {
        task->write(tree.add_child("tasks.task", pt::ptree()));
    }
}

void upload_tasks::read_task_list(const pt::ptree& tree) {
    // Built aside first: a list is taken whole or not at all.
    std::vector<std::unique_ptr<upload_task>> read;
    for (const task_record& record : read_task_records(tree)) {
        read.push_back(std::make_unique<upload_task>(*this, record));
    }
    for (auto& task : read) {
        tasks_.push_back(std::move(task));
    }
}

}  // namespace lumo_upl
