#include "rtmfp/send_window.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sequences = std::vector<std::uint32_t>;
using ranges = std::vector<rtmfp_received_range>;

// A window on a clock that only the test moves.
struct window_fixture {
    rtmfp_rtt_estimator rtt;
    rtmfp_send_window window{rtt};
    rtmfp_steady_time now{std::chrono::seconds(1000)};

    // Sends packets until `count` are in flight, acknowledging each as it
    // goes until the window has room for them all.
    void open_window(std::uint32_t count) {
        while (window.window() < count) {
            window.sent(now);
            ack(window.last_sent());
        }
    }
    void send(std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            window.sent(now);
        }
    }
    sequences ack(std::uint32_t cumulative, const ranges& received = {},
                  bool can_send_more = true) {
        sequences resend;
        window.acknowledge(cumulative, received, can_send_more, now, resend);
        return resend;
    }
    sequences expire() {
        sequences resend;
        window.expire(now, resend);
        return resend;
    }
};

TEST(RtmfpSendWindow, SendsAgainOnlyWhatTheRangesShowMissingOncePerLoss) {
    window_fixture f;
    f.open_window(12);
    const std::uint32_t window = f.window.window();
    const std::uint32_t base = f.window.cumulative();
    f.send(10);  // base + 1 .. base + 10
    // 1 and 6 are missing; 2 to 5 and 7 to 10 arrived.
    const ranges reported{{base + 2, base + 5}, {base + 7, base + 10}};
    EXPECT_EQ(f.ack(base, reported), (sequences{base + 1, base + 6}));
    // Two holes of one window are one loss: the window halves once.
    EXPECT_EQ(f.window.window(), window / 2);
    EXPECT_EQ(f.window.threshold(), window / 2);
    EXPECT_EQ(f.window.in_flight(), 2u);
    // The same news again sends nothing more: the copies are on their way.
    EXPECT_EQ(f.ack(base, reported), sequences{});
    EXPECT_EQ(f.ack(base + 5, {{base + 7, base + 10}}), sequences{});
    EXPECT_EQ(f.ack(base + 10), sequences{});
    EXPECT_FALSE(f.window.unacknowledged());
    EXPECT_EQ(f.window.window(), window / 2) << "then grows by one a window";
}

TEST(RtmfpSendWindow, ToleratesALittleReorderingWhileMoreCanBeSent) {
    const struct {
        const char* name;
        ranges received;
        bool can_send_more;
        sequences resend;
    } cases[] = {
        {"one later packet arrived", {{3, 3}}, true, {}},
        {"two later packets arrived", {{3, 4}}, true, {}},
        {"three later packets arrived", {{3, 5}}, true, {2}},
        {"the third one after it arrived", {{5, 5}}, true, {2}},
        // Nothing more will leave to bring news: the first report counts.
        {"one later packet arrived, nothing more to send", {{3, 3}}, false, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window_fixture f;
        f.send(1);
        f.ack(1);
        f.send(1);
        f.ack(2);
        f.send(1);
        f.ack(3);
        f.send(1);
        f.ack(4);
        // Window 5; packets 5 to 9 in flight, renumbered from 1 for the case.
        const std::uint32_t base = f.window.cumulative();
        f.send(5);
        ranges shifted;
        for (const rtmfp_received_range& r : c.received) {
            shifted.push_back({base + r.first, base + r.last});
        }
        sequences expected;
        for (const std::uint32_t s : c.resend) {
            expected.push_back(base + s);
        }
        EXPECT_EQ(f.ack(base + 1, shifted, c.can_send_more), expected);
    }
}

TEST(RtmfpSendWindow, APeerWithoutRangesIsServedByItsRepeatedAcknowledgements) {
    window_fixture f;
    f.open_window(6);
    const std::uint32_t base = f.window.cumulative();
    const std::uint32_t window = f.window.window();
    f.send(4);
    EXPECT_EQ(f.ack(base), sequences{});
    EXPECT_EQ(f.ack(base), sequences{});
    // The third repeat: the packet after the cumulative number, alone.
    EXPECT_EQ(f.ack(base), sequences{base + 1});
    EXPECT_EQ(f.window.window(), window / 2);
    // More repeats while its copy is on the way change nothing.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(f.ack(base), sequences{});
    }
    // The copy arrived and the peer, which keeps nothing out of order, has
    // nothing after it: what left before the copy is missing.
    EXPECT_EQ(f.ack(base + 1), (sequences{base + 2, base + 3, base + 4}));
    EXPECT_EQ(f.window.window(), window / 2) << "the same loss";
}

