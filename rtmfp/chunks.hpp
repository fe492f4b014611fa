#pragma once

// The chunks of an RTMFP packet. Each class parses itself from the bytes of
// one chunk (a reader over its 3 header bytes and its body) and writes
// itself into an outgoing packet. Byte fields are views: into the received
// datagram after parsing, into the caller's data when built for sending, so
// those bytes must outlive the object.
//
// A read past the chunk's bytes throws buffer_over_range "Packet eof"; a
// write that does not fit throws "Buffer overflow" and leaves the writer as
// it was. Building a chunk to send with a fixed-size field of the wrong size
// throws std::invalid_argument.

#include <cstdint>
#include <variant>
#include <vector>

#include "rtmfp/packet.hpp"

inline constexpr std::uint32_t rtmfp_tag_size = 16;
inline constexpr std::uint32_t rtmfp_certificate_size = 77;
inline constexpr std::uint32_t rtmfp_public_key_size = 128;

class rtmfp_command_storage;

class rtmfp_command {
  public:
    virtual ~rtmfp_command() = default;

    // The whole chunk: type, body size (counted from the body written) and
    // body.
    void write(rtmfp_packet_writer& out) const;

    // The chunk object for the bytes of one chunk, made in `storage` (which
    // drops whatever it held before); none for a type this server does not
    // know. Needs the 3 header bytes ("Packet eof").
    static rtmfp_command* parse(rtmfp_packet_reader& chunk, rtmfp_command_storage& storage);

    std::uint8_t type;
    // The body size the chunk declared; 0 for a chunk built to send.
    std::uint16_t size = 0;

  protected:
    explicit rtmfp_command(std::uint8_t chunk_type) noexcept : type(chunk_type) {}
    // Reads the type and the body size.
    explicit rtmfp_command(rtmfp_packet_reader& in);
    rtmfp_command(const rtmfp_command&) = default;
    rtmfp_command& operator=(const rtmfp_command&) = default;

  private:
    virtual void write_body(rtmfp_packet_writer&) const {}
};

// Chunks without a body of their own.
template <std::uint8_t Type>
class rtmfp_empty_command : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = Type;
    rtmfp_empty_command() noexcept : rtmfp_command(Type) {}
    explicit rtmfp_empty_command(rtmfp_packet_reader& in) : rtmfp_command(in) {}
};

// A keep-alive request and its reply, which carries the request's bytes
// back (none in the server's own requests).
template <std::uint8_t Type>
class rtmfp_ping_command : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = Type;
    explicit rtmfp_ping_command(rtmfp_bytes body_bytes = {}) noexcept
        : rtmfp_command(Type), body(body_bytes) {}
    explicit rtmfp_ping_command(rtmfp_packet_reader& in)
        : rtmfp_command(in), body(in.read_rest()) {}

    rtmfp_bytes body;

  private:
    void write_body(rtmfp_packet_writer& out) const override { out.write_bytes(body); }
};

class rtmfp_keep_alive_req final : public rtmfp_ping_command<0x01> {
  public:
    using rtmfp_ping_command::rtmfp_ping_command;
};

class rtmfp_keep_alive_rep final : public rtmfp_ping_command<0x41> {
  public:
    using rtmfp_ping_command::rtmfp_ping_command;
};

class rtmfp_client_session_failed_cmd final : public rtmfp_empty_command<0x0C> {
  public:
    using rtmfp_empty_command::rtmfp_empty_command;
};

class rtmfp_session_end_cmd final : public rtmfp_empty_command<0x4C> {
  public:
    using rtmfp_empty_command::rtmfp_empty_command;
};

class rtmfp_ack_negative_rep final : public rtmfp_empty_command<0x18> {
  public:
    using rtmfp_empty_command::rtmfp_empty_command;
};

// Whom a handshake is for: the server (a URL) or another peer (its peer id).
// On the wire: a VLU total length (not used), a VLU n, the type byte and
// n - 1 bytes of value.
struct rtmfp_endpoint_discriminator {
    static constexpr std::uint8_t url = 0x0A;
    static constexpr std::uint8_t peer_id = 0x0F;

    std::uint8_t type = 0;
    rtmfp_bytes value;
};

