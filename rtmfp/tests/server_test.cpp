#include "rtmfp/server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/hex.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmfp/tests/lossy_relay.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
namespace ip = boost::asio::ip;

constexpr std::uint8_t handshake_reply = 0x70;
constexpr std::uint8_t hole_punch_reply = 0x71;
constexpr std::uint8_t key_exchange_reply = 0x78;
constexpr std::uint8_t punch_request = 0x0F;

const std::string app_url = "rtmfp://localhost/app";

// The second Oakley group's prime, as RFC 2409 prints it.
const bytes group_prime =
    hex("FF FF FF FF FF FF FF FF C9 0F DA A2 21 68 C2 34 "
        "C4 C6 62 8B 80 DC 1C D1 29 02 4E 08 8A 67 CC 74 "
        "02 0B BE A6 3B 13 9B 22 51 4A 08 79 8E 34 04 DD "
        "EF 95 19 B3 CD 3A 43 1B 30 2B 0A 6D F2 5F 14 37 "
        "4F E1 35 6D 6D 51 C2 45 E4 85 B5 76 62 5E 7E C6 "
        "F4 4C 42 E9 A6 37 ED 6B 0B FF 5C B6 F4 06 B7 ED "
        "EE 38 6B FB 5A 89 9F A5 AE 9F 24 11 7C 4B 1F E6 "
        "49 28 66 51 EC E6 53 81 FF FF FF FF FF FF FF FF");

std::string hex_text(const bytes& b) {
    return hex_encode(b.data(), b.size());
}

