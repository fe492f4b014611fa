#pragma once

#include <boost/function.hpp>

#include "foundation/block_pool.hpp"
#include "rtmp/output_item.hpp"
#include "rtmp/pending_message_budget.hpp"

namespace rtmp {

// What a connection's protocol layers need from the connection: pooled
// blocks to write into and a way to send a filled block. Made by the
// connection and shared by its handshake, chunk layer and net streams.
struct connection_callbacks {
    // Queues the bytes for sending (they are taken); false advises the
    // producer that the peer lags.
    boost::function<bool(output_item&)> send;
    // A block of 2^exponent bytes (exponent 7..16) from the server's pool.
    boost::function<block_buffer(unsigned exponent)> allocate;
    // What the server's connections may hold together in messages still
    // arriving; none: no bound beyond each connection's own.
    pending_message_budget* pending_messages = nullptr;
};

}  // namespace rtmp
