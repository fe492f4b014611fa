// Remote calls against a live server on loopback: raw frames from a client
// socket for the wire behaviour, and a client-side manager for pending calls.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "rpc/rpc_tcp_server.hpp"
#include "rpc/tests/hex_bytes.hpp"
#include "rpc/tests/rpc_test_support.hpp"

// AddressSanitizer keeps freed memory aside, resident, to catch late uses:
// far more than a test here measures. With a small quarantine the resident
// size is what the server holds.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

namespace rpc {
namespace {

using testing::client_timeout;
using testing::hex;
using testing::plain_hex;
using testing::raw_client;
using testing::received_frame;
using testing::to_hex;

// The methods every connection of the test server starts with.
enum test_method : std::uint32_t {
    echo = 1,              // (string) -> (true, the string)
    describe = 2,          // (integer, string, map) -> (the map with both added, "")
    flag_and_number = 3,   // (string, boolean, unsigned) -> (the boolean, "string:number")
    list = 4,              // () -> (two maps, "none")
    throwing = 5,          // (string) -> throws
    silent = 6,            // (string) -> never answers
    unlock = 7,            // () -> registers `unlocked`, then (true, "")
    unlocked = 8,          // (string) -> (true, "unlocked " + the string)
    oversized_result = 9,  // () -> a result over its limit, so no reply
    kept = 10,             // (string) -> the reply is kept for the test to send
    member = 11,           // (string, string) -> a member function's (true, concatenation)
    repeat = 12,           // (unsigned, string) -> (true, the string repeated)
    unknown = 99,
};

// Answers through a member function, the way an application binds its methods.
struct concatenator {
    void join(bool_reply reply, const std::string& first, std::string second) {
        reply(true, first + second);
    }
};

class RemoteCallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ =
            rpc_tcp_server<>::create(io_.context(), {boost::asio::ip::address_v4::loopback(), 0});
        server_->set_new_connection_callback(
            [this](const std::shared_ptr<rpc_tcp_connection>& connection) {
                register_methods(*connection);
            });
        server_->start_accept();
    }

    void TearDown() override {
        server_->stop();
        for (const auto& client : clients_) {
            client->close();
        }
        io_.stop();
    }

    void register_methods(rpc_tcp_connection& connection) {
        EXPECT_TRUE(connection.add_method(
            echo, [](bool_reply reply, std::string text) { reply(true, text); }));
        EXPECT_FALSE(connection.add_method(
            echo, [](bool_reply reply, std::string) { reply(false, "second handler"); }));
        connection.add_method(describe, [](map_reply reply, std::int32_t number, std::string name,
                                           string_map parameters) {
            parameters["number"] = std::to_string(number);
            parameters["name"] = name;
            reply(parameters, "");
        });
        connection.add_method(flag_and_number, [](bool_reply reply, std::string text, bool flag,
                                                  std::uint32_t number) {
            reply(flag, text + ":" + std::to_string(number));
        });
        connection.add_method(list, [](map_vector_reply reply) {
            reply({{{"a", "1"}}, {}}, "none");
        });
        connection.add_method(
            throwing, [](bool_reply, std::string) { throw std::runtime_error("method failed"); });
        connection.add_method(silent, [](bool_reply, std::string) {});
        connection.add_method(unlock, [](bool_reply reply) {
            reply(true, "");
            reply.manager()->add_method(unlocked, [](bool_reply reply, std::string text) {
                reply(true, "unlocked " + text);
            });
        });
        connection.add_method(oversized_result,
                              [](bool_reply reply) { reply(true, std::string(0x10000, 'x')); });
        connection.add_method(kept, [this](bool_reply reply, std::string) {
            std::lock_guard lock(mutex_);
            kept_replies_.push_back(reply);
            kept_changed_.notify_all();
        });
        connection.add_method(member, &concatenator_, &concatenator::join);
        connection.add_method(repeat, [](bool_reply reply, std::uint32_t count, std::string unit) {
            std::string text;
            for (std::uint32_t i = 0; i < count; ++i) {
                text += unit;
            }
            reply(true, text);
        });
    }