bytes bytes_prefix(const bytes& b, std::size_t n) {
    return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

bytes written_address(const rtmfp_address& address) {
    bytes storage(32);
    rtmfp_packet_writer out(storage.data(), static_cast<std::uint32_t>(storage.size()));
    rtmfp_write_address(out, address);
    storage.resize(out.size);
    return storage;
}

bool has_stream(rtmfp_server_session& session, std::uint32_t id) {
    auto lock = session.lock_processing();
    return session.find_stream(id) != nullptr;
}

bytes random_bytes_of(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    bytes out(n);
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
}

bytes tag_of(std::uint32_t n) {
    bytes tag(16, 0x7A);
    for (int i = 0; i < 4; ++i) {
        tag[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    }
    return tag;
}

bool wait_for_chunks(test_client& client, std::uint8_t type, std::size_t count) {
    return client.run_until([&] { return client.count_chunks(type) >= count; }, 5s);
}

// The cookie of a 0x70 body: after the tag.
bytes cookie_in(const bytes& body) {
    rtmfp_packet_reader in(body);
    rtmfp_read_vlu_bytes(in);
    return as_bytes(rtmfp_read_vlu_bytes(in));
}

bytes certificate_for(const bytes& public_key) {
    return test_client::certificate_of(public_key);
}

// A key exchange of `client` for a cookie, with a key of the test's (one
// key pair for all unless given).
bytes key_exchange_for(const test_client& client, const bytes& cookie,
                       const bytes& public_key = {}) {
    static const dh1024_key_pair pair = dh1024_key_pair::generate();
    const bytes key =
        public_key.empty() ? bytes(pair.public_key().begin(), pair.public_key().end()) : public_key;
    return test_client::key_exchange(client.keys().client_session_id, cookie, certificate_for(key),
                                     fill(76, 0x4E));
}

// A first contact and its cookie (empty when none comes).
bytes cookie_for(test_client& client, const bytes& tag) {
    const std::size_t before = client.count_chunks(handshake_reply);
    client.send_handshake({test_client::first_contact(app_url, tag)});
    if (!wait_for_chunks(client, handshake_reply, before + 1)) {
        return {};
    }
    return cookie_in(chunk_bodies(client, handshake_reply).back());
}

bytes reply_header(std::string_view name, double transaction_id) {
    return command_message(name, transaction_id, amf0_null_value());
}

bytes connect_result(double transaction_id) {
    return cat(reply_header("_result", transaction_id),
               amf0_object_of({{"level", amf0_text("status")},
                               {"code", amf0_text("NetConnection.Connect.Success")},
                               {"description", amf0_text("RTMFP Connection succeeded")},
                               {"objectEncoding", amf0_num(3)}}));
}

bytes create_stream_failed(double transaction_id, std::string_view description) {
    return cat(reply_header("_error", transaction_id),
               status_object("error", "NetConnection.CreateStream.Failed", description));
}

bytes stat_result(double transaction_id, double sessions) {
    return cat(reply_header("_result", transaction_id),
               amf0_object_of({{"sessions", amf0_num(sessions)}, {"groupSessions", amf0_num(0)}}));
}

std::string text_of(const udp_endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

client_options from_address(const char* address) {
    client_options options;
    options.local_address = ip::make_address(address);
    return options;
}

// --- Keys -----------------------------------------------------------------

TEST(RtmfpKeyAgreement, SessionKeysMatchTheOpensslCommand) {
    namespace testing = platform::testing;
    ASSERT_TRUE(testing::have_program("openssl"));
    const bytes secret = random_bytes_of(128, 1);
    const bytes server_nonce =
        cat(hex("03 1A 00 00 02 1E 00 81 02 0D 02"), random_bytes_of(128, 2));
    const bytes initiator_nonce = random_bytes_of(76, 3);

    testing::temp_dir dir;
    // HMAC(secret, HMAC(key, data)), the inner one first.
    const auto chained = [&](const bytes& key, const bytes& data) {
        const auto hmac = [&](const bytes& k, const bytes& d) {
            testing::write_file(dir / "in", std::string(d.begin(), d.end()));
            const auto result = testing::run(
                {"openssl", "dgst", "-sha256", "-mac", "HMAC", "-macopt", "hexkey:" + hex_text(k),
                 "-binary", "-out", (dir / "out").string(), (dir / "in").string()},
                30s);
            EXPECT_EQ(result.exit_code, 0) << result.err;
            return to_bytes(testing::read_file(dir / "out"));
        };
        return bytes_prefix(hmac(secret, hmac(key, data)), 16);
    };
    const rtmfp_session_keys keys = rtmfp_derive_keys(secret, server_nonce, initiator_nonce);
    EXPECT_EQ(as_bytes(keys.decrypt), chained(server_nonce, initiator_nonce));
    EXPECT_EQ(as_bytes(keys.encrypt), chained(initiator_nonce, server_nonce));
}

// Key pairs of small private keys (quick to find) whose public key or
// whose secret with `peer` begins with a zero byte, or neither.
dh1024_key_pair pair_where(const std::function<bool(const dh1024_key_pair&)>& wanted) {
    bytes private_key = random_bytes_of(20, 77);
    for (std::uint32_t i = 0;; ++i) {
        private_key.back() = static_cast<std::uint8_t>(i);
        private_key[18] = static_cast<std::uint8_t>(i >> 8);
        dh1024_key_pair pair = dh1024_key_pair::from_private_key(private_key);
        if (wanted(pair)) {
            return pair;
        }
    }
}

TEST(RtmfpKeyAgreement, AServerKeyPairThatWouldStartWithZeroIsDrawnAgain) {
    const dh1024_key_pair client = dh1024_key_pair::generate();
    const auto secret_with_client = [&](const dh1024_key_pair& pair) {
        return pair.shared_secret(client.public_key());
    };
    const struct {
        const char* name;
        std::function<bool(const dh1024_key_pair&)> first_draw;
    } cases[] = {
        {"public key", [](const dh1024_key_pair& pair) { return pair.public_key().front() == 0; }},
        {"secret",
         [&](const dh1024_key_pair& pair) {
             return pair.public_key().front() != 0 && secret_with_client(pair).front() == 0;
         }},
    };
    for (const auto& c : cases) {
        std::vector<dh1024_key_pair> draws;
        draws.push_back(pair_where(c.first_draw));
        draws.push_back(pair_where([&](const dh1024_key_pair& pair) {
            return pair.public_key().front() != 0 && secret_with_client(pair).front() != 0;
        }));
        std::size_t drawn = 0;
        const rtmfp_key_agreement agreed =
            rtmfp_agree(client.public_key(), [&] { return std::move(draws.at(drawn++)); });
        EXPECT_EQ(drawn, 2u) << c.name;
        EXPECT_NE(agreed.server_public_key.front(), 0) << c.name;
        EXPECT_NE(agreed.secret.front(), 0) << c.name;
        EXPECT_EQ(agreed.secret, client.shared_secret(agreed.server_public_key)) << c.name;
    }
}

// --- Handshake and connect --------------------------------------------------

class RtmfpServerOnLoopback : public ::testing::TestWithParam<const char*> {};

TEST_P(RtmfpServerOnLoopback, CompletesTheHandshakeAndAnswersConnect) {
    const ip::address loopback = ip::make_address(GetParam());
    if (loopback.is_v6() && !ipv6_loopback_available()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    test_server server({.listen = {udp_endpoint(loopback, 0)}});
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.open());

    const bytes& certificate = c.client().answers().server_certificate;
    ASSERT_EQ(certificate.size(), 77u);
    EXPECT_EQ(bytes(certificate.begin(), certificate.begin() + 4), hex("01 0A 41 0E"));
    EXPECT_EQ(bytes(certificate.end() - 9, certificate.end()), hex("02 15 02 02 15 05 02 15 0E"));
    EXPECT_EQ(sha256({certificate}), server.sessions().server_peer_id());
    EXPECT_EQ(c.client().answers().server_nonce, hex("03 1A 00 00 02 1E 00 81 02 0D 02"));

    const auto session = server.sessions().find_session(c.server_session_id());
    ASSERT_TRUE(session);
    EXPECT_EQ(session->peer_id(), c.client().peer_id());
    EXPECT_EQ(session->far_session_id(), c.client().keys().client_session_id);
    EXPECT_EQ(session->peer_endpoint(), c.client().local_endpoint());
    EXPECT_EQ(server.sessions().sessions_of(loopback), 1);

    EXPECT_EQ(c.call(command_message("connect", 1, connect_object())), connect_result(1));
    EXPECT_EQ(session->state(), rtmfp_session::state_type::connected);
    EXPECT_EQ(server.events().connects, std::vector<std::string>{app_url});
}

INSTANTIATE_TEST_SUITE_P(Addresses, RtmfpServerOnLoopback, ::testing::Values("127.0.0.1", "::1"));

TEST(RtmfpHandshake, RepeatsAreAnsweredAlikeAndMakeOneSession) {
    test_server server;
    test_client client(server.endpoint());
    const bytes tag = tag_of(1);
    for (int i = 0; i < 2; ++i) {
        client.send_handshake({test_client::first_contact(app_url, tag)});
    }
    ASSERT_TRUE(wait_for_chunks(client, handshake_reply, 2));
    const std::vector<bytes> cookies = chunk_bodies(client, handshake_reply);
    EXPECT_EQ(cookies[0], cookies[1]);

    // The second may come while the first is still being worked on: it is
    // dropped then, and the client, as clients do, asks again.
    const bytes exchange = key_exchange_for(client, cookie_in(cookies[0]));
    client.send_handshake({exchange});
    client.send_handshake({exchange});
    ASSERT_TRUE(client.run_until(
        [&] {
            if (client.count_chunks(key_exchange_reply) >= 2) {
                return true;
            }
            client.receive(100ms);
            if (client.count_chunks(key_exchange_reply) < 2) {
                client.send_handshake({exchange});
            }
            return false;
        },
        10s));
    const std::vector<bytes> answers = chunk_bodies(client, key_exchange_reply);
    EXPECT_TRUE(
        std::all_of(answers.begin(), answers.end(), [&](auto& b) { return b == answers[0]; }));
    EXPECT_EQ(server.sessions().session_count(), 1u);
}

TEST(RtmfpHandshake, AClientKeyOneByteShorterStillAgreesTheKeys) {
    test_server server;
    netconnection_client c(server.endpoint());
    c.client().set_key_pair(
        pair_where([](const dh1024_key_pair& pair) { return pair.public_key().front() == 0; }),
        true);
    ASSERT_EQ(c.client().public_key().size(), 127u);
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.call(command_message("connect", 1, connect_object())), connect_result(1));
}

TEST(RtmfpHandshake, CompletesThroughALossyRelay) {
    // The server's timer resends what the relay loses.
    test_server server({.options = {.tick_timer = true}});
    lossy_relay relay(server.endpoint(),
                      {.seed = 15, .drop = 0.2, .reorder = 0.1, .duplicate = 0.3});
    netconnection_client c(relay.endpoint());
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.call(stat_call(2)), stat_result(2, 1));

    const std::vector<bytes> cookies = chunk_bodies(c.client(), handshake_reply);
    const std::vector<bytes> answers = chunk_bodies(c.client(), key_exchange_reply);
    ASSERT_FALSE(cookies.empty());
    ASSERT_FALSE(answers.empty());
    EXPECT_TRUE(
        std::all_of(cookies.begin(), cookies.end(), [&](auto& b) { return b == cookies[0]; }));
    EXPECT_TRUE(
        std::all_of(answers.begin(), answers.end(), [&](auto& b) { return b == answers[0]; }));
    EXPECT_EQ(server.sessions().session_count(), 1u);
    EXPECT_GT(relay.dropped() + relay.duplicated(), 0u);
}

TEST(RtmfpServerSockets, BothFamiliesShareAPortAndKeepTheirOwnAddresses) {
    if (!ipv6_loopback_available()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const unsigned short port = platform::testing::free_port(platform::testing::transport::udp);
    test_server server({.listen = {udp_endpoint(ip::address_v4::any(), port),
                                   udp_endpoint(ip::address_v6::any(), port)}});
    ASSERT_EQ(server.server().local_endpoints().size(), 2u) << "both wildcards bound";
    netconnection_client v4(udp_endpoint(ip::address_v4::loopback(), port));
    netconnection_client v6(udp_endpoint(ip::address_v6::loopback(), port));
    ASSERT_TRUE(v4.connect());
    ASSERT_TRUE(v6.connect());
    // No IPv4-mapped address: the client is known by its own.
    EXPECT_EQ(server.sessions().find_session(v4.server_session_id())->peer_endpoint(),
              v4.client().local_endpoint());
    EXPECT_EQ(server.sessions().sessions_of(ip::address_v4::loopback()), 1);
}

TEST(RtmfpServerSockets, AddressesThatCannotBeBoundAreLeftOut) {
    // Not an address of this machine.
    const udp_endpoint foreign(ip::make_address("192.0.2.1"), 0);
    const udp_endpoint local(ip::make_address("127.0.0.1"), 0);
    rtmfp_server one({foreign, local}, 0, 0, {});
    EXPECT_EQ(one.local_endpoints().size(), 1u);
    // The reason names the socket that could not be bound.
    EXPECT_EQ(thrown_message([&] { rtmfp_server none({foreign}, 0, 0, {}); }),
              "No sockets were opened successfully: UDP 192.0.2.1:0: bind: Cannot assign "
              "requested address");
}

// --- NetConnection -----------------------------------------------------------

TEST(RtmfpNetConnection, CallsOutOfTurnCloseTheSessionWithoutReply) {
    test_server server;
    const struct {
        const char* name;
        bool connect_first;
        bytes call;
    } cases[] = {
        {"second connect", true, command_message("connect", 2, connect_object())},
        {"connect with a null object", false, command_message("connect", 1, amf0_null_value())},
        {"refused connect", false,
         command_message("connect", 1, connect_object("rtmfp://localhost/refuse"))},
        {"createStream before connect", false,
         command_message("createStream", 1, amf0_null_value())},
        {"setPeerInfo before connect", false, set_peer_info({"10.0.0.1:1000"})},
    };
    int closed = 0;
    for (const auto& c : cases) {
        netconnection_client client(server.endpoint());
        ASSERT_TRUE(c.connect_first ? client.connect() : client.open()) << c.name;
        const std::size_t replies = client.replies().size();
        client.send(c.call);
        EXPECT_TRUE(client.wait_for_end()) << c.name;
        EXPECT_EQ(client.replies().size(), replies) << c.name;
        const auto session = server.sessions().find_session(client.server_session_id());
        ASSERT_TRUE(session) << c.name;
        EXPECT_TRUE(session->is_closed()) << c.name;
        EXPECT_EQ(server.events().disconnects, ++closed) << c.name;
    }
    EXPECT_EQ(server.events().connects.back(), "rtmfp://localhost/refuse");
}

TEST(RtmfpNetConnection, CreateStreamIsRefusedWhenNotAllowed) {
    test_server server;
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.call(command_message("createStream", 2, amf0_null_value())),
              create_stream_failed(2, "Not allow to create stream"));
    EXPECT_EQ(c.call(stat_call(3)), stat_result(3, 1)) << "the NetConnection keeps working";
    EXPECT_TRUE(server.events().streams_created.empty());
}

TEST(RtmfpNetConnection, CreateStreamGivesIdsUntilThereAreTooMany) {
    test_server server({.limits = {.allow_create_stream = 1}});
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    // Stream 0 and 127 more fill the session.
    for (int i = 0; i < 128; ++i) {
        c.send(command_message("createStream", 10 + i, amf0_null_value()));
    }
    ASSERT_TRUE(c.client().run_until([&] { return c.replies().size() == 1 + 128; }, 10s));
    const std::vector<bytes> replies = c.replies();
    std::vector<std::uint32_t> expected_ids;
    for (std::uint32_t id = 1; id <= 127; ++id) {
        EXPECT_EQ(replies[id], cat(reply_header("_result", 9 + id), amf0_num(id))) << id;
        expected_ids.push_back(id);
    }
    EXPECT_EQ(replies[128], create_stream_failed(137, "Too many streams"));
    EXPECT_EQ(server.events().streams_created, expected_ids);
}

TEST(RtmfpNetConnection, DeleteStreamTakesOnlyWholeStreamIds) {
    test_server server({.limits = {.allow_create_stream = 1}});
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    ASSERT_EQ(c.call(command_message("createStream", 2, amf0_null_value())),
              cat(reply_header("_result", 2), amf0_num(1)));
    const auto session = server.sessions().find_session(c.server_session_id());
    for (const double id : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(), 1e300, 1.5, 4294967297.0}) {
        c.send(command_message("deleteStream", 0, amf0_null_value(), {amf0_num(id)}));
    }
    // The stat's answer comes after the deletes were handled.
    EXPECT_EQ(c.call(stat_call(3)), stat_result(3, 1));
    EXPECT_TRUE(server.events().streams_deleted.empty());
    EXPECT_TRUE(has_stream(*session, 1));

    c.send(command_message("deleteStream", 0, amf0_null_value(), {amf0_num(1)}));
    EXPECT_EQ(c.call(stat_call(4)), stat_result(4, 1));
    EXPECT_EQ(server.events().streams_deleted, std::vector<std::uint32_t>{1});
    EXPECT_FALSE(has_stream(*session, 1));
}

