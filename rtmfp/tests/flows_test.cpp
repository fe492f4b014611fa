#include "rtmfp/flows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rtmfp/session.hpp"
#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;

const bytes netconnection_signature = hex("00 54 43 04 00");
constexpr std::uint32_t reply_flow = 2;

client_options manual_acks() {
    client_options options;
    options.auto_ack = false;
    // Without echoes the session keeps its first round-trip estimate.
    options.echo = false;
    return options;
}

// A session and a client stepped by the test, with the session on a clock
// of the test's and the client acknowledging only when told to.
struct flow_fixture {
    explicit flow_fixture(client_options options = manual_acks()) : s(options) {}

    // The client's flow `flow` opens `signature`'s stream with a one-byte
    // message; the stream gets its out flow (the reply flow, 2).
    void open(std::uint32_t flow = 1, const bytes& signature = netconnection_signature) {
        s.client.send_chunks({test_client::user_data(0x00, flow, 1, 1, signature, hex("04"))});
        s.exchange();
        s.client.forget_packets();
    }
    void fragment(std::uint32_t sequence, std::uint8_t flags, const bytes& payload,
                  std::uint32_t flow = 1) {
        s.client.send_chunks(
            {test_client::user_data(flags, flow, sequence, 1, std::nullopt, payload)});
        s.exchange();
    }
    // A message written by the stream, as a NetConnection reply would be.
    void write(const bytes& message, std::uint32_t stream = 0) {
        ASSERT_TRUE(s.host.locked(
            [&](test_session& session) { return session.recording(stream)->write(message); }));
        s.exchange();
    }
    void ack(std::uint32_t cumulative) {
        s.client.send_chunks({test_client::ack(reply_flow, cumulative, 0x3F)});
        s.exchange();
    }
    rtmfp_out_flow& out() {
        rtmfp_out_flow* flow = s.session->find_out_flow(reply_flow);
        EXPECT_NE(flow, nullptr);
        return *flow;
    }
    server_flow& reply() { return s.client.server_flows()[reply_flow]; }
    // The acknowledgements the client got for its flow, in order.
    std::vector<std::uint32_t> acks(std::uint32_t flow = 1) const {
        std::vector<std::uint32_t> seen;
        for (const received_packet& packet : s.client.packets()) {
            for (const received_chunk& c : packet.chunks) {
                rtmfp_packet_reader in(c.body.data(), static_cast<std::uint32_t>(c.body.size()));
                if (c.type == 0x51 && rtmfp_read_vlu(in) == flow) {
                    rtmfp_read_vlu(in);
                    seen.push_back(rtmfp_read_vlu(in));
                }
            }
        }
        return seen;
    }
    // Data packets of the reply flow the client got, copies included.
    std::vector<std::uint32_t> sequences_received() const {
        std::vector<std::uint32_t> seen;
        for (const received_packet& packet : s.client.packets()) {
            for (const received_chunk& c : packet.chunks) {
                rtmfp_packet_reader in(c.body.data(), static_cast<std::uint32_t>(c.body.size()));
                if (c.type == 0x10) {
                    in.read_u8();
                    if (rtmfp_read_vlu(in) == reply_flow) {
                        seen.push_back(rtmfp_read_vlu(in));
                    }
                }
            }
        }
        return seen;
    }
    std::vector<bytes> delivered(std::uint32_t stream = 0) {
        return s.host.locked([&](test_session& session) { return session.record_of(stream).data; });
    }
    std::vector<std::string> errors() {
        return s.host.locked([](test_session& session) { return session.errors(); });
    }

    stepped_session s;
};

