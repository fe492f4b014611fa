#include "rtmfp/session.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
namespace ip = boost::asio::ip;

constexpr std::uint32_t netgroup = 0xFFFFFFFF;

// (flow, cumulative sequence) of every 0x51 the client got.
std::vector<std::pair<std::uint32_t, std::uint32_t>> acks_received(const test_client& client) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> acks;
    for (const received_packet& packet : client.packets()) {
        for (const received_chunk& c : packet.chunks) {
            if (c.type == 0x51) {
                rtmfp_packet_reader in(c.body.data(), static_cast<std::uint32_t>(c.body.size()));
                const std::uint32_t flow = rtmfp_read_vlu(in);
                EXPECT_EQ(rtmfp_read_vlu(in), 0x3Fu) << "the server's buffer space";
                acks.emplace_back(flow, rtmfp_read_vlu(in));
            }
        }
    }
    return acks;
}

std::vector<std::uint32_t> stream_ids(stepped_session& s) {
    return s.host.locked([](test_session& session) {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t id : {0u, 5u, 200u, netgroup}) {
            if (session.find_stream(id)) {
                ids.push_back(id);
            }
        }
        return ids;
    });
}

std::vector<bytes> data_of(stepped_session& s, std::uint32_t stream) {
    return s.host.locked([&](test_session& session) { return session.record_of(stream).data; });
}

std::vector<std::string> errors_of(stepped_session& s) {
    return s.host.locked([](test_session& session) { return session.errors(); });
}

// Opens flow `flow` to the NetConnection with a one-byte data message.
bytes open_netconnection_flow(std::uint32_t flow) {
    return test_client::user_data(0x00, flow, 1, 1, hex("00 54 43 04 00"), hex("04"));
}

bytes open_netstream_flow(std::uint32_t flow, std::uint32_t stream) {
    return test_client::user_data(0x00, flow, 1, 1,
                                  cat(hex("00 54 43 04"), test_client::vlu(stream)), hex("04"));
}

// The chunks of each datagram a case sends.
using datagram_list = std::vector<std::vector<bytes>>;

// Flows 1 to `count`, each opening the NetConnection.
datagram_list opening_flows(std::uint32_t count) {
    datagram_list datagrams;
    for (std::uint32_t flow = 1; flow <= count; ++flow) {
        datagrams.push_back({open_netconnection_flow(flow)});
    }
    return datagrams;
}

// Flows 1 to `count` opening streams 0 to `count` - 1.
datagram_list opening_streams(std::uint32_t count) {
    datagram_list datagrams;
    for (std::uint32_t stream = 0; stream < count; ++stream) {
        datagrams.push_back({open_netstream_flow(stream + 1, stream)});
    }
    return datagrams;
}

struct chunk_case {
    const char* name;
    datagram_list datagrams;
    // What closed the session; empty while it stays open.
    std::string error;
    std::function<void(stepped_session&)> check;
};

