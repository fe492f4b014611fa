// The qen program's RTMFP side with our own RTMFP client: admission by
// application, NetGroup rendezvous per host name, NAT detection on its real
// clock, the ports it opens and how it stops.

#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/ip/v6_only.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/crypto.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/tests/qen_process.hpp"
#include "rtmfp/tests/lossy_relay.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
using qen_test::qen_process;
using rtmp_test::rtmp_client;
namespace ip = boost::asio::ip;

const bytes netgroup_signature{0x00, 0x47, 0x43};

udp_endpoint rtmfp_at(const qen_process& qen, const char* address = "127.0.0.1") {
    return udp_endpoint(ip::make_address(address), qen.rtmfp().port);
}

std::string rtmfp_url(const qen_process& qen, const std::string& host, const std::string& app) {
    return "rtmfp://" + host + ":" + std::to_string(qen.rtmfp().port) + "/" + app;
}

// A client whose connect the server refuses: the session ends (0x4C) and
// nothing answers the connect.
void expect_refused(const qen_process& qen, const bytes& command_object, const char* what) {
    netconnection_client c(rtmfp_at(qen));
    ASSERT_TRUE(c.open()) << what;
    c.send(command_message("connect", 1, command_object));
    EXPECT_TRUE(c.wait_for_end()) << what;
    EXPECT_TRUE(c.replies().empty()) << what;
}

const char* const specifier = "G:0101010200010e";

bytes stat_reply(double sessions, double group_sessions) {
    return cat(command_message("_result", 99, amf0_null_value()),
               amf0_object_of({{"sessions", amf0_num(sessions)},
                               {"groupSessions", amf0_num(group_sessions)}}));
}

class QenRtmfpOnLoopback : public ::testing::TestWithParam<const char*> {};