TEST(RtmfpInFlow, TakesFragmentsOnlyInSequence) {
    flow_fixture f(client_options{});
    f.open();
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{});
    f.fragment(3, 0x00, hex("04 03"));
    // 3 is dropped and the client told at once where the flow stands.
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{1});
    f.fragment(2, 0x00, hex("04 02"));
    f.fragment(3, 0x00, hex("04 03"));
    EXPECT_EQ(f.acks(), (std::vector<std::uint32_t>{1, 2, 3}));
    // A copy of an old fragment is acknowledged again and not delivered.
    f.fragment(2, 0x00, hex("04 02"));
    EXPECT_EQ(f.acks(), (std::vector<std::uint32_t>{1, 2, 3, 3}));
    EXPECT_EQ(f.delivered(), (std::vector<bytes>{hex("04"), hex("04 02"), hex("04 03")}));
}

TEST(RtmfpInFlow, ReassemblesAndAcknowledgesAfterTheFirstFragment) {
    flow_fixture f;
    f.open();
    // One fragment a packet: nothing is acknowledged after the first.
    f.fragment(2, 0x10, hex("04 AA"));
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{});
    f.fragment(3, 0x30, hex("BB"));
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{3});
    EXPECT_EQ(f.delivered().size(), 1u);
    f.fragment(4, 0x20, hex("CC"));
    EXPECT_EQ(f.delivered(), (std::vector<bytes>{hex("04"), hex("04 AA BB CC")}));

    // Three fragments in one packet: acknowledged to the last of them.
    f.s.client.send_chunks({test_client::user_data(0x10, 1, 5, 1, std::nullopt, hex("04 01")),
                            test_client::next_user_data(0x30, hex("02")),
                            test_client::next_user_data(0x20, hex("03"))});
    f.s.exchange();
    EXPECT_EQ(f.acks(), (std::vector<std::uint32_t>{3, 4, 7}));
    EXPECT_EQ(f.delivered().back(), hex("04 01 02 03"));

    // A fragment that starts a message drops what the peer left unfinished.
    f.fragment(8, 0x10, hex("04 DE AD"));
    f.fragment(9, 0x00, hex("04 09"));
    f.fragment(10, 0x10, hex("04 BE EF"));
    f.fragment(11, 0x10, hex("04 0B"));
    f.fragment(12, 0x20, hex("0C"));
    EXPECT_EQ(f.delivered().size(), 5u);
    EXPECT_EQ(f.delivered()[3], hex("04 09"));
    EXPECT_EQ(f.delivered()[4], hex("04 0B 0C"));
}

TEST(RtmfpInFlow, DeliversByMessageType) {
    const bytes command_header = hex("14 00 00 00 00 02 00 04 'play' 00 40 08 00 00 00 00 00 00");
    const struct {
        const char* name;
        bytes message;
        std::string error;
        std::function<void(const stream_record&)> check;
    } cases[] = {
        {"audio", hex("08 00 00 01 02 AF 01"), "",
         [](const stream_record& r) {
             ASSERT_EQ(r.audio.size(), 1u);
             EXPECT_EQ(r.audio[0].time, 0x102u);
             EXPECT_EQ(r.audio[0].payload, hex("AF 01"));
         }},
        {"video", hex("09 00 00 00 21 17 01"), "",
         [](const stream_record& r) {
             ASSERT_EQ(r.video.size(), 1u);
             EXPECT_EQ(r.video[0].time, 0x21u);
             EXPECT_EQ(r.video[0].payload, hex("17 01"));
         }},
        {"command with a null object and an argument", cat(command_header, hex("05 02 00 01 'x'")),
         "",
         [](const stream_record& r) {
             ASSERT_EQ(r.commands.size(), 1u);
             EXPECT_EQ(r.commands[0].name, "play");
             EXPECT_EQ(r.commands[0].transaction, 3.0);
             EXPECT_TRUE(r.commands[0].null_object);
             EXPECT_EQ(r.commands[0].arguments, hex("02 00 01 'x'"));
         }},
        {"command with an object", cat(command_header, hex("03 00 01 'a' 05 00 00 09")), "",
         [](const stream_record& r) {
             ASSERT_EQ(r.commands.size(), 1u);
             EXPECT_FALSE(r.commands[0].null_object);
             EXPECT_TRUE(r.commands[0].arguments.empty());
         }},
        // One more byte in front of the same command.
        {"0x11 command",
         cat(hex("11 00"), bytes(command_header.begin() + 1, command_header.end()), hex("05")), "",
         [](const stream_record& r) { EXPECT_EQ(r.commands.at(0).name, "play"); }},
        {"data", hex("04 01 02"), "",
         [](const stream_record& r) { EXPECT_EQ(r.data, std::vector<bytes>{hex("04 01 02")}); }},
        {"any other type is data", hex("0F 03"), "",
         [](const stream_record& r) { EXPECT_EQ(r.data, std::vector<bytes>{hex("0F 03")}); }},
        {"a command named by a number",
         hex("14 00 00 00 00 00 40 08 00 00 00 00 00 00 00 40 08 00 00 00 00 00 00 05"),
         "AMF data type not equal", [](const stream_record&) {}},
        {"a command without its object", command_header, "Buffer eof", [](const stream_record&) {}},
        {"audio without its time", hex("08 00 01"), "Buffer eof", [](const stream_record&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        f.s.client.send_chunks(
            {test_client::user_data(0x00, 1, 1, 1, hex("00 54 43 04 07"), c.message)});
        f.s.exchange();
        c.check(f.s.host.locked([](test_session& session) { return session.record_of(7); }));
        if (c.error.empty()) {
            EXPECT_FALSE(f.s.session->is_closed());
            EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{1});
        } else {
            EXPECT_EQ(f.errors(), std::vector<std::string>{c.error});
            EXPECT_EQ(f.s.client.count_chunks(0x4C), 1u);
            EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{}) << "closed, not acknowledged";
        }
    }
}

