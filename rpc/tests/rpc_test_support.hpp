#pragma once

// A blocking client that speaks raw frames to a server under test, and a
// thread that runs an io context.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "rpc/rpc_frame.hpp"

namespace rpc::testing {

// Runs an io context on one thread until stop() or destruction; stop lets the
// queued and outstanding work finish first.
class io_thread {
  public:
    io_thread();
    ~io_thread();
    io_thread(const io_thread&) = delete;
    io_thread& operator=(const io_thread&) = delete;

    boost::asio::io_context& context() { return io_; }
    void stop();

  private:
    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::thread thread_;
};

struct received_frame {
    frame_header header;
    byte_buffer payload;
};

// Every wait of the client gives up after this long and fails the test.
inline constexpr std::chrono::seconds client_timeout{5};

class raw_client {
  public:
    explicit raw_client(const boost::asio::ip::tcp::endpoint& server);

    void send(const byte_buffer& bytes);
    // One byte per send, with a pause after each, so that the server sees
    // the bytes in many reads.
    void send_byte_by_byte(const byte_buffer& bytes);

    // The next frame; throws std::runtime_error when none comes in time or
    // the server closed the connection.
    received_frame read_frame();

    // Whether the server ends the connection (end of stream or reset) in time,
    // skipping whatever it sends before.
    bool wait_for_close();

    void close();

  private:
    // Fills `size` bytes; false at the end of the stream or on a reset.
    bool read_exact(std::uint8_t* data, std::size_t size);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
};

}  // namespace rpc::testing
