#include "rtmfp/packet.hpp"

#include <boost/endian/conversion.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "rtmfp/cipher.hpp"

namespace {

namespace ip = boost::asio::ip;

// The bytes of one VLU in wire order; returns how many.
std::uint32_t encode_vlu(std::uint32_t value, std::uint8_t (&out)[4]) {
    if (value > rtmfp_max_vlu) {
        throw std::out_of_range("VLU out of range");
    }
    const std::uint32_t n = rtmfp_vlu_size(value);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t shift = 7 * (n - 1 - i);
        out[i] = static_cast<std::uint8_t>((value >> shift) & 0x7F) | (i + 1 < n ? 0x80 : 0);
    }
    return n;
}

std::uint32_t read_vlu(buffer_reader& in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t byte = in.read_u8();
        value = value << 7 | (byte & 0x7F);
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    // Four bytes that all ask for more: the number ends here regardless,
    // shifted as if a fifth (empty) group followed.
    return value << 7;
}

// Runs a read of several fields; a failure puts the reader back where the
// read began.
void restore_on_throw(buffer_reader& in, auto&& read) {
    const std::uint32_t start = in.pos;
    try {
        read();
    } catch (...) {
        in.pos = start;
        throw;
    }
}

}  // namespace

rtmfp_packet_reader::rtmfp_packet_reader(rtmfp_bytes bytes)
    : buffer_reader(bytes.data(), static_cast<std::uint32_t>(bytes.size()), rtmfp_packet_eof) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw_eof();
    }
}

rtmfp_bytes rtmfp_packet_reader::read_rest() noexcept {
    const std::uint32_t n = remaining();
    const std::uint8_t* at = data + (pos < size ? pos : size);
    pos = std::max(pos, size);
    return {at, n};
}

void rtmfp_packet_writer::require(std::uint32_t n) const {
    if (n > room()) {
        throw_overflow();
    }
}

void rtmfp_packet_writer::write_bytes(rtmfp_bytes bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw_overflow();
    }
    const auto n = static_cast<std::uint32_t>(bytes.size());
    require(n);
    buffer_writer::write_bytes(bytes.data(), n);
}

void rtmfp_packet_writer::fill(std::uint8_t value, std::uint32_t n) {
    require(n);
    std::memset(data + pos, value, n);
    pos += n;
    size = std::max(size, pos);
}

std::uint32_t rtmfp_vlu_size(std::uint32_t value) noexcept {
    if (value < 0x80) {
        return 1;
    }
    if (value < 0x2000) {
        return 2;
    }
    if (value < 0x100000) {
        return 3;
    }
    return 4;
}

std::uint32_t rtmfp_read_vlu(buffer_reader& in) {
    std::uint32_t value = 0;
    restore_on_throw(in, [&] { value = read_vlu(in); });
    return value;
}

void rtmfp_write_vlu(rtmfp_packet_writer& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    out.write_bytes({bytes, encode_vlu(value, bytes)});
}

void rtmfp_write_vlu(buffer_writer& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    out.write_bytes(bytes, encode_vlu(value, bytes));
}

rtmfp_bytes rtmfp_read_vlu_bytes(buffer_reader& in) {
    rtmfp_bytes bytes;
    restore_on_throw(in, [&] { bytes = in.read_bytes(read_vlu(in)); });
    return bytes;
}

void rtmfp_write_vlu_bytes(rtmfp_packet_writer& out, rtmfp_bytes bytes) {
    if (bytes.size() > rtmfp_max_vlu) {
        throw buffer_over_range(rtmfp_buffer_overflow);
    }
    const auto n = static_cast<std::uint32_t>(bytes.size());
    std::uint8_t length[4];
    const std::uint32_t length_size = encode_vlu(n, length);
    // Room for both first, so that a refused write leaves no length behind.
    out.require(length_size + n);
    out.write_bytes({length, length_size});
    out.write_bytes(bytes);
}

ip::udp::endpoint rtmfp_address::endpoint() const {
    if (is_ipv6()) {
        return {ip::address_v6(address), port};
    }
    return {ip::address_v4({address[0], address[1], address[2], address[3]}), port};
}

rtmfp_address rtmfp_make_address(const ip::udp::endpoint& endpoint, bool is_public) {
    rtmfp_address record;
    const ip::address address = endpoint.address();
    if (address.is_v6()) {
        record.flags = rtmfp_address::ipv6_flag;
        record.address = address.to_v6().to_bytes();
    } else {
        const auto v4 = address.to_v4().to_bytes();
        std::copy(v4.begin(), v4.end(), record.address.begin());
    }
    record.flags |= is_public ? rtmfp_address::public_flag : rtmfp_address::local_flag;
    record.port = endpoint.port();
    return record;
}

rtmfp_address rtmfp_read_address(rtmfp_packet_reader& in) {
    rtmfp_address record;
    restore_on_throw(in, [&] {
        record.flags = in.read_u8();
        const rtmfp_bytes address = in.read_bytes(record.is_ipv6() ? 16 : 4);
        std::copy(address.begin(), address.end(), record.address.begin());
        record.port = in.read_u16_be();
    });
    return record;
}

void rtmfp_write_address(rtmfp_packet_writer& out, const rtmfp_address& record) {
    const std::uint32_t address_size = record.is_ipv6() ? 16 : 4;
    out.require(1 + address_size + 2);
    out.write_u8(record.flags);
    out.write_bytes({record.address.data(), address_size});
    out.write_u16_be(record.port);
}