TEST_P(QenRtmfpOnLoopback, ConnectsToAnApplication) {
    const ip::address loopback = ip::make_address(GetParam());
    if (loopback.is_v6() && !ipv6_loopback_available()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    qen_process qen;
    qen.app("app");
    netconnection_client c(udp_endpoint(loopback, qen.rtmfp().port));
    ASSERT_TRUE(c.connect(rtmfp_url(qen, "localhost", "app")));
    // Clients only meet here: they create no streams.
    EXPECT_EQ(c.call(command_message("createStream", 2, amf0_null_value())),
              cat(command_message("_error", 2, amf0_null_value()),
                  status_object("error", "NetConnection.CreateStream.Failed",
                                "Not allow to create stream")));
    EXPECT_EQ(c.call(stat_call(99)), stat_reply(1, 0));

    // A client that connects by address names the address in its tcUrl
    // (an IPv6 one in brackets); it reaches the default domain.
    const std::string literal =
        loopback.is_v6() ? "[" + loopback.to_string() + "]" : loopback.to_string();
    netconnection_client by_address(udp_endpoint(loopback, qen.rtmfp().port));
    EXPECT_TRUE(by_address.connect(rtmfp_url(qen, literal, "app"))) << literal;
    EXPECT_EQ(qen.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Addresses, QenRtmfpOnLoopback, ::testing::Values("127.0.0.1", "::1"));

TEST(QenRtmfp, RefusesConnectsWithoutAnApplication) {
    qen_process qen;
    qen.app("app");
    expect_refused(qen, amf0_object_of({{"app", amf0_text("app")}}), "no tcUrl");
    expect_refused(qen, amf0_object_of({{"tcUrl", amf0_num(1)}}), "a number as tcUrl");
    expect_refused(qen, connect_object(rtmfp_url(qen, "127.0.0.1", "none/such")),
                   "an unknown application");
    expect_refused(qen, connect_object("not a url"), "no URL");
    netconnection_client c(rtmfp_at(qen));
    EXPECT_TRUE(c.connect(rtmfp_url(qen, "127.0.0.1", "app"))) << "the server goes on";
}

TEST(QenRtmfp, MaxConcurrentsCountsRtmpAndRtmfpClients) {
    qen_process qen;
    qen_process::write_settings(qen.app("limited"), "<max_concurrents>1</max_concurrents>");
    {
        rtmp_client rtmp(qen.port());
        ASSERT_TRUE(rtmp.connect_url(qen.url("limited")));
        expect_refused(qen, connect_object(rtmfp_url(qen, "127.0.0.1", "limited")),
                       "the RTMP client holds the only place");
    }
    // Once the RTMP client is gone the place is free again (the server
    // notices the closed connection shortly).
    ASSERT_TRUE(platform::testing::eventually(
        [&] {
            netconnection_client c(rtmfp_at(qen));
            return c.connect(rtmfp_url(qen, "127.0.0.1", "limited"));
        },
        20s));
}

// GCC 12 takes the comparison of two lists of byte vectors below for a
// memcmp past their ends (-Wstringop-overread); each vector compares its
// own size first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overread"
TEST(QenRtmfp, GroupMembersOfOneHostMeet) {
    qen_process qen;
    qen.app("app");
    qen.app("other");
    netconnection_client a(rtmfp_at(qen)), b(rtmfp_at(qen)), c(rtmfp_at(qen)),
        elsewhere(rtmfp_at(qen));
    ASSERT_TRUE(a.connect(rtmfp_url(qen, "localhost", "app")));
    // The host in capitals, and another application of the host.
    ASSERT_TRUE(b.connect(rtmfp_url(qen, "LocalHost", "app")));
    ASSERT_TRUE(c.connect(rtmfp_url(qen, "localhost", "other")));
    // Another host name of the machine is another place to meet.
    ASSERT_TRUE(elsewhere.connect(rtmfp_url(qen, "127.0.0.1", "app")));

    netgroup_member ga(a), gb(b), gc(c), ge(elsewhere);
    ga.join_by_specifier(specifier);
    ASSERT_EQ(a.call(stat_call(99)), stat_reply(4, 1));
    gb.join_by_specifier(specifier);
    ASSERT_TRUE(gb.wait_for_members(1));
    gc.join_by_specifier(specifier);
    ASSERT_TRUE(gc.wait_for_members(2));
    ge.join_by_specifier(specifier);
    ASSERT_EQ(elsewhere.call(stat_call(99)), stat_reply(4, 1));

    EXPECT_EQ(ga.members(), std::vector<bytes>{});
    EXPECT_EQ(gb.members(), std::vector<bytes>{peer_id_bytes(a.client())});
    std::vector<bytes> first_two{peer_id_bytes(a.client()), peer_id_bytes(b.client())};
    std::sort(first_two.begin(), first_two.end());
    EXPECT_EQ(gc.members(), first_two);
    EXPECT_EQ(ge.members(), std::vector<bytes>{});
    EXPECT_EQ(c.call(stat_call(99)), stat_reply(4, 3));

    // A client that goes leaves its groups.
    b.client().send_chunks({test_client::chunk(0x4C, {})});
    EXPECT_TRUE(platform::testing::eventually(
        [&] { return c.call(stat_call(99)) == stat_reply(3, 2); }, 10s));
}
#pragma GCC diagnostic pop

TEST(QenRtmfp, IntroducesClientsToEachOther) {
    qen_process qen;
    qen.app("app");
    netconnection_client a(rtmfp_at(qen)), b(rtmfp_at(qen));
    ASSERT_TRUE(a.connect(rtmfp_url(qen, "localhost", "app")));
    ASSERT_TRUE(b.connect(rtmfp_url(qen, "localhost", "app")));

    const bytes tag(16, 0x5A);
    a.client().send_handshake({test_client::introduction_request(peer_id_bytes(b.client()), tag)});
    ASSERT_TRUE(a.client().run_until([&] { return a.client().count_chunks(0x71) == 1; }, 10s));
    ASSERT_TRUE(b.client().run_until([&] { return !punch_requests(b.client()).empty(); }, 10s));
    const introduction told = punch_requests(b.client()).front();
    EXPECT_EQ(told.tag, tag);
    EXPECT_EQ(told.address, rtmfp_make_address(a.client().local_endpoint(), true));
}

TEST(QenRtmfp, ConnectsAndJoinsThroughALossyLink) {
    qen_process qen;
    qen.app("app");
    lossy_relay relay(rtmfp_at(qen), {.seed = 7, .drop = 0.2, .reorder = 0.1, .duplicate = 0.2});
    netconnection_client lossy(relay.endpoint()), direct(rtmfp_at(qen));
    ASSERT_TRUE(direct.connect(rtmfp_url(qen, "localhost", "app")));
    netgroup_member gd(direct);
    gd.join_by_specifier(specifier);
    ASSERT_TRUE(direct.call(stat_call(99)));

    ASSERT_TRUE(lossy.connect(rtmfp_url(qen, "localhost", "app")));
    netgroup_member gl(lossy);
    gl.join_by_specifier(specifier);
    ASSERT_TRUE(gl.wait_for_members(1));
    EXPECT_EQ(gl.members(), std::vector<bytes>{peer_id_bytes(direct.client())});
}

// The connectivity results' natType; empty while none came.
std::string nat_type_told(netconnection_client& c) {
    for (const bytes& reply : c.replies()) {
        const std::string text(reply.begin(), reply.end());
        const std::size_t at = text.find("natType");
        if (at != std::string::npos) {
            // Key, string marker, 16-bit length, text.
            const std::size_t start = at + 7 + 3;
            return text.substr(start, text.find('\0', start) - start);
        }
    }
    return "";
}

TEST(QenRtmfp, TellsEachClientItsNatType) {
    qen_process qen;
    qen.app("app");
    netconnection_client open(rtmfp_at(qen)), cone(rtmfp_at(qen)), silent(rtmfp_at(qen));
    for (netconnection_client* c : {&open, &cone, &silent}) {
        ASSERT_TRUE(c->connect(rtmfp_url(qen, "localhost", "app")));
    }
    const udp_endpoint at = open.client().local_endpoint();
    open.send(set_peer_info({at.address().to_string() + ":" + std::to_string(at.port())}));
    cone.send(set_peer_info({"10.0.0.5:1111"}));
    silent.send(set_peer_info({"10.0.0.6:1111"}));

    // The cone client answers the first probe, from its own socket, on the
    // first detection port.
    ASSERT_TRUE(
        cone.client().run_until([&] { return !punch_requests(cone.client()).empty(); }, 10s));
    const introduction probe = punch_requests(cone.client()).front();
    EXPECT_EQ(probe.address.endpoint(),
              udp_endpoint(ip::make_address("127.0.0.1"), qen.rtmfp().detect_nat_port1));
    const bytes answer = cat(test_client::vlu(16), probe.tag, test_client::vlu(0));
    cone.client().set_server(probe.address.endpoint());
    cone.client().send_handshake({test_client::chunk(0x70, answer)});
    cone.client().set_server(rtmfp_at(qen));

    const auto told = [](netconnection_client& c) {
        return c.client().run_until([&] { return !nat_type_told(c).empty(); }, 10s);
    };
    ASSERT_TRUE(told(open));
    EXPECT_EQ(nat_type_told(open), "noNat");
    ASSERT_TRUE(told(cone));
    EXPECT_EQ(nat_type_told(cone), "cone");
    // Silence: after the retry at half a second, "unknown" at two.
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(told(silent));
    EXPECT_EQ(nat_type_told(silent), "unknown");
    EXPECT_GE(punch_requests(silent.client()).size(), 2u) << "the retry";
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 1s);
}

// --- Assembly ------------------------------------------------------------------

// Whether a UDP port of an address can be bound by us now.
bool can_bind(const ip::address& address, unsigned short port) {
    boost::asio::io_context io;
    ip::udp::socket socket(io);
    boost::system::error_code error;
    socket.open(address.is_v6() ? ip::udp::v6() : ip::udp::v4(), error);
    if (address.is_v6()) {
        socket.set_option(ip::v6_only(true), error);
    }
    socket.bind(udp_endpoint(address, port), error);
    return !error;
}

TEST(QenRtmfpAssembly, OpensItsThreePortsOnEachLoopbackOnlyWhenEnabled) {
    std::vector<ip::address> loopbacks{ip::make_address("127.0.0.1")};
    if (ipv6_loopback_available()) {
        loopbacks.push_back(ip::make_address("::1"));
    }
    {
        qen_process qen;
        for (const ip::address& address : loopbacks) {
            for (unsigned short port :
                 {qen.rtmfp().port, qen.rtmfp().detect_nat_port1, qen.rtmfp().detect_nat_port2}) {
                // RTMP may listen a moment before the RTMFP sockets are bound.
                EXPECT_TRUE(platform::testing::eventually([&] { return !can_bind(address, port); }))
                    << address << " " << port;
            }
        }
    }
    qen_process disabled({.rtmfp_disabled = true});
    const std::string proc = "/proc/" + std::to_string(disabled.process().pid());
    const std::string sockets = platform::testing::read_file(proc + "/net/udp") +
                                platform::testing::read_file(proc + "/net/udp6");
    // No UDP socket of the process: none of its descriptors is one.
    std::size_t udp_sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.starts_with("socket:[")) {
            const std::string inode = target.substr(8, target.size() - 9);
            udp_sockets += sockets.find(" " + inode + " ") != std::string::npos;
        }
    }
    EXPECT_EQ(udp_sockets, 0u);
    EXPECT_EQ(disabled.stop(), 0) << disabled.process().stderr_text();
}

