#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/function.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <cassert>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "foundation/io_service_pool.hpp"

// A TCP listener that keeps the set of its live connections, and the base of
// one accepted connection, for a server class and a connection class that
// derive from them.
//
// Threads: every object lives on one io context of the pool, which one
// thread runs, so all operations on one socket (read, write, close) are
// serialised while connections on other threads run in parallel. The
// listener keeps a strand of its own for its acceptor and timers.

template <class Server, class Connection>
class tcp_connection;

template <class Server, class Connection>
class tcp_server : public std::enable_shared_from_this<Server> {
  public:
    using endpoint_type = boost::asio::ip::tcp::endpoint;
    using strand_type = boost::asio::strand<boost::asio::io_context::executor_type>;
    using connection_handler = boost::function<void(const std::shared_ptr<Connection>&)>;

    // Opens, binds and listens; failures throw boost::system::system_error
    // naming the step: "open", "bind" or "listen".
    tcp_server(io_service_pool& pool, const endpoint_type& endpoint)
        : pool_(pool),
          strand_(boost::asio::make_strand(pool.pick())),
          acceptor_(strand_),
          retry_timer_(strand_) {
        boost::system::error_code error;
        acceptor_.open(endpoint.protocol(), error);
        check(error, "open");
        // Lets a restarted server bind while connections of the previous one
        // linger in TIME_WAIT.
        acceptor_.set_option(boost::asio::socket_base::reuse_address(true), error);
        acceptor_.bind(endpoint, error);
        check(error, "bind");
        acceptor_.listen(INT_MAX, error);
        check(error, "listen");
        // For draining the backlog (admit_waiting); the asynchronous accept
        // works as before.
        acceptor_.non_blocking(true, error);
        check(error, "listen");
    }

    virtual ~tcp_server() = default;
    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    // Called with every accepted connection before it starts; an exception
    // it throws is ignored.
    connection_handler new_connection_handler;
    // Called after a connection has left the set.
    connection_handler closed_connection_handler;

    virtual void start() {
        boost::asio::post(strand_, [self = this->shared_from_this()] { self->accept(); });
    }

    // Stops accepting and closes every connection; later calls do nothing.
    // Connections close on their own threads, so the pool must keep running
    // until they have (io_service_pool::stop waits for that).
    virtual void stop() {
        if (stopped_.exchange(true)) {
            return;
        }
        boost::asio::post(strand_, [self = this->shared_from_this()] {
            boost::system::error_code ignored;
            self->acceptor_.close(ignored);
            self->retry_timer_.cancel();
        });
        for (const auto& connection : connections()) {
            connection->close();
        }
    }

    // Posts one asynchronous accept into a new connection (on the strand).
    virtual void accept() {
        auto connection = std::make_shared<Connection>(this->shared_from_this());
        acceptor_.async_accept(connection->socket(), [self = this->shared_from_this(), connection](
                                                         const boost::system::error_code& error) {
            self->on_accept(connection, error);
        });
    }

    void remove_connection(const std::shared_ptr<Connection>& connection) {
        {
            std::lock_guard lock(mutex_);
            connections_.erase(connection);
        }
        if (closed_connection_handler) {
            closed_connection_handler(connection);
        }
    }

    bool stopped() const noexcept { return stopped_.load(); }
    io_service_pool& pool() noexcept { return pool_; }
    endpoint_type local_endpoint() const { return acceptor_.local_endpoint(); }

    // A snapshot of the live connections.
    std::vector<std::shared_ptr<Connection>> connections() const {
        std::lock_guard lock(mutex_);
        return {connections_.begin(), connections_.end()};
    }

  protected:
    strand_type& strand() noexcept { return strand_; }

  private:
    static void check(const boost::system::error_code& error, const char* step) {
        if (error) {
            throw boost::system::system_error(error, step);
        }
    }

    // Errors that go away when other connections close: accepting again at
    // once would only spin.
    static bool out_of_resources(const boost::system::error_code& error) {
        namespace errc = boost::system::errc;
        return error == errc::too_many_files_open || error == errc::too_many_files_open_in_system ||
               error == errc::no_buffer_space || error == errc::not_enough_memory;
    }

    void on_accept(const std::shared_ptr<Connection>& connection,
                   const boost::system::error_code& error) {
        if (stopped_) {
            return;
        }
        if (error) {
            // One failed accept must not end accepting for good.
            if (error == boost::asio::error::operation_aborted) {
                return;
            }
            if (out_of_resources(error)) {
                retry_timer_.expires_after(std::chrono::milliseconds(100));
                retry_timer_.async_wait(
                    [self = this->shared_from_this()](const boost::system::error_code& wait) {
                        if (!wait && !self->stopped_) {
                            self->accept();
                        }
                    });
            } else {
                accept();
            }
            return;
        }
        if (!admit(connection)) {
            return;
        }
        admit_waiting();
        if (!stopped_) {
            accept();
        }
    }

