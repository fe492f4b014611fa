#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <type_traits>
#include <vector>

#include "rpc/rpc_tcp_connection.hpp"

namespace rpc {

// What every rpc_tcp_server does, whatever its connection class: listens on
// one endpoint, accepts connections and starts their receive loops, and
// drives them with a one-second tick (time-outs, keep-alives, removal of
// closed connections). Use rpc_tcp_server<Connection>.
class rpc_tcp_server_base : public std::enable_shared_from_this<rpc_tcp_server_base> {
  public:
    using connection_ptr = std::shared_ptr<rpc_tcp_connection>;

    static constexpr std::size_t read_size = 4096;
    static constexpr std::uint32_t max_payload_length = 0xFFFF;
    static constexpr std::chrono::seconds tick_interval{1};
    // The pause before accepting again when the system ran out of
    // descriptors or memory.
    static constexpr std::chrono::milliseconds accept_retry_delay{100};

    virtual ~rpc_tcp_server_base();

    rpc_tcp_server_base(const rpc_tcp_server_base&) = delete;
    rpc_tcp_server_base& operator=(const rpc_tcp_server_base&) = delete;

    // Accepts connections until stop: after a failed accept too.
    void start_accept();

    // Ticks every tick_interval until stop.
    void start_timer();

    // One tick: sweeps every connection, then removes the closed ones and
    // reports them to the connection-closed callback. The timer calls it;
    // anyone may.
    void tick();

    // Stops accepting, closes every connection and removes them with a last
    // tick. The closing runs on the io context; stop returns at once. A
    // stopped server stays stopped; later calls do nothing.
    void stop();
    bool stopped() const { return stopped_; }

    // The endpoint listened on (with the port the system chose for port 0).
    const boost::asio::ip::tcp::endpoint& local_endpoint() const { return local_endpoint_; }

    std::size_t connection_count() const;

  protected:
    using connection_callback = std::function<void(const connection_ptr&)>;

    // Opens, binds and listens at once; throws boost::system::system_error
    // naming the step that failed ("open", "reuse_address", "bind", "listen").
    rpc_tcp_server_base(boost::asio::io_context& io,
                        const boost::asio::ip::tcp::endpoint& endpoint);

    boost::asio::io_context& io_context() { return io_; }
    virtual connection_ptr make_connection() = 0;

    void set_new_connection_callback_base(connection_callback callback);
    void set_connection_closed_callback_base(connection_callback callback);

  private:
    using executor_type = boost::asio::strand<boost::asio::io_context::executor_type>;

    void accept_next();
    void on_accept(const boost::system::error_code& error, const connection_ptr& connection);
    void accept_later();
    void arm_timer();
    void on_timer();
    std::vector<connection_ptr> snapshot() const;

    boost::asio::io_context& io_;
    std::atomic<bool> stopped_{false};

    // The acceptor and the timers are used on the strand only.
    executor_type strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::endpoint local_endpoint_;
    boost::asio::steady_timer tick_timer_;
    bool tick_pending_ = false;
    boost::asio::steady_timer accept_retry_timer_;

    mutable std::mutex mutex_;
    std::set<connection_ptr> connections_;
    connection_callback on_new_connection_;
    connection_callback on_connection_closed_;
};

// A remote-call server whose connections are objects of `Connection`, made
// with (io context, read size, maximum payload length). The owner creates it,
// sets the callbacks, calls start_accept() and start_timer(), and calls stop()
// before letting it go: accepting and the timer keep it alive until then.
// Once stopped, the server and its connections leave the io context no work,
// so a thread running it returns. Connections must not outlive the io context.
template <typename Connection = rpc_tcp_connection>
class rpc_tcp_server final : public rpc_tcp_server_base {
    static_assert(std::is_base_of_v<rpc_tcp_connection, Connection>);
    struct create_key {
        explicit create_key() = default;
    };

  public:
    using connection_type = Connection;
    using callback_type = std::function<void(const std::shared_ptr<Connection>&)>;

    static std::shared_ptr<rpc_tcp_server> create(boost::asio::io_context& io,
                                                  const boost::asio::ip::tcp::endpoint& endpoint) {
        return std::make_shared<rpc_tcp_server>(create_key{}, io, endpoint);
    }

    rpc_tcp_server(create_key, boost::asio::io_context& io,
                   const boost::asio::ip::tcp::endpoint& endpoint)
        : rpc_tcp_server_base(io, endpoint) {}

    // Called with each accepted connection before it reads its first frame:
    // the place to register the methods it starts with. A callback that
    // throws closes the connection.
    void set_new_connection_callback(callback_type callback) {
        set_new_connection_callback_base(typed(std::move(callback)));
    }

    // Called by the tick that removes a closed connection.
    void set_connection_closed_callback(callback_type callback) {
        set_connection_closed_callback_base(typed(std::move(callback)));
    }

  private:
    connection_ptr make_connection() override {
        return std::make_shared<Connection>(io_context(), read_size, max_payload_length);
    }

    static connection_callback typed(callback_type callback) {
        if (!callback) {
            return nullptr;
        }
        return [callback = std::move(callback)](const connection_ptr& connection) {
            callback(std::static_pointer_cast<Connection>(connection));
        };
    }
};

}  // namespace rpc