// The client's first message, or its request to be introduced to a peer.
class rtmfp_handshake_req final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x30;
    explicit rtmfp_handshake_req(rtmfp_packet_reader& in);
    // `tag`: 16 bytes.
    rtmfp_handshake_req(rtmfp_endpoint_discriminator target, rtmfp_bytes tag);

    rtmfp_endpoint_discriminator discriminator;
    rtmfp_bytes tag;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The server's answer to the first message: the client's tag, a cookie and
// the server certificate. Also the client's answer to a NAT probe.
class rtmfp_handshake_rep final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x70;
    explicit rtmfp_handshake_rep(rtmfp_packet_reader& in);
    // `certificate`: 77 bytes.
    rtmfp_handshake_rep(rtmfp_bytes tag, rtmfp_bytes cookie, rtmfp_bytes certificate);

    rtmfp_bytes tag;
    rtmfp_bytes cookie;
    rtmfp_bytes certificate;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The client's key exchange. Its certificate is a list of options, each a
// VLU length and that many bytes beginning with the option's type; the
// client's Diffie-Hellman public key is the value of option 0x1D after its
// group byte 0x02 (in practice 81 02 1D 02 and 128 key bytes).
class rtmfp_handshake_exchg_key_req final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x38;
    explicit rtmfp_handshake_exchg_key_req(rtmfp_packet_reader& in);
    rtmfp_handshake_exchg_key_req(std::uint32_t initiator_session_id, rtmfp_bytes cookie,
                                  rtmfp_bytes certificate, rtmfp_bytes initiator_nonce);

    std::uint32_t initiator_session_id = 0;
    rtmfp_bytes cookie;
    // The whole certificate as it came; its bytes make the client's peer id.
    rtmfp_bytes certificate;
    // Inside the certificate; empty when it names none.
    rtmfp_bytes public_key;
    rtmfp_bytes initiator_nonce;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The public key a key exchange's certificate names (see above), or none.
rtmfp_bytes rtmfp_certificate_public_key(rtmfp_bytes certificate) noexcept;

// The server's answer to the key exchange.
class rtmfp_handshake_exchg_key_rep final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x78;
    static constexpr std::uint8_t key_form_128 = 0x81;
    static constexpr std::uint8_t key_form_64 = 0x49;

    explicit rtmfp_handshake_exchg_key_rep(rtmfp_packet_reader& in);
    // `public_key`: 128 bytes for key form 0x81, 64 for 0x49, none for any
    // other form.
    rtmfp_handshake_exchg_key_rep(std::uint32_t responder_session_id, std::uint8_t key_form,
                                  rtmfp_bytes responder_nonce, rtmfp_bytes public_key);

    // The public key length a key form carries.
    static std::uint32_t public_key_size(std::uint8_t key_form) noexcept;

    std::uint32_t responder_session_id = 0;
    std::uint8_t key_form = 0;
    rtmfp_bytes responder_nonce;
    rtmfp_bytes public_key;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// A fragment of a flow's message, with the flow's header.
class rtmfp_block_data final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x10;
    // The fragment opens a flow and carries its options.
    static constexpr std::uint8_t options_flag = 0x80;

    explicit rtmfp_block_data(rtmfp_packet_reader& in);
    // The signature is written only when `flags` has options_flag.
    rtmfp_block_data(std::uint8_t flags, std::uint32_t flow_id, std::uint32_t sequence,
                     std::uint32_t fsn_offset, rtmfp_bytes signature, rtmfp_bytes payload);

    bool has_options() const noexcept { return (flags & options_flag) != 0; }

    std::uint8_t flags = 0;
    std::uint32_t flow_id = 0;
    std::uint32_t sequence = 0;
    std::uint32_t fsn_offset = 0;
    // The first option, which names the flow's stream; empty without
    // options. Further options are skipped when read.
    rtmfp_bytes signature;
    rtmfp_bytes payload;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The next fragment of the flow of the preceding 0x10 chunk of the packet.
class rtmfp_block_data_compact final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x11;
    explicit rtmfp_block_data_compact(rtmfp_packet_reader& in);
    rtmfp_block_data_compact(std::uint8_t flags, rtmfp_bytes payload);

    std::uint8_t flags = 0;
    rtmfp_bytes payload;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

class rtmfp_flow_unusable final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x5E;
    explicit rtmfp_flow_unusable(rtmfp_packet_reader& in);
    explicit rtmfp_flow_unusable(std::uint32_t flow_id);

    std::uint32_t flow_id = 0;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// Fragments of a flow that the peer holds beyond its cumulative
