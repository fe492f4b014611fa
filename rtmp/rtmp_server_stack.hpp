#pragma once

#include <boost/function.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/id_map.hpp"
#include "rtmp/connection_callbacks.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/rtmp_handshake.hpp"
#include "rtmp/rtmp_net_stream.hpp"

namespace rtmp {

// The protocol stack of one connection: the handshake, then the chunk layer,
// whose messages it routes to the net stream their message stream id names.
// Stream 0 is the NetConnection; createStream makes the others.
//
// It belongs to its connection's thread, as the connection does (see
// rtmp_server_connection): its input, its commands, its players and its
// timers all run there, one after the other, so it has no lock.
class rtmp_server_stack {
  public:
    // Stream ids 1..127 are handed out.
    static constexpr std::uint32_t max_streams = 128;

    explicit rtmp_server_stack(connection_callbacks& owner);
    virtual ~rtmp_server_stack();

    rtmp_server_stack(const rtmp_server_stack&) = delete;
    rtmp_server_stack& operator=(const rtmp_server_stack&) = delete;

    // Received bytes; ignored once closed. Protocol errors throw and the
    // connection closes; a refused connect throws connection_refused after
    // its reply has been queued.
    //
    // Returns whether the bytes were activity for the connection's idle
    // rule: bytes of the handshake, or bytes that completed a message.
    bool on_data(const std::uint8_t* data, std::uint32_t count);
    // Every net stream's destroy handler runs and the streams are deleted;
    // the application's handlers are unbound; unfinished messages are
    // dropped. Later input is ignored.
    void close();

    // Accepts (true) or refuses a connect; the reason goes to the client.
    boost::function<bool(amf0_object& command, std::string& reason)> connect_handler;
    // A net stream was created: bind its handlers here.
    boost::function<void(rtmp_server_netstream* stream)> netstream_created_handler;

    bool closed() const noexcept { return closed_; }
    bool handshake_done() const noexcept { return chunkstreams_ != nullptr; }
    // Present once the handshake is done.
    rtmp_chunkstreams* chunkstreams() noexcept { return chunkstreams_.get(); }
    rtmp_server_netstream* netstream(std::uint32_t id) const { return netstreams_.find(id); }
    std::size_t netstream_count() const noexcept { return netstreams_.size(); }
    // The client's default buffer length (SetBufferLength for stream 0).
    std::uint32_t buffer_length() const noexcept { return buffer_length_; }

  private:
    void on_handshake_done(std::uint32_t time_base);
    void on_message(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp,
                    std::uint8_t type, std::uint32_t stream_id);
    bool on_connect(amf0_object& command, std::string& reason);
    bool on_create_stream(std::uint32_t& new_id);
    void on_delete_stream(std::uint32_t id);
    void on_set_buffer_length(std::uint32_t stream_id, std::uint32_t milliseconds);
    rtmp_server_netstream& existing_netstream(std::uint32_t id) const;
    static void destroy(std::unique_ptr<rtmp_server_netstream> stream);

    connection_callbacks& owner_;
    bool closed_ = false;
    std::uint32_t buffer_length_ = 100;
    std::unique_ptr<rtmp_handshake> handshake_;
    // Declared before the net streams, which write into it until they go.
    std::unique_ptr<rtmp_chunkstreams> chunkstreams_;
    id_map<std::unique_ptr<rtmp_server_netstream>> netstreams_;
};

}  // namespace rtmp
