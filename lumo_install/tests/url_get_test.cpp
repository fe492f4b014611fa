#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lumo_install/tests/installer_library.hpp"
#include "platform/testing/test_support.hpp"
#include "vornebased/tests/loopback_http_server.hpp"
#include "vornebased/tests/test_helpers.hpp"

namespace {

using namespace lumo_install_testing;
using platform::testing::free_port;
using platform::testing::temp_dir;
using platform::testing::write_file;
using vornebased_testing::loopback_server;
using vornebased_testing::Pattern;
using vornebased_testing::server_connection;

constexpr char guard = '\x5A';

// What url_get left in a buffer of `capacity` bytes with guard bytes after.
struct fetched {
    bool ok = false;
    std::uint32_t length = 0;
    std::vector<char> buffer;

    // The first `length` bytes, when a NUL follows them.
    std::string text() const {
        if (length >= buffer.size() || buffer[length] != '\0') {
            return "<not terminated>";
        }
        return std::string(buffer.data(), length);
    }
    bool untouched_from(std::size_t offset) const {
        return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(offset), buffer.end(),
                           [](char c) { return c == guard; });
    }
};

fetched get(const std::string& url, std::uint32_t capacity) {
    fetched result;
    result.buffer.assign(capacity + 64, guard);
    result.length = capacity;
    result.ok = library().url_get(url.c_str(), result.buffer.data(), &result.length);
    return result;
}

std::string url_of(const loopback_server& server, const std::string& target = "/file.bin") {
    return "http://127.0.0.1:" + std::to_string(server.port()) + target;
}

std::string ok_head(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

TEST(UrlGet, AWholeBodyThatFits) {
    const std::string body = Pattern(3000);
    std::string request;
    loopback_server server([&](server_connection& c) {
        request = c.ReadHead();
        c.Send(ok_head(body.size()) + body);
    });
    const fetched got = get(url_of(server, "/dir/file.bin?a=1&b=%20"), 4096);
    server.finish();
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.length, 3000u);
    EXPECT_EQ(got.text(), body);
    EXPECT_TRUE(got.untouched_from(3001));
    EXPECT_TRUE(request.starts_with("GET /dir/file.bin?a=1&b=%20 HTTP/1.1\r\n")) << request;
    EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"),
              std::string::npos)
        << request;
}

TEST(UrlGet, ReadingStopsAfterTheBlockThatPassesTheCapacity) {
    const std::string block = Pattern(4096);
    bool client_went = false;
    std::size_t sent = 0;
    loopback_server server([&](server_connection& c) {
        c.ReadHead();
        if (!c.Send("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")) {
            return;
        }
        // Without end, as far as the client can tell; bounded for the test.
        while (sent < (256u << 20)) {
            if (!c.Send(block)) {
                client_went = true;
                return;
            }
            sent += block.size();
        }
    });
    const fetched got = get(url_of(server), 1000);
    server.finish();
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.length, 999u);
    EXPECT_EQ(got.text(), block.substr(0, 999));
    EXPECT_TRUE(got.untouched_from(1000));
    EXPECT_TRUE(client_went) << sent << " bytes sent";
}

TEST(UrlGet, NoCapacityStillSucceeds) {
    loopback_server server([&](server_connection& c) {
        c.ReadHead();
        c.Send(ok_head(10) + "0123456789");
    });
    const fetched got = get(url_of(server), 0);
    server.finish();
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.length, 0u);
    EXPECT_TRUE(got.untouched_from(0));
}

TEST(UrlGet, AChunkedBodyIsJoined) {
    loopback_server server([&](server_connection& c) {
        c.ReadHead();
        c.Send(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\nhello\r\n1\r\n \r\n400\r\n" +
            std::string(1024, 'x') + "\r\n0\r\n\r\n");
    });
    const fetched got = get(url_of(server), 2048);
    server.finish();
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.text(), "hello " + std::string(1024, 'x'));
}

TEST(UrlGet, ARedirectIsFollowed) {
    const std::string body = "the real thing";
    std::string second_request;
    loopback_server target([&](server_connection& c) {
        second_request = c.ReadHead();
        c.Send(ok_head(body.size()) + body);
    });
    loopback_server moved([&](server_connection& c) {
        c.ReadHead();
        c.Send("HTTP/1.1 302 Found\r\nLocation: " + url_of(target, "/new") +
               "\r\nContent-Length: 0\r\n\r\n");
    });
    const fetched got = get(url_of(moved), 100);
    moved.finish();
    target.finish();
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.text(), body);
    EXPECT_TRUE(second_request.starts_with("GET /new HTTP/1.1\r\n")) << second_request;
}

// A chain of servers, each sending the client on to the next, the last with
// the body.
struct redirect_chain {
    std::vector<std::unique_ptr<loopback_server>> servers;

