#include "rtmfp/handshake_gate.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "rtmfp/handshake_queue.hpp"
#include "rtmfp/packet.hpp"

namespace {

using namespace std::chrono_literals;
namespace ip = boost::asio::ip;
using clock_type = rtmfp_rate_gate::clock;

const ip::address a = ip::make_address("192.0.2.1");
const ip::address b = ip::make_address("192.0.2.2");
const ip::address c = ip::make_address("2001:db8::3");

// How many of `tries` the gate lets through from `from` at `now`.
int admitted(rtmfp_rate_gate& gate, const ip::address& from, clock_type::time_point now,
             int tries) {
    int let_in = 0;
    for (int i = 0; i < tries; ++i) {
        let_in += gate.admit(from, now) ? 1 : 0;
    }
    return let_in;
}

TEST(RtmfpRateGate, KeepsEachAddressAndAllTogetherToTheirRates) {
    const auto start = clock_type::now();
    // An address: 3 at once, then 10 a second; all: 5 at once, 20 a second.
    rtmfp_rate_gate gate({10, 3}, {20, 5}, 16);

    EXPECT_EQ(admitted(gate, a, start, 10), 3) << "an address's burst";
    EXPECT_EQ(admitted(gate, b, start, 10), 2) << "what the total has left";
    EXPECT_EQ(admitted(gate, c, start, 10), 0) << "the total is spent for everyone";

    // 100 ms: one more for each address, two for all.
    EXPECT_EQ(admitted(gate, a, start + 100ms, 10), 1);
    EXPECT_EQ(admitted(gate, c, start + 100ms, 10), 1);
    EXPECT_EQ(admitted(gate, b, start + 100ms, 10), 0) << "b's bucket has one, the total none";

    // A long quiet: every bucket is full again, and no fuller than its burst.
    EXPECT_EQ(admitted(gate, a, start + 1h, 10), 3);
    EXPECT_EQ(admitted(gate, c, start + 1h, 10), 2);
    // A clock that goes back takes nothing and gives nothing.
    EXPECT_EQ(admitted(gate, b, start, 10), 0);
}

TEST(RtmfpRateGate, RemembersABoundedNumberOfAddresses) {
    const auto start = clock_type::now();
    rtmfp_rate_gate gate({1, 2}, {1000, 1000}, 2);
    EXPECT_EQ(admitted(gate, a, start, 1), 1);
    EXPECT_EQ(admitted(gate, b, start, 2), 2);
    EXPECT_EQ(gate.addresses(), 2u);
    // Beyond the table, new addresses share one bucket.
    EXPECT_EQ(admitted(gate, c, start, 5), 2);
    EXPECT_EQ(admitted(gate, ip::make_address("192.0.2.9"), start, 5), 0);
    EXPECT_EQ(gate.addresses(), 2u);

    // A second on, a's bucket is full again, b's not yet: a is forgotten,
    // and its place taken.
    gate.forget_idle(start + 1s);
    EXPECT_EQ(gate.addresses(), 1u);
    EXPECT_EQ(admitted(gate, c, start + 1s, 5), 2) << "a bucket of its own, full";
    EXPECT_EQ(admitted(gate, b, start + 1s, 5), 1) << "b's own, one refilled";
    gate.forget_idle(start + 1h);
    EXPECT_EQ(gate.addresses(), 0u);
}

TEST(RtmfpHandshakeQueue, DecodesInTurnWithinItsRoomAndDropsTheRestWhenStopped) {
    boost::asio::io_context io;
    block_malloc pool(rtmfp_max_packet_size, 8);
    std::vector<std::size_t> decoded;
    rtmfp_handshake_queue queue(io, 3, [&](std::size_t socket_index, block_buffer, const auto&) {
        decoded.push_back(socket_index);
    });
    const ip::udp::endpoint from(a, 1935);
    const auto push = [&](std::size_t index) {
        return queue.push(index, block_buffer(pool), from);
    };

    EXPECT_TRUE(push(1) && push(2) && push(3));
    EXPECT_FALSE(push(4)) << "no room";
    EXPECT_TRUE(decoded.empty()) << "nothing is decoded where it is pushed";
    io.run();
    EXPECT_EQ(decoded, (std::vector<std::size_t>{1, 2, 3}));

    // More than a handler takes at once: it goes on in a handler of its own.
    rtmfp_handshake_queue wide(io, 100, [&](std::size_t socket_index, block_buffer, const auto&) {
        decoded.push_back(socket_index);
    });
    for (std::size_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(wide.push(i, block_buffer(pool), from));
    }
    io.restart();
    EXPECT_EQ(io.run_one(), 1u);
    EXPECT_LT(wide.queued(), 20u);
    EXPECT_GT(wide.queued(), 0u);
    io.run();
    EXPECT_EQ(wide.queued(), 0u);
    EXPECT_EQ(decoded.size(), 23u);

    EXPECT_TRUE(push(5));
    queue.stop();
    EXPECT_FALSE(push(6));
    EXPECT_EQ(pool.outstanding(), 0u) << "what waited is dropped";
    io.restart();
    io.run();
    EXPECT_EQ(decoded.size(), 23u);
}

}  // namespace
