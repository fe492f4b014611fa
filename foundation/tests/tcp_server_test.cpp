#include "foundation/tcp_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using boost::asio::ip::tcp;
using namespace std::chrono_literals;

class echo_server;

// Echoes what it reads until its peer hangs up, then closes.
class echo_connection : public std::enable_shared_from_this<echo_connection> {
  public:
    echo_connection(boost::asio::io_context& io, std::weak_ptr<echo_server> server)
        : socket_(io), server_(std::move(server)) {}

    tcp::socket& socket() { return socket_; }
    void start() {
        started = true;
        read();
    }
    void close();

    std::atomic<bool> started{false};

  private:
    void read() {
        socket_.async_read_some(
            boost::asio::buffer(buffer_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
                if (error) {
                    self->close();
                    return;
                }
                boost::asio::write(self->socket_, boost::asio::buffer(self->buffer_, count));
                self->read();
            });
    }

    tcp::socket socket_;
    std::weak_ptr<echo_server> server_;
    std::array<char, 64> buffer_{};
    std::atomic<bool> closed_{false};
};

class echo_server : public tcp_server<echo_server, echo_connection> {
  public:
    explicit echo_server(io_service_pool& pool)
        : tcp_server(pool.pick(), {boost::asio::ip::address_v4::loopback(), 0}), pool_(pool) {}

  protected:
    connection_ptr make_connection() override {
        return std::make_shared<echo_connection>(pool_.pick(), weak_from_this());
    }

  private:
    io_service_pool& pool_;
};

void echo_connection::close() {
    if (closed_.exchange(true)) {
        return;
    }
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->socket_.close(ignored);
        if (const auto server = self->server_.lock()) {
            server->remove_connection(self);
        }
    });
}

// The connections the server reported, in order.
class reports {
  public:
    void watch(echo_server& server) {
        server.set_new_connection_handler([this](const auto& c) { add(accepted_, c); });
        server.set_closed_connection_handler([this](const auto& c) { add(closed_, c); });
    }
    std::vector<std::shared_ptr<echo_connection>> accepted() { return copy(accepted_); }
    std::vector<std::shared_ptr<echo_connection>> closed() { return copy(closed_); }
    void add_closed(const std::shared_ptr<echo_connection>& c) { add(closed_, c); }

  private:
    using list = std::vector<std::shared_ptr<echo_connection>>;
    void add(list& to, const std::shared_ptr<echo_connection>& c) {
        std::lock_guard lock(mutex_);
        to.push_back(c);
    }
    list copy(const list& from) {
        std::lock_guard lock(mutex_);
        return from;
    }
    std::mutex mutex_;
    list accepted_;
    list closed_;
};

bool eventually(const std::function<bool()>& condition) {
    return platform::testing::eventually(condition, 10s);
}

// A blocking client of the test's own.
struct client {
    boost::asio::io_context io;
    tcp::socket socket{io};

    explicit client(const tcp::endpoint& server) { socket.connect(server); }

    std::string echo(const std::string& text) {
        boost::asio::write(socket, boost::asio::buffer(text));
        std::string answer(text.size(), '\0');
        boost::asio::read(socket, boost::asio::buffer(answer));
        return answer;
    }

    bool hung_up_on() {
        char byte;
        boost::system::error_code error;
        socket.read_some(boost::asio::buffer(&byte, 1), error);
        return error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
    }
};

class TcpServer : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_shared<echo_server>(pool);
        log.watch(*server);
        server->start();
    }
    void TearDown() override {
        server->stop();
        pool.stop();
    }

    io_service_pool pool{2};
    std::shared_ptr<echo_server> server;
    reports log;
};

// What the handler meant to set up is missing: that connection is closed
// without being served, and the server goes on.
TEST_F(TcpServer, AConnectionWhoseNewConnectionHandlerThrowsIsClosedUnstarted) {
    auto failed = std::make_shared<std::atomic<bool>>(false);
    server->set_new_connection_handler([failed](const auto&) {
        if (!failed->exchange(true)) {
            throw std::runtime_error("cannot set up");
        }
    });
    client refused(server->local_endpoint());
    EXPECT_TRUE(refused.hung_up_on());
    ASSERT_TRUE(eventually([&] { return log.closed().size() == 1; }));
    EXPECT_FALSE(log.closed()[0]->started);
    EXPECT_EQ(server->connection_count(), 0u);

    client served(server->local_endpoint());
    EXPECT_EQ(served.echo("ping"), "ping");
    EXPECT_EQ(server->connection_count(), 1u);
}

// Whatever closes a connection (its peer, or stop), it leaves the set at
// once and is reported once.
TEST_F(TcpServer, AClosedConnectionLeavesTheSetAndIsReportedOnce) {
    auto leaving = std::make_unique<client>(server->local_endpoint());
    client staying(server->local_endpoint());
    EXPECT_EQ(leaving->echo("a"), "a");
    EXPECT_EQ(staying.echo("b"), "b");
    ASSERT_EQ(log.accepted().size(), 2u);

    // A connection is reported just after it has left the set.
    leaving.reset();
    ASSERT_TRUE(eventually([&] { return log.closed().size() == 1; }));
    EXPECT_EQ(server->connection_count(), 1u);
    EXPECT_TRUE(log.closed()[0] == log.accepted()[0] || log.closed()[0] == log.accepted()[1]);

    server->stop();
    server->stop();
    EXPECT_TRUE(staying.hung_up_on());
    ASSERT_TRUE(eventually([&] { return log.closed().size() >= 2; }));
    EXPECT_EQ(server->connection_count(), 0u);
    const auto closed = log.closed();
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_NE(closed[0], closed[1]);
    EXPECT_TRUE(eventually([&] {
        try {
            client late(server->local_endpoint());
            return false;
        } catch (const boost::system::system_error&) {
            return true;
        }
    })) << "a stopped server's port takes no connection";
}

// A stop while the new-connection handler still sets a connection up: the
// connection is closed after the handler has returned, never beside it on
// the connection's own thread, and is reported closed once.
TEST_F(TcpServer, AStopDuringTheNewConnectionHandlerClosesTheConnectionAfterIt) {
    std::promise<void> entered;
    std::promise<void> stopped;
    auto handler_done = std::make_shared<std::atomic<bool>>(false);
    auto closed_before_done = std::make_shared<std::atomic<int>>(0);
    server->set_new_connection_handler([&entered, &stopped, handler_done](const auto&) {
        entered.set_value();
        stopped.get_future().wait();
        // Room for a close that the stop sent to the connection's thread.
        std::this_thread::sleep_for(50ms);
        handler_done->store(true);
    });
    server->set_closed_connection_handler([this, handler_done, closed_before_done](const auto& c) {
        if (!handler_done->load()) {
            ++*closed_before_done;
        }
        log.add_closed(c);
    });
    client waiting(server->local_endpoint());
    // The handler holds the connection until the server has stopped.
    entered.get_future().wait();
    server->stop();
    stopped.set_value();
    EXPECT_TRUE(waiting.hung_up_on());
    ASSERT_TRUE(eventually([&] { return log.closed().size() == 1; }));
    EXPECT_EQ(closed_before_done->load(), 0);
    EXPECT_EQ(server->connection_count(), 0u);
}

}  // namespace
