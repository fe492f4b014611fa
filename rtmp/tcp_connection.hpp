#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cassert>
#include <climits>
#include <cstdint>
#include <memory>

// The base of one accepted connection of a tcp_server (foundation), for a
// server class and a connection class that derive from them: its socket on
// an io context of the server's pool, its close, and the idle countdowns
// that the server's housekeeping tick counts down.
//
// Threads: the connection lives on the io context it was given, which one
// thread runs, so all operations on its socket (read, write, close) are
// serialised while connections on other threads run in parallel.

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
