// The streams of a server session through a running server: NetGroups,
// NetStreams with an application's handlers and sinks, and NAT detection
// with the retry and the deadline in the test's hands.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "rtmfp/netgroup_stream.hpp"
#include "rtmfp/server.hpp"
#include "rtmfp/server_netstream.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/test_bytes.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
using platform::testing::eventually;
namespace ip = boost::asio::ip;

constexpr std::uint8_t punch_request = 0x0F;

// Timers that fire when the test says.
class manual_timers : public rtmfp_timers {
  public:
    void after(std::chrono::milliseconds delay, std::function<void()> due) override {
        std::lock_guard lock(mutex_);
        pending_.push_back({delay, std::move(due)});
    }

    // Fires the timers set so far for `delay`; how many.
    std::size_t fire(std::chrono::milliseconds delay) {
        std::vector<std::function<void()>> due;
        {
            std::lock_guard lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->delay == delay) {
                    due.push_back(std::move(it->due));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const auto& call : due) {
            call();
        }
        return due.size();
    }

  private:
    struct timer {
        std::chrono::milliseconds delay;
        std::function<void()> due;
    };
    std::mutex mutex_;
    std::vector<timer> pending_;
};

// What the application saw of its streams.
struct stream_record {
    struct play {
        std::string name;
        double start = 0;
        double duration = 0;
        bool reset = true;
        bool operator==(const play&) const = default;
    };
    std::vector<play> plays;
    std::vector<std::string> publishes;
    std::vector<std::string> other_commands;
    int closes = 0;
    // "audio 7 aabb", "video ..."
    std::vector<std::string> media;
    int sinks_released = 0;
};

class recorder {
  public:
    template <class F>
    auto locked(F&& f) {
        std::lock_guard lock(mutex_);
        return f(record_);
    }

  private:
    std::mutex mutex_;
    stream_record record_;
};

std::string text_of(const amf0_string& value) {
    return value.value.str();
}

class recording_sink : public rtmfp_media_sink {
  public:
    explicit recording_sink(recorder& record) : record_(record) {}
    ~recording_sink() override {
        record_.locked([](stream_record& r) { return ++r.sinks_released; });
    }
    void on_video(std::uint32_t time, const std::uint8_t* b, std::uint32_t length) override {
        add("video", time, b, length);
    }
    void on_audio(std::uint32_t time, const std::uint8_t* b, std::uint32_t length) override {
        add("audio", time, b, length);
    }

  private:
    void add(const char* kind, std::uint32_t time, const std::uint8_t* b, std::uint32_t length) {
        std::string entry = std::string(kind) + " " + std::to_string(time) + " ";
        entry.append(reinterpret_cast<const char*>(b), length);
        record_.locked([&](stream_record& r) {
            r.media.push_back(entry);
            return 0;
        });
    }
    recorder& record_;
};

// Takes every play and publish: a play marks the stream playing, a publish
// marks it publishing and attaches a sink.
class recording_handler : public rtmfp_netstream_handler {
  public:
    recording_handler(rtmfp_server_netstream& stream, recorder& record)
        : stream_(stream), record_(record) {}

    bool on_play(const amf0_string& name, double start, double duration, bool reset) override {
        record_.locked([&](stream_record& r) {
            r.plays.push_back({text_of(name), start, duration, reset});
            return 0;
        });
        stream_.set_mode(rtmfp_server_netstream::playing);
        return true;
    }
    bool on_publish(const amf0_string& name, const amf0_string& type) override {
        record_.locked([&](stream_record& r) {
            r.publishes.push_back(text_of(name) + " " + text_of(type));
            return 0;
        });
        stream_.set_mode(rtmfp_server_netstream::publishing);
        stream_.add_sink(std::make_unique<recording_sink>(record_));
        return true;
    }
    bool on_pause(bool pause, double time) override {
        return note(std::string("pause ") + (pause ? "1 " : "0 ") + std::to_string(int(time)));
    }
    bool on_seek(double time) override { return note("seek " + std::to_string(int(time))); }
    void on_close() override {
        record_.locked([](stream_record& r) { return ++r.closes; });
    }

