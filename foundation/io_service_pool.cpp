#include "foundation/io_service_pool.hpp"

#include <algorithm>
#include <stdexcept>

io_service_pool::io_service_pool(std::size_t threads) {
    threads = std::max<std::size_t>(threads, 1);
    entries_.reserve(threads);
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        // Run by one thread alone: the context need not wake others.
        entries_.push_back(std::make_unique<entry>(1));
    }
    for (auto& e : entries_) {
        threads_.emplace_back([&context = e->context] { context.run(); });
    }
}

io_service_pool::io_service_pool(deferred_start_t) {
    entries_.push_back(std::make_unique<entry>(BOOST_ASIO_CONCURRENCY_HINT_DEFAULT));
}

void io_service_pool::start(std::size_t threads) {
    if (!threads_.empty() || stopped_) {
        throw std::logic_error("The pool has started or stopped already");
    }
    threads = std::max<std::size_t>(threads, 1);
    threads_.reserve(threads);
    io_context& context = entries_.front()->context;
    for (std::size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([&context] { context.run(); });
    }
}

io_service_pool::~io_service_pool() {
    if (!stopped_.exchange(true)) {
        for (auto& e : entries_) {
            e->work.reset();
            e->context.stop();
        }
        for (auto& t : threads_) {
            t.join();
        }
    }
}

io_service_pool::io_context& io_service_pool::pick() {
    return entries_[next_++ % entries_.size()]->context;
}

void io_service_pool::stop() {
    if (stopped_.exchange(true)) {
        return;
    }
    for (auto& e : entries_) {
        e->work.reset();
    }
    for (auto& t : threads_) {
        t.join();
    }
    // A thread whose context ran dry may have ended before another thread,
    // still closing its connections, posted to it: that work runs here, so
    // that everything posted before stop has run when it returns.
    for (;;) {
        std::size_t ran = 0;
        for (auto& e : entries_) {
            e->context.restart();
            ran += e->context.poll();
        }
        if (ran == 0) {
            break;
        }
    }
}