    bool_reply wait_for_kept_reply() {
        std::unique_lock lock(mutex_);
        if (!kept_changed_.wait_for(lock, client_timeout, [&] { return !kept_replies_.empty(); })) {
            throw std::runtime_error("no kept reply");
        }
        bool_reply reply = kept_replies_.front();
        kept_replies_.clear();
        return reply;
    }

    raw_client connect_raw() { return raw_client(server_->local_endpoint()); }

    // A client-side endpoint connected to the server.
    std::shared_ptr<rpc_tcp_connection> connect_client() {
        auto client = std::make_shared<rpc_tcp_connection>(
            io_.context(), rpc_tcp_server_base::read_size, rpc_tcp_server_base::max_payload_length);
        client->socket().connect(server_->local_endpoint());
        client->start_receive();
        clients_.push_back(client);
        return client;
    }

    testing::io_thread io_;
    std::shared_ptr<rpc_tcp_server<>> server_;
    std::vector<std::shared_ptr<rpc_tcp_connection>> clients_;
    concatenator concatenator_;

    std::mutex mutex_;
    std::condition_variable kept_changed_;
    std::vector<bool_reply> kept_replies_;
};

// A request frame with its arguments written out.
byte_buffer request(std::uint32_t method, std::uint64_t call_id, const std::string& arguments_hex) {
    const byte_buffer arguments = hex(arguments_hex);
    byte_buffer frame(frame_header_size);
    write_frame_header(
        frame.data(), frame_header{.kind = method,
                                   .call_id = call_id,
                                   .payload_length = static_cast<std::uint32_t>(arguments.size())});
    frame.insert(frame.end(), arguments.begin(), arguments.end());
    return frame;
}

byte_buffer join(const std::vector<byte_buffer>& frames) {
    byte_buffer bytes;
    for (const auto& frame : frames) {
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

void expect_reply(const received_frame& frame, std::uint64_t call_id, call_status status) {
    EXPECT_EQ(frame.header.kind, reply_kind);
    EXPECT_EQ(frame.header.call_id, call_id);
    EXPECT_EQ(frame.header.status, status);
    EXPECT_EQ(frame.header.payload_length, frame.payload.size());
}

TEST_F(RemoteCallTest, TypedMethodsAnswerWithTheirEncodedResults) {
    struct method_case {
        test_method method;
        std::string arguments;
        std::string results;
    };
    const method_case cases[] = {
        {echo, "0200 6869", "01 0200 6869"},
        {describe, "05000000 0400 6c697665 0100 0100 61 0100 62",
         "0300 0100 61 0100 62  0400 6e616d65 0400 6c697665  0600 6e756d626572 0100 35  0000"},
        {describe, "fbffffff 0000 0000",
         "0200 0400 6e616d65 0000  0600 6e756d626572 0200 2d35 0000"},
        {flag_and_number, "0100 74 02 2a000000", "01 0400 743a3432"},
        {flag_and_number, "0000 00 ffffffff", "00 0b00 3a34323934393637323935"},
        {list, "", "0200 0100 0100 61 0100 31 0000  0400 6e6f6e65"},
        {member, "0100 61 0200 6263", "01 0300 616263"},
    };
    raw_client client = connect_raw();
    std::uint64_t call_id = 0x0000000700000001;  // the high word travels too
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        client.send(request(c.method, ++call_id, c.arguments));
        const received_frame reply = client.read_frame();
        expect_reply(reply, call_id, call_status::success);
        EXPECT_EQ(to_hex(reply.payload), plain_hex(c.results));
    }
}

TEST_F(RemoteCallTest, UnknownMethodsAndUndecodableArgumentsGetAnErrorStatus) {
    struct error_case {
        const char* name;
        std::uint32_t method;
        std::string arguments;
        call_status status;
    };
    const error_case cases[] = {
        {"no such method", unknown, "", call_status::no_such_method},
        {"method not yet registered on the connection", unlocked, "0000",
         call_status::no_such_method},
        {"arguments cut short", echo, "0500 6869", call_status::bad_arguments},
        {"byte after the arguments", echo, "0000 00", call_status::bad_arguments},
        {"payload for a method without arguments", list, "00", call_status::bad_arguments},
        {"missing last argument", flag_and_number, "0000 01", call_status::bad_arguments},
    };
    raw_client client = connect_raw();
    std::uint64_t call_id = 0x1234567800000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        client.send(request(c.method, ++call_id, c.arguments));
        const received_frame reply = client.read_frame();
        expect_reply(reply, call_id, c.status);
        EXPECT_TRUE(reply.payload.empty());
    }
}