  private:
    bool note(const std::string& what) {
        record_.locked([&](stream_record& r) {
            r.other_commands.push_back(what);
            return 0;
        });
        return true;
    }
    rtmfp_server_netstream& stream_;
    recorder& record_;
};

// Accepts every connect; gives NetStreams the recording handler; groups
// meet under "app/" and their id, except ids that begin with 0xEE.
class stream_application : public rtmfp_server_handler {
  public:
    bool on_connect(const std::shared_ptr<rtmfp_server_session>& session, amf0_object&,
                    buffer_reader&) override {
        session->add_connection_handler(0, std::make_unique<connection>(record_));
        return true;
    }
    void on_disconnect(const std::shared_ptr<rtmfp_server_session>&) override {}

    recorder& record() { return record_; }

  private:
    class connection : public rtmfp_connection_handler {
      public:
        explicit connection(recorder& record) : record_(record) {}
        void on_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) override {
            if (auto* netstream = dynamic_cast<rtmfp_server_netstream*>(stream.get())) {
                netstream->add_handler(0, std::make_unique<recording_handler>(*netstream, record_));
            }
        }
        void on_stream_deleted(const std::shared_ptr<rtmfp_netstream>&) override {}
        bool resolve_group_name(const std::string& group_id, std::string& group_key) override {
            group_key = "app/" + group_id;
            return group_id.empty() || static_cast<std::uint8_t>(group_id[0]) != 0xEE;
        }
        bool on_call(light_string, double, amf0_based&, buffer_reader&) override { return true; }

      private:
        recorder& record_;
    };

    recorder record_;
};

struct fixture_setup {
    rtmfp_server_limits limits{.allow_create_stream = 1};
    std::size_t threads = 2;
};

// A server with the stream application and manual NAT timers.
class stream_server {
  public:
    explicit stream_server(fixture_setup setup = {})
        : timers_(std::make_shared<manual_timers>()),
          application_(std::make_shared<stream_application>()),
          server_({udp_endpoint(ip::make_address("127.0.0.1"), 0)}, 0, 0, setup.limits,
                  {.tick_timer = false, .timers = timers_}) {
        server_.sessions().add_handler(0, application_);
        server_.start(setup.threads);
    }
    ~stream_server() { server_.join(); }

    udp_endpoint endpoint() const { return server_.local_endpoints().at(0); }
    udp_endpoint detect_nat_endpoint() const { return server_.detect_nat_endpoints().at(0); }
    rtmfp_server_netgroups& netgroups() { return *server_.state().netgroups; }
    manual_timers& timers() { return *timers_; }
    recorder& record() { return application_->record(); }
    std::shared_ptr<rtmfp_server_session> session_of(netconnection_client& c) {
        return server_.sessions().find_session(c.server_session_id());
    }

  private:
    std::shared_ptr<manual_timers> timers_;
    std::shared_ptr<stream_application> application_;
    rtmfp_server server_;
};

bytes vlu_bytes(const bytes& value) {
    return cat(test_client::vlu(static_cast<std::uint32_t>(value.size())), value);
}

// --- NetGroups -----------------------------------------------------------------

// A NetGroup stream that waits for the NetConnection to answer a stat:
// then everything sent before it has been handled.
class group_member : public netgroup_member {
  public:
    explicit group_member(netconnection_client& c) : netgroup_member(c), c_(c) {}
    void settle() { ASSERT_TRUE(c_.call(stat_call(50))); }

  private:
    netconnection_client& c_;
};

const char* const specifier = "G:0101010200010e";

std::string group_key_of(const std::string& text) {
    return "app/" + rtmfp_group_id(parse_group_specifier(text));
}