TEST(RtmfpSendWindow, ACopyThatIsLostAgainIsFoundByWhatLeftAfterIt) {
    window_fixture f;
    f.open_window(8);
    const std::uint32_t base = f.window.cumulative();
    f.send(6);
    EXPECT_EQ(f.ack(base, {{base + 2, base + 6}}), sequences{base + 1});
    const std::uint32_t halved = f.window.window();
    // New packets leave after the copy; the copy does not arrive, they do.
    f.send(3);
    EXPECT_EQ(f.ack(base, {{base + 2, base + 7}}), sequences{});
    EXPECT_EQ(f.ack(base, {{base + 2, base + 9}}), sequences{base + 1});
    EXPECT_EQ(f.window.window(), halved) << "lost again within the same loss";
    EXPECT_EQ(f.ack(base + 9), sequences{});
    // A loss among packets sent after the repair began is a new one.
    f.send(5);
    EXPECT_EQ(f.ack(base + 9, {{base + 11, base + 14}}), sequences{base + 10});
    EXPECT_EQ(f.window.window(), halved / 2);
}

TEST(RtmfpSendWindow, TimesOutFromTheMeasuredRoundTripAndDoublesEachTime) {
    window_fixture f;
    // Before any sample: one second.
    f.send(1);
    EXPECT_EQ(f.window.deadline(), f.now + 1s);
    f.now += 999ms;
    EXPECT_EQ(f.expire(), sequences{});
    f.now += 1ms;
    EXPECT_EQ(f.expire(), sequences{1});
    // Its acknowledgement times nothing: the copy or the first may have
    // arrived.
    f.now += 100ms;
    f.ack(1);
    EXPECT_FALSE(f.rtt.smoothed());

    // Samples of 200 ms: the mean plus four deviations.
    f.send(1);
    f.now += 200ms;
    f.ack(2);
    EXPECT_EQ(f.rtt.smoothed(), std::chrono::steady_clock::duration(200ms));
    EXPECT_EQ(f.rtt.timeout(), 600ms);
    f.send(2);
    f.now += 200ms;
    f.ack(3);
    EXPECT_EQ(f.rtt.timeout(), 500ms);
    // The packet still in flight left 200 ms ago.
    EXPECT_EQ(f.window.deadline(), f.now + 300ms);
    f.now += 300ms;
    EXPECT_EQ(f.expire(), sequences{4});
    EXPECT_EQ(f.window.window(), 2u) << "halved from 3, not below two";
    EXPECT_EQ(f.window.deadline(), f.now + 1s) << "doubled";
    f.now += 1s;
    EXPECT_EQ(f.expire(), sequences{4});
    EXPECT_EQ(f.window.deadline(), f.now + 2s);
    // Progress ends the doubling.
    f.ack(4);
    f.send(1);
    EXPECT_EQ(f.window.deadline(), f.now + 500ms);
}

TEST(RtmfpSendWindow, TimeOutStaysWithinItsBounds) {
    const struct {
        std::chrono::milliseconds sample;
        std::chrono::milliseconds timeout;
    } cases[] = {
        {0ms, 250ms},       // loopback: never below a quarter second
        {50ms, 250ms},      // 50 + 4 x 25
        {100ms, 300ms},     // 100 + 4 x 50
        {4000ms, 10000ms},  // 4000 + 4 x 2000, at most ten seconds
    };
    for (const auto& c : cases) {
        rtmfp_rtt_estimator rtt;
        rtt.add_sample(c.sample);
        EXPECT_EQ(rtt.timeout(), c.timeout) << c.sample.count();
    }
    // Doubled, never beyond the maximum either.
    window_fixture f;
    f.send(1);
    for (int i = 0; i < 12; ++i) {
        f.now = *f.window.deadline();
        EXPECT_EQ(f.expire(), sequences{1});
    }
    EXPECT_EQ(*f.window.deadline() - f.now, rtmfp_rtt_estimator::max_timeout);
}

TEST(RtmfpSendWindow, IgnoresAcknowledgementsOfWhatWasNeverSent) {
    window_fixture f;
    f.send(1);
    f.ack(1);
    f.send(2);
    sequences resend;
    EXPECT_FALSE(f.window.acknowledge(0, {}, true, f.now, resend)) << "below an earlier one";
    EXPECT_FALSE(f.window.acknowledge(4, {}, true, f.now, resend)) << "beyond the last sent";
    // Ranges beyond the last packet sent are cut off.
    EXPECT_TRUE(f.window.acknowledge(1, ranges{{3, 1000000}}, true, f.now, resend));
    EXPECT_EQ(f.window.in_flight(), 1u);
    EXPECT_EQ(f.window.last_sent(), 3u);
}

}  // namespace