TEST_F(RemoteCallTest, KeepAliveIsAnsweredWithTwentyZeroBytesAndItsAnswerWithNothing) {
    raw_client client = connect_raw();
    client.send(encode_keep_alive());
    const received_frame answer = client.read_frame();
    expect_reply(answer, no_call_id, call_status::success);
    EXPECT_TRUE(answer.payload.empty());

    // A keep-alive answer from the client completes nothing and is not
    // answered: the next frame is the echo's.
    client.send(join({encode_keep_alive_answer(), request(echo, 5, "0000")}));
    expect_reply(client.read_frame(), 5, call_status::success);
}

TEST_F(RemoteCallTest, FramesAreServedOnceAndInOrderHoweverTheyArrive) {
    const byte_buffer three = join({
        request(echo, 1, "0100 31"),
        request(unknown, 2, ""),
        request(flag_and_number, 3, "0000 01 03000000"),
    });
    raw_client client = connect_raw();
    client.send(three);
    client.send_byte_by_byte(three);
    for (int round = 0; round < 2; ++round) {
        expect_reply(client.read_frame(), 1, call_status::success);
        expect_reply(client.read_frame(), 2, call_status::no_such_method);
        expect_reply(client.read_frame(), 3, call_status::success);
    }
}

TEST_F(RemoteCallTest, LargeRepliesToPipelinedRequestsLeaveWholeAndInOrder) {
    // Replies far larger than the socket buffers, all asked for before the
    // client reads any: the server's writes go out piecemeal and must not
    // interleave.
    raw_client client = connect_raw();
    std::vector<byte_buffer> requests;
    const std::string units = "abcdefghijklmnop";
    for (std::size_t i = 0; i < units.size(); ++i) {
        requests.push_back(
            encode_request(repeat, i + 1, std::uint32_t{0xFFF0}, std::string(1, units[i])));
    }
    client.send(join(requests));
    for (std::size_t i = 0; i < units.size(); ++i) {
        const received_frame reply = client.read_frame();
        expect_reply(reply, i + 1, call_status::success);
        byte_buffer results;
        append_values(results, true, std::string(0xFFF0, units[i]));
        EXPECT_TRUE(reply.payload == results) << "reply " << i << " is not whole";
    }
}

TEST_F(RemoteCallTest, APeerThatAsksWithoutReadingIsClosedAtTheQueueCap) {
    raw_client client = connect_raw();
    // 256 MB of replies, if they could all wait for the client.
    constexpr std::size_t requests = 4000;
    const byte_buffer one = encode_request(repeat, 1, std::uint32_t{0xFFF0}, std::string("r"));
    byte_buffer asks;
    for (std::size_t i = 0; i < requests; ++i) {
        asks.insert(asks.end(), one.begin(), one.end());
    }
    [[maybe_unused]] const std::uint64_t resident_before = platform::testing::own_resident_bytes();
    try {
        client.send(asks);
    } catch (const boost::system::system_error&) {
        // Closed before it took them all.
    }
    std::size_t replies = 0;
    try {
        for (;; ++replies) {
            client.read_frame();
        }
    } catch (const std::runtime_error& end) {
        EXPECT_STREQ(end.what(), "the server closed the connection");
    }
    EXPECT_LT(replies, requests / 4) << "the server stopped answering";
#if !defined(__SANITIZE_THREAD__)  // its shadow memory multiplies what is resident
    const std::uint64_t grown = platform::testing::own_resident_bytes() - resident_before;
    EXPECT_LT(grown, std::uint64_t{64} << 20) << "grew by " << grown << " bytes";
#endif
    raw_client other = connect_raw();
    other.send(request(echo, 2, "0000"));
    expect_reply(other.read_frame(), 2, call_status::success);
}

