#include "rtmp/tests/rtmp_test_support.hpp"

#include "platform/testing/test_support.hpp"

#include <openssl/evp.h>
#include <poll.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

namespace rtmp_test {

std::string be32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

namespace {

std::uint32_t byte(std::string_view s, std::size_t i) {
    return static_cast<std::uint8_t>(s[i]);
}

std::uint32_t u24(std::string_view s, std::size_t i) {
    return byte(s, i) << 16 | byte(s, i + 1) << 8 | byte(s, i + 2);
}

std::uint32_t u32(std::string_view s, std::size_t i) {
    return byte(s, i) << 24 | u24(s, i + 1);
}

std::string u24_bytes(std::uint32_t value) {
    return be32(value).substr(1);
}

}  // namespace

void chunk_decoder::feed(std::string_view bytes) {
    input_.append(bytes);
    while (parse_one()) {
    }
    input_.erase(0, used_);
    used_ = 0;
}

bool chunk_decoder::parse_one() {
    const std::string_view in = std::string_view(input_).substr(used_);
    if (in.empty()) {
        return false;
    }
    const unsigned format = byte(in, 0) >> 6;
    std::uint32_t csid = byte(in, 0) & 0x3f;
    std::size_t at = 1;
    if (csid == 0) {
        if (in.size() < 2) {
            return false;
        }
        csid = byte(in, 1) + 64;
        at = 2;
    } else if (csid == 1) {
        if (in.size() < 3) {
            return false;
        }
        csid = (byte(in, 1) | byte(in, 2) << 8) + 64;
        at = 3;
    }
    static constexpr std::size_t header_sizes[] = {11, 7, 3, 0};
    if (in.size() < at + header_sizes[format]) {
        return false;
    }
    if (format != 0 && !streams_.contains(csid)) {
        throw std::runtime_error("chunk on an unknown chunk stream");
    }
    state next = streams_[csid];
    const std::size_t header = at;
    at += header_sizes[format];
    const std::uint32_t field = format <= 2 ? u24(in, header) : 0;
    const bool extended = format <= 2 ? field == 0xFFFFFF : next.extended;
    std::uint32_t value = field;
    if (extended) {
        if (in.size() < at + 4) {
            return false;
        }
        value = u32(in, at);
        at += 4;
    }
    const bool starts = format != 3 || !next.pending;
    switch (format) {
        case 0:
            next.current.timestamp = value;
            next.delta = value;
            next.length = u24(in, header + 3);
            next.current.type = static_cast<std::uint8_t>(in[header + 6]);
            next.current.stream_id = byte(in, header + 7) | byte(in, header + 8) << 8 |
                                     byte(in, header + 9) << 16 | byte(in, header + 10) << 24;
            break;
        case 1:
            next.current.timestamp += value;
            next.delta = value;
            next.length = u24(in, header + 3);
            next.current.type = static_cast<std::uint8_t>(in[header + 6]);
            break;
        case 2:
            next.current.timestamp += value;
            next.delta = value;
            break;
        default:
            if (starts) {
                next.delta = extended ? value : next.delta;
                next.current.timestamp += next.delta;
            }
            break;
    }
    if (format <= 2) {
        next.extended = extended;
    }
    if (starts) {
        next.current.body.clear();
        next.current.csid = csid;
        next.pending = true;
    }
    const std::size_t payload =
        std::min<std::size_t>(chunk_size_, next.length - next.current.body.size());
    if (in.size() < at + payload) {
        return false;
    }
    next.current.body.append(in.substr(at, payload));
    at += payload;
    formats.push_back(format);
    if (next.current.body.size() == next.length) {
        next.pending = false;
        messages.push_back(next.current);
        if (next.current.type == 1 && next.current.stream_id == 0) {
            chunk_size_ = u32(next.current.body, 0);
        }
    }
    streams_[csid] = next;
    used_ += at;
    return true;
}

amf0_bytes& amf0_bytes::string(std::string_view text) {
    out_.push_back(2);
    out_ += be32(static_cast<std::uint32_t>(text.size())).substr(2);
    out_ += text;
    return *this;
}

amf0_bytes& amf0_bytes::number(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out_.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) {
        out_.push_back(static_cast<char>(bits >> shift));
    }
    return *this;
}

amf0_bytes& amf0_bytes::boolean(bool value) {
    out_.push_back(1);
    out_.push_back(value ? 1 : 0);
    return *this;
}

amf0_bytes& amf0_bytes::null() {
    out_.push_back(5);
    return *this;
}

amf0_bytes& amf0_bytes::undefined() {
    out_.push_back(6);
    return *this;
}

amf0_bytes& amf0_bytes::begin_object() {
    out_.push_back(3);
    return *this;
}