// GCC 12 takes the comparison of two lists of byte vectors below for a
// memcmp past their ends (-Wstringop-overread); each vector compares its
// own size first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overread"
TEST(RtmfpNetGroup, MembersOfAGroupLearnEachOther) {
    stream_server server;
    netconnection_client a(server.endpoint()), b(server.endpoint()), c(server.endpoint());
    ASSERT_TRUE(a.connect() && b.connect() && c.connect());
    group_member ga(a), gb(b), gc(c);

    ga.join_by_specifier(specifier);
    ga.settle();
    EXPECT_TRUE(ga.members().empty());
    // The same group by its id.
    const std::string id = rtmfp_group_id(parse_group_specifier(specifier));
    gb.join_by_id(bytes(id.begin(), id.end()));
    ASSERT_TRUE(b.client().run_until([&] { return gb.members().size() == 1; }, 5s));
    EXPECT_EQ(gb.members(), std::vector<bytes>{peer_id_bytes(a.client())});
    // Specifiers that differ only after the separator name one group.
    gc.join_by_specifier("G:01010102000216ff");
    ASSERT_TRUE(c.client().run_until([&] { return gc.members().size() == 2; }, 5s));
    std::vector<bytes> expected{peer_id_bytes(a.client()), peer_id_bytes(b.client())};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(gc.members(), expected);

    const std::string key = group_key_of(specifier);
    EXPECT_EQ(server.netgroups().member_count({key}), 3);
    for (const bytes& message : gc.messages()) {
        EXPECT_EQ(message.size(), 33u);
        EXPECT_EQ(message.at(0), 0x0B);
    }
    // "stat" counts the members of the groups the session joined.
    EXPECT_EQ(c.call(stat_call(9)),
              cat(command_message("_result", 9, amf0_null_value()),
                  amf0_object_of({{"sessions", amf0_num(3)}, {"groupSessions", amf0_num(3)}})));

    // A session that ends leaves its groups; the last member takes the
    // group with it.
    c.client().send_chunks({test_client::chunk(0x4C, {})});
    ASSERT_TRUE(eventually([&] { return server.netgroups().member_count({key}) == 2; }));
    EXPECT_EQ(gb.members().size(), 1u) << "nothing more for the others";
    a.client().send_chunks({test_client::chunk(0x4C, {})});
    b.client().send_chunks({test_client::chunk(0x4C, {})});
    EXPECT_TRUE(eventually([&] { return server.netgroups().group_count() == 0; }));
}
#pragma GCC diagnostic pop

TEST(RtmfpNetGroup, SessionsThatHaveNotConnectedMeetNobody) {
    stream_server server;
    netconnection_client a(server.endpoint()), b(server.endpoint());
    ASSERT_TRUE(a.open() && b.open());
    group_member ga(a), gb(b);

    // The handshake alone: no application has named their group.
    ga.join_by_specifier(specifier);
    ga.settle();
    gb.join_by_specifier(specifier);
    gb.settle();
    EXPECT_TRUE(gb.members().empty());
    EXPECT_EQ(server.netgroups().group_count(), 0u);

    // Connected, the same joins meet.
    ASSERT_TRUE(a.call(command_message("connect", 1, connect_object())));
    ASSERT_TRUE(b.call(command_message("connect", 1, connect_object())));
    ga.join_by_specifier(specifier);
    ga.settle();
    gb.join_by_specifier(specifier);
    ASSERT_TRUE(gb.wait_for_members(1, 5s));
    EXPECT_EQ(gb.members(), std::vector<bytes>{peer_id_bytes(a.client())});
    EXPECT_TRUE(ga.members().empty());
}

TEST(RtmfpNetGroup, JoinsOutsideTheRulesAreIgnored) {
    stream_server server({.limits = {.max_groups_per_session = 3}});
    netconnection_client a(server.endpoint()), b(server.endpoint());
    ASSERT_TRUE(a.connect() && b.connect());
    group_member ga(a), gb(b);
    const bytes id32(32, 0x42);

    ga.join_by_id(id32);
    ga.join_by_id(bytes(31, 0x43));  // no digest
    ga.join_by_id(bytes(33, 0x44));  // no digest
    ga.join_by_id(bytes(32, 0xEE));  // refused by the application
    ga.send(cat(hex("12"), id32));   // an unknown kind of join
    ga.send(hex("15"));              // too short to be anything
    ga.join_by_id(id32);             // again
    ga.join_by_id(bytes(32, 0x45));
    ga.join_by_id(bytes(32, 0x46));  // the third group
    ga.join_by_id(bytes(32, 0x47));  // one too many
    ga.settle();
    const auto key = [](std::uint8_t fill) { return "app/" + std::string(32, char(fill)); };
    EXPECT_EQ(server.netgroups().group_count(), 3u);
    EXPECT_EQ(server.netgroups().member_count({key(0x42), key(0x45), key(0x46)}), 3);

    // Nothing of that was answered, and the session goes on.
    gb.join_by_id(id32);
    ASSERT_TRUE(b.client().run_until([&] { return gb.members().size() == 1; }, 5s));
    EXPECT_TRUE(ga.members().empty());
    EXPECT_FALSE(a.client().session_ended());
}

