#pragma once

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>

#include "rpc/remote_call_mgr.hpp"

namespace rpc {

// One accepted connection of an rpc_tcp_server. A server's connection class
// derives from it and keeps its constructor's parameters. The server takes
// its close callback (set_close_callback), to learn when it has ended.
class rpc_tcp_connection : public remote_call_mgr {
  public:
    rpc_tcp_connection(boost::asio::io_context& io, std::size_t read_size,
                       std::uint32_t max_payload_length)
        : remote_call_mgr(io, read_size, max_payload_length) {}

    // Called by the server right after making the connection, before it
    // accepts into it.
    virtual void on_created() {}

    // Called by the server once the connection is accepted: it starts
    // reading frames.
    void start() { start_receive(); }
};

}  // namespace rpc
