#pragma once

#include <boost/function.hpp>

#include <cstdint>
#include <memory>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_server.hpp"

namespace rtmp_test {

// Binds a server's callbacks the simplest way: every connect is accepted,
// every publish becomes a live stream and every play a live player. What the
// tests and the test server run against real clients.
void bind_live_relay(rtmp::rtmp_server& server, rtmp::rtmp_live_streams& registry);

// The same for one connection: binds its stack's callbacks.
void bind_live_relay(rtmp::rtmp_server_connection& connection, rtmp::rtmp_live_streams& registry);

// A live relay on a loopback port of its own, in this process.
struct loopback_relay {
    using connection_handler = rtmp::rtmp_server::connection_handler;

    ~loopback_relay() { stop(); }

    // Starts listening; `also` sees every connection after the relay bound it.
    void start(std::int32_t idle_timeout = 60, connection_handler also = {});
    // Stops the server and lets every connection finish closing.
    void stop();

    io_service_pool pool{4};
    rtmp::rtmp_server_context context;
    rtmp::rtmp_live_streams registry;
    std::shared_ptr<rtmp::rtmp_server> server;
    unsigned short port = 0;
};

}  // namespace rtmp_test
