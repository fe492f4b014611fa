#include "rtmfp/chunks.hpp"

#include <limits>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace {

// The byte that ends a key exchange, skipped when read.
constexpr std::uint8_t key_exchange_trailer = 0x58;
// The certificate option that holds a Diffie-Hellman public key, and the
// group byte in front of the key.
constexpr std::uint8_t public_key_option = 0x1D;
constexpr std::uint8_t public_key_group = 0x02;

void require_size(rtmfp_bytes field, std::uint32_t expected, const char* what) {
    if (field.size() != expected) {
        throw std::invalid_argument(what);
    }
}

rtmfp_endpoint_discriminator read_discriminator(rtmfp_packet_reader& in) {
    rtmfp_read_vlu(in);  // the total length, implied by what follows
    const std::uint32_t length = rtmfp_read_vlu(in);
    // The length counts the type byte; a zero length has no room for it and
    // must not turn into a huge value length.
    if (length == 0) {
        throw buffer_over_range(rtmfp_packet_eof);
    }
    rtmfp_endpoint_discriminator discriminator;
    discriminator.type = in.read_u8();
    discriminator.value = in.read_bytes(length - 1);
    return discriminator;
}

void write_discriminator(rtmfp_packet_writer& out, const rtmfp_endpoint_discriminator& d) {
    // No chunk body holds more; the check keeps the lengths below in range.
    if (d.value.size() > 0xFFFF) {
        throw buffer_over_range(rtmfp_buffer_overflow);
    }
    const auto length = static_cast<std::uint32_t>(d.value.size()) + 1;
    rtmfp_write_vlu(out, rtmfp_vlu_size(length) + length);
    rtmfp_write_vlu(out, length);
    out.write_u8(d.type);
    out.write_bytes(d.value);
}

template <class... Commands>
rtmfp_command* construct(std::uint8_t type, rtmfp_packet_reader& in,
                         std::variant<std::monostate, Commands...>& slot) {
    rtmfp_command* made = nullptr;
    ((type == Commands::chunk_type && (made = &slot.template emplace<Commands>(in), true)) || ...);
    return made;
}

}  // namespace

rtmfp_command::rtmfp_command(rtmfp_packet_reader& in)
    : type(in.read_u8()), size(in.read_u16_be()) {}

void rtmfp_command::write(rtmfp_packet_writer& out) const {
    const std::uint32_t start = out.pos;
    const std::uint32_t size_before = out.size;
    try {
        out.write_u8(type);
        out.write_u16_be(0);
        write_body(out);
        const std::uint32_t body = out.pos - start - 3;
        if (body > 0xFFFF) {
            throw buffer_over_range(rtmfp_buffer_overflow);
        }
        out.data[start + 1] = static_cast<std::uint8_t>(body >> 8);
        out.data[start + 2] = static_cast<std::uint8_t>(body);
    } catch (...) {
        out.pos = start;
        out.size = size_before;
        throw;
    }
}

rtmfp_command* rtmfp_command::parse(rtmfp_packet_reader& chunk, rtmfp_command_storage& storage) {
    storage.reset();
    if (chunk.remaining() < 3) {
        throw buffer_over_range(rtmfp_packet_eof);
    }
    return construct(chunk.peek_u8(), chunk, storage.slot_);
}

rtmfp_command* rtmfp_command_storage::get() noexcept {
    // A constructor that threw leaves the variant without a value.
    if (slot_.valueless_by_exception()) {
        return nullptr;
    }
    return std::visit(
        [](auto& held) -> rtmfp_command* {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::monostate>) {
                return nullptr;
            } else {
                return &held;
            }
        },
        slot_);
}

