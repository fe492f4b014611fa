#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>

#include "platform/testing/test_support.hpp"
#include "vornebased/mhttp.hpp"
#include "vornebased/tests/loopback_http_server.hpp"
#include "vornebased/tests/test_helpers.hpp"
#include "vornebased/url_encode.hpp"
#include "vornebased/vorne_exception.hpp"

namespace {

using namespace VorneBased;
using namespace std::chrono_literals;
using platform::testing::temp_dir;
using platform::testing::write_file;
using vornebased_testing::ContentLength;
using vornebased_testing::loopback_server;
using vornebased_testing::Pattern;
using vornebased_testing::server_connection;

constexpr const char* reply_ok = "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n{\"status\":1}";

// The boundary a request head announces.
std::string AnnouncedBoundary(const std::string& request) {
    static const std::regex announced("boundary=(-{27}[0-9]+)\r\n");
    std::smatch match;
    return std::regex_search(request, match, announced) ? match[1].str() : std::string();
}

std::string RequestHead(const std::string& boundary, std::size_t body_length) {
    return "POST /upload/index.php?c=api&a=uploadBlock HTTP/1.0\r\n"
           "Content-Type: multipart/form-data; boundary=" +
           boundary + "\r\nContent-Length: " + std::to_string(body_length) +
           "\r\nConnection: close\r\n\r\n";
}

std::string TextPart(const std::string& boundary, const std::string& name,
                     const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
           value + "\r\n";
}

std::string FilePart(const std::string& boundary, const std::string& name,
                     const std::string& file_name, const std::string& content) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + file_name + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
           content + "\r\n";
}

// Posts a form to a server that records the request and answers reply_ok.
struct posted {
    std::string request;
    std::string reply_body;
    std::string extra;  // what the client sent after the announced body
};

posted PostAndRecord(CHttpForm& form) {
    posted result;
    loopback_server server([&](server_connection& connection) {
        result.request = connection.ReadRequest();
        connection.Send(reply_ok);
        result.extra = connection.ReadUntilClosed();
    });
    {
        // Closed before the server is waited for: the server reads until then.
        CTCPHttp client("127.0.0.1", server.port());
        result.reply_body = client.PostForm("/upload/index.php?c=api&a=uploadBlock", form, 8192);
    }
    server.finish();
    return result;
}

class MultipartPost : public ::testing::Test {
  protected:
    std::string File(const std::string& name, const std::string& content) {
        const auto path = dir_ / name;
        write_file(path, content);
        return path.string();
    }

    temp_dir dir_;
};

TEST_F(MultipartPost, TextFieldsGoOutInOrderOfTheirEncodedNames) {
    CHttpForm form;
    form.AddField("streamName", "first name");
    form.AddField("currentBlock", "12");
    form.AddField("a-b", "dash");
    form.AddField("a/b", "slash");               // "a%2Fb" sorts before "a-b"
    form.AddField("streamName", "live stream");  // replaces the first one

    const posted sent = PostAndRecord(form);
    const std::string boundary = AnnouncedBoundary(sent.request);
    ASSERT_FALSE(boundary.empty()) << sent.request.substr(0, 200);
    const std::string body =
        TextPart(boundary, "a%2Fb", "slash") + TextPart(boundary, "a-b", "dash") +
        TextPart(boundary, "currentBlock", "12") + TextPart(boundary, "streamName", "live stream") +
        "--" + boundary + "--\r\n";
    EXPECT_EQ(sent.request, RequestHead(boundary, body.size()) + body);
    EXPECT_EQ(sent.extra, "");
    EXPECT_EQ(sent.reply_body, "{\"status\":1}");
    EXPECT_EQ(form.boundary(), "--" + boundary);
    EXPECT_EQ(form.length(), static_cast<std::int64_t>(body.size()));
}