TEST(RtmfpNetGroup, AMalformedSpecifierEndsTheSession) {
    stream_server server;
    for (const char* bad : {"G:0101", "G:0101000001", "G:0301020300050201"}) {
        netconnection_client a(server.endpoint());
        ASSERT_TRUE(a.connect());
        group_member ga(a);
        ga.join_by_specifier(bad);
        EXPECT_TRUE(a.wait_for_end()) << bad;
    }
    EXPECT_EQ(server.netgroups().group_count(), 0u);
}

// --- NetStreams ------------------------------------------------------------------

// A client's NetStream, made by createStream.
class stream_client {
  public:
    explicit stream_client(netconnection_client& c) : c_(c) {}

    bool create() {
        const std::optional<bytes> reply =
            c_.call(command_message("createStream", 2, amf0_null_value()));
        if (!reply || reply->size() < 9) {
            return false;
        }
        id_ = static_cast<std::uint8_t>(amf0_double_at_end(*reply));
        flow_ = c_.client().open_flow(cat(hex("00 54 43 04"), test_client::vlu(id_)));
        return true;
    }
    void send(const bytes& message) {
        c_.client().send_message(flow_, message);
        c_.client().flush();
    }
    void command(std::string_view name, const std::vector<bytes>& args) {
        send(command_message(name, 0, amf0_null_value(), args));
    }
    std::vector<bytes> replies() {
        const server_flow* flow = c_.client().flow_answering(flow_);
        return flow == nullptr ? std::vector<bytes>{} : flow->messages;
    }
    void settle() { ASSERT_TRUE(c_.call(stat_call(60))); }

  private:
    static double amf0_double_at_end(const bytes& reply) {
        std::uint64_t bits = 0;
        for (std::size_t i = reply.size() - 8; i < reply.size(); ++i) {
            bits = bits << 8 | reply[i];
        }
        return std::bit_cast<double>(bits);
    }

    netconnection_client& c_;
    std::uint32_t id_ = 0;
    std::uint32_t flow_ = 0;
};

bytes play_failed() {
    return cat(
        command_message("onStatus", 0, amf0_null_value()),
        status_object("status", "NetStream.Play.Failed", "Another play or publish is in progress"));
}

bytes media(std::uint8_t type, std::uint32_t time, std::string_view payload) {
    return cat(bytes{type, std::uint8_t(time >> 24), std::uint8_t(time >> 16),
                     std::uint8_t(time >> 8), std::uint8_t(time)},
               to_bytes(payload));
}

TEST(RtmfpNetStream, PlayTakesItsDefaultsAndRefusesASecondOne) {
    stream_server server;
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    stream_client stream(c);
    ASSERT_TRUE(stream.create());

    stream.command("play", {amf0_text("first")});
    stream.command("play", {amf0_text("second"), amf0_num(5), amf0_num(10), hex("01 01")});
    stream.command("publish", {amf0_text("third"), amf0_text("live")});
    stream.command("pause", {hex("01 01"), amf0_num(1500)});
    stream.command("seek", {amf0_num(2500)});
    stream.command("unknown", {amf0_num(1)});
    ASSERT_TRUE(c.client().run_until([&] { return stream.replies().size() == 2; }, 5s));
    stream.settle();
    EXPECT_EQ(stream.replies(), (std::vector<bytes>{play_failed(), play_failed()}));
    server.record().locked([](stream_record& r) {
        EXPECT_EQ(r.plays, (std::vector<stream_record::play>{{"first", 0, -1, false}}));
        EXPECT_TRUE(r.publishes.empty());
        EXPECT_EQ(r.other_commands, (std::vector<std::string>{"pause 1 1500", "seek 2500"}));
        return 0;
    });

    // closeStream makes the stream idle again.
    stream.command("closeStream", {});
    stream.command("play", {amf0_text("again"), amf0_num(5), amf0_num(10), hex("01 01")});
    stream.settle();
    server.record().locked([](stream_record& r) {
        EXPECT_EQ(r.closes, 1);
        EXPECT_EQ(r.plays.back(), (stream_record::play{"again", 5, 10, true}));
        return 0;
    });
    EXPECT_EQ(stream.replies().size(), 2u);
}