TEST(RtmfpInFlow, AMessageForAStreamThatIsGoneIsAcknowledgedAndDropped) {
    flow_fixture f;
    f.open();
    f.s.host.locked([](test_session& session) { session.remove_stream(0); });
    f.fragment(2, 0x00, hex("04 02"));
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{2});
    EXPECT_FALSE(f.s.session->is_closed());
    EXPECT_EQ(f.s.host.locked([](test_session& session) { return session.in_flow_count(); }), 1u);
}

TEST(RtmfpInFlow, EndsWithItsFinalFragment) {
    flow_fixture f;
    f.open();
    f.fragment(2, 0x03, {});
    EXPECT_EQ(f.acks(), std::vector<std::uint32_t>{2});
    EXPECT_EQ(f.s.host.locked([](test_session& session) { return session.in_flow_count(); }), 0u);
    EXPECT_FALSE(f.s.session->is_closed());
}

TEST(RtmfpInFlow, RefusesMessagesAboveOneMebibyte) {
    for (const std::size_t size : {std::size_t{1} << 20, (std::size_t{1} << 20) + 1}) {
        SCOPED_TRACE(size);
        flow_fixture f(client_options{});
        const std::uint32_t flow = f.s.client.open_flow(netconnection_signature);
        bytes message(size, 0x5A);
        message[0] = 0x04;
        f.s.client.send_message(flow, message);
        for (int round = 0;
             round < 5000 && !f.s.client.flow_acknowledged(flow) && !f.s.session->is_closed();
             ++round) {
            f.s.client.flush();
            f.s.exchange();
        }
        f.s.exchange();
        if (size == std::size_t{1} << 20) {
            EXPECT_TRUE(f.s.client.flow_acknowledged(flow));
            EXPECT_EQ(f.delivered(), std::vector<bytes>{message});
        } else {
            EXPECT_EQ(f.errors(), std::vector<std::string>{"Message too large"});
            EXPECT_EQ(f.s.client.count_chunks(0x4C), 1u);
        }
    }
}