TEST_F(MultipartPost, FilePartsCarryTheirFileAndAnEmptyFileItsHeaderAlone) {
    const std::string content = "abc\r\n--not a boundary\r\n" + Pattern(20000);
    CHttpForm form;
    form.AddFile("uploadBlock", File("blk 1.zpk", content));
    form.AddFile("fileImg", File("empty.jpg", ""));

    const posted sent = PostAndRecord(form);
    const std::string boundary = AnnouncedBoundary(sent.request);
    ASSERT_FALSE(boundary.empty());
    const std::string body = FilePart(boundary, "fileImg", "empty.jpg", "") +
                             FilePart(boundary, "uploadBlock", "blk%201.zpk", content) + "--" +
                             boundary + "--\r\n";
    EXPECT_TRUE(sent.request == RequestHead(boundary, body.size()) + body)
        << sent.request.substr(0, 600);
    EXPECT_EQ(sent.extra, "");
}

TEST_F(MultipartPost, MixedFormAndAFormWithoutParts) {
    CHttpForm form;
    form.AddField("streamName", "s1");
    form.AddField("currentBlock", "3");
    form.AddField("blockSize", "5");
    form.AddFile("uploadBlock", File("3.zpksegment", "12345"));
    const posted sent = PostAndRecord(form);
    const std::string boundary = AnnouncedBoundary(sent.request);
    const std::string body =
        TextPart(boundary, "blockSize", "5") + TextPart(boundary, "currentBlock", "3") +
        TextPart(boundary, "streamName", "s1") +
        FilePart(boundary, "uploadBlock", "3.zpksegment", "12345") + "--" + boundary + "--\r\n";
    EXPECT_EQ(sent.request, RequestHead(boundary, body.size()) + body);

    CHttpForm empty;
    const posted nothing = PostAndRecord(empty);
    const std::string empty_boundary = AnnouncedBoundary(nothing.request);
    const std::string closing = "--" + empty_boundary + "--\r\n";
    EXPECT_EQ(nothing.request, RequestHead(empty_boundary, closing.size()) + closing);
    EXPECT_EQ(nothing.extra, "");
}

TEST_F(MultipartPost, A20MBFileIsStreamedAndCountedExactly) {
    const std::string content = Pattern(20 * 1000 * 1000);
    const std::string path = File("big.zpksegment", content);
    CHttpForm form;
    form.AddField("streamName", "big");
    form.AddFile("uploadBlock", path);

    // Piece by piece: no piece holds more than one read of the file.
    form.Prepare();
    std::int64_t total = 0;
    std::size_t largest = 0;
    while (const auto piece = form.NextChunk()) {
        total += static_cast<std::int64_t>(piece->size());
        largest = std::max(largest, piece->size());
    }
    EXPECT_EQ(total, form.length());
    EXPECT_LE(largest, 8192u + 200u);
    EXPECT_FALSE(form.NextChunk().has_value());
    form.Reset();

    const posted sent = PostAndRecord(form);
    const auto head_end = sent.request.find("\r\n\r\n") + 4;
    EXPECT_EQ(ContentLength(sent.request), static_cast<long long>(sent.request.size() - head_end));
    EXPECT_EQ(sent.extra, "");
    const std::string boundary = AnnouncedBoundary(sent.request);
    const std::string body = FilePart(boundary, "uploadBlock", "big.zpksegment", content);
    EXPECT_TRUE(sent.request.find(body) != std::string::npos) << "the file arrived whole";
}

TEST_F(MultipartPost, FilePartsSendExactlyWhatPrepareCounted) {
    const std::string path = File("changing.bin", Pattern(20000));
    {
        CHttpForm form;
        form.AddFile("f", path);
        form.Prepare();
        write_file(path, Pattern(30000));  // grows after it was counted
        std::int64_t total = 0;
        while (const auto piece = form.NextChunk()) {
            total += static_cast<std::int64_t>(piece->size());
        }
        EXPECT_EQ(total, form.length()) << "a grown file is cut at its counted size";
    }
    {
        CHttpForm form;
        form.AddFile("f", path);
        form.Prepare();
        std::filesystem::resize_file(path, 1000);  // shrinks after it was counted
        try {
            while (form.NextChunk()) {
            }
            FAIL() << "a short file made a whole body";
        } catch (const CBaseException& e) {
            EXPECT_EQ(e.GetCode(), error::end_of_file);
            EXPECT_STREQ(e.GetMessage(), "End of file");
        }
    }
    {
        CHttpForm form;
        form.AddFile("f", path);
        form.Prepare();
        form.AddField("late", "ignored while prepared");
        form.Reset();
        form.AddField("late", "taken");
        form.Prepare();
        std::string body;
        while (const auto piece = form.NextChunk()) {
            body += *piece;
        }
        EXPECT_NE(body.find("taken"), std::string::npos);
        EXPECT_EQ(body.find("ignored"), std::string::npos);
    }
}