TEST(RtmfpSession, ChunkRules) {
    const auto no_check = [](stepped_session&) {};
    const auto closed_by_peer = [](stepped_session& s) { EXPECT_TRUE(errors_of(s).empty()); };
    const chunk_case cases[] = {
        {"a first chunk 0x11", datagram_list{{hex("11 00 03 00 04 62")}},
         "Invalid block data compact command", no_check},
        {"0x11 continues the 0x10 before it with the next sequence number",
         datagram_list{{hex("10 00 0D 80 01 01 01 05 00 54 43 04 00 00 04 61"),
                        hex("11 00 03 00 04 62"), hex("11 00 03 00 04 63")}},
         "",
         [](stepped_session& s) {
             EXPECT_EQ(data_of(s, 0),
                       (std::vector<bytes>{hex("04 61"), hex("04 62"), hex("04 63")}));
             // One acknowledgement, of the last fragment.
             EXPECT_EQ(acks_received(s.client),
                       (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 3}}));
         }},
        {"0x10 without options for an unknown flow",
         datagram_list{{hex("10 00 06 00 07 01 01 04 61")}}, "",
         [](stepped_session& s) {
             EXPECT_TRUE(stream_ids(s).empty());
             EXPECT_TRUE(s.client.packets().empty()) << "not acknowledged";
         }},
        {"signature 00 47 43: the NetGroup stream",
         datagram_list{{hex("10 00 0B 80 01 01 01 03 00 47 43 00 04 61")}}, "",
         [](stepped_session& s) {
             EXPECT_EQ(stream_ids(s), std::vector<std::uint32_t>{netgroup});
             EXPECT_EQ(data_of(s, netgroup), std::vector<bytes>{hex("04 61")});
         }},
        {"signature 00 54 43 04 and a stream id",
         datagram_list{{hex("10 00 0D 80 01 01 01 05 00 54 43 04 05 00 04 61")},
                       {hex("10 00 0E 80 02 01 01 06 00 54 43 04 81 48 00 04 62")}},
         "",
         [](stepped_session& s) {
             EXPECT_EQ(stream_ids(s), (std::vector<std::uint32_t>{5, 200}));
             EXPECT_EQ(data_of(s, 200), std::vector<bytes>{hex("04 62")});
             // Each stream got an out flow of its own.
             EXPECT_EQ(
                 s.host.locked([](test_session& session) { return session.out_flow_count(); }), 2u);
         }},
        {"a signature of four bytes",
         datagram_list{{hex("10 00 0C 80 01 01 01 04 00 54 43 04 00 04 61")}}, "Unknown flow type",
         no_check},
        {"signature 00 54 43 05",
         datagram_list{{hex("10 00 0D 80 01 01 01 05 00 54 43 05 00 00 04 61")}},
         "Unknown flow type", no_check},
        {"a chunk cut short", datagram_list{{hex("10 00 02 80 01")}}, "Packet eof", no_check},
        // Four bytes that all ask for more: beyond what a VLU can carry back.
        {"a flow id too large to acknowledge",
         datagram_list{{hex("10 00 10 80 FF FF FF FF 01 01 05 00 54 43 04 00 00 04 61")}},
         "Invalid flow id", no_check},
        {"256 flows", opening_flows(256), "",
         [](stepped_session& s) {
             EXPECT_EQ(s.host.locked([](test_session& session) { return session.in_flow_count(); }),
                       256u);
         }},
        {"the 257th flow", opening_flows(257), "Too many flows", no_check},
        {"128 streams", opening_streams(128), "",
         [](stepped_session& s) {
             EXPECT_EQ(s.host.locked([](test_session& session) { return session.stream_count(); }),
                       128u);
         }},
        {"the 129th stream", opening_streams(129), "Too many streams", no_check},
        {"0x0C", datagram_list{{hex("0C 00 00")}}, "closed", closed_by_peer},
        {"0x18", datagram_list{{hex("18 00 00")}}, "closed", closed_by_peer},
        {"0x4C", datagram_list{{hex("4C 00 00")}}, "closed", closed_by_peer},
        {"a ping with a body", datagram_list{{hex("01 00 03 AA BB CC")}}, "",
         [](stepped_session& s) {
             ASSERT_EQ(s.client.packets().size(), 1u);
             const received_packet& reply = s.client.packets().front();
             EXPECT_EQ(reply.marker, 0x4E);
             ASSERT_EQ(reply.chunks.size(), 1u);
             EXPECT_EQ(reply.chunks.front().type, 0x41);
             EXPECT_EQ(reply.chunks.front().body, hex("AA BB CC"));
         }},
        {"an empty ping", datagram_list{{hex("01 00 00")}}, "",
         [](stepped_session& s) {
             ASSERT_EQ(s.client.count_chunks(0x41), 1u);
             EXPECT_TRUE(s.client.packets().front().chunks.front().body.empty());
         }},
        {"unknown chunk types are skipped", datagram_list{{hex("7A 00 02 01 02"), hex("01 00 00")}},
         "", [](stepped_session& s) { EXPECT_EQ(s.client.count_chunks(0x41), 1u); }},
    };

    for (const chunk_case& c : cases) {
        SCOPED_TRACE(c.name);
        stepped_session s;
        for (const auto& chunks : c.datagrams) {
            s.client.send_chunks(chunks);
            s.exchange();
        }
        c.check(s);
        if (c.error.empty()) {
            EXPECT_FALSE(s.session->is_closed());
            EXPECT_EQ(s.client.count_chunks(0x4C), 0u);
            EXPECT_TRUE(errors_of(s).empty());
            continue;
        }
        EXPECT_TRUE(s.session->is_closed());
        EXPECT_EQ(s.client.count_chunks(0x4C), 1u);
        if (c.error != "closed") {
            EXPECT_EQ(errors_of(s), std::vector<std::string>{c.error});
        }
        EXPECT_EQ(stream_ids(s), std::vector<std::uint32_t>{});
        EXPECT_EQ(s.host.locked([](test_session& session) {
            return session.in_flow_count() + session.out_flow_count();
        }),
                  0u);
        // Nothing more: neither for another datagram nor for another close.
        s.client.send_chunks({hex("01 00 00")});
        s.exchange();
        s.session->close();
        s.exchange();
        EXPECT_EQ(s.client.count_chunks(0x4C), 1u);
        EXPECT_EQ(s.client.count_chunks(0x41), 0u);
    }
}

