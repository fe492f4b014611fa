#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lumo_upl/stop_signal.hpp"
#include "lumo_upl/upload_task.hpp"

namespace lumo_upl {

// The records of a task list ("tasks" with one "task" per task), all or
// nothing: throws std::runtime_error (or the property tree's error) when
// the list or any of its tasks is damaged.
std::vector<task_record> read_task_records(const boost::property_tree::ptree& list);

// The upload speed in kbit/s over the time between two computations, from
// the run's total of uploaded bytes.
class upload_speed_meter {
  public:
    upload_speed_meter(std::int64_t seconds, std::int64_t total_bytes)
        : seconds_(seconds), total_bytes_(total_bytes) {}

    // The speed since the last computation; nothing while the second is
    // the same.
    std::optional<std::int32_t> update(std::int64_t seconds, std::int64_t total_bytes);

  private:
    std::int64_t seconds_;
    std::int64_t total_bytes_;
};

// The client's task list. The sequence is changed only by the
// user-interface thread; the workers reach the list's shared settings
// (site address, launch code, work folder) through the copies taken under
// its mutex.
//
// After login a thread of the list polls the site's free space and
// computes the upload speed; schedule(), called by the user-interface
// thread about five times a second, starts the tasks' transcode and upload
// threads within the list's limits.
class upload_tasks {
  public:
    static constexpr std::chrono::milliseconds default_retry_pause{5000};
    static constexpr std::chrono::milliseconds default_free_size_cycle{1000};

    // `retry_pause`: how long a worker waits before it tries a refused or
    // failed request again; `free_size_cycle`: the poll's cycle, of which
    // every 16th asks the site.
    upload_tasks(std::string work_folder, int max_transcoding, int max_uploading,
                 std::chrono::milliseconds retry_pause = default_retry_pause,
                 std::chrono::milliseconds free_size_cycle = default_free_size_cycle);
    // Stops and joins every thread of the list and its tasks; the tasks
    // keep their files.
    ~upload_tasks();

    // Asks the site for its categories with the launch code. On success
    // (status 1) the list keeps the site address and the code and starts
    // the free-space poll; either way `status` and `msg` tell the reply.
    bool login(const std::string& site_address, const std::string& launch_code,
               std::int32_t& status, std::string& msg);
    // Starts queued tasks while fewer than the limit transcode and
    // transcoded ones while fewer than the limit upload, in list order.
    void schedule();
    // Ends the run's work: stops and joins the free-space poll and every
    // task's threads, cancelling nothing at the site or on disk, so that
    // the saved list goes on from here next time. schedule() starts nothing
    // afterwards.
    void stop();
    std::chrono::milliseconds retry_pause() const { return retry_pause_; }
    upload_tasks(const upload_tasks&) = delete;
    upload_tasks& operator=(const upload_tasks&) = delete;

    // Appends a queued task; false with the reason when it cannot be made.
    bool add_task(const task_info& info, std::string& error);
    // Cancels the task (upload_task::cancel) and drops it from the list.
    void remove_task(std::size_t index);
    // Throws std::runtime_error "Bad task index" past the end.
    upload_task& task_at(std::size_t index) const;
    // Where the task is in the list; nothing when it is not there.
    std::optional<std::size_t> index_of(const upload_task& task) const;
    std::size_t count() const { return tasks_.size(); }
    int count_transcoding() const;
    int count_uploading() const;
    int max_transcoding() const { return max_transcoding_; }
    int max_uploading() const { return max_uploading_; }

    std::string get_launch_code() const;
    void set_launch_code(std::string code);
    std::string get_server_url() const;
    void set_server_url(std::string url);
    std::string get_work_folder() const;

    std::vector<std::string> categories() const;
    void set_categories(std::vector<std::string> names);

    // Kept by the free-space poll.
    std::int64_t free_size() const { return free_size_; }
    void set_free_size(std::int64_t bytes) { free_size_ = bytes; }
    std::int32_t speed_kbps() const { return speed_kbps_; }
    void set_speed_kbps(std::int32_t kbps) { speed_kbps_ = kbps; }
    // Bytes uploaded in this run, over all tasks.
    void add_uploaded_bytes(std::int64_t bytes);
    std::int64_t uploaded_bytes() const;

    bool stop_requested() const { return stop_.is_set(); }

    // Called when the site refuses the launch code and no newer one has
    // come. It runs on the refused worker's thread, which waits for it: it
    // must hand the question to the user-interface thread and return.
    void set_need_password(std::function<void()> callback);
    void request_password() const;

    // Puts "tasks" with one "tasks.task" per task.
    void write_task_list(boost::property_tree::ptree& tree) const;
    // Appends the tasks of "tasks" when every one of them reads; otherwise
    // throws as read_task_records does and the list stays as it was.
    void read_task_list(const boost::property_tree::ptree& tree);

  private:
    void poll_free_size();

    const int max_transcoding_;
    const int max_uploading_;
    const std::chrono::milliseconds retry_pause_;
    const std::chrono::milliseconds free_size_cycle_;
    std::deque<std::unique_ptr<upload_task>> tasks_;

    mutable std::mutex mutex_;  // guards the members below
    std::string server_url_;
    std::string launch_code_;
    std::string work_folder_;
    std::vector<std::string> categories_;
    std::int64_t uploaded_bytes_ = 0;
    std::function<void()> need_password_;

    std::atomic<std::int64_t> free_size_{0};
    std::atomic<std::int32_t> speed_kbps_{0};
    stop_signal stop_;
    std::thread free_size_thread_;
};

}  // namespace lumo_upl
