#include "vornebased/mhttp.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "vornebased/sysutils.hpp"
#include "vornebased/url_encode.hpp"
#include "vornebased/vorne_exception.hpp"

namespace VorneBased {
namespace {

constexpr const char* module = "mhttp";
constexpr std::size_t boundary_dashes = 29;
constexpr std::int64_t file_piece = 8192;
constexpr std::size_t max_response_head = 4096;
constexpr int http_timeout_ms = 20000;

std::string PartHeader(const std::string& encoded_name) {
    return "Content-Disposition: form-data; name=\"" + encoded_name + "\"";
}

bool ResolveIpv4(const std::string& host, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

bool SetTimeout(int socket, int option, int ms) {
    timeval timeout{};
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = ms % 1000 * 1000;
    return ::setsockopt(socket, SOL_SOCKET, option, &timeout, sizeof timeout) == 0;
}

}  // namespace

CHttpForm::CHttpForm() : current_(parts_.end()) {}

CHttpForm::~CHttpForm() = default;

void CHttpForm::AddField(std::string_view name, std::string_view value) {
    if (prepared()) {
        return;
    }
    std::string encoded = UrlEncode(name);
    part& added = parts_[encoded];
    added = part{};
    added.value = value;
    added.header = PartHeader(encoded) + "\r\n\r\n";
}

void CHttpForm::AddFile(std::string_view name, std::string_view path) {
    if (prepared()) {
        return;
    }
    std::string encoded = UrlEncode(name);
    std::string header = PartHeader(encoded) + "; filename=\"" + UrlEncode(ExtractFileName(path)) +
                         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    part& added = parts_[encoded];
    added = part{};
    added.value = path;
    added.header = std::move(header);
    added.is_file = true;
}

void CHttpForm::Reset() {
    for (auto& [name, p] : parts_) {
        p.file.reset();
    }
    current_ = parts_.end();
    file_sent_ = -1;
    header_sent_ = false;
    body_ended_ = false;
}

std::string CHttpForm::MakeBoundary() {
    const int first = std::rand();
    const int second = std::rand();
    return std::string(boundary_dashes, '-') + std::to_string(second) + std::to_string(first);
}

void CHttpForm::Prepare() {
    Reset();
    boundary_ = MakeBoundary();
    std::int64_t length = 0;
    try {
        for (auto& [name, p] : parts_) {
            length += static_cast<std::int64_t>(boundary_.size() + 2 + p.header.size());
            if (p.is_file) {
                p.file = std::make_unique<CFileStream>(p.value.c_str(), 0);
                p.size = p.file->GetSize();
                if (p.size < 0) {
                    RaiseLastError(module);
                }
            } else {
                p.size = static_cast<std::int64_t>(p.value.size());
            }
            length += p.size + 2;
        }
    } catch (...) {
        Reset();
        throw;
    }
    length_ = length + static_cast<std::int64_t>(boundary_.size() + 4);
    current_ = parts_.begin();
    file_sent_ = 0;
}

std::optional<std::string> CHttpForm::NextChunk() {
    if (!prepared() || body_ended_) {
        return std::nullopt;
    }
    std::string piece;
    if (current_ == parts_.end()) {
        // A form without parts is its closing delimiter alone.
        piece = boundary_ + "--\r\n";
        body_ended_ = true;
        return piece;
    }
    part& sending = current_->second;
    if (!sending.is_file || !header_sent_) {
        piece = boundary_ + "\r\n" + sending.header;
    }
    if (!sending.is_file) {
        piece += sending.value;
        EndPart(piece);
        return piece;
    }
    if (!header_sent_) {
        header_sent_ = true;
        return piece;
    }
    const std::int64_t wanted = std::min(file_piece, sending.size - file_sent_);
    if (wanted > 0) {
        piece.resize(static_cast<std::size_t>(wanted));
        const int got = sending.file->Read(piece.data(), static_cast<int>(wanted));
        if (got < 0) {
            RaiseLastError(module);
        }
        piece.resize(static_cast<std::size_t>(got));
        file_sent_ += got;
    }
    if (file_sent_ == sending.size) {
        EndPart(piece);
    }
    return piece;
}

void CHttpForm::EndPart(std::string& piece) {
    piece += "\r\n";
    current_->second.file.reset();
    header_sent_ = false;
    file_sent_ = 0;
    if (++current_ == parts_.end()) {
        piece += boundary_ + "--\r\n";
        body_ended_ = true;
    }
}

CTCPClient::CTCPClient(const std::string& host, std::uint16_t port) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    // getaddrinfo rather than gethostbyname, which shares its result
    // between the threads that post at the same time. An empty name is
    // refused here, before it could reach a name server.
    if (host.empty() ||
        (!ResolveIpv4(host, address_.sin_addr) && !ResolveIpv4(host, address_.sin_addr))) {
        Raise(error::system, "Can't resolve host name", module);
    }
}

CTCPClient::~CTCPClient() = default;

bool CTCPClient::Connect() {
    return RunCStyle(module, false, [&] {
        socket_.reset();
        // A second attempt gets a socket of its own: after a failed connect
        // the state of the first one is unspecified.
        for (int attempt = 0; attempt < 2; ++attempt) {
            unique_fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (socket.get() < 0 ||
                (receive_timeout_ms_ >= 0 &&
                 !SetTimeout(socket.get(), SO_RCVTIMEO, receive_timeout_ms_)) ||
                (send_timeout_ms_ >= 0 &&
                 !SetTimeout(socket.get(), SO_SNDTIMEO, send_timeout_ms_))) {
                Raise(error::system, "Can't create socket", module);
            }
            if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address_),
                          sizeof address_) == 0) {
                socket_ = std::move(socket);
                return true;
            }
        }
        Raise(error::system, "Connect failed", module);
    });
}