TEST_F(RemoteCallTest, LargestPayloadIsServedAndOneByteMoreClosesTheConnection) {
    raw_client client = connect_raw();
    const std::string text(0xFFFF - 2, 't');
    byte_buffer largest = encode_request(echo, 1, text);
    ASSERT_EQ(largest.size(), frame_header_size + 0xFFFF);
    client.send(largest);
    const received_frame reply = client.read_frame();
    expect_reply(reply, 1, call_status::success);
    EXPECT_EQ(reply.payload.size(), 1 + 2 + text.size());

    // The header alone ends the connection: no reply, no reading of the rest.
    client.send(hex("01000000 02000000 00000000 00000000 00000100"));
    EXPECT_TRUE(client.wait_for_close());
}

TEST_F(RemoteCallTest, MethodsThatFailWithoutAnsweringSendNothing) {
    raw_client client = connect_raw();
    client.send(join({
        request(throwing, 1, "0000"),
        request(oversized_result, 2, ""),
        request(silent, 3, "0000"),
        request(echo, 4, "0000"),
    }));
    expect_reply(client.read_frame(), 4, call_status::success);
}

TEST_F(RemoteCallTest, MethodRegisteredByAMethodServesTheVeryNextRequest) {
    raw_client client = connect_raw();
    // Both in one send: the second is read with the first.
    client.send(join({request(unlock, 1, ""), request(unlocked, 2, "0100 78")}));
    expect_reply(client.read_frame(), 1, call_status::success);
    const received_frame reply = client.read_frame();
    expect_reply(reply, 2, call_status::success);
    EXPECT_EQ(to_hex(reply.payload), plain_hex("01 0a00 756e6c6f636b65642078"));  // "unlocked x"
}

TEST_F(RemoteCallTest, KeepAliveGoesOutOnEveryThirtyFirstTick) {
    raw_client client = connect_raw();
    // The connection is in the server's set once it answers.
    client.send(request(echo, 1, "0000"));
    expect_reply(client.read_frame(), 1, call_status::success);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (int tick = 0; tick < 30; ++tick) {
            server_->tick();
        }
        // A keep-alive sent by those ticks would be queued before this reply.
        client.send(request(echo, 2, "0000"));
        expect_reply(client.read_frame(), 2, call_status::success);

        server_->tick();
        const received_frame keep_alive = client.read_frame();
        EXPECT_EQ(keep_alive.header.kind, keep_alive_kind);
        EXPECT_EQ(keep_alive.header.call_id, no_call_id);
        EXPECT_EQ(keep_alive.header.status, call_status::success);
        EXPECT_TRUE(keep_alive.payload.empty());
    }
}

// What a client-side call ended with.
struct outcome {
    call_status status;
    bool flag;
    std::string text;
};

using outcome_promise = std::shared_ptr<std::promise<outcome>>;

std::function<void(call_status, bool, std::string)> complete_into(const outcome_promise& promise) {
    return [promise](call_status status, bool flag, std::string text) {
        promise->set_value({status, flag, std::move(text)});
    };
}

outcome wait_for(const outcome_promise& promise) {
    auto future = promise->get_future();
    if (future.wait_for(client_timeout) != std::future_status::ready) {
        throw std::runtime_error("the call did not complete");
    }
    return future.get();
}

template <typename... Arguments>
outcome call_and_wait(remote_call_mgr& client, std::uint32_t method,
                      const Arguments&... arguments) {
    auto promise = std::make_shared<std::promise<outcome>>();
    client.call<bool, std::string>(method, remote_call_mgr::no_timeout, complete_into(promise),
                                   arguments...);
    return wait_for(promise);
}

TEST_F(RemoteCallTest, CallsCompleteWithTheResultsOrTheStatusTheyGot) {
    struct call_case {
        const char* name;
        std::function<outcome(remote_call_mgr&)> call;
        call_status status;
        bool flag;
        std::string text;
    };
    const call_case cases[] = {
        {"results", [](auto& c) { return call_and_wait(c, echo, std::string("hi")); },
         call_status::success, true, "hi"},
        {"several arguments",
         [](auto& c) {
             return call_and_wait(c, flag_and_number, std::string("n"), true, std::uint32_t{7});
         },
         call_status::success, true, "n:7"},
        {"no such method", [](auto& c) { return call_and_wait(c, unknown); },
         call_status::no_such_method, false, ""},
        {"arguments of the wrong types", [](auto& c) { return call_and_wait(c, echo, true); },
         call_status::bad_arguments, false, ""},
        // Two maps and "none" are no boolean and text.
        {"results of other types", [](auto& c) { return call_and_wait(c, list); },
         call_status::bad_reply, false, ""},
    };
    const auto client = connect_client();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome result = c.call(*client);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.flag, c.flag);
        EXPECT_EQ(result.text, c.text);
    }
}