amf0_bytes& amf0_bytes::key(std::string_view name) {
    out_ += be32(static_cast<std::uint32_t>(name.size())).substr(2);
    out_ += name;
    return *this;
}

amf0_bytes& amf0_bytes::end_object() {
    out_ += std::string("\0\0\x09", 3);
    return *this;
}

amf0_bytes command(std::string_view name, double transaction) {
    return std::move(amf0_bytes().string(name).number(transaction));
}

namespace {

// Renders one value at `at`; false when the bytes are not understood.
bool render_value(std::string_view in, std::size_t& at, std::string& out) {
    if (at >= in.size()) {
        return false;
    }
    const auto marker = static_cast<std::uint8_t>(in[at++]);
    const auto text = [&](std::size_t length_size) {
        if (at + length_size > in.size()) {
            return false;
        }
        std::size_t length = 0;
        for (std::size_t i = 0; i < length_size; ++i) {
            length = length << 8 | static_cast<std::uint8_t>(in[at++]);
        }
        if (at + length > in.size()) {
            return false;
        }
        out += in.substr(at, length);
        at += length;
        return true;
    };
    switch (marker) {
        case 0: {
            if (at + 8 > in.size()) {
                return false;
            }
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) {
                bits = bits << 8 | static_cast<std::uint8_t>(in[at++]);
            }
            double value;
            std::memcpy(&value, &bits, sizeof value);
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", value);
            out += number;
            return true;
        }
        case 1:
            if (at >= in.size()) {
                return false;
            }
            out += in[at++] ? "true" : "false";
            return true;
        case 2:
            out += "'";
            if (!text(2)) {
                return false;
            }
            out += "'";
            return true;
        case 3: {
            out += "{";
            bool first = true;
            while (true) {
                if (at + 3 <= in.size() && in.substr(at, 3) == std::string_view("\0\0\x09", 3)) {
                    at += 3;
                    out += "}";
                    return true;
                }
                if (!first) {
                    out += ",";
                }
                first = false;
                if (!text(2)) {
                    return false;
                }
                out += ":";
                if (!render_value(in, at, out)) {
                    return false;
                }
            }
        }
        case 5:
            out += "null";
            return true;
        case 6:
            out += "undefined";
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string describe_amf0(std::string_view body) {
    std::string out;
    std::size_t at = 0;
    while (at < body.size()) {
        if (!out.empty()) {
            out += " ";
        }
        if (!render_value(body, at, out)) {
            return out + "<?>";
        }
    }
    return out;
}

std::string describe(const message& m) {
    std::string out = std::to_string(m.csid) + ":" + std::to_string(m.stream_id) + " ";
    const auto number_at = [&](std::size_t at) { return std::to_string(u32(m.body, at)); };
    switch (m.type) {
        case 1:
            return out + "chunk " + number_at(0);
        case 3:
            return out + "ack " + number_at(0);
        case 4:
            return out + "event " + std::to_string(byte(m.body, 0) << 8 | byte(m.body, 1)) + " " +
                   (m.body.size() >= 6 ? number_at(2) : "");
        case 5:
            return out + "window " + number_at(0);
        case 6:
            return out + "bandwidth " + number_at(0) + " " + std::to_string(byte(m.body, 4));
        case 8:
            return out + "audio " + std::to_string(m.body.size());
        case 9:
            return out + "video " + std::to_string(m.body.size());
        case 18:
            return out + "data " + describe_amf0(m.body);
        case 20:
            return out + "cmd " + describe_amf0(m.body);
        default:
            return out + "type " + std::to_string(m.type);
    }
}

std::string encode_message(std::uint32_t csid, std::uint8_t type, std::uint32_t stream_id,
                           std::uint32_t timestamp, std::string_view body,
                           std::uint32_t chunk_size) {
    const auto basic = [csid](unsigned format) {
        std::string out;
        if (csid < 64) {
            out.push_back(static_cast<char>(format << 6 | csid));
        } else if (csid < 320) {
            out.push_back(static_cast<char>(format << 6));
            out.push_back(static_cast<char>(csid - 64));
        } else {
            out.push_back(static_cast<char>(format << 6 | 1));
            out.push_back(static_cast<char>((csid - 64) & 0xff));
            out.push_back(static_cast<char>((csid - 64) >> 8));
        }
        return out;
    };
    const bool extended = timestamp >= 0xFFFFFF;
    std::string out = basic(0);
    out += u24_bytes(extended ? 0xFFFFFF : timestamp);
    out += u24_bytes(static_cast<std::uint32_t>(body.size()));
    out.push_back(static_cast<char>(type));
    out += std::string{static_cast<char>(stream_id), static_cast<char>(stream_id >> 8),
                       static_cast<char>(stream_id >> 16), static_cast<char>(stream_id >> 24)};
    if (extended) {
        out += be32(timestamp);
    }
    std::size_t written = 0;
    do {
        if (written != 0) {
            out += basic(3);
            if (extended) {
                out += be32(timestamp);
            }
        }
        const std::size_t n = std::min<std::size_t>(chunk_size, body.size() - written);
        out.append(body.substr(written, n));
        written += n;
    } while (written < body.size());
    return out;
}

std::string unfinished_message(std::uint32_t csid, std::uint32_t size, std::uint32_t chunks,
                               std::uint32_t chunk_size) {
    const std::string whole = encode_message(csid, 9, 1, 0, std::string(size, 'u'), chunk_size);
    const std::size_t basic_header = csid < 64 ? 1 : csid < 320 ? 2 : 3;
    std::size_t length = basic_header + 11 + std::min(size, chunk_size);
    for (std::uint32_t i = 1; i < chunks; ++i) {
        length += basic_header + chunk_size;
    }
    return whole.substr(0, std::min(length, whole.size() - 1));
}

capture_owner::capture_owner(rtmp::pending_message_budget* budget) {
    callbacks.pending_messages = budget;
    callbacks.send = [this](rtmp::output_item& item) {
        item.for_each_run([this](const std::uint8_t* data, std::uint32_t size) {
            sent.append(reinterpret_cast<const char*>(data), size);
        });
        ++blocks_sent;
        shared_items += item.has_shared() ? 1 : 0;
        largest_item = std::max<std::size_t>(largest_item, item.size());
        item.reset();
        return true;
    };
    callbacks.allocate = [this](unsigned exponent) { return pool(exponent); };
}

capture_owner::~capture_owner() = default;

std::string hmac_sha256(std::string_view key, std::string_view data) {
    unsigned char out[32];
    std::size_t size = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                  reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out,
                  &size) == nullptr) {
        throw std::runtime_error("HMAC failed");
    }
    return std::string(reinterpret_cast<const char*>(out), size);
}