TEST(RtmfpInFlow, PartialMessagesStayWithinBounds) {
    const bytes piece(1100, 0x33);
    // A run of first fragments starts over each time: nothing grows.
    {
        flow_fixture f;
        f.open();
        std::uint32_t sequence = 2;
        for (int i = 0; i < 1500; ++i) {
            f.s.client.send_chunks(
                {test_client::user_data(0x10, 1, sequence++, 1, std::nullopt, piece)});
            if (i % 100 == 0) {
                f.s.exchange();
            }
        }
        f.s.exchange();
        EXPECT_FALSE(f.s.session->is_closed());
    }
    // Unfinished messages of several flows together: at most 4 MiB.
    flow_fixture f;
    for (std::uint32_t flow = 1; flow <= 5 && !f.s.session->is_closed(); ++flow) {
        f.s.client.send_chunks(
            {test_client::user_data(0x10, flow, 1, 1, netconnection_signature, piece)});
        for (std::uint32_t sequence = 2; sequence <= 850; ++sequence) {
            f.s.client.send_chunks(
                {test_client::user_data(0x30, flow, sequence, 1, std::nullopt, piece)});
            if (sequence % 100 == 0) {
                f.s.exchange();
            }
        }
        f.s.exchange();
        EXPECT_EQ(f.s.session->is_closed(), flow == 5) << flow;
    }
    EXPECT_EQ(f.errors(), std::vector<std::string>{"Too much of the peer's data unfinished"});
}

