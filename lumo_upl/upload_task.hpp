#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lumo_upl/channel_uploader.hpp"
#include "lumo_upl/stop_signal.hpp"

class lumo_av_encoder;

// One upload task: a video file that is transcoded into a segment recording
// in the work folder and then uploaded block by block, each on a thread of
// the task's own. The user-interface thread reads what those threads write,
// so every value here is an atomic or kept under the task's mutex.
namespace lumo_upl {

class upload_tasks;

namespace task_state {
inline constexpr std::int32_t queued = 0;
inline constexpr std::int32_t transcoding = 1;
inline constexpr std::int32_t transcoded = 2;
inline constexpr std::int32_t uploading = 3;
inline constexpr std::int32_t uploaded = 4;
inline constexpr std::int32_t transcode_failed = 5;
inline constexpr std::int32_t upload_failed = 6;
}  // namespace task_state

// What the operator chose for a file (texts in UTF-8).
struct task_info {
    std::string caption;
    std::string path;               // the source file
    std::int32_t preset_index = 0;  // 0, 1 or 2
    std::string category;
    std::string labels;
    std::string note;
    std::int32_t duration_ms = 0;  // the source's, as probed when added

    bool operator==(const task_info&) const = default;
};

// What the transcoder made of the file.
struct converted_parameters {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t video_kbps = 0;
    std::int32_t audio_kbps = 0;
    double duration_ms = 0;
    std::int32_t framerate = 0;
    std::int32_t total_bitrate = 0;  // as the transcoder reports it

    bool operator==(const converted_parameters&) const = default;
};

// What the task file keeps of a task.
struct task_record {
    std::int32_t state = task_state::queued;
    task_info info;
    converted_parameters converted;
    std::string stream_name;
    std::string local_file_name;
    std::int32_t current_block = 0;
    std::int32_t count_block = 0;

    bool operator==(const task_record&) const = default;
};

// Writes the children of one "task" element of the task file.
void write_task_record(const task_record& record, boost::property_tree::ptree& task);
// Reads one "task" element, with defaults for absent keys. Interrupted
// work starts again: a task that was transcoding is queued, one that was
// uploading goes back to transcoded (its upload resumes at its current
// block). A local name that is no plain file name is dropped (the task's
// folder is removed with everything in it, so the name must stay inside
// the work folder), and a task in those states without one is queued.
// Throws std::runtime_error for a value that is no number or out of range.
task_record read_task_record(const boost::property_tree::ptree& task);

// A name for a task's folder and files: "T", `seconds` and a number from
// `draw`, drawn again while the work folder holds something of that name.
// The folder is created at once, so that no other task (of another running
// client sharing the work folder) can take the name.
std::string make_local_file_name(const std::filesystem::path& work_folder, std::int64_t seconds,
                                 const std::function<std::uint32_t()>& draw);

class upload_task {
  public:
    // A new task, queued.
    upload_task(upload_tasks& tasks, task_info info);
    // A task read back from the task file.
    upload_task(upload_tasks& tasks, const task_record& record);
    // Stops and joins the task's threads.
    ~upload_task();
    upload_task(const upload_task&) = delete;
    upload_task& operator=(const upload_task&) = delete;

    const task_info& info() const { return info_; }

    std::int32_t state() const { return state_; }
    void set_state(std::int32_t state) { state_ = state; }
    // Percent: the running transcoder's while transcoding, the upload's
    // (blocks up to 90, thumbnails up to 99, 100 when complete) after.
    double progress() const;
    void set_progress(double percent) { progress_ = percent; }
    bool stop_requested() const { return stop_.is_set(); }
    // Asks both workers to stop (a running transcoder included) without
    // waiting for them.
    void request_stop();
    void clear_stop() { stop_.clear(); }

    // Starts transcoding a queued task on a thread of its own: thumbnails,
    // then the recording. Nothing, and false, when the task is not queued
    // or has had a transcode thread in this run.
    bool start_convert();
    // Starts uploading a transcoded task on a thread of its own: the
    // stream (createUpload) unless the site already has one, the blocks
    // from the current one, the thumbnails and the completion. Nothing, and
    // false, when the task is not transcoded or has had an upload thread
    // in this run.
    bool start_upload();
    // Stops a running transcoder, joins the transcode thread and lets it be
    // started again.
    void stop_convert();
    // Stops and joins both workers; the task keeps its files and its stream
    // at the site, so that the next run goes on from here.
    void stop_workers();

    std::int32_t current_block() const { return current_block_; }
    void set_current_block(std::int32_t block) { current_block_ = block; }
    std::int32_t count_block() const { return count_block_; }
    void set_count_block(std::int32_t count) { count_block_ = count; }

    converted_parameters converted() const;
    void set_converted(const converted_parameters& converted);
    std::string stream_name() const;
    void set_stream_name(std::string name);
    std::string local_file_name() const;
    // The local name, made on first use (see make_local_file_name).
    std::string ensure_local_file_name();

    // One line of the task's log, which is emptied once it passes 64000
    // bytes.
    void append_log(const std::string& line);
    std::string log_text() const;

    // The task's files in the work folder W, with N its local name:
    // W/N/N.segments/<k>.zpksegment, W/N/N.zpksegments, W/N/thumbnail_c<k>.jpg.
    std::filesystem::path segment_path(std::int32_t block) const;
    std::filesystem::path index_path() const;
    std::filesystem::path thumbnail_path(std::int32_t number) const;
    // Creates W/N (with parents); throws std::filesystem::filesystem_error,
    // or std::runtime_error for a task without a local name.
    void make_work_dir() const;
    // Removes W/N with everything in it; nothing for a task without a
    // local name. Errors are ignored.
    void remove_work_dir() const;

    // The task's own client of the site; used by its upload thread.
    lumo_channel_uploader& uploader() { return uploader_; }

    // Stops the task's work for good: stops and joins its threads, tells
    // the site to drop the upload (unless it is complete), and removes the
    // task's folder. The owner destroys the task afterwards.
    void cancel();

    task_record record() const;
    void write(boost::property_tree::ptree& task) const { write_task_record(record(), task); }

  private:
    std::filesystem::path task_folder() const;

    // The transcode thread.
    void convert();
    void transcode();
    void make_thumbnails();
    std::unique_ptr<lumo_av_encoder> release_transcoder();

    // The upload thread.
    void upload();
    void create_upload();
    void upload_blocks();
    void upload_thumbnails();
    // True when the site wants blocks again.
    bool complete_upload();
    // What a refused block or completion does with the block the site
    // expects instead; true when the upload goes on from there.
    bool change_block(std::int32_t expected);
    // The answer to a refusal other than a block number.
    void refused();
    bool refresh_auth();
    // The pause before a request is tried again; true when stopped.
    bool pause();

    upload_tasks& tasks_;
    const task_info info_;

    std::atomic<std::int32_t> state_{task_state::queued};
    std::atomic<double> progress_{0};
    stop_signal stop_;
    std::atomic<std::int32_t> current_block_{0};
    std::atomic<std::int32_t> count_block_{0};

    mutable std::mutex mutex_;  // guards the members below
    converted_parameters converted_;
    std::string stream_name_;
    std::string local_file_name_;
    std::string log_;
    std::unique_ptr<lumo_av_encoder> transcoder_;  // while it runs

    lumo_channel_uploader uploader_;
    std::thread transcode_thread_;
    std::thread upload_thread_;
};

}  // namespace lumo_upl
