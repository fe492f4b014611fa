#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// The worker threads on which all network work, timers and callbacks of a
// server run: one io context per thread, each run by that thread alone.
//
// An object gets one context (pick(), round-robin) and all of its handlers
// then run on that context's thread, one after the other: what only that
// object touches needs no lock, and the threads share no scheduler. What
// objects on different contexts share carries its own lock, or is handed
// over by posting to the context that owns it.
class io_service_pool {
  public:
    using io_context = boost::asio::io_context;

    struct deferred_start_t {};
    static constexpr deferred_start_t deferred_start{};

    // Starts `threads` threads (at least one), each running a context of its
    // own.
    explicit io_service_pool(std::size_t threads);
    // A pool whose threads start later, with start(): a server binds its
    // sockets to the io context before it lets anything run. Such a pool has
    // one context that all its threads run, so one object's handlers may run
    // on several threads at once (datagram servers want every thread to take
    // from one socket).
    explicit io_service_pool(deferred_start_t);

    // Stops if stop was not called, abandoning work that is still queued.
    ~io_service_pool();

    io_service_pool(const io_service_pool&) = delete;
    io_service_pool& operator=(const io_service_pool&) = delete;

    // The io context for a new object, picked round-robin.
    io_context& pick();
    // The context of thread `index` (below thread_count()).
    io_context& context(std::size_t index) { return entries_.at(index)->context; }

    // Starts the threads of a pool made with deferred_start (at least one);
    // once, and not after stop() (std::logic_error).
    void start(std::size_t threads);

    // Lets the run loops end once their queued and outstanding work is done,
    // and joins the threads. Work that one context posts to another after
    // that other's thread has ended still runs, on the calling thread, before
    // stop returns. Later calls do nothing.
    void stop();

    std::size_t thread_count() const { return threads_.size(); }

  private:
    using work_guard = boost::asio::executor_work_guard<io_context::executor_type>;

    struct entry {
        io_context context;
        std::optional<work_guard> work;
        explicit entry(int concurrency_hint)
            : context(concurrency_hint), work(context.get_executor()) {}
    };

    std::vector<std::unique_ptr<entry>> entries_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopped_{false};
    std::atomic<std::size_t> next_{0};
};