rtmfp_handshake_req::rtmfp_handshake_req(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      discriminator(read_discriminator(in)),
      tag(in.read_bytes(rtmfp_tag_size)) {}

rtmfp_handshake_req::rtmfp_handshake_req(rtmfp_endpoint_discriminator target, rtmfp_bytes tag_bytes)
    : rtmfp_command(chunk_type), discriminator(target), tag(tag_bytes) {
    require_size(tag, rtmfp_tag_size, "A handshake tag has 16 bytes");
}

void rtmfp_handshake_req::write_body(rtmfp_packet_writer& out) const {
    write_discriminator(out, discriminator);
    out.write_bytes(tag);
}

rtmfp_handshake_rep::rtmfp_handshake_rep(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      tag(rtmfp_read_vlu_bytes(in)),
      cookie(rtmfp_read_vlu_bytes(in)),
      certificate(in.read_bytes(rtmfp_certificate_size)) {}

rtmfp_handshake_rep::rtmfp_handshake_rep(rtmfp_bytes tag_bytes, rtmfp_bytes cookie_bytes,
                                         rtmfp_bytes certificate_bytes)
    : rtmfp_command(chunk_type),
      tag(tag_bytes),
      cookie(cookie_bytes),
      certificate(certificate_bytes) {
    require_size(certificate, rtmfp_certificate_size, "A server certificate has 77 bytes");
}

void rtmfp_handshake_rep::write_body(rtmfp_packet_writer& out) const {
    rtmfp_write_vlu_bytes(out, tag);
    rtmfp_write_vlu_bytes(out, cookie);
    out.write_bytes(certificate);
}

rtmfp_handshake_exchg_key_req::rtmfp_handshake_exchg_key_req(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      initiator_session_id(in.read_u32_be()),
      cookie(rtmfp_read_vlu_bytes(in)),
      certificate(rtmfp_read_vlu_bytes(in)),
      public_key(rtmfp_certificate_public_key(certificate)),
      initiator_nonce(rtmfp_read_vlu_bytes(in)) {
    in.read_u8();
}

rtmfp_handshake_exchg_key_req::rtmfp_handshake_exchg_key_req(std::uint32_t initiator_id,
                                                             rtmfp_bytes cookie_bytes,
                                                             rtmfp_bytes certificate_bytes,
                                                             rtmfp_bytes nonce)
    : rtmfp_command(chunk_type),
      initiator_session_id(initiator_id),
      cookie(cookie_bytes),
      certificate(certificate_bytes),
      public_key(rtmfp_certificate_public_key(certificate)),
      initiator_nonce(nonce) {}

void rtmfp_handshake_exchg_key_req::write_body(rtmfp_packet_writer& out) const {
    out.write_u32_be(initiator_session_id);
    rtmfp_write_vlu_bytes(out, cookie);
    rtmfp_write_vlu_bytes(out, certificate);
    rtmfp_write_vlu_bytes(out, initiator_nonce);
    out.write_u8(key_exchange_trailer);
}

rtmfp_bytes rtmfp_certificate_public_key(rtmfp_bytes certificate) noexcept {
    try {
        rtmfp_packet_reader in(certificate);
        while (in.remaining() != 0) {
            const rtmfp_bytes option = rtmfp_read_vlu_bytes(in);
            if (option.size() >= 2 && option[0] == public_key_option &&
                option[1] == public_key_group) {
                return option.subspan(2);
            }
        }
    } catch (const std::exception&) {
        // An option cut short names nothing.
    }
    return {};
}

std::uint32_t rtmfp_handshake_exchg_key_rep::public_key_size(std::uint8_t form) noexcept {
    switch (form) {
        case key_form_128:
            return 128;
        case key_form_64:
            return 64;
        default:
            return 0;
    }
}

rtmfp_handshake_exchg_key_rep::rtmfp_handshake_exchg_key_rep(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      responder_session_id(in.read_u32_be()),
      key_form(in.read_u8()),
      responder_nonce(rtmfp_read_vlu_bytes(in)),
      public_key(in.read_bytes(public_key_size(key_form))) {
    in.read_u8();
}

rtmfp_handshake_exchg_key_rep::rtmfp_handshake_exchg_key_rep(std::uint32_t responder_id,
                                                             std::uint8_t form, rtmfp_bytes nonce,
                                                             rtmfp_bytes public_key_bytes)
    : rtmfp_command(chunk_type),
      responder_session_id(responder_id),
      key_form(form),
      responder_nonce(nonce),
      public_key(public_key_bytes) {
    require_size(public_key, public_key_size(key_form), "Public key does not match its key form");
}

void rtmfp_handshake_exchg_key_rep::write_body(rtmfp_packet_writer& out) const {
    out.write_u32_be(responder_session_id);
    out.write_u8(key_form);
    rtmfp_write_vlu_bytes(out, responder_nonce);
    out.write_bytes(public_key);
    out.write_u8(key_exchange_trailer);
}

rtmfp_block_data::rtmfp_block_data(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      flags(in.read_u8()),
      flow_id(rtmfp_read_vlu(in)),
      sequence(rtmfp_read_vlu(in)),
      fsn_offset(rtmfp_read_vlu(in)) {
    if (has_options()) {
        signature = rtmfp_read_vlu_bytes(in);
        // Further options: a length byte and that many bytes each, up to the
        // zero length that ends the list.
        while (const std::uint8_t length = in.read_u8()) {
            in.read_bytes(length);
        }
    }
    payload = in.read_rest();
}

rtmfp_block_data::rtmfp_block_data(std::uint8_t flag_bits, std::uint32_t flow,
                                   std::uint32_t sequence_number, std::uint32_t offset,
                                   rtmfp_bytes signature_bytes, rtmfp_bytes payload_bytes)
    : rtmfp_command(chunk_type),
      flags(flag_bits),
      flow_id(flow),
      sequence(sequence_number),
      fsn_offset(offset),
      signature(signature_bytes),
      payload(payload_bytes) {}

void rtmfp_block_data::write_body(rtmfp_packet_writer& out) const {
    out.write_u8(flags);
    rtmfp_write_vlu(out, flow_id);
    rtmfp_write_vlu(out, sequence);
    rtmfp_write_vlu(out, fsn_offset);
    if (has_options()) {
        rtmfp_write_vlu_bytes(out, signature);
        out.write_u8(0);
    }
    out.write_bytes(payload);
}

rtmfp_block_data_compact::rtmfp_block_data_compact(rtmfp_packet_reader& in)
    : rtmfp_command(in), flags(in.read_u8()), payload(in.read_rest()) {}

rtmfp_block_data_compact::rtmfp_block_data_compact(std::uint8_t flag_bits,
                                                   rtmfp_bytes payload_bytes)
    : rtmfp_command(chunk_type), flags(flag_bits), payload(payload_bytes) {}

void rtmfp_block_data_compact::write_body(rtmfp_packet_writer& out) const {
    out.write_u8(flags);
    out.write_bytes(payload);
}

rtmfp_flow_unusable::rtmfp_flow_unusable(rtmfp_packet_reader& in)
    : rtmfp_command(in), flow_id(rtmfp_read_vlu(in)) {}

rtmfp_flow_unusable::rtmfp_flow_unusable(std::uint32_t flow)
    : rtmfp_command(chunk_type), flow_id(flow) {}

void rtmfp_flow_unusable::write_body(rtmfp_packet_writer& out) const {
    rtmfp_write_vlu(out, flow_id);
    out.write_u8(0);
}

rtmfp_ack_cmd::rtmfp_ack_cmd(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      flow_id(rtmfp_read_vlu(in)),
      buffer_available(rtmfp_read_vlu(in)),
      cumulative_sequence(rtmfp_read_vlu(in)),
      ranges(in.read_rest()) {}

rtmfp_ack_cmd::rtmfp_ack_cmd(std::uint32_t flow, std::uint32_t cumulative,
                             std::uint32_t buffer_space)
    : rtmfp_command(chunk_type),
      flow_id(flow),
      buffer_available(buffer_space),
      cumulative_sequence(cumulative) {}

void rtmfp_ack_cmd::write_body(rtmfp_packet_writer& out) const {
    rtmfp_write_vlu(out, flow_id);
    rtmfp_write_vlu(out, buffer_available);
    rtmfp_write_vlu(out, cumulative_sequence);
}

void rtmfp_ack_cmd::received_ranges(std::vector<rtmfp_received_range>& out) const {
    rtmfp_packet_reader in(ranges);
    // The sequence number after the last one known: where the next gap
    // begins.
    std::uint64_t next = std::uint64_t{cumulative_sequence} + 1;
    try {
        while (in.remaining() != 0) {
            const std::uint64_t first = next + rtmfp_read_vlu(in) + 1;
            const std::uint64_t last = first + rtmfp_read_vlu(in);
            if (last > std::numeric_limits<std::uint32_t>::max()) {
                return;
            }
            out.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)});
            next = last + 1;
        }
    } catch (const std::exception&) {
        // A pair cut short.
    }
}

void rtmfp_ack_bitmap_cmd::received_ranges(std::vector<rtmfp_received_range>& out) const {
    const std::uint64_t base = std::uint64_t{cumulative_sequence} + 2;
    std::optional<rtmfp_received_range> open;
    for (std::size_t bit = 0; bit < bitmap.size() * 8; ++bit) {
        const std::uint64_t sequence = base + bit;
        const bool held = (bitmap[bit / 8] >> (bit % 8) & 1) != 0;
        if (held && sequence <= std::numeric_limits<std::uint32_t>::max()) {
            if (open) {
                open->last = static_cast<std::uint32_t>(sequence);
            } else {
                open = rtmfp_received_range{static_cast<std::uint32_t>(sequence),
                                            static_cast<std::uint32_t>(sequence)};
            }
        } else if (open) {
            out.push_back(*open);
            open.reset();
        }
    }
    if (open) {
        out.push_back(*open);
    }
}

rtmfp_ack_bitmap_cmd::rtmfp_ack_bitmap_cmd(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      flow_id(rtmfp_read_vlu(in)),
      buffer_available(rtmfp_read_vlu(in)),
      cumulative_sequence(rtmfp_read_vlu(in)),
      bitmap(in.read_rest()) {}

rtmfp_ack_bitmap_cmd::rtmfp_ack_bitmap_cmd(std::uint32_t flow, std::uint32_t buffer_space,
                                           std::uint32_t cumulative, rtmfp_bytes bitmap_bytes)
    : rtmfp_command(chunk_type),
      flow_id(flow),
      buffer_available(buffer_space),
      cumulative_sequence(cumulative),
      bitmap(bitmap_bytes) {}

void rtmfp_ack_bitmap_cmd::write_body(rtmfp_packet_writer& out) const {
    rtmfp_write_vlu(out, flow_id);
    rtmfp_write_vlu(out, buffer_available);
    rtmfp_write_vlu(out, cumulative_sequence);
    out.write_bytes(bitmap);
}

rtmfp_cmd_holepunch_rep::rtmfp_cmd_holepunch_rep(rtmfp_packet_reader& in)
    : rtmfp_command(in), tag(rtmfp_read_vlu_bytes(in)) {
    while (in.remaining() != 0) {
        addresses.push_back(rtmfp_read_address(in));
    }
}

rtmfp_cmd_holepunch_rep::rtmfp_cmd_holepunch_rep(rtmfp_bytes tag_bytes,
                                                 std::vector<rtmfp_address> records)
    : rtmfp_command(chunk_type), tag(tag_bytes), addresses(std::move(records)) {}

void rtmfp_cmd_holepunch_rep::write_body(rtmfp_packet_writer& out) const {
    rtmfp_write_vlu_bytes(out, tag);
    for (const rtmfp_address& address : addresses) {
        rtmfp_write_address(out, address);
    }
}

rtmfp_cmd_punch_request_notify::rtmfp_cmd_punch_request_notify(rtmfp_packet_reader& in)
    : rtmfp_command(in),
      discriminator(read_discriminator(in)),
      address(rtmfp_read_address(in)),
      tag(in.read_rest()) {}

rtmfp_cmd_punch_request_notify::rtmfp_cmd_punch_request_notify(rtmfp_endpoint_discriminator peer,
                                                               rtmfp_address record,
                                                               rtmfp_bytes tag_bytes)
    : rtmfp_command(chunk_type), discriminator(peer), address(record), tag(tag_bytes) {}

void rtmfp_cmd_punch_request_notify::write_body(rtmfp_packet_writer& out) const {
    write_discriminator(out, discriminator);
    rtmfp_write_address(out, address);
    out.write_bytes(tag);
}