TEST(QenRtmfpAssembly, PortsTakenEverywhereEndTheStart) {
    // Held on the wildcard addresses, the port is taken on every address.
    boost::asio::io_context io;
    ip::udp::socket v4(io, udp_endpoint(ip::udp::v4(), 0));
    std::optional<ip::udp::socket> v6;
    if (ipv6_loopback_available()) {
        v6.emplace(io);
        v6->open(ip::udp::v6());
        v6->set_option(ip::v6_only(true));
        v6->bind(udp_endpoint(ip::udp::v6(), v4.local_endpoint().port()));
    }
    platform::testing::temp_dir dir;
    platform::testing::write_file(
        dir / "qen.xml",
        "<config><qen><rtmp><disabled>1</disabled></rtmp><rtmfp><port>" +
            std::to_string(v4.local_endpoint().port()) +
            "</port></rtmfp><domains><domain><names><name>localhost</name></names><path>" +
            dir.path().string() + "</path></domain></domains></qen></config>");
    const auto result = platform::testing::run({QEN_BINARY, (dir / "qen.xml").string()}, 30s);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_NE(result.err.find("No sockets were opened successfully"), std::string::npos)
        << result.err;
}

TEST(QenRtmfpAssembly, StoppingEndsTheSessions) {
    for (const int signal_number : {0, SIGTERM}) {
        qen_process qen;
        qen.app("app");
        netconnection_client a(rtmfp_at(qen)), b(rtmfp_at(qen));
        ASSERT_TRUE(a.connect(rtmfp_url(qen, "localhost", "app")));
        ASSERT_TRUE(b.open());
        EXPECT_EQ(qen.stop(signal_number), 0);
        EXPECT_TRUE(a.wait_for_end(5s)) << signal_number;
        EXPECT_TRUE(b.wait_for_end(5s)) << signal_number;
    }
}

