// Messages between our client and a session over real UDP on 127.0.0.1,
// through a relay that loses, reorders and duplicates datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "rtmfp/session.hpp"
#include "rtmfp/tests/lossy_relay.hpp"
#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
namespace ip = boost::asio::ip;

// A data message (type 0x04) of `size` bytes, told apart by `seed`.
bytes message_of(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    bytes message(size);
    for (auto& byte : message) {
        byte = static_cast<std::uint8_t>(random());
    }
    message[0] = 0x04;
    return message;
}

struct moves_seen {
    std::mutex mutex;
    std::vector<ip::udp::endpoint> to;
};

TEST(RtmfpTransfer, MessagesArriveWholeOnceAndInOrderBothWaysThroughALossyRelay) {
    session_host host(host_options{true});
    lossy_relay relay(host.endpoint(),
                      {.seed = 14, .drop = 0.1, .reorder = 0.1, .duplicate = 0.05});
    test_client client(host.keys_for_client(), relay.endpoint());
    std::shared_ptr<test_session> session = host.open(relay.client_seen_at());
    moves_seen moves;
    session->set_on_address_changed(
        [&](rtmfp_session&, const ip::udp::endpoint&, const ip::udp::endpoint& now) {
            std::lock_guard lock(moves.mutex);
            moves.to.push_back(now);
        });
    const std::size_t one_fragment = client.options().fragment_size;
    const std::vector<bytes> before_move{message_of(1, 1), message_of(one_fragment, 2),
                                         message_of(3000, 3)};
    const std::vector<bytes> after_move{message_of(100'000, 4),
                                        message_of(std::size_t{1} << 20, 5)};
    const bytes too_large = message_of((std::size_t{1} << 20) + 1, 6);

    host.run_threads(3);
    // The session ticks as the client makes progress (every 100 ms of it):
    // a client starved of the processor on a busy machine would otherwise
    // look silent to its session and be dropped.
    auto last_tick = std::chrono::steady_clock::now();
    const auto ticking = [&](std::function<bool()> done) {
        return [&, done] {
            if (std::chrono::steady_clock::now() - last_tick > 100ms) {
                last_tick = std::chrono::steady_clock::now();
                session->tick();
            }
            return done();
        };
    };
    const std::uint32_t flow = client.open_flow(hex("00 54 43 04 00"));
    std::vector<bytes> sent;
    const auto send = [&](const std::vector<bytes>& messages) {
        for (const bytes& message : messages) {
            sent.push_back(message);
            client.send_message(flow, message);
        }
    };
    const auto echoed = [&] {
        const server_flow* reply = client.flow_answering(flow);
        return reply != nullptr && reply->messages.size() == sent.size();
    };
    // Where things stand when a transfer does not finish.
    const auto progress = [&] {
        const server_flow* reply = client.flow_answering(flow);
        return "session closed: " + std::to_string(session->is_closed()) +
               ", up: " + std::to_string(client.flow_acknowledged_up_to(flow)) +
               " fragments acknowledged, down: " +
               std::to_string(reply ? reply->last_in_order : 0) + " fragments in order";
    };
    // Each step takes seconds at most, ThreadSanitizer and a busy machine
    // included; the bounds leave room several times over.
    send(before_move);
    ASSERT_TRUE(client.run_until(ticking(echoed), 20s)) << progress();

    // The client's NAT maps it to a new port: the session follows and
    // answers there.
    relay.move_client();
    const ip::udp::endpoint moved_to = relay.client_seen_at();
    send(after_move);
    ASSERT_TRUE(client.run_until(ticking(echoed), 45s)) << progress();
    EXPECT_EQ(session->peer_endpoint(), moved_to);
    {
        std::lock_guard lock(moves.mutex);
        EXPECT_EQ(moves.to, std::vector<ip::udp::endpoint>{moved_to});
    }

    const std::vector<bytes> received =
        host.locked([](test_session& s) { return s.record_of(0).data; });
    EXPECT_EQ(received, sent);
    server_flow& reply = *client.flow_answering(flow);
    EXPECT_EQ(reply.messages, sent);
    // The 3000-byte message came back as three fragments in consecutive
    // packets, after the flow's first fragment opened it.
    EXPECT_EQ(reply.fragments.front().flags & 0x80, 0x80);
    std::vector<std::uint8_t> flags_of_3000;
    std::vector<received_fragment> in_order = reply.fragments;
    std::sort(in_order.begin(), in_order.end(),
              [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    for (const received_fragment& fragment : in_order) {
        if (fragment.sequence >= 3 && fragment.sequence <= 5) {
            flags_of_3000.push_back(fragment.flags);
        }
    }
    EXPECT_EQ(flags_of_3000, (std::vector<std::uint8_t>{0x10, 0x30, 0x20}));
    EXPECT_EQ(relay.dropped() != 0 && relay.reordered() != 0 && relay.duplicated() != 0, true);
    EXPECT_GT(client.fragments_resent(), 0u);
    EXPECT_FALSE(session->is_closed());

    // One byte over the limit costs the session, with one session end.
    relay.set_options({});
    client.send_message(flow, too_large);
    ASSERT_TRUE(client.run_until(ticking([&] { return client.session_ended(); }), 20s));
    client.run_until([] { return false; }, 200ms);
    EXPECT_EQ(client.count_chunks(0x4C), 1u);
    EXPECT_TRUE(session->is_closed());

    session.reset();
    host.shutdown();
    EXPECT_EQ(host.pool().outstanding(), 0u);
}

}  // namespace
