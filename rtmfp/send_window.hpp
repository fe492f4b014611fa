#pragma once

// The bookkeeping of an out flow's packets between their sending and their
// acknowledgement: how many may be in flight, which ones the peer's
// acknowledgements show missing, and when a silent peer's packets go again.
// It keeps no packets and sends nothing: its owner hands it the times and
// acknowledgements and sends again what it names, so that it runs on a
// clock of a test's as well as on the steady clock.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "rtmfp/chunks.hpp"

using rtmfp_steady_time = std::chrono::steady_clock::time_point;
using rtmfp_steady_clock = std::function<rtmfp_steady_time()>;

// The round trip of a session, smoothed as TCP smooths it (a mean and a
// mean deviation of the samples), and the retransmission time-out that
// follows from it: the mean plus four deviations, never below a quarter
// second (a peer may hold its acknowledgements back for up to 200 ms), one
// second until the first sample.
class rtmfp_rtt_estimator {
  public:
    using duration = std::chrono::steady_clock::duration;

    static constexpr duration initial_timeout = std::chrono::seconds(1);
    static constexpr duration min_timeout = std::chrono::milliseconds(250);
    // Also the limit of a timeout doubled for each one that expired.
    static constexpr duration max_timeout = std::chrono::seconds(10);

    void add_sample(duration rtt) noexcept;
    duration timeout() const noexcept { return timeout_; }
    // None until the first sample.
    std::optional<duration> smoothed() const noexcept;

  private:
    bool sampled_ = false;
    duration smoothed_{};
    duration deviation_{};
    duration timeout_ = initial_timeout;
};

// The packets of one out flow from the first unacknowledged one to the last
// one sent, one fragment (one sequence number) each, numbered from 1.
//
// At most `window` of them are in flight (sent and not known to have
// arrived); the window starts at one packet, grows by one with each
// acknowledgement that moves the cumulative number (slow start up to the
// threshold), and then by one a window's worth of acknowledgements.
//
// A packet goes again when the acknowledgements show it missing: when the
// peer reports packets that left after it (three of them, fewer in a
// window too small for three to follow it, and one when the flow has
// nothing more it could send to bring news), or, from a peer that
// reports nothing beyond its cumulative number, when that number comes
// three times with packets after it outstanding. Each sending of a packet
// is missed at most once: after it goes again, only news of packets sent
// after that counts. A packet whose time-out (from the round trip,
// doubled after each that expired) passes goes again as well. Each loss
// halves the window once, for what was in flight when it was found.
class rtmfp_send_window {
  public:
    using duration = std::chrono::steady_clock::duration;

    static constexpr std::uint32_t initial_threshold = 128;
    // Packets that leave after a missing one and arrive before it are taken
    // for reordering, up to this many.
    static constexpr std::uint64_t reorder_tolerance = 3;
    static constexpr int repeated_acks_for_loss = 3;

    // Round-trip samples go to `rtt`, which must outlive the window.
    explicit rtmfp_send_window(rtmfp_rtt_estimator& rtt) noexcept : rtt_(rtt) {}

    // Room for another packet in flight.
    bool has_room() const noexcept { return in_flight_ < window_; }
    // The next packet (sequence last_sent() + 1) leaves at `now`.
    void sent(rtmfp_steady_time now);

    // An acknowledgement: every packet up to `cumulative` arrived, and so
    // did those of `received` (beyond it, ascending). `can_send_more` says
    // whether packets wait for room in the window. The sequence numbers
    // to send again now are appended to `resend` (and counted as sent).
    // An acknowledgement below an earlier one or beyond the last packet
    // sent changes nothing; false then.
    bool acknowledge(std::uint32_t cumulative, std::span<const rtmfp_received_range> received,
                     bool can_send_more, rtmfp_steady_time now, std::vector<std::uint32_t>& resend);

    // The packets whose time-out has passed at `now`, appended to `resend`.
    void expire(rtmfp_steady_time now, std::vector<std::uint32_t>& resend);
    // When the first time-out passes; none with nothing in flight.
    std::optional<rtmfp_steady_time> deadline() const noexcept;
    // The time-out of a packet sent now.
    duration timeout() const noexcept;

    // Forgets everything: nothing sent, numbering from 1.
    void reset() noexcept;

    std::uint32_t cumulative() const noexcept { return cumulative_; }
    std::uint32_t last_sent() const noexcept {
        return cumulative_ + static_cast<std::uint32_t>(packets_.size());
    }
    // Sent and neither acknowledged nor reported arrived.
    std::uint32_t in_flight() const noexcept { return in_flight_; }
    // Acknowledged by neither the cumulative number nor a report.
    bool unacknowledged() const noexcept { return !packets_.empty(); }
    std::uint32_t window() const noexcept { return window_; }
    std::uint32_t threshold() const noexcept { return threshold_; }

  private:
    struct packet {
        rtmfp_steady_time sent_at;
        // The order of its last sending among all sendings of the flow.
        std::uint64_t sending = 0;
        bool arrived = false;
        // Sent more than once: its acknowledgement times no round trip.
        bool resent = false;
    };

    void send_again(std::uint32_t sequence, packet& p, rtmfp_steady_time now,
                    std::vector<std::uint32_t>& resend);
    // Halves the window unless a loss among the same packets already did.
    void on_loss(std::uint32_t sequence);
    void grow();

    rtmfp_rtt_estimator& rtt_;
    // Sequence cumulative_ + 1 + i at index i.
    std::deque<packet> packets_;
    std::uint32_t cumulative_ = 0;
    std::uint32_t in_flight_ = 0;
    std::uint64_t next_sending_ = 1;
    // The last sending known to have arrived.
    std::uint64_t newest_arrived_ = 0;
    std::uint32_t window_ = 1;
    std::uint32_t threshold_ = initial_threshold;
    std::uint32_t acks_in_window_ = 0;
    int repeated_acks_ = 0;
    // The first packet went again for repeated acknowledgements since the
    // cumulative number last moved.
    bool repeated_resent_ = false;
    // Losses up to this sequence belong to the loss event that halved the
    // window last.
    std::optional<std::uint32_t> recovery_end_;
    // Time-outs expired in a row.
    int backoff_ = 0;
};