TEST(RtmfpNetConnection, SetPeerInfoAnswersAndKeepsTwelveAddresses) {
    test_server server;
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    const auto session = server.sessions().find_session(c.server_session_id());
    const bytes reply = hex("04 00 00 00 00 00 29 00 00 3A 98 00 00 3A 98");

    std::vector<std::string> thirteen;
    std::vector<udp_endpoint> twelve{c.client().local_endpoint()};
    for (int i = 1; i <= 13; ++i) {
        thirteen.push_back("10.0.0." + std::to_string(i) + ":" + std::to_string(1000 + i));
        if (i <= 12) {
            twelve.emplace_back(ip::make_address("10.0.0." + std::to_string(i)), 1000 + i);
        }
    }
    const auto handled = [&](const bytes& call) { return settled_call(c, call); };
    EXPECT_EQ(handled(set_peer_info(thirteen)), reply);
    EXPECT_EQ(session->addresses(), twelve);
    EXPECT_EQ(session->nat_type(), 0);

    EXPECT_EQ(handled(set_peer_info({"not an address", "[fe80::1]:2222", "10.1.1.1:"})), reply);
    EXPECT_EQ(session->addresses(),
              (std::vector<udp_endpoint>{c.client().local_endpoint(),
                                         udp_endpoint(ip::make_address("fe80::1"), 2222)}));

    // The address the datagrams come from: no NAT between.
    EXPECT_EQ(handled(set_peer_info({"192.168.0.2:1935", text_of(c.client().local_endpoint())})),
              reply);
    EXPECT_EQ(session->nat_type(), 1);

    c.send(command_message("setPeerInfo", 0, amf0_null_value(), {amf0_num(7)}));
    EXPECT_TRUE(c.wait_for_end()) << "a number is no address";
}