    bool admit(const std::shared_ptr<Connection>& connection) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) {
                return false;
            }
            connections_.insert(connection);
        }
        if (new_connection_handler) {
            try {
                new_connection_handler(connection);
            } catch (...) {
                // The application's bookkeeping failed; the connection is
                // still served.
            }
        }
        connection->start();
        return true;
    }

    // Takes what else waits in the listen backlog now, a bounded number in
    // one go: the acceptor shares its thread with connections, and when a
    // burst of clients finds only one accept per turn of that thread's loop,
    // the backlog overflows and their connects wait for the retransmission
    // of the handshake. Any failure (nothing waiting among them) is left to
    // the asynchronous accept that follows.
    void admit_waiting() {
        for (int taken = 0; taken < max_accepts_at_once && !stopped_; ++taken) {
            auto connection = std::make_shared<Connection>(this->shared_from_this());
            boost::system::error_code error;
            acceptor_.accept(connection->socket(), error);
            if (error || !admit(connection)) {
                return;
            }
        }
    }

    static constexpr int max_accepts_at_once = 64;

    io_service_pool& pool_;
    strand_type strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_timer_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::set<std::shared_ptr<Connection>> connections_;
};

template <class Server, class Connection>
class tcp_connection : public std::enable_shared_from_this<Connection> {
  public:
    using socket_type = boost::asio::ip::tcp::socket;
    using executor_type = boost::asio::io_context::executor_type;

    // INT_MAX in a countdown or time-out means off.
    static constexpr std::int32_t off = INT_MAX;

    explicit tcp_connection(std::shared_ptr<Server> server)
        : server_(std::move(server)),
          context_(server_->pool().pick()),
          executor_(context_.get_executor()),
          socket_(executor_) {}

    virtual ~tcp_connection() = default;
    tcp_connection(const tcp_connection&) = delete;
    tcp_connection& operator=(const tcp_connection&) = delete;

    virtual void start() = 0;

    // Closes once: on the connection's thread, on_close runs, the socket
    // closes and the connection leaves the server's set. Never runs inline,
    // so it may be called from anywhere, under any lock.
    virtual void close() {
        if (closed_.exchange(true)) {
            return;
        }
        boost::asio::post(executor_, [self = this->shared_from_this()] {
            static_cast<tcp_connection&>(*self).close_on_thread(self);
        });
    }

    bool closed() const noexcept { return closed_.load(); }
    socket_type& socket() noexcept { return socket_; }
    // The io context, and so the thread, that runs all of the connection's
    // handlers.
    boost::asio::io_context& context() noexcept { return context_; }
    const executor_type& executor() const noexcept { return executor_; }
    bool on_own_thread() const noexcept { return executor_.running_in_this_thread(); }
    // Debug builds stop a handler that runs on another thread than the
    // connection's.
    void assert_on_own_thread() const noexcept { assert(on_own_thread()); }
    Server& server() noexcept { return *server_; }

    // One housekeeping tick: counts both countdowns down and tells whether
    // the connection has been idle long enough to close.
    bool idle_tick() noexcept {
        const bool receive_expired = count_down(receive_countdown);
        const bool send_expired = count_down(send_countdown);
        switch (close_mode.load(std::memory_order_relaxed)) {
            case 0:
                return receive_expired || send_expired;
            case 1:
                return receive_expired && send_expired;
            default:
                return false;
        }
    }

    // Seconds left: the connection reloads them from the time-outs when its
    // peer shows life (on RTMP, a complete message) and when a write
    // completes; the server's tick counts them down.
    std::atomic<std::int32_t> receive_countdown{off};
    std::atomic<std::int32_t> send_countdown{off};
    std::int32_t receive_timeout = off;
    std::int32_t send_timeout = off;
    // 0: close when either countdown has expired; 1: when both have; any
    // other value: never.
    std::atomic<std::int32_t> close_mode{1};

  protected:
    virtual void on_close() = 0;

  private:
    void close_on_thread(const std::shared_ptr<Connection>& self) {
        assert_on_own_thread();
        on_close();
        boost::system::error_code ignored;
        socket_.close(ignored);
        server_->remove_connection(self);
    }

    static bool count_down(std::atomic<std::int32_t>& countdown) noexcept {
        std::int32_t value = countdown.load(std::memory_order_relaxed);
        if (value == off) {
            return false;
        }
        if (value >= 0) {
            --value;
            countdown.store(value, std::memory_order_relaxed);
        }
        return value < 0;
    }

    std::shared_ptr<Server> server_;
    boost::asio::io_context& context_;
    executor_type executor_;
    socket_type socket_;
    std::atomic<bool> closed_{false};
};
