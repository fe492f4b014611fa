#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

namespace rpc {

// The transport of one remote-call endpoint: a TCP socket whose completions
// all run on one strand, so that the reads, writes and methods of one
// connection never run at once however many threads run the io context.
class network_rpc_io {
  public:
    using executor_type = boost::asio::strand<boost::asio::io_context::executor_type>;
    using socket_type = boost::asio::ip::tcp::socket;

    explicit network_rpc_io(boost::asio::io_context& io)
        : strand_(boost::asio::make_strand(io)), socket_(strand_) {}

    network_rpc_io(const network_rpc_io&) = delete;
    network_rpc_io& operator=(const network_rpc_io&) = delete;

    const executor_type& executor() const { return strand_; }
    socket_type& socket() { return socket_; }

    // Closes the socket the first time; later calls do nothing. Runs on the
    // executor only.
    void close() {
        if (!closed_) {
            closed_ = true;
            boost::system::error_code ignored;
            socket_.close(ignored);
        }
    }

  private:
    executor_type strand_;
    socket_type socket_;
    bool closed_ = false;
};

}  // namespace rpc