TEST(RtmfpNetStream, MalformedCommandsEndTheSession) {
    stream_server server;
    const std::vector<std::pair<std::string, std::vector<bytes>>> cases = {
        {"play", {amf0_text("a"), amf0_num(5)}},  // a start without a duration
        {"play", {amf0_num(1)}},                  // a number for a name
        {"publish", {amf0_text("a")}},            // no type
        {"pause", {amf0_num(1), amf0_num(1)}},    // a number for the flag
        {"seek", {}},                             // no time
    };
    for (const auto& [name, args] : cases) {
        netconnection_client c(server.endpoint());
        ASSERT_TRUE(c.connect());
        stream_client stream(c);
        ASSERT_TRUE(stream.create());
        stream.command(name, args);
        EXPECT_TRUE(c.wait_for_end()) << name;
    }
}

TEST(RtmfpNetStream, MediaReachTheSinksOnlyWhilePublishing) {
    stream_server server;
    netconnection_client c(server.endpoint());
    ASSERT_TRUE(c.connect());
    stream_client stream(c);
    ASSERT_TRUE(stream.create());

    stream.command("publish", {amf0_text("live"), amf0_text("record")});
    stream.send(media(0x08, 7, "aa"));
    stream.send(media(0x09, 8, "vv"));
    stream.command("closeStream", {});
    stream.settle();
    server.record().locked([](stream_record& r) {
        EXPECT_EQ(r.publishes, std::vector<std::string>{"live record"});
        EXPECT_EQ(r.media, (std::vector<std::string>{"audio 7 aa", "video 8 vv"}));
        EXPECT_EQ(r.sinks_released, 1) << "closeStream drops the sinks";
        return 0;
    });

    // Idle again: media now end the session.
    stream.send(media(0x09, 9, "late"));
    EXPECT_TRUE(c.wait_for_end());
    server.record().locked([](stream_record& r) {
        EXPECT_EQ(r.media.size(), 2u);
        return 0;
    });

    // Never published at all.
    netconnection_client other(server.endpoint());
    ASSERT_TRUE(other.connect());
    stream_client never(other);
    ASSERT_TRUE(never.create());
    never.send(media(0x08, 1, "x"));
    EXPECT_TRUE(other.wait_for_end());
}

// --- NAT detection -----------------------------------------------------------------

std::string address_text(const udp_endpoint& at) {
    return at.address().to_string() + ":" + std::to_string(at.port());
}

// What the client answers a probe with: 0x70 with the tag, then a cookie
// and a certificate of its own lengths, sealed with the default key.
bytes probe_answer(test_client& client, const bytes& tag) {
    const bytes body = cat(vlu_bytes(tag), vlu_bytes(bytes(8, 0xC0)), bytes(10, 0xCE));
    return client.handshake_datagram({test_client::chunk(0x70, body)});
}

// A client on the loopback address whose NAT the server probes.
class probed_client {
  public:
    explicit probed_client(stream_server& server) : server_(server), c_(server.endpoint()) {}

    bool connect() { return c_.connect(); }
    netconnection_client& connection() { return c_; }
    udp_endpoint at() { return c_.client().local_endpoint(); }

    // The probes that came so far.
    std::vector<introduction> probes() { return punch_requests(c_.client()); }
    bool wait_for_probes(std::size_t count) {
        return c_.client().run_until([&] { return probes().size() >= count; }, 5s);
    }

    // The answer to a probe: from our own socket, or from another one.
    void answer(const bytes& tag, bool from_our_socket = true) {
        const bytes datagram = probe_answer(c_.client(), tag);
        if (from_our_socket) {
            c_.client().set_server(server_.detect_nat_endpoint());
            c_.client().send_datagram(datagram);
            c_.client().set_server(server_.endpoint());
            return;
        }
        boost::asio::io_context io;
        ip::udp::socket other(io, udp_endpoint(ip::make_address("127.0.0.1"), 0));
        other.send_to(boost::asio::buffer(datagram), server_.detect_nat_endpoint());
    }