TEST(RtmfpSession, ReadsPacketsWithAndWithoutTimestampAndEcho) {
    stepped_session s;
    const struct {
        bool timestamp;
        bool echo;
    } forms[] = {{true, true}, {true, false}, {false, true}, {false, false}};
    for (const auto& form : forms) {
        s.client.send_chunks({hex("01 00 01 07")},
                             test_client::header_fields{form.timestamp, form.echo});
        s.exchange();
    }
    EXPECT_EQ(s.client.count_chunks(0x41), 4u);
    EXPECT_FALSE(s.session->is_closed());

    // The echo of a packet without a timestamp is still the last one seen.
    s.client.send_chunks({hex("01 00 00")}, test_client::header_fields{true, false});
    s.exchange();
    const std::uint16_t stamped = s.session->peer_time();
    s.client.send_chunks({hex("01 00 00")}, test_client::header_fields{false, false});
    s.exchange();
    EXPECT_EQ(s.session->peer_time(), stamped);
    EXPECT_EQ(s.client.packets().back().echo, stamped);
}

TEST(RtmfpSession, KeepsAliveThenTimesOut) {
    client_options silent;
    silent.answer_keep_alives = false;
    stepped_session s(silent);
    for (int tick = 1; tick <= 30; ++tick) {
        EXPECT_TRUE(s.session->tick()) << tick;
        s.exchange();
        EXPECT_EQ(s.client.count_chunks(0x01), tick < 15 ? 0u : 1u) << tick;
    }
    const received_packet& keep_alive = s.client.packets().front();
    EXPECT_EQ(keep_alive.marker, 0x4A);
    EXPECT_EQ(s.client.count_chunks(0x4C), 0u);

    EXPECT_FALSE(s.session->tick());
    s.exchange();
    EXPECT_EQ(s.client.count_chunks(0x4C), 1u);
    EXPECT_EQ(s.client.packets().back().marker, 0x4A);
    EXPECT_TRUE(s.session->is_closed());
    EXPECT_FALSE(s.session->tick());
    s.exchange();
    EXPECT_EQ(s.client.count_chunks(0x4C), 1u);
}

TEST(RtmfpSession, AGenuineDatagramStartsTheSilenceAgain) {
    stepped_session s;
    for (int tick = 1; tick <= 20; ++tick) {
        ASSERT_TRUE(s.session->tick());
    }
    s.exchange();
    ASSERT_EQ(s.client.count_chunks(0x01), 1u);
    // The client answers the keep-alive.
    s.client.send_chunks({hex("41 00 00")});
    s.exchange();
    EXPECT_EQ(s.session->idle_count(), 0);
    for (int tick = 1; tick <= 30; ++tick) {
        ASSERT_TRUE(s.session->tick()) << tick;
    }
    s.exchange();
    EXPECT_EQ(s.client.count_chunks(0x01), 2u);
    EXPECT_FALSE(s.session->tick());
}

