#include "rpc/tests/rpc_test_support.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>

#include <stdexcept>

namespace rpc::testing {

io_thread::io_thread() : work_(io_.get_executor()), thread_([this] { io_.run(); }) {}

io_thread::~io_thread() {
    stop();
}

void io_thread::stop() {
    work_.reset();
    if (thread_.joinable()) {
        thread_.join();
    }
}

raw_client::raw_client(const boost::asio::ip::tcp::endpoint& server) : socket_(io_) {
    socket_.connect(server);
    socket_.set_option(boost::asio::ip::tcp::no_delay(true));
}

void raw_client::send(const byte_buffer& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
}

void raw_client::send_byte_by_byte(const byte_buffer& bytes) {
    for (std::uint8_t byte : bytes) {
        boost::asio::write(socket_, boost::asio::buffer(&byte, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool raw_client::read_exact(std::uint8_t* data, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + client_timeout;
    std::size_t done = 0;
    while (done < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{.fd = socket_.native_handle(), .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("nothing from the server in time");
        }
        boost::system::error_code error;
        done += socket_.read_some(boost::asio::buffer(data + done, size - done), error);
        if (error) {
            return false;
        }
    }
    return true;
}

received_frame raw_client::read_frame() {
    std::uint8_t header[frame_header_size];
    received_frame frame;
    if (read_exact(header, sizeof header)) {
        frame.header = read_frame_header(header);
        frame.payload.resize(frame.header.payload_length);
        if (read_exact(frame.payload.data(), frame.payload.size())) {
            return frame;
        }
    }
    throw std::runtime_error("the server closed the connection");
}

bool raw_client::wait_for_close() {
    std::uint8_t skipped;
    try {
        while (read_exact(&skipped, 1)) {
        }
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

void raw_client::close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
}

}  // namespace rpc::testing
