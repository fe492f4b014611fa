// Messages between our client and a session over real UDP on 127.0.0.1,
// through a relay that loses, reorders and duplicates datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
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
    host.run_threads(3);
    host.tick_every(50ms);

    const std::uint32_t flow = client.open_flow(hex("00 54 43 04 00"));
    const std::size_t one_fragment = client.options().fragment_size;
    std::vector<bytes> sent;
    for (const std::size_t size : {std::size_t{1}, one_fragment, std::size_t{3000}}) {
        sent.push_back(message_of(size, static_cast<unsigned>(sent.size())));
        client.send_message(flow, sent.back());
    }
    const auto echoed = [&] {
        const server_flow* reply = client.flow_answering(flow);
        return reply != nullptr && reply->messages.size() == sent.size();
    };
    ASSERT_TRUE(client.run_until(echoed, 30s));

    // The client's NAT maps it to a new port: the session follows and
    // answers there.
    relay.move_client();
    const ip::udp::endpoint moved_to = relay.client_seen_at();
    for (const std::size_t size : {std::size_t{100'000}, std::size_t{1} << 20}) {
        sent.push_back(message_of(size, static_cast<unsigned>(sent.size())));
        client.send_message(flow, sent.back());
    }
    ASSERT_TRUE(client.run_until(echoed, 60s));
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
    std::vector<std::uint32_t> sequences_of_3000;
    std::vector<received_fragment> in_order = reply.fragments;
    std::sort(in_order.begin(), in_order.end(),
              [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    for (const received_fragment& fragment : in_order) {
        if (fragment.sequence >= 3 && fragment.sequence <= 5) {
            flags_of_3000.push_back(fragment.flags);
            sequences_of_3000.push_back(fragment.sequence);
        }
    }
    EXPECT_EQ(flags_of_3000, (std::vector<std::uint8_t>{0x10, 0x30, 0x20}));
    EXPECT_EQ(relay.dropped() != 0 && relay.reordered() != 0 && relay.duplicated() != 0, true);
    EXPECT_GT(client.fragments_resent(), 0u);
    EXPECT_FALSE(session->is_closed());

    // One byte over the limit costs the session, with one session end.
    relay.set_options({});
    client.send_message(flow, message_of((std::size_t{1} << 20) + 1, 99));
    ASSERT_TRUE(client.run_until([&] { return client.session_ended(); }, 60s));
    client.run_until([] { return false; }, 200ms);
    EXPECT_EQ(client.count_chunks(0x4C), 1u);
    EXPECT_TRUE(session->is_closed());

    session.reset();
    host.shutdown();
    EXPECT_EQ(host.pool().outstanding(), 0u);
}

}  // namespace
