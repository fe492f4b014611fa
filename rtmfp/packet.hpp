#pragma once

// The bytes of an RTMFP datagram: cursors over a packet, variable-length
// numbers, address records, the checksum, the header, the padding rule and
// sealing. Nothing here allocates; every view points into the packet.
//
// The cursors are foundation's byte cursors under RTMFP's names for their
// bounds failures (buffer_over_range): "Packet eof" when a read finds the
// bytes missing, "Buffer overflow" when a write finds no room. A failed read
// or write leaves the cursor where it was.

#include <boost/asio/ip/udp.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "foundation/buffer.hpp"

class rtmfp_cipher;

// A view of bytes inside a packet (or inside the caller's data when a chunk
// is built for sending).
using rtmfp_bytes = std::span<const std::uint8_t>;

// Every datagram is received into, and built in, a block of this size.
inline constexpr std::uint32_t rtmfp_max_packet_size = 1204;
// Session id and checksum in front of the marker.
inline constexpr std::uint32_t rtmfp_marker_offset = 6;
// Session id, checksum, marker, timestamp and echo: where a flow packet's
// chunks begin (stamp_packet fills this area in).
inline constexpr std::uint32_t rtmfp_stamped_header_size = 11;
// The smallest packet: the session id and one AES block.
inline constexpr std::uint32_t rtmfp_min_packet_size = 20;

// Markers of the packets the server sends; each carries a timestamp. In any
// marker, bit 0x08 says that a timestamp follows it and bit 0x04 that a
// timestamp echo follows that: a client leaves either out at will.
inline constexpr std::uint8_t rtmfp_marker_handshake = 0x0B;
inline constexpr std::uint8_t rtmfp_marker_session = 0x4A;
inline constexpr std::uint8_t rtmfp_marker_session_echo = 0x4E;
inline constexpr std::uint8_t rtmfp_marker_timestamp_bit = 0x08;
inline constexpr std::uint8_t rtmfp_marker_echo_bit = 0x04;

// A byte of this value where a chunk type is expected starts the padding.
inline constexpr std::uint8_t rtmfp_padding_byte = 0xFF;

inline constexpr const char* rtmfp_packet_eof = "Packet eof";
inline constexpr const char* rtmfp_buffer_overflow = "Buffer overflow";

class rtmfp_packet_reader : public buffer_reader {
  public:
    rtmfp_packet_reader(const void* bytes, std::uint32_t length) noexcept
        : buffer_reader(bytes, length, rtmfp_packet_eof) {}
    explicit rtmfp_packet_reader(rtmfp_bytes bytes);

    // The rest of the bytes (possibly none).
    rtmfp_bytes read_rest() noexcept;
};

// A fixed-capacity write cursor. `size` is the high-water mark of `pos`, the
// length of the output; an owner moves `pos` back to patch a length. A write
// that does not fit writes nothing.
class rtmfp_packet_writer : public buffer_writer {
  public:
    rtmfp_packet_writer(void* storage, std::uint32_t length) noexcept
        : buffer_writer(storage, length, rtmfp_buffer_overflow) {}

    void write_bytes(rtmfp_bytes bytes);
    void fill(std::uint8_t value, std::uint32_t n);

    // Throws "Buffer overflow" unless n more bytes fit.
    void require(std::uint32_t n) const;
};

// Named like the other primitives so that chunk code reads uniformly.
inline std::uint32_t rtmfp_read_u32(rtmfp_packet_reader& in) {
    return in.read_u32_be();
}
inline rtmfp_bytes rtmfp_read_bytes(rtmfp_packet_reader& in, std::uint32_t n) {
    return in.read_bytes(n);
}
inline void rtmfp_write_u32(rtmfp_packet_writer& out, std::uint32_t value) {
    out.write_u32_be(value);
}
inline void rtmfp_write_bytes(rtmfp_packet_writer& out, rtmfp_bytes bytes) {
    out.write_bytes(bytes);
}

// Variable-length unsigned numbers: 7 bits a byte, most significant first,
// bit 0x80 on every byte but the last, at most four bytes.
//
// The largest number the writer can express; larger ones throw
// std::out_of_range "VLU out of range" rather than lose their high bits.
inline constexpr std::uint32_t rtmfp_max_vlu = (1u << 28) - 1;

// The writer's length for a value: 1 below 128, 2 up to 8191, 3 below
// 0x100000 (so 8192..16383 take three bytes), otherwise 4.
std::uint32_t rtmfp_vlu_size(std::uint32_t value) noexcept;