std::string client_key() {
    return hex_bytes("47656e75696e652041646f626520466c61736820506c6179657220303031");
}

std::string server_key() {
    return hex_bytes("47656e75696e652041646f626520466c617368204d656469612053657276657220303031");
}

std::string full_server_key() {
    return server_key() +
           hex_bytes("f0eec24a8068bee82e00d0d1029e7e576eec5d2d29806fab93b8e636cfeb31ae");
}

std::uint32_t digest_offset(std::string_view packet, digest_layout layout) {
    const std::size_t at = layout == digest_layout::a ? 8 : 772;
    const std::uint32_t sum =
        byte(packet, at) + byte(packet, at + 1) + byte(packet, at + 2) + byte(packet, at + 3);
    return sum % 728 + static_cast<std::uint32_t>(at) + 4;
}

std::string plain_c0c1(std::uint32_t client_time) {
    std::string c0c1(1537, '\0');
    c0c1[0] = 3;
    c0c1.replace(1, 4, be32(client_time));
    std::mt19937 engine(7);
    for (std::size_t i = 9; i < c0c1.size(); ++i) {
        c0c1[i] = static_cast<char>(engine());
    }
    return c0c1;
}

std::string digest_c0c1(digest_layout layout, std::uint32_t version) {
    std::string c0c1 = plain_c0c1();
    c0c1.replace(5, 4, be32(version));
    std::string c1 = c0c1.substr(1);
    const std::uint32_t at = digest_offset(c1, layout);
    const std::string digest = hmac_sha256(client_key(), c1.substr(0, at) + c1.substr(at + 32));
    c1.replace(at, 32, digest);
    return c0c1.substr(0, 1) + c1;
}

tcp_client::tcp_client(unsigned short port, int receive_buffer) : socket_(context_) {
    socket_.open(boost::asio::ip::tcp::v4());
    if (receive_buffer != 0) {
        socket_.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer));
    }
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    socket_.non_blocking(true);
}

void tcp_client::send(std::string_view bytes) {
    socket_.non_blocking(false);
    boost::asio::write(socket_, boost::asio::buffer(bytes.data(), bytes.size()));
    socket_.non_blocking(true);
}