    explicit redirect_chain(int redirects) {
        servers.push_back(std::make_unique<loopback_server>([](server_connection& c) {
            c.ReadHead();
            c.Send(ok_head(4) + "done");
        }));
        for (int i = 0; i < redirects; ++i) {
            const std::string next = url_of(*servers.back());
            servers.push_back(std::make_unique<loopback_server>([next](server_connection& c) {
                c.ReadHead();
                c.Send("HTTP/1.1 301 Moved Permanently\r\nLocation: " + next +
                       "\r\nContent-Length: 0\r\n\r\n");
            }));
        }
    }
    std::string start() const { return url_of(*servers.back()); }
};

TEST(UrlGet, FiveRedirectsAreFollowedButNotSix) {
    const redirect_chain five(5);
    EXPECT_EQ(get(five.start(), 100).text(), "done");
    const redirect_chain six(6);
    const fetched got = get(six.start(), 100);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.length, 100u);
    EXPECT_TRUE(got.untouched_from(0));
}

using serve = loopback_server::handler;

TEST(UrlGet, FailuresLeaveTheBufferAndLengthAlone) {
    struct failing_case {
        const char* name;
        serve server;  // none: nothing listens on the URL's port
    } cases[] = {
        {"not found",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
         }},
        {"a server error",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
         }},
        {"a redirect without a location",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n");
         }},
        {"a redirect to a file",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("HTTP/1.1 302 Found\r\nLocation: file:///etc/hostname\r\n\r\n");
         }},
        {"cut before the announced length",
         [](server_connection& c) {
             c.ReadHead();
             c.Send(ok_head(3000) + Pattern(1000));
         }},
        {"cut inside a chunk",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nshort");
         }},
        {"reset after the head",
         [](server_connection& c) {
             c.ReadHead();
             c.Send(ok_head(3000));
             c.Reset();
         }},
        {"no answer at all", [](server_connection& c) { c.ReadHead(); }},
        {"not HTTP",
         [](server_connection& c) {
             c.ReadHead();
             c.Send("SSH-2.0-OpenSSH\r\n\r\n");
         }},
        {"refused", nullptr},
    };
    for (const auto& c : cases) {
        std::unique_ptr<loopback_server> server;
        std::string url = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
        if (c.server) {
            server = std::make_unique<loopback_server>(c.server);
            url = url_of(*server);
        }
        const fetched got = get(url, 4096);
        EXPECT_FALSE(got.ok) << c.name;
        EXPECT_EQ(got.length, 4096u) << c.name;
        EXPECT_TRUE(got.untouched_from(0)) << c.name;
    }
}

TEST(UrlGet, MalformedUrlsFail) {
    for (const char* url :
         {"", "127.0.0.1/index.html", "http://", "http:///path", "http:/127.0.0.1/",
          "ftp://127.0.0.1/", "https://127.0.0.1/", "http://127.0.0.1:0/",
          "http://127.0.0.1:65536/", "http://127.0.0.1:8o/", "http://user@127.0.0.1/",
          "http://[::1/", "http://127.0.0.1/a b", "http://127.0.0.1/a\r\nX-Injected: 1",
          "file://relative/path", "file:///tmp/a%00b"}) {
        const fetched got = get(url, 64);
        EXPECT_FALSE(got.ok) << url;
        EXPECT_EQ(got.length, 64u) << url;
        EXPECT_TRUE(got.untouched_from(0)) << url;
    }
    std::uint32_t length = 64;
    EXPECT_FALSE(library().url_get(nullptr, nullptr, &length));
    EXPECT_EQ(length, 64u);
}

TEST(UrlGet, FileUrlsReadTheFile) {
    temp_dir dir;
    const std::string content = Pattern(3000);
    write_file(dir / "a file.bin", content);
    const std::string url = "file://" + (dir / "a%20file.bin").string();

    const fetched whole = get(url, 4096);
    ASSERT_TRUE(whole.ok);
    EXPECT_EQ(whole.text(), content);
    EXPECT_TRUE(whole.untouched_from(3001));

    const fetched cut = get(url, 1000);
    ASSERT_TRUE(cut.ok);
    EXPECT_EQ(cut.text(), content.substr(0, 999));

    EXPECT_EQ(get("file://localhost" + (dir / "a%20file.bin").string(), 4096).text(), content);

    for (const std::string& missing :
         {"file://" + (dir / "missing.bin").string(), "file://" + dir.path().string()}) {
        const fetched got = get(missing, 4096);
        EXPECT_FALSE(got.ok) << missing;
        EXPECT_EQ(got.length, 4096u);
        EXPECT_TRUE(got.untouched_from(0));
    }
}

}  // namespace
