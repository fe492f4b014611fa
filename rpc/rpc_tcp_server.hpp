#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "foundation/tcp_server.hpp"
#include "rpc/rpc_tcp_connection.hpp"

namespace rpc {

// What every rpc_tcp_server does, whatever its connection class: the TCP
// server frame (foundation's tcp_server: accepting, the set of connections,
// the new- and closed-connection callbacks) with a one-second tick that
// sweeps every connection (time-outs, keep-alives). Use
// rpc_tcp_server<Connection>.
class rpc_tcp_server_base : public tcp_server<rpc_tcp_server_base, rpc_tcp_connection> {
  public:
    static constexpr std::size_t read_size = 4096;
    static constexpr std::uint32_t max_payload_length = 0xFFFF;
    static constexpr std::chrono::seconds tick_interval{1};

    ~rpc_tcp_server_base() override;

    // Accepts connections until stop: after a failed accept too.
    void start_accept() { start(); }

    // Ticks every tick_interval until stop.
    void start_timer();

    // One tick: sweeps every connection. The timer calls it; anyone may.
    void tick();

    // Stops accepting and the timer, and closes every connection; each is
    // reported to the connection-closed callback once it has closed. The
    // closing runs on the io context; stop returns at once. A stopped server
    // stays stopped; later calls do nothing.
    void stop() override;

  protected:
    // Opens, binds and listens at once; throws boost::system::system_error
    // naming the step that failed ("open", "reuse_address", "bind",
    // "listen").
    rpc_tcp_server_base(boost::asio::io_context& io,
                        const boost::asio::ip::tcp::endpoint& endpoint);

    boost::asio::io_context& io_context() { return io_; }
    // A new connection, made ready to be accepted into: told it was created,
    // and to leave the server's set when it ends.
    connection_ptr prepared(connection_ptr connection);

  private:
    void arm_timer();
    void on_timer();

    boost::asio::io_context& io_;
    // Used on the strand only.
    boost::asio::steady_timer tick_timer_;
    bool tick_pending_ = false;
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
        set_new_connection_handler(typed(std::move(callback)));
    }

    // Called once a connection has ended, whatever ended it.
    void set_connection_closed_callback(callback_type callback) {
        set_closed_connection_handler(typed(std::move(callback)));
    }

  private:
    connection_ptr make_connection() override {
        return prepared(std::make_shared<Connection>(io_context(), read_size, max_payload_length));
    }

    static connection_handler typed(callback_type callback) {
        if (!callback) {
            return nullptr;
        }
        return [callback = std::move(callback)](const connection_ptr& connection) {
            callback(std::static_pointer_cast<Connection>(connection));
        };
    }
};

}  // namespace rpc
