#include "rpc/rpc_tcp_server.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>

#include <vector>

namespace rpc {

rpc_tcp_server_base::rpc_tcp_server_base(boost::asio::io_context& io,
                                         const boost::asio::ip::tcp::endpoint& endpoint)
    : tcp_server(io, endpoint), io_(io), tick_timer_(strand()) {}

rpc_tcp_server_base::~rpc_tcp_server_base() = default;

rpc_tcp_server_base::connection_ptr rpc_tcp_server_base::prepared(connection_ptr connection) {
    connection->on_created();
    // The connection holds this: the server and the connection only know of
    // each other while both are there.
    connection->set_close_callback(
        [server = weak_from_this(), ended = std::weak_ptr<rpc_tcp_connection>(connection)] {
            const auto self = server.lock();
            const auto connection = ended.lock();
            if (self && connection) {
                self->remove_connection(connection);
            }
        });
    return connection;
}

void rpc_tcp_server_base::start_timer() {
    boost::asio::dispatch(strand(), [self = shared_from_this()] { self->arm_timer(); });
}

void rpc_tcp_server_base::arm_timer() {
    if (stopped() || tick_pending_) {
        return;
    }
    tick_pending_ = true;
    tick_timer_.expires_after(tick_interval);
    tick_timer_.async_wait(boost::asio::bind_executor(
        strand(),
        [self = shared_from_this()](const boost::system::error_code&) { self->on_timer(); }));
}

void rpc_tcp_server_base::on_timer() {
    // Also after a cancel.
    tick_pending_ = false;
    tick();
    arm_timer();
}

void rpc_tcp_server_base::tick() {
    // The sweeps run outside the server's lock: they may close their
    // connection, which then leaves the set.
    for (const auto& connection : connections()) {
        connection->sweep_calls();
    }
}

void rpc_tcp_server_base::stop() {
    tcp_server::stop();
    boost::asio::dispatch(strand(), [self = shared_from_this()] {
        if (self->tick_pending_) {
            self->tick_timer_.cancel();
        }
    });
}

}  // namespace rpc
