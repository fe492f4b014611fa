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
// server run: one io context run by N threads, so handlers of different
// connections run in parallel and anything they share carries its own lock.
class io_service_pool {
  public:
    using io_context = boost::asio::io_context;

    struct deferred_start_t {};
    static constexpr deferred_start_t deferred_start{};

    // Starts `threads` threads (at least one) running the pool's io context.
    explicit io_service_pool(std::size_t threads);
    // A pool whose threads start later, with start(): a server binds its
    // sockets to the io context before it lets anything run.
    explicit io_service_pool(deferred_start_t);

    // Stops if stop was not called, abandoning work that is still queued.
    ~io_service_pool();

    io_service_pool(const io_service_pool&) = delete;
    io_service_pool& operator=(const io_service_pool&) = delete;

    // The io context for a new object, picked round-robin.
    io_context& pick();

    // Starts the threads of a pool made with deferred_start (at least one);
    // once, and not after stop() (std::logic_error).
    void start(std::size_t threads);

    // Lets the run loops end once their queued and outstanding work is done,
    // and joins the threads. Later calls do nothing.
    void stop();

    std::size_t thread_count() const { return threads_.size(); }

  private:
    using work_guard = boost::asio::executor_work_guard<io_context::executor_type>;

    struct entry {
        io_context context;
        std::optional<work_guard> work;
        entry() : work(context.get_executor()) {}
    };

    std::vector<std::unique_ptr<entry>> entries_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopped_{false};
    std::atomic<std::size_t> next_{0};
};