TEST(RtmfpSession, ClosingTwiceSendsOneSessionEnd) {
    stepped_session s;
    s.client.send_chunks({open_netconnection_flow(1)});
    s.exchange();
    const auto stream = s.host.locked([](test_session& session) { return session.recording(0); });
    ASSERT_TRUE(stream);

    s.session->close();
    s.session->close();
    s.exchange();
    EXPECT_EQ(s.client.count_chunks(0x4C), 1u);
    EXPECT_TRUE(stream->closed());
    EXPECT_FALSE(stream->session()) << "the stream let the session go";
    EXPECT_FALSE(s.session->tick()) << "dead at the next tick";
}

// The address records and tags of the 0x0F chunks the client got.
std::vector<std::pair<rtmfp_address, bytes>> introductions(const test_client& client,
                                                           const rtmfp_peer_id& peer) {
    std::vector<std::pair<rtmfp_address, bytes>> seen;
    for (const received_packet& packet : client.packets()) {
        for (const received_chunk& c : packet.chunks) {
            if (c.type != 0x0F) {
                continue;
            }
            EXPECT_EQ(packet.marker, 0x4A);
            rtmfp_packet_reader in(c.body.data(), static_cast<std::uint32_t>(c.body.size()));
            EXPECT_EQ(rtmfp_read_vlu(in), 0x22u);
            EXPECT_EQ(rtmfp_read_vlu(in), 0x21u);
            EXPECT_EQ(in.read_u8(), 0x0F);
            EXPECT_EQ(as_bytes(in.read_bytes(32)), bytes(peer.begin(), peer.end()));
            const rtmfp_address address = rtmfp_read_address(in);
            seen.emplace_back(address, as_bytes(in.read_rest()));
        }
    }
    return seen;
}

TEST(RtmfpSession, PunchRequestsNameThePublicAddressOrRotateBehindOneIp) {
    const auto at = [](const char* address, unsigned short port) {
        return ip::udp::endpoint(ip::make_address(address), port);
    };
    const bytes tag_a = hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
    const bytes tag_b = hex("F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF F0");
    const auto record = [](const ip::udp::endpoint& endpoint, bool is_public) {
        return rtmfp_make_address(endpoint, is_public);
    };

    stepped_session s;
    const rtmfp_peer_id peer = s.session->peer_id();

    // Another public IP than our peer's: always the public address.
    const std::vector<ip::udp::endpoint> elsewhere{at("203.0.113.5", 1000), at("10.0.0.2", 2000),
                                                   at("10.0.0.3", 3000)};
    for (int i = 0; i < 2; ++i) {
        s.session->send_punch_request(elsewhere, tag_a);
    }
    s.exchange();
    EXPECT_EQ(introductions(s.client, peer),
              (std::vector<std::pair<rtmfp_address, bytes>>{{record(elsewhere[0], true), tag_a},
                                                            {record(elsewhere[0], true), tag_a}}));

    // Behind the peer's own IP (127.0.0.1): the requester's addresses in
    // turn, from the second, per tag.
    s.client.forget_packets();
    const std::vector<ip::udp::endpoint> behind{at("127.0.0.1", 5555), at("10.0.0.2", 2000),
                                                at("10.0.0.3", 3000)};
    for (const bytes* tag : {&tag_a, &tag_a, &tag_a, &tag_a, &tag_b}) {
        s.session->send_punch_request(behind, *tag);
    }
    // A requester with one address has nothing to rotate.
    s.session->send_punch_request({behind[0]}, tag_a);
    s.exchange();
    EXPECT_EQ(introductions(s.client, peer),
              (std::vector<std::pair<rtmfp_address, bytes>>{{record(behind[1], false), tag_a},
                                                            {record(behind[2], false), tag_a},
                                                            {record(behind[0], true), tag_a},
                                                            {record(behind[1], false), tag_a},
                                                            {record(behind[1], false), tag_b},
                                                            {record(behind[0], true), tag_a}}));
}

