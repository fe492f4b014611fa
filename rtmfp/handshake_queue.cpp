#include "rtmfp/handshake_queue.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <utility>

rtmfp_handshake_queue::rtmfp_handshake_queue(boost::asio::io_context& io, std::size_t max_queued,
                                             handshake_work work)
    : io_(io), max_queued_(max_queued), work_(std::move(work)) {}

void rtmfp_handshake_queue::set_workers(std::size_t workers) {
    std::lock_guard lock(mutex_);
    workers_ = std::max<std::size_t>(workers, 1);
}

bool rtmfp_handshake_queue::push(std::size_t socket_index, block_buffer datagram,
                                 const endpoint& from) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || jobs_.size() >= max_queued_) {
            return false;
        }
        jobs_.push_back({socket_index, std::move(datagram), from});
        if (running_ >= workers_) {
            return true;
        }
        ++running_;
    }
    boost::asio::post(io_, [this] { drain(); });
    return true;
}

void rtmfp_handshake_queue::drain() {
    for (int i = 0; i < batch; ++i) {
        job next;
        {
            std::lock_guard lock(mutex_);
            if (jobs_.empty()) {
                --running_;
                return;
            }
            next = std::move(jobs_.front());
            jobs_.pop_front();
        }
        work_(next.socket_index, std::move(next.datagram), next.from);
    }
    boost::asio::post(io_, [this] { drain(); });
}

void rtmfp_handshake_queue::stop() {
    std::deque<job> dropped;
    std::lock_guard lock(mutex_);
    stopped_ = true;
    dropped.swap(jobs_);
}

std::size_t rtmfp_handshake_queue::queued() const {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}
