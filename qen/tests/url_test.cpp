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
    url_parts parts;
    parts.query["stale"] = "1";
    ASSERT_TRUE(qen::split_url("rtmp://h/app?a=1&b=x+y&a=2&noval&c=&%3D=z&d=%26e=f", parts));
    // Decoding comes first, so encoded separators split like plain ones.
    EXPECT_EQ(parts.query, (std::map<std::string, std::string>{
                               {"a", "1"}, {"b", "x y"}, {"c", ""}, {"d", ""}, {"e", "f"}}));
}

}  // namespace