TEST(RtmfpOutFlow, CutsMessagesIntoOneFragmentPerPacket) {
    flow_fixture f;
    f.open();
    bytes message(3000);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(i);
    }
    f.write(message);
    // The window is 1: one packet now, the others as acknowledgements come.
    EXPECT_EQ(f.sequences_received(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(f.out().in_flight(), 1u);
    EXPECT_EQ(f.out().waiting(), 2u);
    f.ack(1);
    f.ack(3);
    EXPECT_EQ(f.sequences_received(), (std::vector<std::uint32_t>{1, 2, 3}));
    ASSERT_EQ(f.reply().fragments.size(), 3u);
    EXPECT_EQ(f.reply().fragments[0].flags, 0x90);
    EXPECT_EQ(f.reply().fragments[1].flags, 0x30);
    EXPECT_EQ(f.reply().fragments[2].flags, 0x20);
    EXPECT_EQ(f.reply().signature, netconnection_signature);
    EXPECT_EQ(f.reply().messages, std::vector<bytes>{message});
    for (const received_packet& packet : f.s.client.packets()) {
        EXPECT_EQ(packet.marker, 0x4E);
    }

    // The first fragment of a flow carries 17 header bytes, later ones 7:
    // 1160 and 1170 bytes fill a packet, one byte more takes two.
    const struct {
        std::size_t size;
        std::vector<std::uint8_t> flags;
    } fills[] = {{1170, {0x00}}, {1171, {0x10, 0x20}}};
    std::uint32_t acked = 3;
    for (const auto& fill : fills) {
        f.write(bytes(fill.size, 0x04));
        acked += static_cast<std::uint32_t>(fill.flags.size());
        f.ack(acked - static_cast<std::uint32_t>(fill.flags.size()) + 1);
        f.ack(acked);
        std::vector<std::uint8_t> flags;
        for (std::size_t i = f.reply().fragments.size() - fill.flags.size();
             i < f.reply().fragments.size(); ++i) {
            flags.push_back(f.reply().fragments[i].flags);
        }
        EXPECT_EQ(flags, fill.flags) << fill.size;
    }
    flow_fixture first;
    first.open();
    first.write(bytes(1160, 0x04));
    first.write(bytes(1, 0x04));
    first.ack(1);
    ASSERT_EQ(first.reply().fragments.size(), 2u);
    EXPECT_EQ(first.reply().fragments[0].payload_size, 1160u);
    EXPECT_EQ(first.reply().fragments[0].flags, 0x80);
}

TEST(RtmfpOutFlow, NamesTheClientsOwnFlowInItsFirstFragment) {
    const struct {
        std::uint32_t client_flow;
        bytes signature;
        bytes options;  // as the reply flow writes them
    } cases[] = {
        {200, netconnection_signature, hex("05 00 54 43 04 00 03 0A 81 48 00")},
        {2, hex("00 54 43 04 05"), hex("05 00 54 43 04 05 02 0A 02 00")},
        {3, hex("00 47 43"), hex("03 00 47 43 02 0A 03 00")},
    };
    for (const auto& c : cases) {
        flow_fixture f;
        f.open(c.client_flow, c.signature);
        const std::uint32_t stream = f.s.host.locked([&](test_session& session) {
            return session.get_in_flow(c.client_flow, false)->stream()->stream_id();
        });
        f.write(hex("04 01"), stream);
        ASSERT_EQ(f.reply().answers, c.client_flow);
        const bytes& chunk = f.s.client.packets().back().chunks.front().body;
        // flags, flow 2, sequence 1, offset 1, then the options.
        EXPECT_EQ(bytes(chunk.begin() + 4,
                        chunk.begin() + 4 + static_cast<std::ptrdiff_t>(c.options.size())),
                  c.options)
            << c.client_flow;
    }
}

TEST(RtmfpOutFlow, WindowGrowsWithAcknowledgementsOfEitherForm) {
    flow_fixture f;
    f.open();
    for (int i = 0; i < 6; ++i) {
        f.write(hex("04"));
    }
    EXPECT_EQ(f.out().window(), 1u);
    EXPECT_EQ(f.out().waiting(), 5u);

    // 0x51 with a buffer space of two bytes.
    f.s.client.send_chunks({test_client::ack(reply_flow, 1, 200)});
    f.s.exchange();
    EXPECT_EQ(f.out().last_ack(), 1u);
    EXPECT_EQ(f.out().window(), 2u);
    // 0x50, its bitmap after the cumulative number.
    f.s.client.send_chunks({test_client::ack_bitmap(reply_flow, 3, 128, hex("80"))});
    f.s.exchange();
    EXPECT_EQ(f.out().last_ack(), 3u);
    EXPECT_EQ(f.out().window(), 3u);
    EXPECT_EQ(f.sequences_received(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));

    // A late copy of an old acknowledgement, and one for a packet never
    // sent, change nothing.
    f.ack(2);
    f.ack(9);
    EXPECT_EQ(f.out().last_ack(), 3u);
    EXPECT_EQ(f.out().window(), 3u);
    f.ack(6);
    EXPECT_EQ(f.out().in_flight(), 0u);
}

TEST(RtmfpOutFlow, SendsAgainOnlyWhatTheAcknowledgementsShowMissing) {
    // Packets 6 to 11 in flight; 6 and 9 do not arrive.
    const struct {
        const char* name;
        std::vector<bytes> acks;
        std::vector<std::uint32_t> resent;
    } cases[] = {
        {"ranges", {test_client::ack(reply_flow, 5, 0x3F, {{7, 8}, {10, 11}})}, {6, 9}},
        // Bits for 7 onwards, lowest first: 7, 8, 10 and 11.
        {"bitmap", {test_client::ack_bitmap(reply_flow, 5, 0x3F, hex("1B"))}, {6, 9}},
        // A peer that tells nothing beyond its cumulative number: the one
        // after it goes on the third repeat, alone.
        {"repeats",
         {test_client::ack(reply_flow, 5, 0x3F), test_client::ack(reply_flow, 5, 0x3F),
          test_client::ack(reply_flow, 5, 0x3F)},
         {6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flow_fixture f;
        f.open();
        for (std::uint32_t i = 1; i <= 5; ++i) {
            f.write(hex("04"));
            f.ack(i);
        }
        ASSERT_EQ(f.out().window(), 6u);
        for (int i = 0; i < 6; ++i) {
            f.write(hex("04"));
        }
        ASSERT_EQ(f.out().in_flight(), 6u);
        f.s.client.forget_packets();
        for (const bytes& ack : c.acks) {
            f.s.client.send_chunks({ack});
            f.s.exchange();
        }
        EXPECT_EQ(f.sequences_received(), c.resent);
        // Halved, not dropped to one packet.
        EXPECT_EQ(f.out().window(), 3u);
        EXPECT_EQ(f.out().threshold(), 3u);
        // The same news again sends nothing more.
        f.s.client.send_chunks({c.acks.back()});
        f.s.exchange();
        EXPECT_EQ(f.sequences_received(), c.resent);
        f.ack(11);
        EXPECT_EQ(f.out().in_flight(), 0u);
        EXPECT_EQ(f.s.session->packets_resent(), c.resent.size());
    }
}

TEST(RtmfpOutFlow, SendsAgainWhenTheTimeOutFromTheRoundTripPasses) {
    flow_fixture f;
    f.open();
    const auto overdue = [&](std::uint64_t units) {
        f.s.client.forget_packets();
        f.s.clock.advance(units);
        f.s.session->resend_overdue();
        f.s.exchange();
        return f.sequences_received();
    };
    // Nothing timed yet: one second (250 units of 4 ms).
    f.write(hex("04"));
    EXPECT_EQ(overdue(249), std::vector<std::uint32_t>{});
    EXPECT_EQ(overdue(1), std::vector<std::uint32_t>{1});
    EXPECT_EQ(f.out().window(), 1u);
    // Not again before twice as long.
    EXPECT_EQ(overdue(499), std::vector<std::uint32_t>{});
    EXPECT_EQ(overdue(1), std::vector<std::uint32_t>{1});
    // The acknowledgement of a packet sent more than once times nothing.
    f.ack(1);

    // Acknowledged 100 ms after it left: a time-out of 300 ms.
    f.write(hex("04"));
    f.s.clock.advance(25);
    f.ack(2);
    f.write(hex("04"));
    EXPECT_EQ(overdue(74), std::vector<std::uint32_t>{});
    EXPECT_EQ(overdue(1), std::vector<std::uint32_t>{3});
    // The session's tick sends nothing that is not overdue.
    f.s.client.forget_packets();
    ASSERT_TRUE(f.s.session->tick());
    f.s.exchange();
    EXPECT_EQ(f.sequences_received(), std::vector<std::uint32_t>{});
}

TEST(RtmfpOutFlow, TheSessionsTimerSendsAgainWithoutTicks) {
    session_host host;
    test_client client(host.keys_for_client(), host.endpoint(), manual_acks());
    const std::shared_ptr<test_session> session = host.open(client.local_endpoint());
    host.run_threads(1);
    client.send_chunks(
        {test_client::user_data(0x00, 1, 1, 1, netconnection_signature, hex("04 01"))});
    ASSERT_TRUE(client.run_until(
        [&] {
            return host.locked(
                [](test_session& s) { return s.find_out_flow(reply_flow) != nullptr; });
        },
        std::chrono::seconds(20)));
    ASSERT_TRUE(host.locked([](test_session& s) { return s.recording(0)->write(hex("04 02")); }));
    // Never acknowledged: it comes again, and again, on the session's own.
    const auto copies = [&] { return client.server_flows()[reply_flow].fragments.size(); };
    std::size_t packets = 0;
    ASSERT_TRUE(client.run_until(
        [&] {
            packets = 0;
            for (const received_packet& packet : client.packets()) {
                packets += std::count_if(packet.chunks.begin(), packet.chunks.end(),
                                         [](const received_chunk& c) { return c.type == 0x10; });
            }
            return packets >= 3;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(copies(), 1u);
    EXPECT_GE(session->packets_resent(), 2u);
}

TEST(RtmfpOutFlow, ForwardSequenceOffsetsNeverPassWhatIsUnacknowledged) {
    flow_fixture f;
    f.open();
    // For each message: the highest acknowledgement sent before it was
    // written.
    std::vector<std::uint32_t> acked_before;
    std::uint32_t acked = 0;
    const auto write = [&](int count) {
        for (int i = 0; i < count; ++i) {
            acked_before.push_back(acked);
            f.write(hex("04"));
        }
    };
    write(5);
    acked = 1;
    f.ack(acked);
    write(3);
    acked = 3;
    f.ack(acked);
    write(2);
    for (std::uint32_t sequence = 4; sequence <= 10; ++sequence) {
        f.ack(sequence);
    }
    const auto& fragments = f.reply().fragments;
    ASSERT_EQ(fragments.size(), 10u);
    for (const received_fragment& fragment : fragments) {
        ASSERT_GE(fragment.fsn_offset, 1u);
        EXPECT_LE(fragment.sequence - fragment.fsn_offset, acked_before[fragment.sequence - 1])
            << fragment.sequence;
    }
}

TEST(RtmfpOutFlow, DrainsAfterItsStreamClosedAndEndsWithAFinalFragment) {
    flow_fixture f;
    f.open();
    f.write(hex("04 01"));
    f.s.host.locked([](test_session& session) { session.remove_stream(0); });
    ASSERT_TRUE(f.s.session->tick());
    f.s.exchange();
    EXPECT_FALSE(f.reply().ended) << "not before everything sent is acknowledged";
    f.ack(1);
    ASSERT_TRUE(f.reply().ended);
    EXPECT_EQ(f.reply().fragments.back().flags, 0x03);
    EXPECT_EQ(f.reply().fragments.back().payload_size, 0u);
    EXPECT_TRUE(f.out().closing());
    f.ack(2);
    EXPECT_EQ(f.s.session->find_out_flow(reply_flow), nullptr);
    EXPECT_EQ(f.reply().messages, std::vector<bytes>{hex("04 01")});

    // A flow that never sent anything goes at the first drained check.
    flow_fixture quiet;
    quiet.open();
    quiet.s.host.locked([](test_session& session) { session.remove_stream(0); });
    ASSERT_NE(quiet.s.session->find_out_flow(reply_flow), nullptr);
    ASSERT_TRUE(quiet.s.session->tick());
    quiet.s.exchange();
    EXPECT_EQ(quiet.s.session->find_out_flow(reply_flow), nullptr);
    EXPECT_TRUE(quiet.s.client.packets().empty());
}

TEST(RtmfpOutFlow, PacketsStillQueuedLeaveIntactWhenTheirFlowGoes) {
    flow_fixture f;
    f.open();
    f.write(hex("04 01"));
    f.ack(1);
    ASSERT_EQ(f.out().window(), 2u);
    // The first packet goes to the socket, the second waits in the
    // session's send queue while the session closes and deletes the flow.
    f.s.host.locked([](test_session& session) {
        session.recording(0)->write(hex("04 02"));
        session.recording(0)->write(hex("04 03"));
    });
    f.s.session->close();
    // Blocks taken from the pool now must not be the one still queued.
    std::vector<block_buffer> scribbled;
    for (int i = 0; i < 4; ++i) {
        scribbled.emplace_back(f.s.host.pool());
        std::fill_n(scribbled.back().data(), scribbled.back().capacity(), 0xEE);
    }
    f.s.exchange();
    EXPECT_EQ(f.reply().messages, (std::vector<bytes>{hex("04 01"), hex("04 02"), hex("04 03")}));
    EXPECT_EQ(f.s.client.count_chunks(0x4C), 1u);
    scribbled.clear();
    f.s.host.shutdown();
    EXPECT_EQ(f.s.host.pool().outstanding(), 0u);
}

TEST(RtmfpOutFlow, APeerThatLetsTheQueueFillLosesItsSession) {
    flow_fixture f;
    f.open();
    f.s.host.locked([](test_session& session) {
        for (std::size_t i = 0; i <= rtmfp_out_flow::max_waiting; ++i) {
            session.recording(0)->write(hex("04"));
        }
        EXPECT_FALSE(session.is_closed());
        EXPECT_EQ(session.find_out_flow(reply_flow)->waiting(), rtmfp_out_flow::max_waiting);
        session.recording(0)->write(hex("04"));
    });
    f.s.exchange();
    EXPECT_TRUE(f.s.session->is_closed());
    EXPECT_EQ(f.errors(), std::vector<std::string>{"Flow queue full"});
    EXPECT_EQ(f.s.client.count_chunks(0x4C), 1u);
}

}  // namespace