TEST(RtmfpSession, FollowsTheClientOnlyForGenuineDatagrams) {
    stepped_session s;
    std::vector<std::pair<ip::udp::endpoint, ip::udp::endpoint>> moves;
    s.session->set_on_address_changed(
        [&](rtmfp_session&, const ip::udp::endpoint& before, const ip::udp::endpoint& now) {
            moves.emplace_back(before, now);
        });
    const ip::udp::endpoint first = s.client.local_endpoint();

    // Same session id and keys, from another port: a client whose NAT
    // mapping changed.
    test_client moved(s.host.keys_for_client(), s.host.endpoint());
    // A forgery from a third port: the right session id, a wrong checksum.
    test_client forger(s.host.keys_for_client(), s.host.endpoint());

    for (int tick = 0; tick < 3; ++tick) {
        ASSERT_TRUE(s.session->tick());
    }
    bytes forged = forger.datagram({hex("01 00 00")});
    forged.back() ^= 0x01;
    forger.send_datagram(forged);
    s.exchange();
    forger.receive();
    EXPECT_TRUE(moves.empty());
    EXPECT_EQ(s.session->peer_endpoint(), first);
    EXPECT_EQ(s.session->idle_count(), 3) << "a forgery is no sign of life";
    ASSERT_TRUE(s.session->tick());
    EXPECT_EQ(s.session->idle_count(), 4);
    EXPECT_TRUE(forger.packets().empty());

    moved.send_chunks({hex("01 00 01 0A")});
    s.exchange();
    moved.receive();
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves.front().first, first);
    EXPECT_EQ(moves.front().second, moved.local_endpoint());
    EXPECT_EQ(s.session->peer_endpoint(), moved.local_endpoint());
    EXPECT_EQ(s.session->addresses().front(), moved.local_endpoint());
    EXPECT_EQ(s.session->idle_count(), 0);
    EXPECT_EQ(moved.count_chunks(0x41), 1u) << "the reply goes to the new port";
    EXPECT_TRUE(s.client.packets().empty());

    // Announced addresses stay behind the public one.
    const std::vector<ip::udp::endpoint> local{{ip::make_address("10.1.1.1"), 4000}};
    s.session->set_addresses(local);
    s.client.send_chunks({hex("01 00 00")});
    s.exchange();
    EXPECT_EQ(s.session->addresses(), (std::vector<ip::udp::endpoint>{first, local[0]}));
    EXPECT_EQ(moves.size(), 2u);
}

TEST(RtmfpSession, QueuesABoundedNumberOfDatagramsForTheThreadThatDecodes) {
    stepped_session s;
    const auto datagram = [&](std::uint8_t n) {
        const bytes sealed = s.client.datagram({test_client::ping({n})});
        block_buffer block(s.host.pool());
        std::copy(sealed.begin(), sealed.end(), block.data());
        block.set_size(static_cast<std::uint32_t>(sealed.size()));
        return block;
    };
    const auto from = s.client.local_endpoint();
    // The first makes this thread the decoding one; the others arrive
    // while it has not begun.
    block_buffer first = datagram(0);
    ASSERT_FALSE(s.session->receive(first, from));
    for (int i = 1; i <= 300; ++i) {
        block_buffer next = datagram(static_cast<std::uint8_t>(i));
        EXPECT_TRUE(s.session->receive(next, from));
        EXPECT_FALSE(next) << "taken (queued or dropped)";
    }
    EXPECT_EQ(s.host.pool().outstanding(), 1u + rtmfp_session::max_queued_datagrams + 1)
        << "the first, the queued ones and the socket's receive";
    s.session->process(std::move(first), from);
    s.exchange();
    EXPECT_EQ(s.client.count_chunks(0x41), 1u + rtmfp_session::max_queued_datagrams);
    EXPECT_EQ(s.host.pool().outstanding(), 1u);
    // Not busy any more: the next one is decoded by its own thread.
    block_buffer later = datagram(0);
    EXPECT_FALSE(s.session->receive(later, from));
}

