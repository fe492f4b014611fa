#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qen/qen_stream_recorder.hpp"

namespace qen {

// Takes the recorders of publishes that have ended, so that the thread that
// ends a publish (an io thread, serving many other connections) never waits
// for a disk: each recorder's lane writes what it still has queued, finishes
// the recording and closes its lock file, and the recorder is then
// destroyed on the finisher's thread. A publish of a name whose last
// recording is still finishing goes on once that is complete
// (after_finished).
//
// The server owns one; its destruction waits for every finish it was given,
// so that no recording is cut short when the server stops.
class recording_finisher {
  public:
    recording_finisher();
    // Waits until every recorder handed over has finished.
    ~recording_finisher();

    recording_finisher(const recording_finisher&) = delete;
    recording_finisher& operator=(const recording_finisher&) = delete;

    // Returns at once; the recorder takes no further message.
    void finish(std::unique_ptr<qen_stream_recorder> recorder);

    // Blocks until no recording of `base_path` is still finishing: its files
    // are complete and its lock file is free.
    void wait_until_finished(const std::string& base_path);

    // Blocks until every recorder handed over so far has finished.
    void wait_until_all_finished();

    // Calls `then` once no recording of `base_path` is still finishing: at
    // once, on this thread, when none is; otherwise on the thread that
    // completes the finish, which `then` must not hold up.
    void after_finished(const std::string& base_path, std::function<void()> then);

  private:
    struct finishing {
        std::unique_ptr<qen_stream_recorder> recorder;
        std::string base_path;
        // Set from the recorder's lane: its files are complete, and then the
        // finisher may destroy it.
        bool complete = false;
        bool done = false;
    };
    struct waiter {
        std::string base_path;
        std::function<void()> then;
    };

    void run();
    bool any_done() const;
    bool still_finishing(const std::string& base_path) const;

    // Guards the finishing recordings, the waiters and stopping_. Shared by
    // the io threads that hand recorders over, the recording lanes' threads
    // that finish them and the finisher's own; no other lock is taken while
    // it is held, and nothing is called but the notification (a recorder's
    // finish and the waiters run after it is released).
    std::mutex mutex_;
    std::condition_variable changed_;
    // A list: each recorder's lane marks its own entry through a pointer.
    std::list<finishing> finishing_;
    std::vector<waiter> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qen
