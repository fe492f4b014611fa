#include "lumo_upl/upload_tasks.hpp"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace lumo_upl {

namespace pt = boost::property_tree;

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

upload_tasks::upload_tasks(std::string work_folder, int max_transcoding, int max_uploading)
    : max_transcoding_(max_transcoding),
      max_uploading_(max_uploading),
      work_folder_(std::move(work_folder)) {}

upload_tasks::~upload_tasks() {
    stop_ = true;
    if (free_size_thread_.joinable()) {
        free_size_thread_.join();
    }
    tasks_.clear();
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