// Reads at most four bytes. After a fourth byte with bit 0x80 set the number
// ends anyway, shifted left by 7 once more. From a packet or from a flow
// message (whose reader fails with "Buffer eof").
std::uint32_t rtmfp_read_vlu(buffer_reader& in);
// A VLU length and that many bytes, as a view.
rtmfp_bytes rtmfp_read_vlu_bytes(buffer_reader& in);
void rtmfp_write_vlu(rtmfp_packet_writer& out, std::uint32_t value);
void rtmfp_write_vlu_bytes(rtmfp_packet_writer& out, rtmfp_bytes bytes);
// Into a flow message, which grows ("Write buffer overflow" when it
// cannot).
void rtmfp_write_vlu(buffer_writer& out, std::uint32_t value);

// An address record of introductions and NAT probes.
struct rtmfp_address {
    static constexpr std::uint8_t ipv6_flag = 0x80;
    static constexpr std::uint8_t public_flag = 0x02;  // as the server sees it
    static constexpr std::uint8_t local_flag = 0x01;   // as the peer announced it

    std::uint8_t flags = 0;
    // IPv4 uses the first four bytes.
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;

    bool is_ipv6() const noexcept { return (flags & ipv6_flag) != 0; }
    boost::asio::ip::udp::endpoint endpoint() const;

    friend bool operator==(const rtmfp_address&, const rtmfp_address&) = default;
};

rtmfp_address rtmfp_make_address(const boost::asio::ip::udp::endpoint& endpoint, bool is_public);
rtmfp_address rtmfp_read_address(rtmfp_packet_reader& in);
void rtmfp_write_address(rtmfp_packet_writer& out, const rtmfp_address& address);

// "a.b.c.d:port" or "[v6]:port", the addresses a client announces. The port
// must be decimal digits only, 0 to 65535.
std::optional<boost::asio::ip::udp::endpoint> parse_endpoint_text(std::string_view text);

// The time in 4-ms units since midnight UTC of today; packets carry its low
// 16 bits.
std::uint64_t rtmfp_now();

// Ones' complement sum of big-endian 16-bit words (an odd last byte counts
// as the high byte of a word); 0xFFFF for no bytes.
std::uint16_t rtmfp_checksum(const std::uint8_t* bytes, std::uint32_t length) noexcept;

// The session id a datagram is addressed to: its first three big-endian
// words XORed (the last two are encrypted bytes, so the id looks random on
// the wire). Needs 12 bytes ("Packet eof").
std::uint32_t rtmfp_session_id_of(rtmfp_bytes datagram);

struct rtmfp_header {
    std::uint8_t marker = 0;
    bool has_timestamp = false;
    std::uint16_t timestamp = 0;
    bool has_echo = false;
    std::uint16_t echo = 0;
    std::uint32_t chunk_count = 0;
    // Offset of the first chunk in the reader's bytes.
    std::uint32_t chunks_start = 0;
};

// `packet` covers a decrypted packet from its marker to its end and is left
// at the first chunk. The chunks are counted and their headers checked
// ("Packet eof" for one cut inside its 3 header bytes).
rtmfp_header rtmfp_read_header(rtmfp_packet_reader& packet);

// The next chunk (its 3 header bytes and its body, cut at the end of the
// packet if it claims more) and advances `packet` past it; nothing at the
// end of the data or at the padding.
std::optional<rtmfp_packet_reader> rtmfp_next_chunk(rtmfp_packet_reader& packet);

// Pads `out` with 0xFF so that (length - 4) is a multiple of 16 and the
// packet is at least 20 bytes long; returns that length. Nothing is written
// when the padding does not fit ("Buffer overflow").
std::uint32_t rtmfp_pad_packet(rtmfp_packet_writer& out);

// Seals a padded packet in place: the checksum of bytes 6.. at offset 4,
// AES-128-CBC over bytes 4.., then the scrambled far session id at 0.
// A length that breaks the padding rule throws std::invalid_argument.
void rtmfp_seal_packet(std::uint8_t* packet, std::uint32_t length, std::uint32_t far_session_id,
                       rtmfp_cipher& encrypt);

// The inverse of sealing: decrypts bytes 4.. in place and checks the
// checksum. False for a length that breaks the padding rule (nothing is
// decrypted then) and for a wrong checksum.
bool rtmfp_open_packet(std::uint8_t* datagram, std::uint32_t length, rtmfp_cipher& decrypt);