// --- Hostile clients ------------------------------------------------------------

// What the process holds in memory now, in bytes.
std::uint64_t resident_bytes(pid_t pid) {
    const std::string status =
        platform::testing::read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6)) * 1024;
}

TEST(QenRtmfpHostile, ClientsThatMisbehaveCostOnlyTheirOwnSessions) {
    qen_process qen;
    qen.app("app");
    const std::string url = rtmfp_url(qen, "localhost", "app");

    // Datagrams of every size and random content, on all three ports.
    {
        boost::asio::io_context io;
        ip::udp::socket sender(io, udp_endpoint(ip::make_address("127.0.0.1"), 0));
        std::mt19937 random(16);
        for (const unsigned short port :
             {qen.rtmfp().port, qen.rtmfp().detect_nat_port1, qen.rtmfp().detect_nat_port2}) {
            for (const std::size_t size : {1, 19, 20, 36, 100, 1204, 1300, 9000}) {
                for (int i = 0; i < 20; ++i) {
                    bytes datagram(size);
                    std::generate(datagram.begin(), datagram.end(),
                                  [&] { return static_cast<std::uint8_t>(random()); });
                    if (i % 2 == 0 && size >= 12) {
                        // Addressed to session 0: the handshake or the NAT
                        // detection endpoint takes it.
                        for (int b = 0; b < 4; ++b) {
                            datagram[b] = datagram[4 + b] ^ datagram[8 + b];
                        }
                    }
                    sender.send_to(boost::asio::buffer(datagram),
                                   udp_endpoint(sender.local_endpoint().address(), port));
                }
            }
        }
    }

    // Sessions that join a thousand groups each (the limit) and one more.
    std::vector<std::unique_ptr<netconnection_client>> joiners;
    for (std::uint8_t n = 0; n < 3; ++n) {
        auto c = std::make_unique<netconnection_client>(rtmfp_at(qen));
        ASSERT_TRUE(c->connect(url));
        netgroup_member member(*c);
        for (std::uint32_t group = 0; group <= 1000; ++group) {
            bytes id(32, n);
            id[1] = static_cast<std::uint8_t>(group >> 8);
            id[2] = static_cast<std::uint8_t>(group);
            member.join_by_id(id);
        }
        ASSERT_TRUE(c->client().run_until(
            [&] { return c->client().flow_acknowledged(member.flow()); }, 60s));
        EXPECT_EQ(c->call(stat_call(99)), stat_reply(1 + n, 1000));
        joiners.push_back(std::move(c));
    }

    // A specifier of almost a megabyte names a group like any other.
    netconnection_client large(rtmfp_at(qen));
    ASSERT_TRUE(large.connect(url));
    std::string specifier_text = "G:";
    for (int i = 0; i < 249'999; ++i) {
        specifier_text += "0101";
    }
    netgroup_member big(large);
    big.join_by_specifier(specifier_text);
    EXPECT_TRUE(large.client().run_until(
        [&] { return large.call(stat_call(99)) == stat_reply(4, 1); }, 60s))
        << "the session joined the group";

    // A session that opens more flows than a session may have ends.
    netconnection_client flows(rtmfp_at(qen));
    ASSERT_TRUE(flows.connect(url));
    for (int i = 0; i < 257; ++i) {
        flows.client().send_message(flows.client().open_flow(netgroup_signature), hex("01 01 00"));
        flows.client().flush();
    }
    EXPECT_TRUE(flows.wait_for_end());

    // Everyone else is served as before.
    netconnection_client a(rtmfp_at(qen)), b(rtmfp_at(qen));
    ASSERT_TRUE(a.connect(url));
    ASSERT_TRUE(b.connect(url));
    netgroup_member ga(a), gb(b);
    ga.join_by_specifier("G:0101010200010e");
    ASSERT_TRUE(a.call(stat_call(99)));
    gb.join_by_specifier("G:0101010200010e");
    ASSERT_TRUE(gb.wait_for_members(1));
    rtmp_client rtmp(qen.port());
    EXPECT_TRUE(rtmp.connect_url(qen.url("app")));

    const std::uint64_t resident = resident_bytes(qen.process().pid());
    EXPECT_LT(resident, std::uint64_t{1} << 30) << "bytes";
    std::printf("qen holds %.0f MiB\n", static_cast<double>(resident) / 1048576);
    EXPECT_EQ(qen.stop(), 0);
}

}  // namespace
