#include "vornebased/tests/loopback_http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace vornebased_testing {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

server_connection::server_connection(int fd, std::shared_future<void> released)
    : fd_(fd), released_(std::move(released)) {
    timeval timeout{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::string server_connection::ReadHead() {
    std::string head;
    char byte;
    while (!head.ends_with("\r\n\r\n") && ::recv(fd_, &byte, 1, 0) == 1) {
        head.push_back(byte);
    }
    return head;
}

std::string server_connection::ReadBytes(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::recv(fd_, bytes.data() + got, count - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

std::string server_connection::ReadRequest() {
    std::string request = ReadHead();
    const long long length = ContentLength(request);
    if (length > 0) {
        request += ReadBytes(static_cast<std::size_t>(length));
    }
    return request;
}

std::string server_connection::ReadUntilClosed() {
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

bool server_connection::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void server_connection::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void server_connection::Reset() {
    if (fd_ < 0) {
        return;
    }
    linger abort_on_close{.l_onoff = 1, .l_linger = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    ::close(fd_);
    fd_ = -1;
}

loopback_server::loopback_server(handler serve) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        ThrowErrno("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const int error = errno;
        ::close(listener_);
        errno = error;
        ThrowErrno("listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ =
        std::thread([this, serve = std::move(serve), released = release_.get_future().share()] {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                return;  // shut down before a client came
            }
            accepted_ = true;
            server_connection connection(fd, released);
            serve(connection);
            connection.Close();
        });
}

loopback_server::~loopback_server() {
    finish();
}

void loopback_server::release() {
    if (!released_) {
        released_ = true;
        release_.set_value();
    }
}

bool loopback_server::finish() {
    release();
    if (thread_.joinable()) {
        ::shutdown(listener_, SHUT_RDWR);  // ends an accept that still waits
        thread_.join();
        ::close(listener_);
    }
    return accepted_;
}

long long ContentLength(std::string_view head) {
    static constexpr std::string_view name = "\r\nContent-Length: ";
    const auto at = head.find(name);
    if (at == std::string_view::npos) {
        return -1;
    }
    return std::atoll(std::string(head.substr(at + name.size(), 20)).c_str());
}

}  // namespace vornebased_testing