TEST(RtmfpSession, DatagramsFromManyThreadsAreDecodedOneAtATimeInArrivalOrder) {
    // Datagram n carries a ping with n and the n-th fragment of one flow.
    // The pings are answered in the order the datagrams are decoded, and
    // the flow takes its fragments strictly in sequence: a datagram decoded
    // out of its arrival order shows in both.
    manual_clock clock;
    session_host host(host_options{false, clock.function()});
    test_client sealer(host.keys_for_client(), host.endpoint());
    test_client reader(host.keys_for_client(), host.endpoint());
    std::shared_ptr<test_session> session = host.open(reader.local_endpoint());

    // Fewer datagrams than the session queues, so that none is dropped.
    constexpr int threads = 6;
    constexpr int per_thread = 40;
    const auto number = [](std::uint32_t n) {
        return bytes{static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    };
    std::mutex arrival;
    std::uint32_t next = 1;
    std::atomic<bool> closed{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < per_thread; ++i) {
                block_buffer datagram(host.pool());
                bool decode_here = false;
                {
                    // Arrival: the order in which the receive path meets
                    // the datagrams.
                    std::lock_guard lock(arrival);
                    const std::uint32_t n = next++;
                    const bytes sealed = sealer.datagram(
                        {test_client::ping(number(n)),
                         test_client::user_data(
                             0x00, 1, n, 1,
                             n == 1 ? std::optional<bytes>(hex("00 54 43 04 00")) : std::nullopt,
                             cat(hex("04"), number(n)))},
                        test_client::header_fields{true, false});
                    std::copy(sealed.begin(), sealed.end(), datagram.data());
                    datagram.set_size(static_cast<std::uint32_t>(sealed.size()));
                    decode_here = !session->receive(datagram, reader.local_endpoint());
                }
                if (decode_here) {
                    session->process(std::move(datagram), reader.local_endpoint());
                }
            }
        });
    }
    // Fewer ticks than make a silent session dead: they run beside the
    // decoding without ending it.
    std::thread ticker([&] {
        for (int i = 0; i < 20 && !closed; ++i) {
            session->tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Closes while the datagrams come in.
    std::thread closer([&] {
        for (;;) {
            {
                std::lock_guard lock(arrival);
                if (next > threads * per_thread / 3) {
                    break;
                }
            }
            std::this_thread::yield();
        }
        session->close();
        closed = true;
    });
    std::vector<std::uint32_t> answered;
    const auto read_answers = [&] {
        reader.receive(std::chrono::milliseconds(1));
        answered.clear();
        for (const received_packet& packet : reader.packets()) {
            for (const received_chunk& c : packet.chunks) {
                if (c.type == 0x41) {
                    answered.push_back(
                        static_cast<std::uint32_t>(c.body.at(0) << 8 | c.body.at(1)));
                }
            }
        }
    };
    while (!closed) {
        read_answers();
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    ticker.join();
    closer.join();
    host.poll();
    read_answers();

    const std::vector<bytes> messages =
        host.locked([](test_session& s) { return s.record_of(0).data; });
    ASSERT_FALSE(messages.empty());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(messages[i], cat(hex("04"), number(static_cast<std::uint32_t>(i + 1)))) << i;
    }
    ASSERT_FALSE(answered.empty());
    for (std::size_t i = 1; i < answered.size(); ++i) {
        ASSERT_LT(answered[i - 1], answered[i]) << i;
    }
    EXPECT_LE(answered.back(), messages.size()) << "a datagram decoded but its fragment refused";
    EXPECT_EQ(reader.count_chunks(0x4C), 1u);

    session.reset();
    host.shutdown();
    EXPECT_EQ(host.pool().outstanding(), 0u);
}

}  // namespace
