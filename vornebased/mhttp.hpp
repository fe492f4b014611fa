#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/unique_fd.hpp"
#include "vornebased/vorne_base_streams.hpp"

// A blocking TCP client and the HTTP/1.0 multipart POST of the upload
// client. One client object serves one request on the thread that makes
// it.
namespace VorneBased {

// A multipart form whose body is produced piece by piece, so that file
// parts are read as they are sent and never held whole.
class CHttpForm {
  public:
    CHttpForm();
    ~CHttpForm();
    CHttpForm(const CHttpForm&) = delete;
    CHttpForm& operator=(const CHttpForm&) = delete;

    // Add a part under the percent-encoded name, replacing one of the same
    // name; parts go out in byte order of their encoded names. Both do
    // nothing while the form is prepared.
    void AddField(std::string_view name, std::string_view value);
    void AddFile(std::string_view name, std::string_view path);

    // Closes the part files and makes the form editable again.
    void Reset();
    // Draws a new boundary, opens the file parts and counts the body.
    // Throws the open's error for a file part that cannot be opened.
    void Prepare();
    // The next piece of the body, or none once it has all been given (or
    // the form is not prepared). A file part gives exactly the size counted
    // by Prepare: a file that has become shorter throws its end-of-file
    // error, one that has grown is cut there.
    std::optional<std::string> NextChunk();

    // The delimiter line of the body: 29 '-' and two numbers.
    const std::string& boundary() const { return boundary_; }
    // The body length counted by Prepare.
    std::int64_t length() const { return length_; }

  private:
    struct part {
        std::string value;  // the text, or the path of a file part
        std::string header;
        bool is_file = false;
        std::int64_t size = 0;
        std::unique_ptr<CFileStream> file;  // open while prepared
    };
    using part_map = std::map<std::string, part>;

    bool prepared() const { return file_sent_ != -1; }
    static std::string MakeBoundary();
    void EndPart(std::string& piece);

    part_map parts_;
    std::string boundary_;
    std::int64_t length_ = 0;
    part_map::iterator current_;
    std::int64_t file_sent_ = -1;
    bool header_sent_ = false;
    bool body_ended_ = false;
};

struct http_response_head {
    std::vector<std::string> lines;
    int content_length = 0;
};

class CTCPClient {
  public:
    // Resolves the IPv4 address of `host`; throws error::system "Can't
    // resolve host name".
    CTCPClient(const std::string& host, std::uint16_t port);
    virtual ~CTCPClient();
    CTCPClient(const CTCPClient&) = delete;
    CTCPClient& operator=(const CTCPClient&) = delete;

    // C style: connects a new socket (closing the one before), with the
    // time-outs last set.
    bool Connect();
    // C style: one receive or send; the bytes moved, or -1.
    int Recv(void* buffer, int count);
    int Send(const void* buffer, int count);

    // Receive and send time-outs in milliseconds, for the socket and every
    // one that Connect makes later; false when one cannot be set.
    bool SetTimeouts(int receive_ms, int send_ms);

    // The throwing layer.
    void SendAll(std::string_view data);
    // Exactly min(count, limit) bytes (count alone when limit is 0 or
    // less; nothing for a negative count).
    std::string RecvBody(int count, int limit);
    // The reply head up to its blank line, read byte by byte and at most
    // 4096 bytes of it.
    http_response_head ReadResponseHeader();
    // Posts `form` to `path` and returns the reply body, at most
    // `body_limit` bytes of it; an empty body when the reply announces no
    // Content-Length. The status line is not judged here.
    std::string PostForm(const std::string& path, CHttpForm& form, int body_limit);

  private:
    sockaddr_in address_{};
    unique_fd socket_;
    int receive_timeout_ms_ = -1;  // -1: never set
    int send_timeout_ms_ = -1;
};

// The client of the web API: 20-second time-outs.
class CTCPHttp : public CTCPClient {
  public:
    CTCPHttp(const std::string& host, std::uint16_t port);
};

}  // namespace VorneBased