TEST(RtmfpNetConnection, StatCountsTheServersSessions) {
    test_server server;
    netconnection_client first(server.endpoint());
    netconnection_client second(server.endpoint());
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(second.open());
    EXPECT_EQ(first.call(stat_call(5)), stat_result(5, 2));
}

TEST(RtmfpNetConnection, OtherCallsGoToTheApplicationWithoutReply) {
    test_server server;
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    c.send(command_message("relayMessage", 7, amf0_null_value(), {amf0_text("hello")}));
    EXPECT_EQ(c.call(stat_call(8)), stat_result(8, 1));
    EXPECT_EQ(c.replies().size(), 2u) << "connect and stat only";
    EXPECT_EQ(server.events().calls, std::vector<std::string>{"relayMessage"});
}

// --- Introductions -----------------------------------------------------------

// Introductions to other peers, not the server's NAT probes (whose tags end
// in "DNAT").
std::vector<introduction> introductions_to(test_client& client) {
    std::vector<introduction> found = punch_requests(client);
    std::erase_if(found, [](const introduction& made) {
        return rtmfp_probe_tag_session(made.tag).has_value();
    });
    return found;
}

TEST(RtmfpIntroduction, TellsBothPeersWhereTheOtherIs) {
    test_server server;
    netconnection_client a(server.endpoint());
    netconnection_client b(server.endpoint());
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(settled_call(b, set_peer_info({"10.0.0.5:1111", "[fe80::1]:2222"})));

    // Peer ids of the wrong length are passed over.
    const bytes b_id = peer_id_bytes(b.client());
    a.client().send_handshake(
        {test_client::introduction_request(bytes(b_id.begin(), b_id.end() - 1), tag_of(31))});
    a.client().send_handshake(
        {test_client::introduction_request(cat(b_id, hex("00")), tag_of(33))});
    a.client().send_handshake({test_client::introduction_request(b_id, tag_of(32))});
    ASSERT_TRUE(wait_for_chunks(a.client(), hole_punch_reply, 1));
    ASSERT_TRUE(b.client().run_until([&] { return introductions_to(b.client()).size() == 1; }, 5s));

    const udp_endpoint a_at = a.client().local_endpoint();
    const udp_endpoint b_at = b.client().local_endpoint();
    const std::vector<bytes> punches = chunk_bodies(a.client(), hole_punch_reply);
    ASSERT_EQ(punches.size(), 1u) << "only the 32-byte id is answered";
    EXPECT_EQ(punches[0],
              cat(hex("10"), tag_of(32), written_address(rtmfp_make_address(b_at, true)),
                  written_address(
                      rtmfp_make_address(udp_endpoint(ip::make_address("10.0.0.5"), 1111), false)),
                  written_address(
                      rtmfp_make_address(udp_endpoint(ip::make_address("fe80::1"), 2222), false))));

    const std::vector<introduction> told = introductions_to(b.client());
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].peer_id, b_id);
    EXPECT_EQ(told[0].address, rtmfp_make_address(a_at, true));
    EXPECT_EQ(told[0].tag, tag_of(32));
}

TEST(RtmfpIntroduction, PeersBehindOneAddressWalkThroughTheAnnouncedOnes) {
    test_server server;
    netconnection_client a(server.endpoint());
    netconnection_client b(server.endpoint());
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(settled_call(a, set_peer_info({"192.168.1.10:5000", "192.168.1.11:5001"})));

    const bytes b_id = peer_id_bytes(b.client());
    for (std::size_t i = 1; i <= 4; ++i) {
        a.client().send_handshake({test_client::introduction_request(b_id, tag_of(9))});
        ASSERT_TRUE(wait_for_chunks(a.client(), hole_punch_reply, i));
        ASSERT_TRUE(
            b.client().run_until([&] { return b.client().count_chunks(punch_request) == i; }, 5s));
    }
    const auto local = [](const char* address, unsigned short port) {
        return rtmfp_make_address(udp_endpoint(ip::make_address(address), port), false);
    };
    std::vector<rtmfp_address> walked;
    for (const introduction& told : introductions_to(b.client())) {
        walked.push_back(told.address);
    }
    EXPECT_EQ(walked,
              (std::vector<rtmfp_address>{local("192.168.1.10", 5000), local("192.168.1.11", 5001),
                                          rtmfp_make_address(a.client().local_endpoint(), true),
                                          local("192.168.1.10", 5000)}));
}

