#pragma once

#include <boost/function.hpp>

#include <cstdint>
#include <memory>
#include <mutex>

#include "rtmp/connection_callbacks.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/rtmp_handshake.hpp"

namespace rtmp {

// The protocol stack of one connection: the handshake, then the chunk layer.
// Its lock serialises everything on the connection: input, and output from
// other threads.
class rtmp_server_stack {
  public:
    using message_callback = boost::function<void(const std::uint8_t*, std::uint32_t, std::uint32_t,
                                                  std::uint8_t, std::uint32_t)>;

    explicit rtmp_server_stack(connection_callbacks& owner);
    virtual ~rtmp_server_stack();

    rtmp_server_stack(const rtmp_server_stack&) = delete;
    rtmp_server_stack& operator=(const rtmp_server_stack&) = delete;

    // Received bytes, under the lock; ignored once closed. Protocol errors
    // throw and the connection closes.
    void on_data(const std::uint8_t* data, std::uint32_t count);
    // Under the lock; later input is ignored.
    void close();

    std::mutex& lock() noexcept { return lock_; }
    bool closed() const noexcept { return closed_; }
    bool handshake_done() const noexcept { return chunkstreams_ != nullptr; }
    // Present once the handshake is done.
    rtmp_chunkstreams* chunkstreams() noexcept { return chunkstreams_.get(); }

    // Every message of the chunk layer: body, size, timestamp, type, message
    // stream id.
    message_callback message_handler;

  private:
    void on_handshake_done(std::uint32_t time_base);

    connection_callbacks& owner_;
    std::mutex lock_;
    bool closed_ = false;
    std::unique_ptr<rtmp_handshake> handshake_;
    std::unique_ptr<rtmp_chunkstreams> chunkstreams_;
};

}  // namespace rtmp
