#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qen {

// A recording that a writer thread serves: each turn it writes what its
// publisher sent since the last one.
class served_recording {
  public:
    // On the writer thread. False once the recording wants no more turns.
    virtual bool serve() = 0;

  protected:
    ~served_recording() = default;
};

// One writer thread and one file thread that a share of a server's
// recordings use for their lives.
//
// The writer thread serves each of its recordings in turn a few times a
// second (or at once when one asks), so that each publisher's messages are
// written in one write a turn, and no message wakes a thread. The file
// thread does what may wait on the disk for long, in the order it is given
// (a recording's opening, its index saves and the syncs they make, its end),
// so that a cut's sync never holds up the other recordings' writes.
class recording_lane {
  public:
    // How often each recording is served at least.
    static constexpr std::chrono::milliseconds turn{200};

    recording_lane();
    // Runs the file work that is given until then; every recording must have
    // left.
    ~recording_lane();

    recording_lane(const recording_lane&) = delete;
    recording_lane& operator=(const recording_lane&) = delete;

    // From now on served on the writer thread.
    void add(served_recording& recording);
    // Served no more; waits while its turn runs (not on the writer thread).
    void remove(served_recording& recording);
    // Serves every recording now rather than at the next turn.
    void wake();

    // Runs on the file thread after what was given before it.
    void file_work(std::function<void()> work);
    // Blocks until the file thread has nothing left to do.
    void wait_until_idle();

  private:
    void write();
    void work_files();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<served_recording*> recordings_;
    served_recording* serving_ = nullptr;
    bool woken_ = false;
    bool stopping_ = false;

    std::mutex file_mutex_;
    std::condition_variable file_changed_;
    std::deque<std::function<void()>> file_work_;
    bool file_working_ = false;
    bool file_stopping_ = false;

    std::thread writer_;
    std::thread files_;
};

// The lanes of a server: a fixed number (the io threads' count), however
// many recordings there are.
class recording_writers {
  public:
    explicit recording_writers(std::size_t lanes);

    recording_writers(const recording_writers&) = delete;
    recording_writers& operator=(const recording_writers&) = delete;

    // The lane for a new recording, in turn.
    recording_lane& pick();

    std::size_t size() const noexcept { return lanes_.size(); }
    // Blocks until no lane has file work left (recordings being opened
    // among it).
    void wait_until_idle();

  private:
    std::vector<std::unique_ptr<recording_lane>> lanes_;
    std::atomic<std::size_t> next_{0};
};

}  // namespace qen