// --- One peer id, several sessions -----------------------------------------------

// Where an introduction to `peer` tells `requester` to find it: the first
// address of the 0x71 answer.
std::optional<rtmfp_address> introduced_at(test_client& requester, const bytes& peer,
                                           const bytes& tag) {
    const std::size_t before = requester.count_chunks(hole_punch_reply);
    requester.send_handshake({test_client::introduction_request(peer, tag)});
    if (!wait_for_chunks(requester, hole_punch_reply, before + 1)) {
        return std::nullopt;
    }
    const bytes body = chunk_bodies(requester, hole_punch_reply).back();
    rtmfp_packet_reader in(body);
    rtmfp_read_vlu_bytes(in);
    return rtmfp_read_address(in);
}

// GCC 12 takes the comparison of two lists of byte vectors below for a
// memcmp past their ends (-Wstringop-overread); each vector compares its
// own size first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overread"
TEST(RtmfpSessionsOfOnePeer, TheStaleOnesEndLeavesTheNewOneInItsGroupsAndReachable) {
    test_server server;
    rtmfp_server_netgroups& groups = *server.server().state().netgroups;
    // A client that comes back with its key pair, from another port; the
    // first session goes silent.
    const bytes private_key = fill(32, 0x5A);
    client_options silent;
    silent.answer_keep_alives = false;
    netconnection_client stale(server.endpoint(), silent), fresh(server.endpoint());
    stale.client().set_key_pair(dh1024_key_pair::from_private_key(private_key));
    fresh.client().set_key_pair(dh1024_key_pair::from_private_key(private_key));
    netconnection_client other(server.endpoint());
    ASSERT_TRUE(stale.connect() && other.connect());
    const bytes peer = peer_id_bytes(stale.client());
    ASSERT_EQ(peer_id_bytes(fresh.client()), peer);
    const std::string group = "G:0101010200010e";
    const std::string key = rtmfp_group_id(parse_group_specifier(group));
    netgroup_member in_stale(stale), in_other(other);
    in_stale.join_by_specifier(group);
    ASSERT_TRUE(stale.call(stat_call(1)));
    in_other.join_by_specifier(group);
    ASSERT_TRUE(in_other.wait_for_members(1, 5s));

    // A session that has sent nothing with its keys may be anyone's who
    // copied the public key: the peer is still reached where it was.
    ASSERT_TRUE(fresh.open());
    EXPECT_EQ(introduced_at(other.client(), peer, tag_of(1)),
              rtmfp_make_address(stale.client().local_endpoint(), true));
    // Connected, the newest session is the peer's.
    ASSERT_TRUE(fresh.call(command_message("connect", 1, connect_object())));
    netgroup_member in_fresh(fresh);
    in_fresh.join_by_specifier(group);
    ASSERT_TRUE(fresh.call(stat_call(2)));
    EXPECT_EQ(groups.member_count({key}), 2) << "one peer id, counted once";
    EXPECT_EQ(introduced_at(other.client(), peer, tag_of(2)),
              rtmfp_make_address(fresh.client().local_endpoint(), true));

    // The stale session times out while the others go on talking.
    server.tick(29);
    ASSERT_TRUE(fresh.call(stat_call(3)) && other.call(stat_call(3)));
    server.tick(2);
    ASSERT_FALSE(server.sessions().find_session(stale.server_session_id()));

    EXPECT_EQ(groups.member_count({key}), 2) << "the peer is still a member";
    netconnection_client joiner(server.endpoint());
    ASSERT_TRUE(joiner.connect());
    netgroup_member in_joiner(joiner);
    in_joiner.join_by_specifier(group);
    ASSERT_TRUE(in_joiner.wait_for_members(2, 5s));
    std::vector<bytes> expected{peer, peer_id_bytes(other.client())};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(in_joiner.members(), expected);
    EXPECT_EQ(introduced_at(joiner.client(), peer, tag_of(3)),
              rtmfp_make_address(fresh.client().local_endpoint(), true));
    EXPECT_TRUE(
        fresh.client().run_until([&] { return introductions_to(fresh.client()).size() == 2; }, 5s))
        << "the fresh session is told of both requests made since it spoke";
}
#pragma GCC diagnostic pop

// --- Limits -------------------------------------------------------------------

// A server on one thread, with a witness: its calls are answered only after
// everything sent to the server before them was handled, so silence can be
// told from slowness.
struct limit_fixture {
    limit_fixture(rtmfp_server_limits limits, rtmfp_pending_limits pending)
        : server({.limits = limits,
                  .options = {.tick_timer = false, .pending = pending},
                  .threads = 1}),
          witness(server.endpoint(), from_address("127.0.0.2")) {}

    void sync() { ASSERT_TRUE(witness.call(stat_call(99))) << "the witness's call"; }
    std::int32_t local_sessions() { return server.sessions().sessions_of(local); }

    test_server server;
    netconnection_client witness;
    const ip::address local = ip::make_address("127.0.0.1");
};

// The cookie a 0x70 in `client`'s packets gave for `tag`.
bytes cookie_given_for(const test_client& client, const bytes& tag) {
    for (const bytes& body : chunk_bodies(client, handshake_reply)) {
        if (bytes(body.begin() + 1, body.begin() + 17) == tag) {
            return cookie_in(body);
        }
    }
    return {};
}