int CTCPClient::Recv(void* buffer, int count) {
    return RunCStyle(module, -1, [&] {
        if (count < 0) {
            Raise(error::bad_argument, "Count can't be less than zero", module);
        }
        ssize_t got;
        do {
            got = ::recv(socket_.get(), buffer, static_cast<std::size_t>(count), 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            Raise(error::system, "socket recv failed", module);
        }
        return static_cast<int>(got);
    });
}

int CTCPClient::Send(const void* buffer, int count) {
    return RunCStyle(module, -1, [&] {
        if (count < 0) {
            Raise(error::bad_argument, "Count can't be less than zero", module);
        }
        ssize_t put;
        do {
            // A peer that has gone away is an error of this call, never a
            // SIGPIPE that ends the program.
            put = ::send(socket_.get(), buffer, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        } while (put < 0 && errno == EINTR);
        if (put < 0) {
            Raise(error::system, "socket send failed", module);
        }
        return static_cast<int>(put);
    });
}

bool CTCPClient::SetTimeouts(int receive_ms, int send_ms) {
    const auto apply = [this](int option, int ms, int& last_set) {
        if (ms == last_set) {
            return true;
        }
        if (ms < 0 || (socket_.get() >= 0 && !SetTimeout(socket_.get(), option, ms))) {
            return false;
        }
        last_set = ms;
        return true;
    };
    const bool receive_set = apply(SO_RCVTIMEO, receive_ms, receive_timeout_ms_);
    const bool send_set = apply(SO_SNDTIMEO, send_ms, send_timeout_ms_);
    return receive_set && send_set;
}

void CTCPClient::SendAll(std::string_view data) {
    while (!data.empty()) {
        const int put =
            Send(data.data(), static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX)));
        if (put < 0) {
            RaiseLastError(module);
        }
        if (put == 0) {
            Raise(error::unknown, "Server can't recv data", module);
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
}

std::string CTCPClient::RecvBody(int count, int limit) {
    const int wanted = std::max(0, limit > 0 ? std::min(count, limit) : count);
    std::string body(static_cast<std::size_t>(std::min(wanted, 65536)), '\0');
    std::size_t received = 0;
    while (received < static_cast<std::size_t>(wanted)) {
        if (received == body.size()) {
            body.resize(std::min<std::size_t>(body.size() * 2, static_cast<std::size_t>(wanted)));
        }
        const int got =
            Recv(body.data() + received,
                 static_cast<int>(std::min<std::size_t>(body.size() - received, INT_MAX)));
        if (got < 0) {
            RaiseLastError(module);
        }
        if (got == 0) {
            Raise(error::unknown, "Server can't send data", module);
        }
        received += static_cast<std::size_t>(got);
    }
    body.resize(received);
    return body;
}

http_response_head CTCPClient::ReadResponseHeader() {
    std::string head;
    while (head.size() < max_response_head && !head.ends_with("\r\n\r\n")) {
        char byte;
        const int got = Recv(&byte, 1);
        if (got < 0) {
            RaiseLastError(module);
        }
        if (got == 0) {
            Raise(error::unknown, "Server can't send data", module);
        }
        head.push_back(byte);
    }
    static constexpr std::string_view content_length = "Content-Length:";
    http_response_head reply;
    std::string_view rest = head;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find("\r\n"), rest.size());
        const std::string_view line = rest.substr(0, end);
        if (line.empty()) {
            break;
        }
        if (line.starts_with(content_length)) {
            // A negative length is no body at all.
            reply.content_length = std::max(0, StrToInt(line.substr(content_length.size())));
        }
        reply.lines.emplace_back(line);
        rest.remove_prefix(std::min(end + 2, rest.size()));
    }
    return reply;
}

std::string CTCPClient::PostForm(const std::string& path, CHttpForm& form, int body_limit) {
    form.Prepare();
    if (!Connect()) {
        RaiseLastError(module);
    }
    SendAll("POST " + path + " HTTP/1.0\r\n");
    SendAll("Content-Type: multipart/form-data; boundary=" + form.boundary().substr(2) + "\r\n");
    SendAll("Content-Length: " + std::to_string(form.length()) + "\r\n");
    SendAll("Connection: close\r\n\r\n");
    while (const auto piece = form.NextChunk()) {
        SendAll(*piece);
    }
    const http_response_head reply = ReadResponseHeader();
    if (reply.content_length == 0) {
        return {};
    }
    return RecvBody(reply.content_length, body_limit);
}

CTCPHttp::CTCPHttp(const std::string& host, std::uint16_t port) : CTCPClient(host, port) {
    SetTimeouts(http_timeout_ms, http_timeout_ms);
}

}  // namespace VorneBased
