#pragma once

#include <boost/circular_buffer.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

// A connection's sequential work queue: items are worked on one at a time,
// in the order they were pushed. For a connection an item is a block of
// outgoing bytes and the work is one asynchronous write, so at most one write
// is in flight and blocks leave in order.
//
// Not locked: it belongs to its connection's thread, which pushes the items
// and finishes the work. Only pending() may be read from elsewhere.
//
// `Work` is called with the item (by reference; it may move from it) and
// must only start the work; whoever finishes it calls next(). `Merge` is
// called with a new item and the last waiting one and returns true when it
// folded the new one into the last (a burst of small blocks then leaves in
// few writes).
//
// Work that can take several items at once (one gather write) takes what
// waits with take_waiting(); those items still count as pending until the
// work ends, so pending() measures a consumer's lag as it would item by item.
template <class Item, class Work, class Merge>
class seq_do {
  public:
    seq_do(std::uint32_t limit, Work work, Merge merge)
        : limit_(limit), work_(std::move(work)), merge_(std::move(merge)) {}

    seq_do(const seq_do&) = delete;
    seq_do& operator=(const seq_do&) = delete;

    // Starts work on the item when nothing is being worked on, else queues
    // it. The item is always taken; the result only advises the producer:
    // false once more than `limit` items wait.
    bool push(Item&& item) {
        if (!busy_) {
            busy_ = true;
            work_(item);
            return true;
        }
        if (!queue_.empty() && merge_(item, queue_.back())) {
            return pending_.load(std::memory_order_relaxed) < limit_;
        }
        if (queue_.full()) {
            // Grows like a vector, and keeps its room until it is idle
            // again: a burst allocates nothing per item.
            queue_.set_capacity(std::max<std::size_t>(8, queue_.capacity() * 2));
        }
        queue_.push_back(std::move(item));
        const std::uint32_t waiting = waiting_count();
        pending_.store(waiting, std::memory_order_relaxed);
        return waiting <= limit_;
    }

    // For the work in progress: moves up to `most` waiting items, in order,
    // to the end of `into`; returns how many.
    std::size_t take_waiting(std::vector<Item>& into, std::size_t most) {
        std::size_t taken = 0;
        for (; taken < most && !queue_.empty(); ++taken) {
            into.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        taken_ += static_cast<std::uint32_t>(taken);
        return taken;
    }

    // The work on the previous item has finished: starts the next one, or
    // becomes idle (giving back the queue's room). Returns true when it
    // became idle.
    bool next() {
        taken_ = 0;
        pending_.store(static_cast<std::uint32_t>(queue_.size()), std::memory_order_relaxed);
        if (queue_.empty()) {
            busy_ = false;
            // Most of a server's connections are idle at any time, between
            // their bursts: they hold no room for the next one.
            if (queue_.capacity() != 0) {
                boost::circular_buffer<Item>().swap(queue_);
            }
            return true;
        }
        Item item = std::move(queue_.front());
        queue_.pop_front();
        work_(item);
        return false;
    }

    // Items waiting behind the one being worked on (those it took along
    // included), as last recorded by push and next; producers read it to see
    // how far the consumer lags.
    std::uint32_t pending() const noexcept { return pending_.load(std::memory_order_relaxed); }
    std::uint32_t limit() const noexcept { return limit_; }

    // Nothing being worked on and nothing waiting.
    bool idle() const noexcept { return !busy_; }

  private:
    std::uint32_t waiting_count() const noexcept {
        return static_cast<std::uint32_t>(queue_.size()) + taken_;
    }

    boost::circular_buffer<Item> queue_;
    // Items the work in progress took beyond its first.
    std::uint32_t taken_ = 0;
    bool busy_ = false;
    const std::uint32_t limit_;
    std::atomic<std::uint32_t> pending_{0};
    Work work_;
    Merge merge_;
};
