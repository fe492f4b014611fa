#pragma once

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>

#include "rpc/remote_call_mgr.hpp"

namespace rpc {

// One accepted connection of an rpc_tcp_server. A server's connection class
// derives from it and keeps its constructor's parameters.
class rpc_tcp_connection : public remote_call_mgr {
  public:
    rpc_tcp_connection(boost::asio::io_context& io, std::size_t read_size,
                       std::uint32_t max_payload_length)
        : remote_call_mgr(io, read_size, max_payload_length) {}

    // Called by the server right after making the connection, before it
    // accepts into it.
    virtual void on_created() {}
};

}  // namespace rpc
