#pragma once

#include <functional>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_server.hpp"

namespace rtmp_test {

// The frame of a test server for real clients: an RTMP server on 127.0.0.1
// at the port given whose callbacks `bind` binds; prints "ready" once it
// accepts and stops on SIGTERM or SIGINT. Returns the exit code: 0, or 3
// after printing an exception.
int serve_until_signalled(
    unsigned short port,
    const std::function<void(rtmp::rtmp_server& server, io_service_pool& pool)>& bind);

}  // namespace rtmp_test
