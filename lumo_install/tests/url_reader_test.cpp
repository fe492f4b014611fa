#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "lumo_install/url_reader.hpp"
#include "vornebased/tests/loopback_http_server.hpp"

namespace {

using namespace std::chrono_literals;
using lumo_install::read_url;
using vornebased_testing::loopback_server;
using vornebased_testing::server_connection;

// A server that goes quiet holds the reader only for the idle time-out.
TEST(UrlReader, AServerThatStopsSendingFailsTheRead) {
    const char* answered_before_going_quiet[] = {
        "",
        "HTTP/1.1 200 OK\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\nthe first bytes",
    };
    for (const std::string answered : answered_before_going_quiet) {
        loopback_server server([&](server_connection& c) {
            c.ReadHead();
            c.Send(answered);
            c.WaitForRelease();
        });
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
        EXPECT_ANY_THROW(read_url(url, 4096, 200ms)) << answered;
        server.release();
    }
}

}  // namespace