    // The connectivity results the NetConnection sent so far.
    std::vector<bytes> results() {
        const std::string code = "NetConnection.ConnectivityCheck.Results";
        std::vector<bytes> found;
        for (const bytes& reply : c_.replies()) {
            if (std::search(reply.begin(), reply.end(), code.begin(), code.end()) != reply.end()) {
                found.push_back(reply);
            }
        }
        return found;
    }
    bool wait_for_results(std::size_t count) {
        return c_.client().run_until([&] { return results().size() >= count; }, 5s);
    }
    // Gives stray answers time to arrive and be dropped.
    void linger() { c_.client().pump(200ms); }

  private:
    stream_server& server_;
    netconnection_client c_;
};

bytes amf0_bool_value(bool value) {
    return {0x01, std::uint8_t(value ? 1 : 0)};
}

struct expected_results {
    std::string public_address;
    std::vector<std::string> local_addresses;
    std::int32_t nat_type = 0;
    bool public_is_local = false;
    bool ports_match = false;
};

bytes connectivity_results(const expected_results& e) {
    const char* const names[] = {"unknown", "noNat", "cone", "restricCone", "symmetric"};
    const bool easy = e.nat_type == 1 || e.nat_type == 2;
    bytes locals = {0x0A, 0, 0, 0, std::uint8_t(e.local_addresses.size())};
    for (const std::string& local : e.local_addresses) {
        locals = cat(locals, amf0_text(local));
    }
    return cat(command_message("onStatus", 0, amf0_null_value()),
               amf0_object_of({
                   {"level", amf0_text("status")},
                   {"code", amf0_text("NetConnection.ConnectivityCheck.Results")},
                   {"description", amf0_text("Connectivity Check Results")},
                   {"publicAddress", amf0_text(e.public_address)},
                   {"localAddresses", locals},
                   {"sendAfterIntroductionPreservesSourceAddress", amf0_bool_value(true)},
                   {"sendAfterIntroductionAllowed", amf0_bool_value(true)},
                   {"receiveSameAddressDifferentPortAllowed", amf0_bool_value(easy)},
                   {"publicAddressIsLocal", amf0_bool_value(e.public_is_local)},
                   {"receiveDifferentAddressDifferentPortAllowed", amf0_bool_value(easy)},
                   {"sendAfterIntroductionPreservesSourcePort", amf0_bool_value(e.nat_type != 4)},
                   {"publicPortMatchesLocalPort", amf0_bool_value(e.ports_match)},
                   {"receiveSameAddressSamePortAllowed", amf0_bool_value(true)},
                   {"natType", amf0_text(names[e.nat_type])},
               }));
}

TEST(RtmfpNatDetection, AClientThatAnnouncesWhereItIsHasNoNat) {
    stream_server server;
    probed_client c(server);
    ASSERT_TRUE(c.connect());
    const std::string own = address_text(c.at());
    c.connection().send(set_peer_info({own, "[fe80::1]:2222", "10.0.0.5:1111"}));
    ASSERT_TRUE(c.wait_for_results(1));
    EXPECT_EQ(c.results()[0],
              connectivity_results({.public_address = own,
                                    .local_addresses = {own, "[fe80::1]:2222", "10.0.0.5:1111"},
                                    .nat_type = 1,
                                    .public_is_local = true,
                                    .ports_match = true}));
    c.linger();
    EXPECT_TRUE(c.probes().empty());
    EXPECT_EQ(server.timers().fire(2000ms), 0u);
}

// How the client deals with the probes, and what the server makes of it.
enum class probe_reaction { answer_first, answer_retry, answer_from_elsewhere, stay_silent };