// acknowledgement: `first` to `last`, both included.
struct rtmfp_received_range {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// A cumulative acknowledgement of a flow: the highest sequence number
// received with everything before it. A peer that keeps fragments that
// came early names them after it, in ranges; the server never holds any,
// so it writes none.
class rtmfp_ack_cmd final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x51;
    // What the server announces as its free buffer.
    static constexpr std::uint32_t default_buffer_available = 0x3F;

    explicit rtmfp_ack_cmd(rtmfp_packet_reader& in);
    rtmfp_ack_cmd(std::uint32_t flow_id, std::uint32_t cumulative_sequence,
                  std::uint32_t buffer_available = default_buffer_available);

    // The ranges after the cumulative number, ascending: each is a VLU
    // pair, the missing fragments before it less one and its own fragments
    // less one. Stops quietly at a pair that is cut short or leaves 32
    // bits: what came before it still holds.
    void received_ranges(std::vector<rtmfp_received_range>& out) const;

    std::uint32_t flow_id = 0;
    // A VLU on the wire, like the numbers around it.
    std::uint32_t buffer_available = default_buffer_available;
    std::uint32_t cumulative_sequence = 0;
    // The bytes after the cumulative number; empty in what we send.
    rtmfp_bytes ranges;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The other form of a flow's acknowledgement: the cumulative number as in
// 0x51, then a bitmap of the fragments received beyond it, one bit each
// from the cumulative number + 2 on (the one after it is missing, or the
// number would be higher), lowest bit of each byte first.
class rtmfp_ack_bitmap_cmd final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x50;

    explicit rtmfp_ack_bitmap_cmd(rtmfp_packet_reader& in);
    rtmfp_ack_bitmap_cmd(std::uint32_t flow_id, std::uint32_t buffer_available,
                         std::uint32_t cumulative_sequence, rtmfp_bytes bitmap);

    // The bitmap's fragments as ranges, ascending.
    void received_ranges(std::vector<rtmfp_received_range>& out) const;

    std::uint32_t flow_id = 0;
    std::uint32_t buffer_available = 0;
    std::uint32_t cumulative_sequence = 0;
    rtmfp_bytes bitmap;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// The addresses of a peer the client asked to be introduced to.
class rtmfp_cmd_holepunch_rep final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x71;
    explicit rtmfp_cmd_holepunch_rep(rtmfp_packet_reader& in);
    rtmfp_cmd_holepunch_rep(rtmfp_bytes tag, std::vector<rtmfp_address> addresses);

    rtmfp_bytes tag;
    std::vector<rtmfp_address> addresses;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// Tells a peer that another one (or the server's NAT probe) wants to reach
// it at an address.
class rtmfp_cmd_punch_request_notify final : public rtmfp_command {
  public:
    static constexpr std::uint8_t chunk_type = 0x0F;
    explicit rtmfp_cmd_punch_request_notify(rtmfp_packet_reader& in);
    rtmfp_cmd_punch_request_notify(rtmfp_endpoint_discriminator peer, rtmfp_address address,
                                   rtmfp_bytes tag);

    rtmfp_endpoint_discriminator discriminator;
    rtmfp_address address;
    rtmfp_bytes tag;

  private:
    void write_body(rtmfp_packet_writer& out) const override;
};

// Room for any one chunk object, kept on the caller's stack so that
// decoding a packet allocates nothing. The object it holds is destroyed when
// the next one is made, on reset() and with the storage.
class rtmfp_command_storage {
  public:
    rtmfp_command* get() noexcept;
    void reset() noexcept { slot_.emplace<std::monostate>(); }

  private:
    friend class rtmfp_command;

    std::variant<std::monostate, rtmfp_keep_alive_req, rtmfp_keep_alive_rep,
                 rtmfp_client_session_failed_cmd, rtmfp_session_end_cmd, rtmfp_ack_negative_rep,
                 rtmfp_handshake_req, rtmfp_handshake_rep, rtmfp_handshake_exchg_key_req,
                 rtmfp_handshake_exchg_key_rep, rtmfp_block_data, rtmfp_block_data_compact,
                 rtmfp_flow_unusable, rtmfp_ack_cmd, rtmfp_ack_bitmap_cmd, rtmfp_cmd_holepunch_rep,
                 rtmfp_cmd_punch_request_notify>
        slot_;
};
