#include "rtmfp/handshake_gate.hpp"

#include <algorithm>
#include <iterator>

rtmfp_rate_gate::bucket::bucket(const rtmfp_rate& rate, clock::time_point now)
    : tokens_(rate.burst), last_(now) {}

void rtmfp_rate_gate::bucket::refill(const rtmfp_rate& rate, clock::time_point now) {
    if (now <= last_) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(rate.burst, tokens_ + seconds * rate.per_second);
    last_ = now;
}

rtmfp_rate_gate::rtmfp_rate_gate(rtmfp_rate per_address, rtmfp_rate in_all,
                                 std::size_t max_addresses)
    : per_address_(per_address),
      in_all_(in_all),
      max_addresses_(max_addresses),
      total_(in_all, clock::time_point()),
      others_(per_address, clock::time_point()) {}

bool rtmfp_rate_gate::admit(const address& from, clock::time_point now) {
    std::lock_guard lock(mutex_);
    total_.refill(in_all_, now);
    if (!total_.has_one()) {
        return false;
    }
    auto known = by_address_.find(from);
    if (known == by_address_.end() && by_address_.size() < max_addresses_) {
        known = by_address_.emplace(from, bucket(per_address_, now)).first;
    }
    bucket& own = known == by_address_.end() ? others_ : known->second;
    own.refill(per_address_, now);
    if (!own.has_one()) {
        return false;
    }
    own.take();
    total_.take();
    return true;
}

void rtmfp_rate_gate::forget_idle(clock::time_point now) {
    std::lock_guard lock(mutex_);
    for (auto entry = by_address_.begin(); entry != by_address_.end();) {
        entry->second.refill(per_address_, now);
        entry = entry->second.full(per_address_) ? by_address_.erase(entry) : std::next(entry);
    }
}

std::size_t rtmfp_rate_gate::addresses() const {
    std::lock_guard lock(mutex_);
    return by_address_.size();
}
