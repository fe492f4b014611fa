#include "rpc/rpc_tcp_server.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "rpc/tests/rpc_test_support.hpp"

namespace rpc {
namespace {

using boost::asio::ip::tcp;
using testing::client_timeout;
using testing::io_thread;
using testing::raw_client;

const tcp::endpoint any_loopback_port{boost::asio::ip::address_v4::loopback(), 0};

// The connections a server reported, as the callbacks saw them.
class connection_log {
  public:
    using connection_ptr = std::shared_ptr<rpc_tcp_connection>;

    void watch(rpc_tcp_server<>& server) {
        server.set_new_connection_callback([this](const connection_ptr& connection) {
            connection->add_method(1,
                                   [](bool_reply reply, std::string text) { reply(true, text); });
            add(accepted_, connection);
        });
        server.set_connection_closed_callback(
            [this](const connection_ptr& connection) { add(closed_, connection); });
    }

    // The n-th accepted connection (from 0), once it has come.
    connection_ptr accepted(std::size_t n) { return wait(accepted_, n); }
    connection_ptr closed(std::size_t n) { return wait(closed_, n); }

    std::size_t accepted_count() {
        std::lock_guard lock(mutex_);
        return accepted_.size();
    }

  private:
    void add(std::vector<connection_ptr>& list, const connection_ptr& connection) {
        std::lock_guard lock(mutex_);
        list.push_back(connection);
        changed_.notify_all();
    }

    connection_ptr wait(std::vector<connection_ptr>& list, std::size_t n) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, client_timeout, [&] { return list.size() > n; })) {
            throw std::runtime_error("the server reported no such connection");
        }
        return list[n];
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<connection_ptr> accepted_;
    std::vector<connection_ptr> closed_;
};

// A server under test and the io thread that runs it. The io thread stops
// before the log lets its connections go, and they go before their io context.
class RpcTcpServerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const auto& server : servers_) {
            server->stop();
        }
        io_.stop();
    }

    std::shared_ptr<rpc_tcp_server<>> start_server(
        const tcp::endpoint& endpoint = any_loopback_port) {
        auto server = rpc_tcp_server<>::create(io_.context(), endpoint);
        log_.watch(*server);
        server->start_accept();
        servers_.push_back(server);
        return server;
    }

    io_thread io_;
    connection_log log_;
    std::vector<std::shared_ptr<rpc_tcp_server<>>> servers_;
};

void expect_echo(raw_client& client) {
    client.send(encode_request(1, 77, std::string("x")));
    const testing::received_frame reply = client.read_frame();
    EXPECT_EQ(reply.header.call_id, 77u);
    EXPECT_EQ(reply.header.status, call_status::success);
}

// Waits for a change that the io thread makes in reaction to the peer.
template <typename Condition>
bool eventually(Condition condition) {
    return platform::testing::eventually(condition, client_timeout);
}

TEST(RpcTcpServer, FailureToListenNamesItsStep) {
    boost::asio::io_context io;
    const auto first = rpc_tcp_server<>::create(io, any_loopback_port);
    try {
        rpc_tcp_server<>::create(io, first->local_endpoint());
        ADD_FAILURE() << "two servers listen on one port";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("bind: ", 0), 0u) << error.what();
        EXPECT_EQ(error.code(), boost::asio::error::address_in_use);
    }
}

TEST_F(RpcTcpServerTest, RestartedServerGetsItsPortBackWhileOldConnectionsLinger) {
    auto server = start_server();
    const tcp::endpoint endpoint = server->local_endpoint();
    raw_client client(endpoint);
    expect_echo(client);

    // The server closes first, so its side of the connection lingers in
    // TIME_WAIT on the listening port.
    server->stop();
    EXPECT_TRUE(client.wait_for_close());
    client.close();
    log_.closed(0);

    auto restarted = start_server(endpoint);
    raw_client again(endpoint);
    expect_echo(again);
}

TEST_F(RpcTcpServerTest, StopClosesAndReportsEveryConnectionAndTwiceIsHarmless) {
    auto server = start_server();
    raw_client first(server->local_endpoint());
    raw_client second(server->local_endpoint());
    expect_echo(first);
    expect_echo(second);
    ASSERT_EQ(server->connection_count(), 2u);

    server->stop();
    server->stop();
    EXPECT_TRUE(server->stopped());
    EXPECT_TRUE(first.wait_for_close());
    EXPECT_TRUE(second.wait_for_close());
    EXPECT_NE(log_.closed(0), log_.closed(1));
    EXPECT_EQ(server->connection_count(), 0u);
    EXPECT_THROW(raw_client late(server->local_endpoint()), boost::system::system_error)
        << "the port no longer accepts";
}

TEST_F(RpcTcpServerTest, PeerThatHangsUpIsRemovedAndReportedWithoutATick) {
    auto server = start_server();
    raw_client client(server->local_endpoint());
    const auto connection = log_.accepted(0);
    expect_echo(client);

    client.close();
    EXPECT_EQ(log_.closed(0), connection);
    EXPECT_TRUE(eventually([&] { return server->connection_count() == 0; }));
}