std::optional<ip::udp::endpoint> parse_endpoint_text(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    const std::string_view port_text = text.substr(colon + 1);
    if (port_text.empty() || !std::all_of(port_text.begin(), port_text.end(),
                                          [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    unsigned long port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (error != std::errc() || port > 65535) {
        return std::nullopt;
    }

    boost::system::error_code parse_error;
    ip::address address;
    if (const std::size_t open = text.find('['); open != std::string_view::npos) {
        const std::size_t close = text.find(']', open + 1);
        if (close == std::string_view::npos || close > colon) {
            return std::nullopt;
        }
        const std::string v6_text(text.substr(open + 1, close - open - 1));
        address = ip::make_address_v6(v6_text, parse_error);
    } else {
        address = ip::make_address_v4(std::string(text.substr(0, colon)), parse_error);
    }
    if (parse_error) {
        return std::nullopt;
    }
    return ip::udp::endpoint(address, static_cast<unsigned short>(port));
}

std::uint64_t rtmfp_now() {
    using namespace std::chrono;
    constexpr std::int64_t day_ms = 24 * 60 * 60 * 1000;
    const std::int64_t ms =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<std::uint64_t>(((ms % day_ms) + day_ms) % day_ms) / 4;
}

std::uint16_t rtmfp_checksum(const std::uint8_t* bytes, std::uint32_t length) noexcept {
    std::uint64_t sum = 0;
    std::uint32_t i = 0;
    for (; i + 1 < length; i += 2) {
        sum += std::uint32_t{bytes[i]} << 8 | bytes[i + 1];
    }
    if (i < length) {
        sum += std::uint32_t{bytes[i]} << 8;
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

std::uint32_t rtmfp_session_id_of(rtmfp_bytes datagram) {
    rtmfp_packet_reader in(datagram);
    const std::uint32_t word0 = in.read_u32_be();
    const std::uint32_t word1 = in.read_u32_be();
    return word0 ^ word1 ^ in.read_u32_be();
}

std::optional<rtmfp_packet_reader> rtmfp_next_chunk(rtmfp_packet_reader& packet) {
    if (packet.remaining() == 0 || packet.peek_u8() == rtmfp_padding_byte) {
        return std::nullopt;
    }
    if (packet.remaining() < 3) {
        throw buffer_over_range(rtmfp_packet_eof);
    }
    const std::uint32_t start = packet.pos;
    const std::uint32_t body_size = boost::endian::load_big_u16(packet.data + start + 1);
    const std::uint32_t length = std::min(3 + body_size, packet.remaining());
    packet.pos += length;
    return rtmfp_packet_reader(packet.data + start, length);
}

rtmfp_header rtmfp_read_header(rtmfp_packet_reader& packet) {
    rtmfp_header header;
    restore_on_throw(packet, [&] {
        header.marker = packet.read_u8();
        header.has_timestamp = (header.marker & rtmfp_marker_timestamp_bit) != 0;
        if (header.has_timestamp) {
            header.timestamp = packet.read_u16_be();
        }
        header.has_echo = (header.marker & rtmfp_marker_echo_bit) != 0;
        if (header.has_echo) {
            header.echo = packet.read_u16_be();
        }
        header.chunks_start = packet.pos;
        while (rtmfp_next_chunk(packet)) {
            ++header.chunk_count;
        }
    });
    packet.pos = header.chunks_start;
    return header;
}

std::uint32_t rtmfp_pad_packet(rtmfp_packet_writer& out) {
    out.pos = out.size;
    // Unsigned arithmetic keeps even a too-short packet well defined: it is
    // filled up to the 20-byte minimum.
    const std::uint32_t partial = (out.size - 4) % 16;
    std::uint32_t padding = partial == 0 ? 0 : 16 - partial;
    if (out.size + padding < rtmfp_min_packet_size) {
        padding += 16;
    }
    out.fill(rtmfp_padding_byte, padding);
    return out.size;
}

namespace {

bool follows_padding_rule(std::uint32_t length) {
    return length >= rtmfp_min_packet_size && (length - 4) % 16 == 0;
}

std::uint16_t stored_checksum(const std::uint8_t* packet) {
    return boost::endian::load_big_u16(packet + 4);
}

}  // namespace

void rtmfp_seal_packet(std::uint8_t* packet, std::uint32_t length, std::uint32_t far_session_id,
                       rtmfp_cipher& encrypt) {
    if (!follows_padding_rule(length)) {
        throw std::invalid_argument("RTMFP packet not padded");
    }
    const std::uint16_t checksum =
        rtmfp_checksum(packet + rtmfp_marker_offset, length - rtmfp_marker_offset);
    packet[4] = static_cast<std::uint8_t>(checksum >> 8);
    packet[5] = static_cast<std::uint8_t>(checksum);
    encrypt.apply(packet + 4, length - 4);

    rtmfp_packet_reader words(packet + 4, 8);
    const std::uint32_t word1 = words.read_u32_be();
    const std::uint32_t word2 = words.read_u32_be();
    rtmfp_packet_writer id(packet, 4);
    id.write_u32_be(far_session_id ^ word1 ^ word2);
}

bool rtmfp_open_packet(std::uint8_t* datagram, std::uint32_t length, rtmfp_cipher& decrypt) {
    if (!follows_padding_rule(length)) {
        return false;
    }
    decrypt.apply(datagram + 4, length - 4);
    return rtmfp_checksum(datagram + rtmfp_marker_offset, length - rtmfp_marker_offset) ==
           stored_checksum(datagram);
}
