#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_server;
using rtmp::rtmp_server_connection;

// Waits for a condition that another thread makes true.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A server on a loopback port of its own, with every message its
// connections receive collected.
class RtmpServer : public ::testing::Test {
  protected:
    void start(std::int32_t idle_timeout = 60) {
        context.idle_timeout = idle_timeout;
        server = std::make_shared<rtmp_server>(
            pool, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
            context);
        server->new_connection_handler = [this](const std::shared_ptr<rtmp_server_connection>& c) {
            c->stack().message_handler = [this](const std::uint8_t* data, std::uint32_t size,
                                                std::uint32_t timestamp, std::uint8_t type,
                                                std::uint32_t stream_id) {
                if (type == 99) {
                    throw std::runtime_error("refused by the layer above");
                }
                std::lock_guard lock(mutex);
                received.push_back({0, type, stream_id, timestamp,
                                    std::string(reinterpret_cast<const char*>(data), size)});
            };
            std::lock_guard lock(mutex);
            accepted.push_back(c);
        };
        server->start();
        port = server->local_endpoint().port();
    }

    void TearDown() override {
        if (server) {
            server->stop();
        }
        pool.stop();
        accepted.clear();
        server.reset();
    }

    std::size_t received_count() {
        std::lock_guard lock(mutex);
        return received.size();
    }

    std::shared_ptr<rtmp_server_connection> connection(std::size_t i) {
        std::lock_guard lock(mutex);
        return i < accepted.size() ? accepted[i] : nullptr;
    }

    io_service_pool pool{4};
    rtmp::rtmp_server_context context;
    std::shared_ptr<rtmp_server> server;
    unsigned short port = 0;
    std::mutex mutex;
    std::vector<message> received;
    std::vector<std::shared_ptr<rtmp_server_connection>> accepted;
};

TEST_F(RtmpServer, MessagesSentRightAfterC2InTheSameWriteArriveWhole) {
    start();
    tcp_client client(port);
    client.send(digest_c0c1(digest_layout::a));
    const std::string answer = client.receive(3073);
    ASSERT_EQ(answer.size(), 3073u);
    const std::string body(300, 'b');
    client.send(answer.substr(1, 1536) + encode_message(3, 20, 0, 0, "first") +
                encode_message(4, 9, 1, 40, body));
    ASSERT_TRUE(eventually([&] { return received_count() == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received[0].body, "first");
    EXPECT_EQ(received[1].type, 9);
    EXPECT_EQ(received[1].timestamp, 40u);
    EXPECT_EQ(received[1].body, body);
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
        {"the layer above refusing a message", plain_c0c1(), encode_message(3, 99, 0, 0, "x")},
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
    bystander.send(encode_message(3, 20, 0, 0, "still here"));
    ASSERT_TRUE(eventually([&] { return received_count() == 1; }));
    tcp_client late(port);
    EXPECT_EQ(late.handshake().size(), 3073u) << "the server still accepts";
}

TEST_F(RtmpServer, ANewConnectionHandlerThatThrowsDoesNotStopTheConnection) {
    start();
    auto bookkeeping = server->new_connection_handler;
    server->new_connection_handler = [bookkeeping](const auto& connection) {
        bookkeeping(connection);
        throw std::runtime_error("bookkeeping failed");
    };
    tcp_client client(port);
    EXPECT_EQ(client.handshake().size(), 3073u);
}

TEST_F(RtmpServer, IdleConnectionsCloseAndBusyOnesStay) {
    start(1);
    tcp_client silent_from_start(port);
    tcp_client silent_after_handshake(port);
    silent_after_handshake.handshake();
    // A peer trickling its handshake in keeps the read side busy; it still
    // closes, since the handshake never completes.
    tcp_client trickling(port);
    // A peer that only sends, as a publisher does, keeps its connection.
    tcp_client sending(port);
    sending.handshake();

    const std::string c0c1 = plain_c0c1();
    const auto start_time = std::chrono::steady_clock::now();
    std::size_t trickled = 0;
    bool closed_too_early = false;
    while (std::chrono::steady_clock::now() - start_time < 3500ms) {
        trickling.try_send(c0c1.substr(trickled++, 1));
        sending.send(encode_message(3, 8, 1, 0, "beat"));
        if (std::chrono::steady_clock::now() - start_time < 800ms &&
            server->connections().size() != 4) {
            closed_too_early = true;
        }
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_FALSE(closed_too_early) << "a second of silence is allowed";
    EXPECT_TRUE(silent_from_start.wait_closed(100ms));
    EXPECT_TRUE(silent_after_handshake.wait_closed(100ms));
    EXPECT_TRUE(trickling.wait_closed(100ms));
    EXPECT_FALSE(sending.wait_closed(100ms));
    EXPECT_EQ(server->connections().size(), 1u);
}

TEST_F(RtmpServer, APeerThatNeverReadsIsClosedPastTheSendQueueCap) {
    start();
    tcp_client client(port);  // never reads after the handshake
    client.handshake();
    ASSERT_TRUE(eventually([&] {
        auto c = connection(0);
        std::lock_guard lock(c->stack().lock());
        return c->stack().handshake_done();
    }));
    auto c = connection(0);
    const std::string media(60000, 'v');
    std::uint64_t most_queued = 0;
    for (int i = 0; i < 1200 && !c->closed(); ++i) {
        std::lock_guard lock(c->stack().lock());
        auto& chunks = *c->stack().chunkstreams();
        chunks.write_message(chunks.open_output_stream(6), 9, 1, i * 40, media.data(),
                             static_cast<std::uint32_t>(media.size()));
        chunks.flush();
        most_queued = std::max(most_queued, c->queued_bytes());
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