TEST_F(RpcTcpServerTest, APeerSilentForFourKeepAliveIntervalsIsClosed) {
    auto server = start_server();
    const byte_buffer request = encode_request(1, 5, std::string("x"));
    struct silence {
        const char* what;
        byte_buffer sent;
    };
    const silence cases[] = {
        {"a peer that sends nothing", {}},
        {"a peer that stops in the middle of a frame",
         byte_buffer(request.begin(), request.end() - 1)},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        raw_client client(server->local_endpoint());
        const auto connection = log_.accepted(i);
        if (!cases[i].sent.empty()) {
            client.send(cases[i].sent);
        }
        for (std::uint32_t tick = 1; tick < remote_call_mgr::max_silent_sweeps; ++tick) {
            server->tick();
        }
        EXPECT_FALSE(connection->closed());
        server->tick();
        EXPECT_TRUE(connection->closed());
        EXPECT_EQ(log_.closed(i), connection);
        EXPECT_TRUE(client.wait_for_close());
    }
}

TEST_F(RpcTcpServerTest, APeerThatExchangesKeepAlivesStays) {
    auto server = start_server();
    raw_client client(server->local_endpoint());
    const auto connection = log_.accepted(0);
    byte_buffer answer_and_ask = encode_keep_alive_answer();
    const byte_buffer keep_alive = encode_keep_alive();
    answer_and_ask.insert(answer_and_ask.end(), keep_alive.begin(), keep_alive.end());
    for (std::uint32_t round = 0; round < 2 * remote_call_mgr::max_silent_sweeps;
         round += remote_call_mgr::sweeps_between_keep_alives + 1) {
        for (std::uint32_t tick = 0; tick <= remote_call_mgr::sweeps_between_keep_alives; ++tick) {
            server->tick();
        }
        ASSERT_EQ(client.read_frame().header.kind, keep_alive_kind);
        // The answer to ours shows that the server has read both.
        client.send(answer_and_ask);
        const testing::received_frame answer = client.read_frame();
        EXPECT_EQ(answer.header.kind, reply_kind);
        EXPECT_EQ(answer.header.call_id, no_call_id);
    }
    EXPECT_FALSE(connection->closed());
    expect_echo(client);
}

TEST_F(RpcTcpServerTest, TimerTicksOnItsOwn) {
    auto server = start_server();
    server->start_timer();
    server->start_timer();  // one timer still
    raw_client client(server->local_endpoint());
    const auto connection = log_.accepted(0);
    client.close();
    EXPECT_EQ(log_.closed(0), connection);
}

TEST(RpcTcpServer, ConnectionAcceptedAfterStopIsDropped) {
    boost::asio::io_context io;  // run by this thread, step by step
    connection_log log;
    auto server = rpc_tcp_server<>::create(io, any_loopback_port);
    log.watch(*server);
    // The connection waits in the listen backlog until the server accepts it.
    raw_client client(server->local_endpoint());
    server->start_accept();
    io.poll_one();  // posts the accept, which may complete at once
    server->stop();
    io.run_for(client_timeout);  // returns early once the server is done
    EXPECT_EQ(log.accepted_count(), 0u);
    EXPECT_EQ(server->connection_count(), 0u);
    EXPECT_TRUE(client.wait_for_close());
}

TEST_F(RpcTcpServerTest, NewConnectionCallbackThatThrowsClosesOnlyItsConnection) {
    auto server = start_server();
    auto first = std::make_shared<std::atomic<bool>>(true);
    server->set_new_connection_callback([first](const std::shared_ptr<rpc_tcp_connection>& c) {
        if (first->exchange(false)) {
            throw std::runtime_error("cannot set up");
        }
        c->add_method(1, [](bool_reply reply, std::string text) { reply(true, text); });
    });
    raw_client refused(server->local_endpoint());
    EXPECT_TRUE(refused.wait_for_close());
    raw_client served(server->local_endpoint());
    expect_echo(served);
}

// Lowers this process's descriptor limit and uses up what is left of it.
class descriptor_exhaustion {
  public:
    descriptor_exhaustion() {
        ::getrlimit(RLIMIT_NOFILE, &original_);
        rlimit lowered = original_;
        lowered.rlim_cur = std::min<rlim_t>(original_.rlim_cur, 512);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                break;
            }
            held_.push_back(fd);
        }
    }

    ~descriptor_exhaustion() { release(); }

    void release() {
        for (int fd : held_) {
            ::close(fd);
        }
        held_.clear();
        ::setrlimit(RLIMIT_NOFILE, &original_);
    }

  private:
    rlimit original_{};
    std::vector<int> held_;
};

TEST_F(RpcTcpServerTest, AcceptingGoesOnAfterRunningOutOfDescriptors) {
    auto server = start_server();
    // The sanitizers check a type the first time they meet it, and need
    // descriptors for that. Meet the types of the accept path, and of the
    // error it is about to get, while there are some; the second echo waits
    // for the first one's write to complete. The connection stays open: its
    // closing would bring new types while descriptors are short.
    raw_client warm_up(server->local_endpoint());
    expect_echo(warm_up);
    expect_echo(warm_up);
    const boost::system::error_code emfile(EMFILE, boost::system::system_category());
    ASSERT_TRUE(emfile == boost::system::errc::too_many_files_open);

    boost::asio::io_context client_io;
    tcp::socket client(client_io);
    client.open(tcp::v4());
    {
        descriptor_exhaustion exhausted;
        client.connect(server->local_endpoint());  // waits in the backlog
        // Long enough for the accept to fail, short of the pause after it.
        std::this_thread::sleep_for(rpc_tcp_server_base::accept_retry_delay / 2);
        EXPECT_EQ(log_.accepted_count(), 1u);
    }
    EXPECT_NE(log_.accepted(1), nullptr);
    raw_client next(server->local_endpoint());
    expect_echo(next);
}

}  // namespace
}  // namespace rpc
