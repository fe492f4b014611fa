#include "rpc/rpc_tcp_server.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/system/system_error.hpp>

#include <vector>

namespace rpc {

namespace {

void throw_on(const boost::system::error_code& error, const char* step) {
    if (error) {
        throw boost::system::system_error(error, step);
    }
}

// Errors after which accepting at once would fail again at once.
bool is_resource_shortage(const boost::system::error_code& error) {
    namespace errc = boost::system::errc;
    return error == errc::too_many_files_open || error == errc::too_many_files_open_in_system ||
           error == errc::no_buffer_space || error == errc::not_enough_memory;
}

}  // namespace

rpc_tcp_server_base::rpc_tcp_server_base(boost::asio::io_context& io,
                                         const boost::asio::ip::tcp::endpoint& endpoint)
    : io_(io),
      strand_(boost::asio::make_strand(io)),
      acceptor_(strand_),
      tick_timer_(strand_),
      accept_retry_timer_(strand_) {
    boost::system::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    throw_on(error, "open");
    // A restarted server must get its port back while connections of the
    // previous one linger in TIME_WAIT.
    acceptor_.set_option(boost::asio::socket_base::reuse_address(true), error);
    throw_on(error, "reuse_address");
    acceptor_.bind(endpoint, error);
    throw_on(error, "bind");
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
    throw_on(error, "listen");
    local_endpoint_ = acceptor_.local_endpoint(error);
    throw_on(error, "local_endpoint");
}

rpc_tcp_server_base::~rpc_tcp_server_base() = default;

void rpc_tcp_server_base::set_new_connection_callback_base(connection_callback callback) {
    std::lock_guard lock(mutex_);
    on_new_connection_ = std::move(callback);
}

void rpc_tcp_server_base::set_connection_closed_callback_base(connection_callback callback) {
    std::lock_guard lock(mutex_);
    on_connection_closed_ = std::move(callback);
}

std::size_t rpc_tcp_server_base::connection_count() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

void rpc_tcp_server_base::start_accept() {
    boost::asio::dispatch(strand_, [self = shared_from_this()] { self->accept_next(); });
}

void rpc_tcp_server_base::accept_next() {
    if (stopped_) {
        return;
    }
    connection_ptr connection;
    try {
        connection = make_connection();
        connection->on_created();
    } catch (const std::exception&) {
        accept_later();
        return;
    }
    acceptor_.async_accept(
        connection->socket(),
        boost::asio::bind_executor(strand_, [self = shared_from_this(),
                                             connection](const boost::system::error_code& error) {
            self->on_accept(error, connection);
        }));
}

void rpc_tcp_server_base::accept_later() {
    accept_retry_timer_.expires_after(accept_retry_delay);
    accept_retry_timer_.async_wait(boost::asio::bind_executor(
        strand_,
        [self = shared_from_this()](const boost::system::error_code&) { self->accept_next(); }));
}

void rpc_tcp_server_base::on_accept(const boost::system::error_code& error,
                                    const connection_ptr& connection) {
    if (stopped_) {
        // Also a connection accepted just before stop: dropping the last
        // reference closes its socket.
        return;
    }
    if (error) {
        if (is_resource_shortage(error)) {
            accept_later();
        } else {
            accept_next();
        }
        return;
    }
    connection_callback on_new_connection;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        connections_.insert(connection);
        on_new_connection = on_new_connection_;
    }
    if (on_new_connection) {
        try {
            on_new_connection(connection);
        } catch (...) {
            // Without what the callback meant to set up the connection
            // cannot be served.
            connection->close();
        }
    }
    connection->start_receive();
    accept_next();
}

void rpc_tcp_server_base::start_timer() {
    boost::asio::dispatch(strand_, [self = shared_from_this()] { self->arm_timer(); });
}

void rpc_tcp_server_base::arm_timer() {
    if (stopped_ || tick_pending_) {
        return;
    }
    tick_pending_ = true;
    tick_timer_.expires_after(tick_interval);
    tick_timer_.async_wait(boost::asio::bind_executor(
        strand_,
        [self = shared_from_this()](const boost::system::error_code&) { self->on_timer(); }));
}

void rpc_tcp_server_base::on_timer() {
    // Also after a cancel: stop relies on this last tick.
    tick_pending_ = false;
    tick();
    arm_timer();
}

void rpc_tcp_server_base::tick() {
    // Sweeps and callbacks run outside the lock: they may call back into
    // the server.
    const std::vector<connection_ptr> connections = snapshot();
    for (const auto& connection : connections) {
        connection->sweep_calls();
    }
    std::vector<connection_ptr> closed;
    connection_callback on_connection_closed;
    {
        std::lock_guard lock(mutex_);
        for (const auto& connection : connections) {
            if (connection->closed() && connections_.erase(connection) > 0) {
                closed.push_back(connection);
            }
        }
        on_connection_closed = on_connection_closed_;
    }
    if (on_connection_closed) {
        for (const auto& connection : closed) {
            try {
                on_connection_closed(connection);
            } catch (...) {
                // The connection is gone either way.
            }
        }
    }
}

std::vector<rpc_tcp_server_base::connection_ptr> rpc_tcp_server_base::snapshot() const {
    std::lock_guard lock(mutex_);
    return {connections_.begin(), connections_.end()};
}

void rpc_tcp_server_base::stop() {
    if (stopped_.exchange(true)) {
        return;
    }
    // No connection joins the set once stopped_ is set, and these are closed
    // before the last tick is posted, so that tick removes them all.
    for (const auto& connection : snapshot()) {
        connection->close();
    }
    boost::asio::dispatch(strand_, [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
        self->accept_retry_timer_.cancel();
        if (self->tick_pending_) {
            self->tick_timer_.cancel();
        } else {
            self->tick();
        }
    });
}

}  // namespace rpc