TEST(RtmfpNatDetection, TheAnswerToTheProbeTellsTheNatType) {
    struct outcome {
        probe_reaction reaction;
        std::int32_t nat_type;
    };
    for (const outcome o :
         {outcome{probe_reaction::answer_first, 2}, outcome{probe_reaction::answer_retry, 3},
          outcome{probe_reaction::answer_from_elsewhere, 4},
          outcome{probe_reaction::stay_silent, 0}}) {
        SCOPED_TRACE(o.nat_type);
        stream_server server({.threads = 1});
        probed_client c(server);
        ASSERT_TRUE(c.connect());
        c.connection().send(set_peer_info({"10.0.0.5:1111"}));
        ASSERT_TRUE(c.wait_for_probes(1));

        // The probe introduces the client to the first detection port.
        const introduction first = c.probes()[0];
        EXPECT_EQ(first.peer_id, peer_id_bytes(c.connection().client()));
        EXPECT_EQ(first.address, rtmfp_make_address(server.detect_nat_endpoint(), true));
        ASSERT_EQ(first.tag.size(), 16u);
        EXPECT_EQ(bytes(first.tag.end() - 4, first.tag.end()), to_bytes("DNAT"));
        EXPECT_EQ(rtmfp_probe_tag_session(first.tag), c.connection().server_session_id());

        switch (o.reaction) {
            case probe_reaction::answer_first:
                c.answer(first.tag);
                break;
            case probe_reaction::answer_from_elsewhere:
                c.answer(first.tag, false);
                break;
            case probe_reaction::answer_retry: {
                ASSERT_EQ(server.timers().fire(500ms), 1u);
                ASSERT_TRUE(c.wait_for_probes(2));
                const bytes retry = c.probes()[1].tag;
                EXPECT_NE(retry, first.tag);
                // Neither an answer to the first probe nor a longer tag
                // counts (from elsewhere they would mean "symmetric").
                c.answer(first.tag, false);
                c.answer(cat(retry, hex("00")), false);
                c.linger();
                EXPECT_TRUE(c.results().empty());
                c.answer(retry);
                break;
            }
            case probe_reaction::stay_silent:
                ASSERT_EQ(server.timers().fire(500ms), 1u);
                ASSERT_TRUE(c.wait_for_probes(2));
                ASSERT_EQ(server.timers().fire(2000ms), 1u);
                break;
        }
        ASSERT_TRUE(c.wait_for_results(1));
        EXPECT_EQ(c.results()[0], connectivity_results({.public_address = address_text(c.at()),
                                                        .local_addresses = {"10.0.0.5:1111"},
                                                        .nat_type = o.nat_type}));
        EXPECT_EQ(server.session_of(c.connection())->nat_type(), o.nat_type);

        // Whatever comes later changes nothing: an answer after the result
        // or the deadline, a retry or deadline that fires late.
        c.answer(c.probes().back().tag);
        server.timers().fire(500ms);
        server.timers().fire(2000ms);
        c.linger();
        EXPECT_EQ(c.results().size(), 1u);
        EXPECT_EQ(c.probes().size(), o.reaction == probe_reaction::answer_first ||
                                             o.reaction == probe_reaction::answer_from_elsewhere
                                         ? 1u
                                         : 2u);
    }
}

TEST(RtmfpNatDetection, TheGroupsLearnTheNatTypeOfAMember) {
    stream_server server;
    probed_client c(server);
    ASSERT_TRUE(c.connect());
    group_member member(c.connection());
    member.join_by_specifier(specifier);
    member.settle();

    // Members that sort after the client, so that a later joiner at the
    // end has only them as neighbours.
    const std::string key = group_key_of(specifier);
    const auto last_place = [](std::uint8_t n) {
        rtmfp_peer_id id;
        id.fill(0xFF);
        id[31] = n;
        return id;
    };
    for (std::uint8_t n = 0; n < 6; ++n) {
        server.netgroups().join(key, last_place(n), rtmfp_nat_unknown);
    }
    const auto handed_to_a_joiner = [&](std::uint8_t n) {
        const std::vector<rtmfp_peer_id> members =
            server.netgroups().join(key, last_place(n), rtmfp_nat_unknown);
        return std::find(members.begin(), members.end(), c.connection().client().peer_id()) !=
               members.end();
    };
    EXPECT_FALSE(handed_to_a_joiner(0x10));

    c.connection().send(set_peer_info({"10.0.0.5:1111"}));
    ASSERT_TRUE(c.wait_for_probes(1));
    c.answer(c.probes()[0].tag);
    ASSERT_TRUE(c.wait_for_results(1));
    EXPECT_TRUE(handed_to_a_joiner(0x11)) << "behind a cone NAT, it is easy to reach";
}

}  // namespace
