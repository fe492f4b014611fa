#include "qen/qen_url.hpp"

#include <gtest/gtest.h>

namespace {

using qen::url_parts;

TEST(SplitUrl, TakesTheUrlApart) {
    const struct {
        std::string url;
        bool ok;
        std::string protocol, host;
        int port;
        std::string path;
    } cases[] = {
        {"rtmp://host", true, "rtmp", "host", 0, ""},
        {"rtmp://host:1935/app/inst", true, "rtmp", "host", 1935, "/app/inst"},
        {"rtmfp:///app", true, "rtmfp", "app", 0, ""},  // a third slash is part of the scheme
        {"rtmfp:////app", true, "rtmfp", "", 0, "/app"},
        {"rtmp://host/a%20b%2Fc%zz%4", true, "rtmp", "host", 0, "/a b/c%zz%4"},
        {"rtmp://host/a+b", true, "rtmp", "host", 0, "/a+b"},
        {"rtmp://Host:65535?", true, "rtmp", "Host", 65535, ""},
        {"rtmp://host:65536/app", false, "", "", 0, ""},
        {"rtmp://host:123456/app", false, "", "", 0, ""},
        {"rtmp:/host/app", false, "", "", 0, ""},
        {"rtmp://ho:st/app", false, "", "", 0, ""},
        // Bracketed IPv6 literals are hosts, without their brackets.
        {"rtmp://[::1]:1935/app", true, "rtmp", "::1", 1935, "/app"},
        {"rtmfp://[::1]/app/inst", true, "rtmfp", "::1", 0, "/app/inst"},
        {"rtmp://[2001:DB8::7]", true, "rtmp", "2001:DB8::7", 0, ""},
        {"rtmp://[::ffff:127.0.0.1]:80?x=1", true, "rtmp", "::ffff:127.0.0.1", 80, ""},
        {"rtmp://[1:2:3:4:5:6:7:8]/a", true, "rtmp", "1:2:3:4:5:6:7:8", 0, "/a"},
        {"rtmp://[::1]:65536/app", false, "", "", 0, ""},
        {"rtmp://[::1/app", false, "", "", 0, ""},
        {"rtmp://::1]/app", false, "", "", 0, ""},
        {"rtmp://::1/app", false, "", "", 0, ""},
        {"rtmp://[::1]x/app", false, "", "", 0, ""},
        {"rtmp://[::1]:/app", false, "", "", 0, ""},
        {"rtmp://[::1]]/app", false, "", "", 0, ""},
        {"rtmp://[[::1]]/app", false, "", "", 0, ""},
        {"rtmp://[:::]/app", false, "", "", 0, ""},
        {"rtmp://[1:2:3:4:5:6:7:8:9]/a", false, "", "", 0, ""},
        {"rtmp://[::g]/app", false, "", "", 0, ""},
        {"rtmp://[::1%25lo]/app", false, "", "", 0, ""},
        // Brackets without a ':' inside were never IPv6: plain hosts still.
        {"rtmp://[]/app", true, "rtmp", "[]", 0, "/app"},
        {"rtmp://[abc]:12/x", true, "rtmp", "[abc]", 12, "/x"},
        {"rtmp://a[b/app", true, "rtmp", "a[b", 0, "/app"},
        {"://host/app", false, "", "", 0, ""},
        {"", false, "", "", 0, ""},
    };
    for (const auto& c : cases) {
        url_parts parts;
        parts.path = "untouched";
        EXPECT_EQ(qen::split_url(c.url, parts), c.ok) << c.url;
        if (!c.ok) {
            EXPECT_EQ(parts.path, "untouched") << c.url;
            continue;
        }
        EXPECT_EQ(parts.protocol, c.protocol) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
    }
}

TEST(SplitUrl, QueryPairs) {
    const struct {
        std::string query;
        std::map<std::string, std::string> pairs;
    } cases[] = {
        {"a=1&b=x+y&a=2&noval&c=", {{"a", "1"}, {"b", "x y"}, {"c", ""}}},
        {"a=b=c=d", {{"a", "b"}, {"c", "d"}}},
        {"&&k=v&", {{"k", "v"}}},
        {"=v&k=%41%zz", {{"k", "A%zz"}}},
        // Encoded separators belong to the name or the value they are in.
        {"play_password=a%26b%3Dc&x=1", {{"play_password", "a&b=c"}, {"x", "1"}}},
        {"%3D=z&d=%26e=f", {{"=", "z"}, {"d", "&e"}}},
        {"publish_password=%2B%25+", {{"publish_password", "+% "}}},
    };
    for (const auto& c : cases) {
        url_parts parts;
        parts.query["stale"] = "1";
        ASSERT_TRUE(qen::split_url("rtmp://h/app?" + c.query, parts)) << c.query;
        EXPECT_EQ(parts.query, c.pairs) << c.query;
    }
}

}  // namespace
