#pragma once

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <chrono>
#include <climits>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

// The frame of a TCP server: listens on one endpoint, accepts connections,
// keeps the set of the live ones and tells its owner of each new and each
// closed one. A server derives from it (`Server`, always owned by a
// std::shared_ptr), makes its connections (make_connection) and adds what
// else it does, such as a housekeeping tick.
//
// What it promises for every server:
// - accepting goes on after a failed accept: at once, or after
//   accept_retry_delay when the system ran out of descriptors or memory
//   (accepting again at once would only spin), and when making a connection
//   fails;
// - the new-connection handler is called with every accepted connection
//   before it starts; a connection whose handler throws is closed without
//   being started (what the handler meant to set up is missing), and the
//   server goes on;
// - a connection leaves the set as soon as it has closed, whatever closed
//   it, and the closed-connection handler is called then, once;
// - stop closes the acceptor and every connection; a connection accepted
//   after it is dropped without being reported.
//
// `Connection` provides socket() (to accept into), start() (serving begins)
// and close() (from any thread, any number of times), and calls
// remove_connection with itself once it has closed.
//
// Threads: the acceptor and the retry timer live on a strand of the io
// context given to the constructor; a connection runs wherever its server
// made it. The lock guards the set and the two handlers; it is taken last
// and nothing is called while it is held.
template <class Server, class Connection>
class tcp_server : public std::enable_shared_from_this<Server> {
  public:
    using endpoint_type = boost::asio::ip::tcp::endpoint;
    using strand_type = boost::asio::strand<boost::asio::io_context::executor_type>;
    using connection_ptr = std::shared_ptr<Connection>;
    using connection_handler = std::function<void(const connection_ptr&)>;

    static constexpr std::chrono::milliseconds accept_retry_delay{100};

    virtual ~tcp_server() = default;
    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    // Either may be set at any time; an empty one is not called.
    void set_new_connection_handler(connection_handler handler) {
        std::lock_guard lock(mutex_);
        new_connection_handler_ = std::move(handler);
    }
    void set_closed_connection_handler(connection_handler handler) {
        std::lock_guard lock(mutex_);
        closed_connection_handler_ = std::move(handler);
    }

    // Starts accepting.
    virtual void start() {
        boost::asio::post(strand_, [self = this->shared_from_this()] { self->accept(); });
    }

    // Stops accepting and closes every connection; later calls do nothing.
    // Connections close on their own threads, so whatever runs them must
    // keep running until they have.
    virtual void stop() {
        if (stopped_.exchange(true)) {
            return;
        }
        // The connections are closed on the strand, where they are
        // admitted: one that its new-connection handler is still setting up
        // is closed once the handler has returned, never beside it.
        boost::asio::post(strand_, [self = this->shared_from_this()] {
            boost::system::error_code ignored;
            self->acceptor_.close(ignored);
            self->retry_timer_.cancel();
            for (const auto& connection : self->connections()) {
                connection->close();
            }
        });
    }

    // For a connection that has closed: it leaves the set, and when it was
    // in it the closed-connection handler is called with it.
    void remove_connection(const connection_ptr& connection) {
        connection_handler closed;
        {
            std::lock_guard lock(mutex_);
            if (connections_.erase(connection) == 0) {
                return;
            }
            closed = closed_connection_handler_;
        }
        if (closed) {
            closed(connection);
        }
    }

    bool stopped() const noexcept { return stopped_.load(); }
    // The endpoint listened on (with the port the system chose for port 0).
    const endpoint_type& local_endpoint() const noexcept { return local_endpoint_; }

    // A snapshot of the live connections.
    std::vector<connection_ptr> connections() const {
        std::lock_guard lock(mutex_);
        return {connections_.begin(), connections_.end()};
    }
    std::size_t connection_count() const {
        std::lock_guard lock(mutex_);
        return connections_.size();
    }

  protected:
    // Opens, binds and listens at once, on a strand of `io`; failures throw
    // boost::system::system_error naming the step: "open", "reuse_address",
    // "bind", "listen".
    tcp_server(boost::asio::io_context& io, const endpoint_type& endpoint)
        : strand_(boost::asio::make_strand(io)), acceptor_(strand_), retry_timer_(strand_) {
        boost::system::error_code error;
        acceptor_.open(endpoint.protocol(), error);
        check(error, "open");
        // Lets a restarted server bind while connections of the previous one
        // linger in TIME_WAIT.
        acceptor_.set_option(boost::asio::socket_base::reuse_address(true), error);
        check(error, "reuse_address");
        acceptor_.bind(endpoint, error);
        check(error, "bind");
        // The system's largest backlog: it caps the number asked for.
        acceptor_.listen(INT_MAX, error);
        check(error, "listen");
        // For draining the backlog (admit_waiting); the asynchronous accept
        // works as before.
        acceptor_.non_blocking(true, error);
        check(error, "listen");
        local_endpoint_ = acceptor_.local_endpoint(error);
        check(error, "listen");
    }

    strand_type& strand() noexcept { return strand_; }

    // A connection for the next accept, not yet connected. May throw:
    // accepting then goes on after accept_retry_delay.
    virtual connection_ptr make_connection() = 0;

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

    // On the strand: posts one asynchronous accept into a new connection.
    void accept() {
        if (stopped_) {
            return;
        }
        connection_ptr connection;
        try {
            connection = make_connection();
        } catch (const std::exception&) {
            accept_later();
            return;
        }
        acceptor_.async_accept(
            connection->socket(),
            boost::asio::bind_executor(strand_, [self = this->shared_from_this(), connection](
                                                    const boost::system::error_code& error) {
                self->on_accept(connection, error);
            }));
    }

    void accept_later() {
        retry_timer_.expires_after(accept_retry_delay);
        retry_timer_.async_wait(boost::asio::bind_executor(
            strand_, [self = this->shared_from_this()](const boost::system::error_code& error) {
                if (!error) {
                    self->accept();
                }
            }));
    }

    void on_accept(const connection_ptr& connection, const boost::system::error_code& error) {
        if (stopped_) {
            // Also a connection accepted just before stop: dropping the last
            // reference closes its socket.
            return;
        }
        if (error) {
            if (error == boost::asio::error::operation_aborted) {
                return;
            }
            if (out_of_resources(error)) {
                accept_later();
            } else {
                accept();
            }
            return;
        }
        if (!admit(connection)) {
            return;
        }
        admit_waiting();
        accept();
    }

    bool admit(const connection_ptr& connection) {
        connection_handler handler;
        {
            std::lock_guard lock(mutex_);
            if (stopped_) {
                return false;
            }
            connections_.insert(connection);
            handler = new_connection_handler_;
        }
        if (handler) {
            try {
                handler(connection);
            } catch (...) {
                connection->close();
                return true;
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
            connection_ptr connection;
            try {
                connection = make_connection();
            } catch (const std::exception&) {
                return;
            }
            boost::system::error_code error;
            acceptor_.accept(connection->socket(), error);
            if (error || !admit(connection)) {
                return;
            }
        }
    }

    static constexpr int max_accepts_at_once = 64;

    strand_type strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_timer_;
    endpoint_type local_endpoint_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::set<connection_ptr> connections_;
    connection_handler new_connection_handler_;
    connection_handler closed_connection_handler_;
};