TEST(RtmfpServerLimits, AreKept) {
    const struct {
        const char* name;
        rtmfp_server_limits limits;
        rtmfp_pending_limits pending;
        std::function<void(limit_fixture&)> check;
    } cases[] = {
        {"two sessions per address",
         {.max_sessions_per_ip = 2},
         {},
         [](limit_fixture& f) {
             netconnection_client a(f.server.endpoint());
             netconnection_client b(f.server.endpoint());
             test_client early(f.server.endpoint());
             test_client third(f.server.endpoint());
             ASSERT_TRUE(a.open());
             const bytes cookie = cookie_for(early, tag_of(1));
             ASSERT_FALSE(cookie.empty());
             ASSERT_TRUE(b.open());
             third.send_handshake({test_client::first_contact(app_url, tag_of(2))});
             early.send_handshake({key_exchange_for(early, cookie)});
             f.sync();
             EXPECT_EQ(third.receive(), 0u) << "a third first contact";
             EXPECT_EQ(early.receive(), 0u) << "a cookie from before the second session";
             EXPECT_EQ(f.local_sessions(), 2);

             a.client().send_chunks({test_client::chunk(0x4C, {})});
             ASSERT_TRUE(a.wait_for_end());
             f.server.tick();
             EXPECT_EQ(f.local_sessions(), 1);
             EXPECT_FALSE(cookie_for(third, tag_of(2)).empty()) << "answered after a removal";
         }},
        {"three sessions in all",
         {.max_sessions = 3},
         {},
         [](limit_fixture& f) {
             netconnection_client a(f.server.endpoint());
             netconnection_client b(f.server.endpoint());
             test_client fourth(f.server.endpoint());
             ASSERT_TRUE(a.open());
             ASSERT_TRUE(b.open());
             fourth.send_handshake({key_exchange_for(fourth, cookie_for(fourth, tag_of(1)))});
             f.sync();
             fourth.receive();
             EXPECT_EQ(fourth.count_chunks(key_exchange_reply), 0u);
             EXPECT_EQ(f.server.sessions().session_count(), 3u);
         }},
        {"pending handshakes in number",
         {},
         {.max_count = 4},
         [](limit_fixture& f) {
             test_client c(f.server.endpoint());
             // The witness's handshake holds the first place.
             for (std::uint32_t n = 1; n <= 3; ++n) {
                 ASSERT_FALSE(cookie_for(c, tag_of(n)).empty()) << n;
             }
             c.send_handshake({test_client::first_contact(app_url, tag_of(4))});
             f.sync();
             EXPECT_EQ(c.receive(), 0u);
             EXPECT_EQ(f.server.sessions().pending_handshakes(), 4u);
             f.server.tick(7);
             EXPECT_EQ(f.server.sessions().pending_handshakes(), 0u);
             EXPECT_FALSE(cookie_for(c, tag_of(4)).empty()) << "room again once aged out";
         }},
        {"pending handshakes in bytes",
         {},
         {.max_bytes = 1600},
         [](limit_fixture& f) {
             test_client c(f.server.endpoint());
             c.send_handshake({test_client::first_contact(std::string(1100, 'u'), tag_of(1))});
             f.sync();
             EXPECT_EQ(c.receive(), 0u) << "a long URL";
             EXPECT_FALSE(cookie_for(c, tag_of(2)).empty()) << "a short one";
         }},
        {"1281 tags from one address",
         {},
         {},
         [](limit_fixture& f) {
             test_client c(f.server.endpoint());
             for (std::uint32_t n = 1; n <= 1281; ++n) {
                 c.send_handshake({test_client::first_contact(app_url, tag_of(n))});
                 if (n % 32 == 0 || n == 1281) {
                     ASSERT_TRUE(wait_for_chunks(c, handshake_reply, n)) << n;
                 }
             }
             const bytes first = cookie_given_for(c, tag_of(1));
             ASSERT_FALSE(first.empty());
             EXPECT_EQ(f.server.sessions().pending_handshakes(), 1u + 1281);
             ASSERT_FALSE(cookie_for(c, tag_of(1282)).empty());
             EXPECT_EQ(f.server.sessions().pending_handshakes(), 1u + 1) << "the rest forgotten";
             c.send_handshake({key_exchange_for(c, first)});
             f.sync();
             c.receive();
             EXPECT_EQ(c.count_chunks(key_exchange_reply), 0u);
         }},
        {"a cookie lives six ticks",
         {},
         {},
         [](limit_fixture& f) {
             test_client c(f.server.endpoint());
             const bytes kept = cookie_for(c, tag_of(1));
             const bytes lost = cookie_for(c, tag_of(2));
             f.server.tick(6);
             c.send_handshake({key_exchange_for(c, kept)});
             ASSERT_TRUE(wait_for_chunks(c, key_exchange_reply, 1)) << "through six ticks";
             f.server.tick();
             c.send_handshake({key_exchange_for(c, lost)});
             f.sync();
             c.receive();
             EXPECT_EQ(c.count_chunks(key_exchange_reply), 1u) << "gone at the seventh";
         }},
        {"a silent session goes at the 31st tick",
         {},
         {},
         [](limit_fixture& f) {
             client_options quiet;
             quiet.answer_keep_alives = false;
             netconnection_client c(f.server.endpoint(), quiet);
             ASSERT_TRUE(c.open());
             f.server.tick(30);
             EXPECT_TRUE(f.server.sessions().find_session(c.server_session_id()));
             f.server.tick();
             EXPECT_FALSE(f.server.sessions().find_session(c.server_session_id()));
             EXPECT_EQ(f.local_sessions(), 0);
             // The witness was silent as long.
             EXPECT_EQ(f.server.server().state().session_count, 0);
             EXPECT_TRUE(c.wait_for_end());
             EXPECT_EQ(c.client().count_chunks(0x01), 1u) << "one keep-alive request";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        limit_fixture fixture(c.limits, c.pending);
        ASSERT_TRUE(fixture.witness.connect());
        c.check(fixture);
    }
}

// --- Handshake floods ---------------------------------------------------------

// Limits that a test's few datagrams reach; buckets that never refill, so
// that what gets through does not depend on how fast the test runs.
struct flood_fixture {
    flood_fixture(rtmfp_handshake_limits handshakes, rtmfp_pending_limits pending)
        : server({.options = {.tick_timer = false, .pending = pending, .handshakes = handshakes},
                  .threads = 1}),
          witness(server.endpoint(), from_address("127.0.0.9")) {}

    void sync() { ASSERT_TRUE(witness.call(stat_call(99))) << "the witness's call"; }
    // First contacts with tags of their own from `flooder`; how many
    // cookies it got.
    std::size_t flood(test_client& flooder, std::uint32_t count, std::uint32_t first_tag = 1000) {
        for (std::uint32_t n = 0; n < count; ++n) {
            flooder.send_handshake({test_client::first_contact(app_url, tag_of(first_tag + n))});
        }
        sync();
        flooder.receive();
        return flooder.count_chunks(handshake_reply);
    }

    test_server server;
    netconnection_client witness;
};

rtmfp_handshake_limits no_rates() {
    rtmfp_handshake_limits limits;
    limits.datagrams_per_address = limits.datagrams = {0, 1e9};
    limits.key_exchanges_per_address = limits.key_exchanges = {0, 1e9};
    return limits;
}

// No rate but `rate` on what `limited` counts.
rtmfp_handshake_limits only(rtmfp_rate rtmfp_handshake_limits::*limited, rtmfp_rate rate) {
    rtmfp_handshake_limits limits = no_rates();
    limits.*limited = rate;
    return limits;
}

TEST(RtmfpHandshakeFlood, IsDroppedBeyondTheLimitsWhileOthersGetIn) {
    const struct {
        const char* name;
        rtmfp_handshake_limits handshakes;
        rtmfp_pending_limits pending;
        std::function<void(flood_fixture&)> flood;
    } cases[] = {
        {"first contacts beyond an address's rate",
         only(&rtmfp_handshake_limits::datagrams_per_address, {0, 10}),
         {},
         [](flood_fixture& f) {
             test_client flooder(f.server.endpoint(), from_address("127.0.0.2"));
             EXPECT_EQ(f.flood(flooder, 30), 10u);
             EXPECT_EQ(f.server.sessions().pending_handshakes(), 1u + 10);
         }},
        {"first contacts beyond what all may send",
         // The witness's handshake takes a few; then two a second, as the
         // other client gets in.
         only(&rtmfp_handshake_limits::datagrams, {2, 22}),
         {},
         [](flood_fixture& f) {
             test_client one(f.server.endpoint(), from_address("127.0.0.2"));
             test_client two(f.server.endpoint(), from_address("127.0.0.3"));
             const std::size_t got = f.flood(one, 30) + f.flood(two, 30);
             EXPECT_GE(got, 10u);
             EXPECT_LT(got, 60u);
         }},
        {"key exchanges beyond an address's rate",
         only(&rtmfp_handshake_limits::key_exchanges_per_address, {0, 2}),
         {},
         [](flood_fixture& f) {
             test_client flooder(f.server.endpoint(), from_address("127.0.0.2"));
             std::vector<bytes> cookies;
             for (std::uint32_t n = 1; n <= 4; ++n) {
                 cookies.push_back(cookie_for(flooder, tag_of(n)));
             }
             for (const bytes& cookie : cookies) {
                 flooder.send_handshake({key_exchange_for(flooder, cookie)});
             }
             f.sync();
             flooder.receive();
             EXPECT_EQ(flooder.count_chunks(key_exchange_reply), 2u);
             EXPECT_EQ(f.server.sessions().sessions_of(ip::make_address("127.0.0.2")), 2);
             // A key exchange answered already is answered again, uncounted.
             flooder.send_handshake({key_exchange_for(flooder, cookies[0])});
             EXPECT_TRUE(wait_for_chunks(flooder, key_exchange_reply, 3));
         }},
        {"pending handshakes of busy addresses",
         no_rates(),
         {.max_count = 24, .max_per_address_when_busy = 4},
         [](flood_fixture& f) {
             // The witness's handshake, answered, holds one place. Beyond
             // twelve the room is short, and an address holding four
             // unanswered gets no more.
             test_client first(f.server.endpoint(), from_address("127.0.0.2"));
             test_client second(f.server.endpoint(), from_address("127.0.0.3"));
             EXPECT_EQ(f.flood(first, 20), 12u);
             EXPECT_EQ(f.flood(second, 20), 4u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flood_fixture fixture(c.handshakes, c.pending);
        ASSERT_TRUE(fixture.witness.connect());
        c.flood(fixture);
        netconnection_client legitimate(fixture.server.endpoint());
        EXPECT_TRUE(legitimate.connect()) << "a client of another address";
    }
}

// --- Hostile datagrams -----------------------------------------------------

// 36 random bytes addressed to `session_id`.
bytes addressed_to(std::uint32_t session_id, std::uint32_t seed) {
    bytes datagram = random_bytes_of(36, seed);
    for (int i = 0; i < 4; ++i) {
        datagram[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(
            (session_id >> (24 - 8 * i)) ^ datagram[4 + i] ^ datagram[8 + i]);
    }
    return datagram;
}

TEST(RtmfpServerHostileDatagrams, AreDroppedAndTheServerGoesOn) {
    test_server server({.threads = 1});
    test_client sender(server.endpoint());
    bytes p_minus_1 = group_prime;
    p_minus_1.back() -= 1;

    const struct {
        const char* name;
        std::function<std::vector<bytes>()> make;
        // On the main port; the port-1 socket answers nothing.
        std::size_t answers = 0;
    } cases[] = {
        {"short and long datagrams",
         [] {
             std::vector<bytes> datagrams;
             for (const std::size_t size : {19, 21, 1205, 1304, 2000, 65507}) {
                 datagrams.push_back(random_bytes_of(size, static_cast<std::uint32_t>(size)));
             }
             return datagrams;
         }},
        {"a first contact with 16 bytes more than a block",
         [&] {
             // Whole, the first 1204 bytes would be a valid datagram.
             bytes datagram = sender.handshake_datagram(
                 {test_client::first_contact(std::string(1160, 'u'), tag_of(4))});
             EXPECT_EQ(datagram.size(), 1204u);
             datagram.insert(datagram.end(), 16, 0xFF);
             return std::vector<bytes>{datagram};
         }},
        {"unknown session ids",
         [] {
             return std::vector<bytes>{addressed_to(0x7FFF1234, 1), addressed_to(0xFFFFFFFF, 2)};
         }},
        {"random bytes to session 0",
         [] {
             return std::vector<bytes>{addressed_to(0, 3), addressed_to(0, 4)};
         }},
        {"a wrong checksum",
         [&] {
             bytes datagram =
                 sender.handshake_datagram({test_client::first_contact(app_url, tag_of(1))});
             datagram[10] ^= 0x01;
             return std::vector<bytes>{datagram};
         }},
        {"a key exchange for a cookie never given",
         [&] {
             return std::vector<bytes>{
                 sender.handshake_datagram({key_exchange_for(sender, fill(64, 0xC0))})};
         }},
        {"a key exchange with another address's cookie",
         [&] {
             test_client elsewhere(server.endpoint(), from_address("127.0.0.3"));
             return std::vector<bytes>{sender.handshake_datagram(
                 {key_exchange_for(sender, cookie_for(elsewhere, tag_of(2)))})};
         }},
        {"client keys 0, 1, p - 1 and p",
         [&] {
             test_client helper(server.endpoint());
             const bytes cookie = cookie_for(helper, tag_of(3));
             std::vector<bytes> datagrams;
             for (const bytes& key : {hex("00"), hex("01"), p_minus_1, group_prime}) {
                 datagrams.push_back(
                     sender.handshake_datagram({key_exchange_for(sender, cookie, key)}));
             }
             return datagrams;
         }},
        {"ten first contacts in one datagram",
         [&] {
             std::vector<bytes> chunks;
             for (std::uint32_t n = 0; n < 10; ++n) {
                 chunks.push_back(test_client::first_contact(app_url, tag_of(100 + n)));
             }
             return std::vector<bytes>{sender.handshake_datagram(chunks)};
         },
         1},
        {"datagrams for a closed session",
         [&] {
             netconnection_client closed(server.endpoint());
             EXPECT_TRUE(closed.connect());
             closed.client().send_chunks({test_client::chunk(0x4C, {})});
             EXPECT_TRUE(closed.wait_for_end());
             return std::vector<bytes>{closed.client().datagram({test_client::ping()}),
                                       closed.client().datagram({test_client::ping()})};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<bytes> datagrams = c.make();
        for (const udp_endpoint& to : {server.endpoint(), server.detect_nat_endpoint()}) {
            sender.set_server(to);
            for (const bytes& datagram : datagrams) {
                sender.send_datagram(datagram);
            }
        }
        netconnection_client next(server.endpoint());
        EXPECT_TRUE(next.connect()) << "a client connects after them";
        EXPECT_EQ(sender.receive(std::chrono::milliseconds(c.answers == 0 ? 0 : 5000)), c.answers);
    }
}

TEST(RtmfpHandshake, RefusedClientKeysLeaveTheCookieUsable) {
    test_server server({.threads = 1});
    test_client c(server.endpoint());
    const bytes cookie = cookie_for(c, tag_of(1));
    bytes p_minus_1 = group_prime;
    p_minus_1.back() -= 1;
    for (const bytes& key : {hex("00"), hex("01"), p_minus_1, group_prime}) {
        c.send_handshake({key_exchange_for(c, cookie, key)});
    }
    c.send_handshake({key_exchange_for(c, cookie)});
    ASSERT_TRUE(wait_for_chunks(c, key_exchange_reply, 1));
    EXPECT_EQ(c.count_chunks(key_exchange_reply), 1u);
    EXPECT_EQ(server.sessions().session_count(), 1u);
}

// --- Load and stop -----------------------------------------------------------

constexpr int many_clients = 64;

// Many client threads: each looks at its timers less often and resends
// later, so that a slow machine is not flooded with copies.
client_options calm() {
    client_options options;
    options.poll_interval = std::chrono::milliseconds(10);
    options.resend_after = std::chrono::milliseconds(200);
    return options;
}

// The server's own timer runs: packets lost under the load are sent again
// at its ticks, as they would be in service.
const server_setup loaded{.options = {.tick_timer = true}, .threads = 4};

TEST(RtmfpServerLoad, ManyClientsHandshakeAndCallAtOnce) {
    test_server server(loaded);
    std::atomic<int> done{0};
    std::mutex failures_mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int i = 0; i < many_clients; ++i) {
        threads.emplace_back([&] {
            netconnection_client c(server.endpoint(), calm());
            const char* failed = nullptr;
            if (!c.connect()) {
                failed = c.client().has_session() ? "connect" : "handshake";
            } else if (!c.call(set_peer_info({"10.0.0.1:1000"}))) {
                failed = "setPeerInfo";
            } else if (c.call(command_message("createStream", 2, amf0_null_value())) !=
                       create_stream_failed(2, "Not allow to create stream")) {
                failed = "createStream";
            } else if (!c.call(stat_call(3))) {
                failed = "stat";
            }
            if (!failed) {
                ++done;
                return;
            }
            std::lock_guard lock(failures_mutex);
            failures.push_back(std::string(failed) +
                               (c.client().session_ended() ? " (session ended)" : ""));
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(done, many_clients) << ::testing::PrintToString(failures);
    EXPECT_EQ(server.events().connects.size(), std::size_t{many_clients});
}

TEST(RtmfpServerLoad, StopWhileClientsSendTellsEachOfThem) {
    test_server server(loaded);
    std::atomic<int> tried{0};
    std::atomic<int> connected{0};
    std::atomic<int> told{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < many_clients; ++i) {
        threads.emplace_back([&] {
            netconnection_client c(server.endpoint(), calm());
            const bool in = c.connect();
            connected += in ? 1 : 0;
            ++tried;
            if (!in) {
                return;
            }
            const auto give_up = std::chrono::steady_clock::now() + 30s;
            for (double n = 2;
                 !c.client().session_ended() && std::chrono::steady_clock::now() < give_up; ++n) {
                c.send(stat_call(n));
                c.client().pump(c.client().options().poll_interval);
            }
            told += c.client().session_ended() ? 1 : 0;
        });
    }
    // Each connect ends within its own time limits.
    while (tried < many_clients) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(connected, many_clients);
    server.server().stop();
    server.server().stop();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(told, connected.load()) << "each was told the session ended";
    server.server().join();
    EXPECT_EQ(server.server().pool().outstanding(), 0u);
    EXPECT_EQ(server.events().disconnects, connected.load());
}

}  // namespace