bool tcp_client::try_send(std::string_view bytes) noexcept {
    try {
        send(bytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Polls at least once, however little time is left.
bool tcp_client::wait_readable(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) > 0;
}

std::string tcp_client::receive(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    char buffer[65536];
    do {
        if (!wait_readable(deadline)) {
            break;
        }
        boost::system::error_code error;
        const std::size_t n = socket_.read_some(
            boost::asio::buffer(buffer, std::min(sizeof buffer, count - out.size())), error);
        if (error && error != boost::asio::error::would_block) {
            peer_closed_ = true;
            break;
        }
        out.append(buffer, n);
    } while (out.size() < count && std::chrono::steady_clock::now() < deadline);
    return out;
}

std::string tcp_client::receive_for(std::chrono::milliseconds time) {
    return receive(SIZE_MAX, time);
}

bool tcp_client::wait_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    do {
        if (!wait_readable(deadline)) {
            return false;
        }
        boost::system::error_code error;
        socket_.read_some(boost::asio::buffer(buffer), error);
        if (error && error != boost::asio::error::would_block) {
            peer_closed_ = true;
            return true;
        }
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::string tcp_client::handshake(const std::string& c0c1) {
    send(c0c1);
    std::string answer = receive(3073);
    if (answer.size() == 3073) {
        send(answer.substr(1, 1536));
    }
    return answer;
}

void rtmp_client::receive(std::size_t max_bytes, std::chrono::milliseconds timeout) {
    decoder_.feed(socket_.receive(max_bytes, timeout));
}

std::optional<message> rtmp_client::wait_for(const std::function<bool(const message&)>& fits,
                                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        for (; seen_ < decoder_.messages.size(); ++seen_) {
            if (fits(decoder_.messages[seen_])) {
                return decoder_.messages[seen_++];
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        const std::size_t before = decoder_.messages.size();
        receive(65536, std::min(left, std::chrono::milliseconds(50)));
        if (decoder_.messages.size() == before && socket_.peer_closed()) {
            return std::nullopt;
        }
    }
}

bool rtmp_client::wait_for_status(std::string_view code, std::chrono::milliseconds timeout) {
    const std::string wanted = "code:'" + std::string(code) + "'";
    return wait_for(
               [&](const message& m) {
                   return m.type == 20 && describe_amf0(m.body).find(wanted) != std::string::npos;
               },
               timeout)
        .has_value();
}

void rtmp_client::receive_for(std::chrono::milliseconds time) {
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline) {
        receive(65536, 10ms);
    }
}

void rtmp_client::send(std::uint8_t type, std::uint32_t stream_id, std::uint32_t timestamp,
                       std::string_view body) {
    const std::uint32_t csid = (type == 8 || type == 9 ? 4 : 3) + stream_id;
    socket_.send(encode_message(csid, type, stream_id, timestamp, body, chunk_size_));
}

void rtmp_client::set_chunk_size(std::uint32_t size) {
    socket_.send(encode_message(2, 1, 0, 0, be32(size)));
    chunk_size_ = size;
}

void rtmp_client::connect(std::string_view app) {
    socket_.handshake();
    send_command(0, command("connect", transaction_++)
                        .begin_object()
                        .key("app")
                        .string(app)
                        .key("tcUrl")
                        .string("rtmp://127.0.0.1/" + std::string(app))
                        .end_object());
    wait_for([](const message& m) {
        return m.type == 20 && describe_amf0(m.body).rfind("'_result' 1 ", 0) == 0;
    });
}

bool rtmp_client::connect_url(std::string_view tc_url) {
    socket_.handshake();
    send_command(0, command("connect", transaction_++)
                        .begin_object()
                        .key("app")
                        .string("app")
                        .key("tcUrl")
                        .string(tc_url)
                        .end_object());
    const auto reply = wait_for([](const message& m) {
        const std::string values = describe_amf0(m.body);
        return m.type == 20 &&
               (values.rfind("'_result' 1 ", 0) == 0 || values.rfind("'_error' ", 0) == 0);
    });
    return reply && describe_amf0(reply->body).rfind("'_result' 1 ", 0) == 0;
}

std::uint32_t rtmp_client::create_stream() {
    const double transaction = transaction_++;
    send_command(0, command("createStream", transaction).null());
    char head[64];
    std::snprintf(head, sizeof head, "'_result' %.17g null ", transaction);
    const std::string prefix = head;
    const auto reply = wait_for([&](const message& m) {
        return m.type == 20 && (describe_amf0(m.body).rfind(prefix, 0) == 0 ||
                                describe_amf0(m.body).rfind("'_error'", 0) == 0);
    });
    if (!reply || describe_amf0(reply->body).rfind(prefix, 0) != 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::stod(describe_amf0(reply->body).substr(prefix.size())));
}

void rtmp_client::publish(std::uint32_t stream_id, std::string_view name) {
    send_command(stream_id, command("publish", 0).null().string(name).string("live"));
}

void rtmp_client::play(std::uint32_t stream_id, std::string_view name, double start) {
    send_command(stream_id, command("play", 0).null().string(name).number(start));
}

}  // namespace rtmp_test
