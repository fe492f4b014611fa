#include "rtmp/pending_message_budget.hpp"

#include <stdexcept>

namespace rtmp {

bool pending_message_budget::take(std::uint64_t bytes) noexcept {
    const std::uint64_t limit = this->limit();
    std::uint64_t used = used_.load(std::memory_order_relaxed);
    do {
        if (used > limit || bytes > limit - used) {
            return false;
        }
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void pending_message_budget::give_back(std::uint64_t bytes) noexcept {
    used_.fetch_sub(bytes, std::memory_order_relaxed);
}

pending_message_allowance::~pending_message_allowance() {
    if (server_ != nullptr) {
        server_->give_back(drawn(held_));
    }
}

void pending_message_allowance::hold(std::uint64_t bytes) {
    if (bytes > max_bytes_ - held_) {
        throw std::runtime_error("Pending messages are too big");
    }
    const std::uint64_t after = held_ + bytes;
    const std::uint64_t draw = drawn(after) - drawn(held_);
    if (draw > 0 && server_ != nullptr && !server_->take(draw)) {
        throw std::runtime_error("Server has no room for pending messages");
    }
    held_ = after;
}

void pending_message_allowance::release(std::uint64_t bytes) noexcept {
    const std::uint64_t after = held_ - bytes;
    if (server_ != nullptr) {
        server_->give_back(drawn(held_) - drawn(after));
    }
    held_ = after;
}

}  // namespace rtmp