TEST_F(RemoteCallTest, PendingCallsLoseOneSecondPerSweep) {
    const auto client = connect_client();
    // Shared with the completions, which may outlive the test body.
    struct completion_log {
        std::mutex mutex;
        std::map<std::int32_t, call_status> by_timeout;
    };
    const auto log = std::make_shared<completion_log>();
    auto call_with_timeout = [&](std::int32_t timeout_ms) {
        client->call<bool, std::string>(
            silent, timeout_ms,
            [log, timeout_ms](call_status status, bool, std::string) {
                std::lock_guard lock(log->mutex);
                log->by_timeout.emplace(timeout_ms, status);
            },
            std::string());
    };
    auto completions = [&] {
        std::lock_guard lock(log->mutex);
        return log->by_timeout;
    };
    call_with_timeout(1000);
    call_with_timeout(1001);
    call_with_timeout(remote_call_mgr::no_timeout);

    client->sweep_calls();
    EXPECT_EQ(completions(), (std::map<std::int32_t, call_status>{{1000, call_status::timed_out}}));
    client->sweep_calls();
    EXPECT_EQ(completions(), (std::map<std::int32_t, call_status>{{1000, call_status::timed_out},
                                                                  {1001, call_status::timed_out}}));
    for (int sweep = 0; sweep < 40; ++sweep) {
        client->sweep_calls();
    }
    EXPECT_EQ(completions().size(), 2u);
}

TEST_F(RemoteCallTest, ReplyAfterTheTimeOutIsIgnored) {
    const auto client = connect_client();
    const auto completions = std::make_shared<std::atomic<int>>(0);
    const auto status = std::make_shared<std::atomic<call_status>>(call_status::success);
    client->call<bool, std::string>(
        kept, 500,
        [completions, status](call_status s, bool, std::string) {
            ++*completions;
            *status = s;
        },
        std::string());
    bool_reply late = wait_for_kept_reply();
    client->sweep_calls();
    EXPECT_EQ(*status, call_status::timed_out);

    // The kept reply still reaches the client, before the echo's reply.
    late(true, "late");
    EXPECT_EQ(call_and_wait(*client, echo, std::string("after")).text, "after");
    EXPECT_EQ(*completions, 1);
}

TEST_F(RemoteCallTest, LostConnectionCompletesPendingAndLaterCalls) {
    const auto client = connect_client();
    auto closes = std::make_shared<std::atomic<int>>(0);
    client->set_close_callback([closes] { ++*closes; });
    auto pending = std::make_shared<std::promise<outcome>>();
    client->call<bool, std::string>(silent, remote_call_mgr::no_timeout, complete_into(pending),
                                    std::string());
    // Served once the server answers an echo sent behind it.
    EXPECT_EQ(call_and_wait(*client, echo, std::string()).status, call_status::success);

    server_->stop();
    EXPECT_EQ(wait_for(pending).status, call_status::connection_lost);
    EXPECT_TRUE(client->closed());
    EXPECT_EQ(call_and_wait(*client, echo, std::string()).status, call_status::connection_lost);
    client->close();
    EXPECT_EQ(call_and_wait(*client, echo, std::string()).status, call_status::connection_lost);
    EXPECT_EQ(*closes, 1);
}

TEST(RemoteCallRegistration, RefusesIdsThatAreNoMethodIdsAndEmptyCallbacks) {
    boost::asio::io_context io;
    const auto connection = std::make_shared<rpc_tcp_connection>(io, 4096, 0xFFFF);
    const auto ignore = [](bool_reply) {};
    EXPECT_THROW(connection->add_method(reply_kind, ignore), std::invalid_argument);
    EXPECT_THROW(connection->add_method(keep_alive_kind, ignore), std::invalid_argument);
    EXPECT_THROW(connection->add_method(1, std::function<void(bool_reply)>()),
                 std::invalid_argument);
    EXPECT_TRUE(connection->add_method(1, ignore));
}

}  // namespace
}  // namespace rpc
