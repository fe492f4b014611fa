#include "rtmfp/send_window.hpp"

#include <algorithm>

namespace {

// Doublings of the time-out beyond which it stays at its maximum.
constexpr int max_backoff = 8;
constexpr std::uint32_t min_window_after_loss = 2;

}  // namespace

void rtmfp_rtt_estimator::add_sample(duration rtt) noexcept {
    rtt = std::max(rtt, duration::zero());
    if (!sampled_) {
        sampled_ = true;
        smoothed_ = rtt;
        deviation_ = rtt / 2;
    } else {
        const duration error = smoothed_ > rtt ? smoothed_ - rtt : rtt - smoothed_;
        deviation_ = (3 * deviation_ + error) / 4;
        smoothed_ = (7 * smoothed_ + rtt) / 8;
    }
    timeout_ = std::clamp(smoothed_ + 4 * deviation_, duration(min_timeout), duration(max_timeout));
}

std::optional<rtmfp_rtt_estimator::duration> rtmfp_rtt_estimator::smoothed() const noexcept {
    if (!sampled_) {
        return std::nullopt;
    }
    return smoothed_;
}

void rtmfp_send_window::sent(rtmfp_steady_time now) {
    packets_.push_back({now, next_sending_++});
    ++in_flight_;
}

bool rtmfp_send_window::acknowledge(std::uint32_t cumulative,
                                    std::span<const rtmfp_received_range> received,
                                    bool can_send_more, rtmfp_steady_time now,
                                    std::vector<std::uint32_t>& resend) {
    if (cumulative < cumulative_ || cumulative > last_sent()) {
        return false;
    }
    // The newest first sending among the packets this acknowledgement tells
    // of for the first time: its round trip is the freshest sample.
    std::optional<rtmfp_steady_time> sample_sent;
    const auto arrived = [&](packet& p) {
        if (p.arrived) {
            return;
        }
        p.arrived = true;
        --in_flight_;
        newest_arrived_ = std::max(newest_arrived_, p.sending);
        if (!p.resent && (!sample_sent || p.sent_at > *sample_sent)) {
            sample_sent = p.sent_at;
        }
    };

    const bool progress = cumulative > cumulative_;
    for (std::uint32_t i = cumulative - cumulative_; i != 0; --i) {
        arrived(packets_.front());
        packets_.pop_front();
    }
    cumulative_ = cumulative;
    for (const rtmfp_received_range& range : received) {
        if (range.first > last_sent()) {
            break;
        }
        for (std::uint32_t sequence = std::max(range.first, cumulative_ + 1);
             sequence <= std::min(range.last, last_sent()); ++sequence) {
            arrived(packets_[sequence - cumulative_ - 1]);
        }
    }
    if (sample_sent) {
        rtt_.add_sample(now - *sample_sent);
    }

    if (progress) {
        repeated_acks_ = 0;
        repeated_resent_ = false;
        backoff_ = 0;
        if (recovery_end_ && cumulative_ >= *recovery_end_) {
            recovery_end_.reset();
        }
        if (!recovery_end_) {
            grow();
        }
    } else if (received.empty() && !packets_.empty()) {
        ++repeated_acks_;
    }

    // A peer that tells nothing beyond its cumulative number: the packet
    // after it is missing once that number has come three times more.
    if (repeated_acks_ >= repeated_acks_for_loss && !repeated_resent_ && !packets_.empty()) {
        repeated_acks_ = 0;
        repeated_resent_ = true;
        on_loss(cumulative_ + 1);
        send_again(cumulative_ + 1, packets_.front(), now, resend);
    }
    // Packets that left before one that arrived and have not arrived
    // themselves. A small window lets few packets follow a lost one, and
    // nothing more to send none: then fewer reports, or the first, count.
    const std::uint64_t tolerance =
        can_send_more && has_room() ? std::clamp<std::uint64_t>(window_ - 1, 1, reorder_tolerance)
                                    : std::uint64_t{1};
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        packet& p = packets_[i];
        if (p.arrived) {
            continue;
        }
        if (p.sending + tolerance <= newest_arrived_) {
            const std::uint32_t sequence = cumulative_ + 1 + static_cast<std::uint32_t>(i);
            on_loss(sequence);
            send_again(sequence, p, now, resend);
        } else if (!p.resent) {
            // Every packet after one sent only once left later than it did,
            // whether once or again.
            break;
        }
    }
    return true;
}

void rtmfp_send_window::expire(rtmfp_steady_time now, std::vector<std::uint32_t>& resend) {
    const duration waited = timeout();
    bool expired = false;
    for (std::size_t i = 0; i < packets_.size(); ++i) {
        packet& p = packets_[i];
        if (!p.arrived && now - p.sent_at >= waited) {
            if (!expired) {
                expired = true;
                // Whatever loss event was under way, this is a new one.
                recovery_end_.reset();
                on_loss(cumulative_ + 1 + static_cast<std::uint32_t>(i));
            }
            send_again(cumulative_ + 1 + static_cast<std::uint32_t>(i), p, now, resend);
        }
    }
    if (expired) {
        backoff_ = std::min(backoff_ + 1, max_backoff);
    }
}

std::optional<rtmfp_steady_time> rtmfp_send_window::deadline() const noexcept {
    std::optional<rtmfp_steady_time> oldest;
    for (const packet& p : packets_) {
        if (!p.arrived && (!oldest || p.sent_at < *oldest)) {
            oldest = p.sent_at;
        }
    }
    if (!oldest) {
        return std::nullopt;
    }
    return *oldest + timeout();
}

rtmfp_send_window::duration rtmfp_send_window::timeout() const noexcept {
    const duration limit = rtmfp_rtt_estimator::max_timeout;
    duration t = rtt_.timeout();
    for (int i = 0; i < backoff_ && t < limit; ++i) {
        t *= 2;
    }
    return std::min(t, limit);
}

void rtmfp_send_window::reset() noexcept {
    packets_.clear();
    cumulative_ = 0;
    in_flight_ = 0;
    next_sending_ = 1;
    newest_arrived_ = 0;
    window_ = 1;
    threshold_ = initial_threshold;
    acks_in_window_ = 0;
    repeated_acks_ = 0;
    repeated_resent_ = false;
    recovery_end_.reset();
    backoff_ = 0;
}

void rtmfp_send_window::send_again(std::uint32_t sequence, packet& p, rtmfp_steady_time now,
                                   std::vector<std::uint32_t>& resend) {
    p.sent_at = now;
    p.sending = next_sending_++;
    p.resent = true;
    resend.push_back(sequence);
}

void rtmfp_send_window::on_loss(std::uint32_t sequence) {
    if (recovery_end_ && sequence <= *recovery_end_) {
        return;
    }
    // Never below two packets (unless it was one): with one, a packet sent
    // again and lost again could only be found by its time-out, as nothing
    // could leave after it to bring news.
    window_ = std::max(window_ / 2, std::min(window_, min_window_after_loss));
    threshold_ = window_;
    acks_in_window_ = 0;
    recovery_end_ = last_sent();
}

void rtmfp_send_window::grow() {
    if (window_ < threshold_) {
        acks_in_window_ = 0;
        ++window_;
    } else if (++acks_in_window_ >= window_) {
        acks_in_window_ = 0;
        ++window_;
    }
}