// What the client's PostForm ends in against a server that behaves so.
struct outcome {
    std::optional<std::string> body;  // none: it threw
    int code = 0;
    std::string message;
};

outcome Post(CTCPClient& client, CHttpForm& form, int limit) {
    try {
        return {client.PostForm("/api", form, limit)};
    } catch (const CBaseException& e) {
        return {std::nullopt, e.GetCode(), e.GetMessage()};
    }
}

TEST_F(MultipartPost, RepliesAreReadByTheirContentLengthAndLimit) {
    const std::string long_body = Pattern(20000);
    const std::string filler = "X-Filler: " + std::string(5000, 'a') + "\r\n";
    const std::string long_head_first = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n" + filler;
    struct reply_case {
        const char* name;
        std::string reply;
        int limit;
        std::string body;
    } cases[] = {
        {"no Content-Length", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n{\"status\":1}", 8192, ""},
        {"a body within the limit", reply_ok, 8192, "{\"status\":1}"},
        {"cut at the limit", "HTTP/1.0 200 OK\r\nContent-Length: 20000\r\n\r\n" + long_body, 8192,
         long_body.substr(0, 8192)},
        {"no limit", "HTTP/1.0 200 OK\r\nContent-Length: 20000\r\n\r\n" + long_body, 0, long_body},
        {"negative Content-Length", "HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nbody", 8192, ""},
        {"the last Content-Length counts",
         "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nContent-Length: 4\r\n\r\nbody", 8192, "body"},
        {"a status that is no success", "HTTP/1.0 500 Oops\r\nContent-Length: 4\r\n\r\nfail", 8192,
         "fail"},
        // The head is read up to 4096 bytes: a Content-Length beyond them is
        // not seen, and the bytes after them are taken as the body.
        {"Content-Length beyond 4096 bytes of head",
         "HTTP/1.0 200 OK\r\n" + filler + "Content-Length: 4\r\n\r\nbody", 8192, ""},
        {"a head longer than 4096 bytes", long_head_first + "\r\n0123456789", 8192,
         (long_head_first + "\r\n0123456789").substr(4096, 10)},
    };
    for (const auto& c : cases) {
        CHttpForm form;
        form.AddField("streamName", "s");
        loopback_server server([&](server_connection& connection) {
            connection.ReadRequest();
            connection.Send(c.reply);
        });
        CTCPHttp client("127.0.0.1", server.port());
        const outcome result = Post(client, form, c.limit);
        ASSERT_TRUE(result.body.has_value()) << c.name << ": " << result.message;
        EXPECT_TRUE(*result.body == c.body) << c.name << ": " << result.body->substr(0, 100);
    }
}

TEST_F(MultipartPost, FailuresEndAsTheirCodeAndMessage) {
    const std::string big = File("big.bin", Pattern(20 * 1000 * 1000));
    const std::string folder = (dir_ / "folder").string();
    std::filesystem::create_directory(folder);
    const std::string removed = File("removed.bin", "x");
    std::filesystem::remove(removed);

    using handler = loopback_server::handler;
    const auto read_then = [](std::string reply) -> handler {
        return [reply](server_connection& connection) {
            connection.ReadRequest();
            connection.Send(reply);
        };
    };
    struct failure_case {
        const char* name;
        std::string file;  // a file part, if any
        handler serve;
        bool short_timeouts;
        bool connects;
        int code;
        std::string message;
    } cases[] = {
        {"closes before the body", "",
         read_then("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort"), false, true,
         error::unknown, "Server can't send data"},
        {"closes inside the head", "", read_then("HTTP/1.0 200 OK\r\nContent-"), false, true,
         error::unknown, "Server can't send data"},
        {"resets while the body is sent", big,
         [](server_connection& connection) {
             connection.ReadHead();
             connection.Reset();
         },
         false, true, error::system, "socket send failed"},
        {"stays silent", "",
         [](server_connection& connection) {
             connection.ReadRequest();
             connection.WaitForRelease();
         },
         true, true, error::system, "socket recv failed"},
        {"stops reading", big,
         [](server_connection& connection) {
             connection.ReadHead();
             connection.WaitForRelease();
         },
         true, true, error::system, "socket send failed"},
        {"a file part removed before the post", removed, read_then(reply_ok), false, false,
         error::system, "file_open error: 2 No such file or directory"},
        {"a folder as a file part", folder, read_then(reply_ok), false, false, error::system,
         "file_open error: 21 Is a directory"},
    };
    for (const auto& c : cases) {
        CHttpForm form;
        form.AddField("streamName", "s");
        if (!c.file.empty()) {
            form.AddFile("uploadBlock", c.file);
        }
        loopback_server server(c.serve);
        CTCPHttp client("127.0.0.1", server.port());
        if (c.short_timeouts) {
            // Set before any socket exists: every socket Connect makes has them.
            ASSERT_TRUE(client.SetTimeouts(300, 300));
        }
        const auto started = std::chrono::steady_clock::now();
        const outcome result = Post(client, form, 8192);
        const auto took = std::chrono::steady_clock::now() - started;
        server.release();
        EXPECT_FALSE(result.body.has_value()) << c.name;
        EXPECT_EQ(result.code, c.code) << c.name;
        EXPECT_EQ(result.message, c.message) << c.name;
        if (c.short_timeouts) {
            EXPECT_GE(took, 250ms) << c.name;
            EXPECT_LT(took, 10s) << c.name;
        }
        EXPECT_EQ(server.finish(), c.connects) << c.name;
    }
}

TEST(TcpClient, RefusedPortsAndUnresolvableHosts) {
    // A bound socket that never listens: connecting to it is refused, and
    // nothing else can take the port meanwhile.
    const int bound = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &size), 0);
    CTCPHttp client("127.0.0.1", ntohs(address.sin_port));
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(GetVorneException()->GetCode(), error::system);
    EXPECT_STREQ(GetVorneException()->GetMessage(), "Connect failed");
    CHttpForm form;
    const outcome result = Post(client, form, 8192);
    EXPECT_EQ(result.message, "Connect failed");
    ::close(bound);

    try {
        CTCPHttp nowhere("", 80);
        FAIL() << "an empty host name resolved";
    } catch (const CBaseException& e) {
        int line = 0;
        EXPECT_EQ(e.GetCode(), error::system);
        EXPECT_STREQ(e.GetMessage(), "Can't resolve host name");
        EXPECT_STREQ(e.GetFile(line), "mhttp");
    }
    EXPECT_FALSE(CTCPHttp("127.0.0.1", 80).SetTimeouts(-1, 100)) << "no negative time-out";
}

TEST(UrlEncode, EveryByte) {
    const std::string kept =
        "!\"$'()*,-.0123456789:;<>@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`"
        "abcdefghijklmnopqrstuvwxyz{|}~";
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", b);
        const bool stays = kept.find(static_cast<char>(b)) != std::string::npos;
        EXPECT_EQ(UrlEncode(byte), stays ? byte : std::string(escaped)) << "byte " << b;
    }
    EXPECT_EQ(UrlEncode("a b/c"), "a%20b%2Fc");
    EXPECT_EQ(UrlEncode("\xE4"), "%E4");
    EXPECT_EQ(UrlEncode(std::string("a\0b", 3)), "a%00b");
}

}  // namespace
