#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/live_relay.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_server;
using rtmp::rtmp_server_connection;

// A relay server that keeps the connections it accepted.
class RtmpServer : public ::testing::Test, protected loopback_relay {
  protected:
    void start(std::int32_t idle_timeout = 60) {
        loopback_relay::start(idle_timeout, [this](const auto& connection) {
            std::lock_guard lock(mutex);
            accepted.push_back(connection);
        });
    }

    void TearDown() override {
        stop();
        accepted.clear();
    }

    std::shared_ptr<rtmp_server_connection> connection(std::size_t i) {
        std::lock_guard lock(mutex);
        return i < accepted.size() ? accepted[i] : nullptr;
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<rtmp_server_connection>> accepted;
};

// Runs `work` on the connection's thread, where everything that touches its
// stack runs, and returns its result.
template <class Work>
auto on_thread(rtmp_server_connection& c, Work work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    boost::asio::post(c.executor(), [&task] { task(); });
    return result.get();
}

// The connect command is longer than one chunk and follows C2 in the same
// write; its reply shows it arrived whole.
TEST_F(RtmpServer, CommandsSentRightAfterC2InTheSameWriteArriveWhole) {
    start();
    rtmp_client client(port);
    client.socket().send(digest_c0c1(digest_layout::a));
    const std::string answer = client.socket().receive(3073);
    ASSERT_EQ(answer.size(), 3073u);
    const std::string long_url = "rtmp://127.0.0.1/live?" + std::string(200, 'q');
    client.socket().send(
        answer.substr(1, 1536) +
        encode_message(
            3, 20, 0, 0,
            command("connect", 1).begin_object().key("tcUrl").string(long_url).end_object()) +
        encode_message(3, 20, 0, 0, command("createStream", 2).null()));
    EXPECT_TRUE(client.wait_for(
        [](const message& m) { return describe(m) == "3:0 cmd '_result' 2 null 1"; }));
}

TEST_F(RtmpServer, AnErrorClosesOnlyItsConnectionAndAcceptingGoesOn) {
    start();
    tcp_client bystander(port);
    bystander.handshake();
    std::string forged = digest_c0c1(digest_layout::b);
    forged[600] ^= 1;
    struct failure {
        const char* what;
        std::string c0c1, after;
    };
    const failure cases[] = {
        {"too many handshake bytes", plain_c0c1() + "x", ""},
        {"a C1 digest that matches nowhere", forged, ""},
        {"a chunk-layer violation", plain_c0c1(),
         hex_bytes("02 000000 000004 01 00000000 0000007f")},
        {"a message for a stream that does not exist", plain_c0c1(),
         encode_message(3, 20, 5, 0, command("play", 0))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tcp_client client(port);
        client.send(c.c0c1);
        if (!c.after.empty()) {
            const std::string answer = client.receive(3073);
            ASSERT_EQ(answer.size(), 3073u);
            client.send(answer.substr(1, 1536) + c.after);
        }
        EXPECT_TRUE(client.wait_closed(3s));
    }
    bystander.send(encode_message(3, 20, 0, 0, command("createStream", 1).null()));
    EXPECT_NE(bystander.receive(1), "") << "the first connection is still served";
    tcp_client late(port);
    EXPECT_EQ(late.handshake().size(), 3073u) << "the server still accepts";
}

// The answer to a refused connect is long enough to need several writes;
// closing at once would cut it off.
TEST_F(RtmpServer, ARefusedConnectClosesOnlyOnceItsAnswerIsWritten) {
    loopback_relay::start(60, [](const std::shared_ptr<rtmp_server_connection>& c) {
        c->stack().connect_handler = [](amf0_object&, std::string& reason) {
            reason.assign(60000, 'r');
            return false;
        };
    });
    for (int i = 0; i < 10; ++i) {
        rtmp_client client(port);
        client.socket().handshake();
        client.send_command(0, command("connect", 1).begin_object().end_object());
        const auto answer = client.wait_for([](const message& m) { return m.type == 20; });
        ASSERT_TRUE(answer);
        EXPECT_NE(describe_amf0(answer->body).find("NetConnection.Connect.Rejected"),
                  std::string::npos);
        EXPECT_TRUE(client.socket().wait_closed(3s));
    }
}

// Without what the application meant to bind, the connection is not served.
TEST_F(RtmpServer, ANewConnectionHandlerThatThrowsClosesOnlyItsConnection) {
    auto failed = std::make_shared<std::atomic<bool>>(false);
    loopback_relay::start(60, [failed](const std::shared_ptr<rtmp_server_connection>&) {
        if (!failed->exchange(true)) {
            throw std::runtime_error("bookkeeping failed");
        }
    });
    tcp_client refused(port);
    EXPECT_TRUE(refused.wait_closed(3s));
    tcp_client served(port);
    EXPECT_EQ(served.handshake().size(), 3073u);
}

TEST_F(RtmpServer, IdleConnectionsCloseAndBusyOnesStay) {
    start(1);
    tcp_client silent_from_start(port);
    tcp_client silent_after_handshake(port);
    silent_after_handshake.handshake();
    // Peers trickling bytes in keep the read side busy; they still close:
    // one never completes its handshake, the other never a message.
    tcp_client trickling_handshake(port);
    rtmp_client trickling_message(port);
    trickling_message.connect();
    // A publisher only sends and a player only reads: both stay.
    rtmp_client publisher(port);
    publisher.connect();
    const std::uint32_t published = publisher.create_stream();
    publisher.publish(published, "s");
    ASSERT_TRUE(publisher.wait_for_status("NetStream.Publish.Start"));
    rtmp_client player(port);
    player.connect();
    player.play(player.create_stream(), "s");
    ASSERT_TRUE(player.wait_for_status("NetStream.Play.Start"));
    constexpr std::size_t connections = 6;

    const std::string c0c1 = plain_c0c1();
    const std::string never_finished =
        hex_bytes("05 000000 001000 09 01000000") + std::string(4096, 'x');
    const auto start_time = std::chrono::steady_clock::now();
    std::size_t trickled = 0;
    std::uint32_t frame_time = 0;
    bool closed_too_early = false;
    while (std::chrono::steady_clock::now() - start_time < 3500ms) {
        trickling_handshake.try_send(c0c1.substr(trickled, 1));
        trickling_message.socket().try_send(never_finished.substr(trickled, 1));
        ++trickled;
        publisher.send(9, published, frame_time += 250, hex_bytes("17 01 000000") + "keyframe");
        if (std::chrono::steady_clock::now() - start_time < 800ms &&
            server->connections().size() != connections) {
            closed_too_early = true;
        }
        player.receive_for(250ms);
    }
    EXPECT_FALSE(closed_too_early) << "a second of silence is allowed";
    EXPECT_TRUE(silent_from_start.wait_closed(100ms));
    EXPECT_TRUE(silent_after_handshake.wait_closed(100ms));
    EXPECT_TRUE(trickling_handshake.wait_closed(100ms));
    EXPECT_TRUE(trickling_message.socket().wait_closed(100ms));
    EXPECT_FALSE(publisher.socket().wait_closed(100ms));
    EXPECT_FALSE(player.socket().wait_closed(100ms));
    EXPECT_EQ(server->connections().size(), 2u);
}

TEST_F(RtmpServer, AClientLeavingMessagesUnfinishedOnEveryChunkStreamIsClosedAtItsBound) {
    start();
    rtmp_client bystander(port);
    bystander.connect();
    rtmp_client hostile(port);
    hostile.connect();
    hostile.set_chunk_size(65536);
    constexpr std::uint32_t largest = rtmp::rtmp_chunkstreams::max_message_size;
    constexpr std::uint32_t fit = rtmp::rtmp_chunkstreams::max_pending_bytes / largest;
    for (std::uint32_t csid = 3; csid < 3 + fit; ++csid) {
        hostile.socket().send(unfinished_message(csid, largest, 7, 65536));
    }
    // The answer to a ping shows that everything before it was taken.
    hostile.socket().send(encode_message(2, 4, 0, 0, hex_bytes("0006 0000002a")));
    ASSERT_TRUE(hostile.wait_for(
        [](const message& m) { return m.type == 4 && m.body.substr(0, 2) == hex_bytes("0007"); }));
    EXPECT_EQ(context.pending_messages.used(), rtmp::rtmp_chunkstreams::max_pending_bytes - largest)
        << "beyond one message of the largest size, from the server's budget";

    std::uint32_t more = 0;
    for (std::uint32_t csid = 3 + fit; csid < 3 + 128; ++csid) {
        more += hostile.socket().try_send(unfinished_message(csid, largest, 7, 65536));
    }
    EXPECT_TRUE(hostile.socket().wait_closed(3s));
    EXPECT_LT(more, 128 - fit) << "the server stopped reading";
    EXPECT_TRUE(eventually([&] { return context.pending_messages.used() == 0; }))
        << "a closed connection gives its room back";
    bystander.send_command(0, command("createStream", 9).null());
    EXPECT_TRUE(bystander.wait_for([](const message& m) {
        return describe(m) == "3:0 cmd '_result' 9 null 1";
    })) << "other connections are served";
}

TEST_F(RtmpServer, APeerThatNeverReadsIsClosedPastTheSendQueueCap) {
    start();
    tcp_client client(port);  // never reads after the handshake
    client.handshake();
    ASSERT_TRUE(eventually([&] {
        auto c = connection(0);
        return c && on_thread(*c, [&] { return c->stack().handshake_done(); });
    }));
    auto c = connection(0);
    const std::string media(60000, 'v');
    std::uint64_t most_queued = 0;
    for (int i = 0; i < 1200 && !c->closed(); ++i) {
        most_queued = std::max(most_queued, on_thread(*c, [&] {
                                   auto& chunks = *c->stack().chunkstreams();
                                   chunks.write_message(chunks.open_output_stream(6), 9, 1, i * 40,
                                                        media.data(),
                                                        static_cast<std::uint32_t>(media.size()));
                                   chunks.flush();
                                   return c->queued_bytes();
                               }));
    }
    EXPECT_TRUE(c->closed()) << "72 MB could not all be queued";
    EXPECT_LE(most_queued, rtmp_server_connection::max_queued_bytes);
    ASSERT_TRUE(eventually([&] { return server->connections().empty(); }));
    c.reset();
    {
        std::lock_guard lock(mutex);
        accepted.clear();
    }
    EXPECT_TRUE(eventually([&] { return context.pool.pool(14).outstanding() == 0; }))
        << "every queued block went back to the pool";
}

TEST_F(RtmpServer, StopClosesEveryConnectionOnce) {
    start();
    tcp_client first(port), second(port);
    first.handshake();
    ASSERT_TRUE(eventually([&] { return server->connections().size() == 2; }));
    server->stop();
    server->stop();
    EXPECT_TRUE(first.wait_closed(3s));
    EXPECT_TRUE(second.wait_closed(3s));
    EXPECT_TRUE(eventually([&] { return server->connections().empty(); }));
}

TEST_F(RtmpServer, BindingAPortInUseNamesTheStep) {
    start();
    try {
        std::make_shared<rtmp_server>(pool, server->local_endpoint(), context);
        ADD_FAILURE() << "bound twice";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
    }
}

}  // namespace
