#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <thread>

namespace vornebased_testing {

// The server's end of one accepted connection. Reads give up after ten
// seconds, so that a client that stops short fails the test instead of
// hanging it.
class server_connection {
  public:
    explicit server_connection(int fd, std::shared_future<void> released);
    ~server_connection() { Close(); }
    server_connection(const server_connection&) = delete;
    server_connection& operator=(const server_connection&) = delete;

    // Reads up to and including the blank line after the head.
    std::string ReadHead();
    // Reads exactly `count` bytes (fewer when the client closes first).
    std::string ReadBytes(std::size_t count);
    // A whole request: its head, and the body its Content-Length announces.
    std::string ReadRequest();
    // Reads until the client closes; what came until then.
    std::string ReadUntilClosed();
    // False when the client went away before all of it was taken.
    bool Send(std::string_view bytes);
    // Ends the connection (with a reset when the server left bytes unread).
    void Close();
    // Drops the connection with a reset.
    void Reset();
    // Waits until the test releases the server.
    void WaitForRelease() const { released_.wait(); }

  private:
    int fd_;
    std::shared_future<void> released_;
};

// Accepts one connection on 127.0.0.1 and runs the test's handler on it;
// everything the client sent that the handler read is kept.
class loopback_server {
  public:
    using handler = std::function<void(server_connection&)>;

    explicit loopback_server(handler serve);
    ~loopback_server();
    loopback_server(const loopback_server&) = delete;
    loopback_server& operator=(const loopback_server&) = delete;

    std::uint16_t port() const { return port_; }
    // Lets a handler that waits for it go on.
    void release();
    // Waits for the handler to end; whether a client came at all.
    bool finish();

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::promise<void> release_;
    bool released_ = false;
    bool accepted_ = false;
    std::thread thread_;
};

// Announced Content-Length of a request head; -1 when there is none.
long long ContentLength(std::string_view head);

}  // namespace vornebased_testing
