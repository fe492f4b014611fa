#include "lumo_install/url_reader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string_view>

#include "qen/qen_url.hpp"

namespace lumo_install {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::size_t block_size = 1024;

bool starts_with_scheme(std::string_view url, std::string_view scheme) {
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

// Bytes that may not stand in a URL; in a request line they would end it.
bool has_space_or_control(std::string_view url) {
    return std::any_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

std::string_view without_fragment(std::string_view url) {
    return url.substr(0, url.find('#'));
}

// Where an http:// URL leads.
struct http_location {
    std::string host;  // an IPv6 address without its brackets
    std::string port = "80";
    std::string host_header;
    std::string target;  // as written: "/path?query"
};

http_location parse_http_url(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (!starts_with_scheme(url, scheme) || has_space_or_control(url)) {
        throw url_error("Not an http URL");
    }
    url = without_fragment(url.substr(scheme.size()));
    const auto authority_end = std::min(url.find_first_of("/?"), url.size());
    const std::string_view authority = url.substr(0, authority_end);
    std::string_view target = url.substr(authority_end);

    http_location where;
    std::string_view port;
    const bool bracketed = authority.starts_with('[');
    if (bracketed) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            throw url_error("Bad host in URL");
        }
        where.host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            throw url_error("Bad host in URL");
        }
        port = rest.substr(rest.empty() ? 0 : 1);
    } else {
        const auto colon = authority.find(':');
        if (colon != authority.rfind(':')) {
            throw url_error("Bad host in URL");
        }
        where.host = authority.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    }
    // No user names: nothing here would send them.
    if (where.host.empty() || authority.find('@') != std::string_view::npos) {
        throw url_error("Bad host in URL");
    }
    if (!port.empty()) {
        const bool digits = port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
                                return c >= '0' && c <= '9';
                            });
        const int number = digits ? std::stoi(std::string(port)) : 0;
        if (number < 1 || number > 65535) {
            throw url_error("Bad port in URL");
        }
        where.port = std::to_string(number);
    }
    where.host_header = bracketed ? "[" + where.host + "]" : where.host;
    if (where.port != "80") {
        where.host_header += ":" + where.port;
    }
    where.target = target.starts_with('/') ? std::string(target) : "/" + std::string(target);
    return where;
}

// A Location header: an http:// URL, or a path on the same server.
http_location redirect_target(const http_location& from, std::string_view location) {
    if (location.starts_with('/') && !location.starts_with("//")) {
        if (has_space_or_control(location)) {
            throw url_error("Bad redirect");
        }
        http_location to = from;
        to.target = without_fragment(location);
        return to;
    }
    return parse_http_url(location);
}

std::filesystem::path parse_file_url(std::string_view url) {
    url = without_fragment(url.substr(std::string_view("file://").size()));
    // The host part may only name this machine.
    if (url.starts_with("localhost/")) {
        url.remove_prefix(std::string_view("localhost").size());
    }
    if (!url.starts_with('/')) {
        throw url_error("Not an absolute file URL");
    }
    const std::string path = qen::percent_decode(std::string(url));
    if (path.find('\0') != std::string::npos) {
        throw url_error("Bad file URL");
    }
    return path;
}

std::string read_file(const std::filesystem::path& path, std::uint64_t capacity) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw url_error("Can't open " + path.string());
    }
    std::string body;
    char block[block_size];
    while (body.size() <= capacity) {
        in.read(block, sizeof block);
        body.append(block, static_cast<std::size_t>(in.gcount()));
        if (in.bad()) {  // a directory, or the disk failed
            throw url_error("Can't read " + path.string());
        }
        if (in.eof()) {
            break;
        }
    }
    return body;
}

// One HTTP exchange on a connection of its own. Each step runs to its end on
// the connection's own io_context and fails when the server keeps it
// waiting longer than the idle time-out.
class http_exchange {
  public:
    http_exchange(const http_location& where, std::chrono::milliseconds idle_timeout)
        : stream_(io_), idle_timeout_(idle_timeout) {
        tcp::resolver resolver(io_);
        const auto endpoints = resolver.resolve(where.host, where.port);
        check(step([&](auto done) { stream_.async_connect(endpoints, done); }));

        http::request<http::empty_body> request(http::verb::get, where.target, 11);
        request.set(http::field::host, where.host_header);
        check(step([&](auto done) { http::async_write(stream_, request, done); }));

        // The caller's capacity is the limit. (Boost 1.74 takes "none" as
        // a limit below every announced length.)
        parser_.body_limit(std::numeric_limits<std::uint64_t>::max());
        check(step([&](auto done) { http::async_read_header(stream_, buffer_, parser_, done); }));
    }

    unsigned status() const { return parser_.get().result_int(); }

    std::optional<std::string_view> location() const {
        const auto& head = parser_.get();
        const auto found = head.find(http::field::location);
        if (found == head.end()) {
            return std::nullopt;
        }
        return std::string_view(found->value().data(), found->value().size());
    }

    // The body, block by block, until it ends or more than `capacity`
    // bytes are held.
    std::string read_body(std::uint64_t capacity) {
        std::string body;
        char block[block_size];
        while (!parser_.is_done() && body.size() <= capacity) {
            auto& buffer = parser_.get().body();
            buffer.data = block;
            buffer.size = sizeof block;
            auto error =
                step([&](auto done) { http::async_read(stream_, buffer_, parser_, done); });
            if (error == http::error::need_buffer) {  // the block is full
                error = {};
            }
            check(error);
            body.append(block, sizeof block - buffer.size);
        }
        return body;
    }

  private:
    template <class Start>
    beast::error_code step(Start start) {
        beast::error_code result;
        stream_.expires_after(idle_timeout_);
        start([&result](beast::error_code error, auto&&...) { result = error; });
        io_.restart();
        io_.run();
        return result;
    }

    static void check(beast::error_code error) {
        if (error) {
            throw beast::system_error(error);
        }
    }

    asio::io_context io_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::response_parser<http::buffer_body> parser_;
    std::chrono::milliseconds idle_timeout_;
};

bool is_redirect(unsigned status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string read_http(std::string_view url, std::uint64_t capacity,
                      std::chrono::milliseconds idle_timeout) {
    http_location where = parse_http_url(url);
    for (int followed = 0;; ++followed) {
        http_exchange exchange(where, idle_timeout);
        const unsigned status = exchange.status();
        if (status >= 200 && status < 300) {
            return exchange.read_body(capacity);
        }
        const auto location = exchange.location();
        if (!is_redirect(status) || !location) {
            throw url_error("HTTP status " + std::to_string(status));
        }
        if (followed == max_redirects) {
            throw url_error("Too many redirects");
        }
        where = redirect_target(where, *location);
    }
}

}  // namespace

std::string read_url(const std::string& url, std::uint64_t capacity,
                     std::chrono::milliseconds idle_timeout) {
    if (starts_with_scheme(url, "file://")) {
        return read_file(parse_file_url(url), capacity);
    }
    return read_http(url, capacity, idle_timeout);
}

}  // namespace lumo_install
