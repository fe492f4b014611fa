#include "rtmfp/chunks.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rtmfp/tests/test_bytes.hpp"

namespace {

namespace ip = boost::asio::ip;
using namespace rtmfp_test;

// Field values shared by the wire strings and the chunks built to match them.
const bytes tag = fill(16, 0x7A);
const bytes cookie = fill(64, 0xC0);
const bytes certificate = fill(77, 0xCE);
const bytes public_key = fill(128, 0xB5);
const bytes short_key = fill(64, 0xB6);
const bytes peer_id = fill(32, 0x9D);
const bytes nonce_prefix = hex("03 1A 00 00 02 1E 00 81 02 0D 02");
const bytes url = to_bytes("rtmfp://h/a");
const rtmfp_address public_v4 = rtmfp_make_address({ip::make_address("203.0.113.7"), 1935}, true);
const rtmfp_address local_v6 = rtmfp_make_address({ip::make_address("fe80::1"), 50000}, false);
const bytes public_v4_wire = hex("02 CB 00 71 07 07 8F");
const bytes local_v6_wire = hex("81 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01 C3 50");

struct round_trip_case {
    const char* name;
    bytes wire;
    std::function<std::unique_ptr<rtmfp_command>()> build;
    std::function<void(const rtmfp_command&)> check;
};

template <class T>
const T& as(const rtmfp_command& command) {
    return dynamic_cast<const T&>(command);
}

std::vector<round_trip_case> round_trip_cases() {
    return {
        {"keep-alive request", hex("01 00 00"),
         [] { return std::make_unique<rtmfp_keep_alive_req>(); }, [](const rtmfp_command&) {}},
        {"keep-alive reply", hex("41 00 00"),
         [] { return std::make_unique<rtmfp_keep_alive_rep>(); }, [](const rtmfp_command&) {}},
        // A ping's bytes come back in its reply.
        {"keep-alive request with a body", hex("01 00 02 AA BB"),
         [] {
             static const bytes body = hex("AA BB");
             return std::make_unique<rtmfp_keep_alive_req>(body);
         },
         [](const rtmfp_command& c) {
             EXPECT_EQ(as_bytes(as<rtmfp_keep_alive_req>(c).body), hex("AA BB"));
         }},
        {"client session failed", hex("0C 00 00"),
         [] { return std::make_unique<rtmfp_client_session_failed_cmd>(); },
         [](const rtmfp_command&) {}},
        {"session end", hex("4C 00 00"), [] { return std::make_unique<rtmfp_session_end_cmd>(); },
         [](const rtmfp_command&) {}},
        {"negative ack", hex("18 00 00"), [] { return std::make_unique<rtmfp_ack_negative_rep>(); },
         [](const rtmfp_command&) {}},
        {"handshake request for a URL", cat(hex("30 00 1E 0D 0C 0A"), url, tag),
         [] {
             return std::make_unique<rtmfp_handshake_req>(
                 rtmfp_endpoint_discriminator{rtmfp_endpoint_discriminator::url, url}, tag);
         },
         [](const rtmfp_command& c) {
             const auto& req = as<rtmfp_handshake_req>(c);
             EXPECT_EQ(req.discriminator.type, 0x0A);
             EXPECT_EQ(as_bytes(req.discriminator.value), url);
             EXPECT_EQ(as_bytes(req.tag), tag);
         }},
        {"handshake request for a peer", cat(hex("30 00 33 22 21 0F"), peer_id, tag),
         [] {
             return std::make_unique<rtmfp_handshake_req>(
                 rtmfp_endpoint_discriminator{rtmfp_endpoint_discriminator::peer_id, peer_id}, tag);
         },
         [](const rtmfp_command& c) {
             const auto& req = as<rtmfp_handshake_req>(c);
             EXPECT_EQ(req.discriminator.type, 0x0F);
             EXPECT_EQ(as_bytes(req.discriminator.value), peer_id);
         }},
        {"handshake reply", cat(hex("70 00 9F 10"), tag, hex("40"), cookie, certificate),
         [] { return std::make_unique<rtmfp_handshake_rep>(tag, cookie, certificate); },
         [](const rtmfp_command& c) {
             const auto& rep = as<rtmfp_handshake_rep>(c);
             EXPECT_EQ(as_bytes(rep.tag), tag);
             EXPECT_EQ(as_bytes(rep.cookie), cookie);
             EXPECT_EQ(as_bytes(rep.certificate), certificate);
         }},
        {"key exchange request",
         cat(hex("38 00 D2 01 02 03 04 40"), cookie, hex("81 04 81 02 1D 02"), public_key,
             hex("05 11 22 33 44 55 58")),
         [] {
             static const bytes certificate_field = cat(hex("81 02 1D 02"), public_key);
             static const bytes nonce = hex("11 22 33 44 55");
             return std::make_unique<rtmfp_handshake_exchg_key_req>(0x01020304, cookie,
                                                                    certificate_field, nonce);
         },
         [](const rtmfp_command& c) {
             const auto& req = as<rtmfp_handshake_exchg_key_req>(c);
             EXPECT_EQ(req.initiator_session_id, 0x01020304u);
             EXPECT_EQ(as_bytes(req.cookie), cookie);
             EXPECT_EQ(as_bytes(req.certificate), cat(hex("81 02 1D 02"), public_key));
             EXPECT_EQ(as_bytes(req.public_key), public_key);
             EXPECT_EQ(as_bytes(req.initiator_nonce), hex("11 22 33 44 55"));
         }},
        {"key exchange reply, 128-byte key",
         cat(hex("78 00 92 00 00 00 2A 81 0B"), nonce_prefix, public_key, hex("58")),
         [] {
             return std::make_unique<rtmfp_handshake_exchg_key_rep>(42, 0x81, nonce_prefix,
                                                                    public_key);
         },
         [](const rtmfp_command& c) {
             const auto& rep = as<rtmfp_handshake_exchg_key_rep>(c);
             EXPECT_EQ(rep.responder_session_id, 42u);
             EXPECT_EQ(rep.key_form, 0x81);
             EXPECT_EQ(as_bytes(rep.responder_nonce), nonce_prefix);
             EXPECT_EQ(as_bytes(rep.public_key), public_key);
         }},
        {"key exchange reply, 64-byte key",
         cat(hex("78 00 52 00 00 00 2A 49 0B"), nonce_prefix, short_key, hex("58")),
         [] {
             return std::make_unique<rtmfp_handshake_exchg_key_rep>(42, 0x49, nonce_prefix,
                                                                    short_key);
         },
         [](const rtmfp_command& c) {
             EXPECT_EQ(as_bytes(as<rtmfp_handshake_exchg_key_rep>(c).public_key), short_key);
         }},
        {"key exchange reply, other key form",
         cat(hex("78 00 12 00 00 00 2A 02 0B"), nonce_prefix, hex("58")),
         [] {
             return std::make_unique<rtmfp_handshake_exchg_key_rep>(42, 0x02, nonce_prefix,
                                                                    rtmfp_bytes{});
         },
         [](const rtmfp_command& c) {
             EXPECT_TRUE(as<rtmfp_handshake_exchg_key_rep>(c).public_key.empty());
         }},
        {"user data opening a flow",
         hex("10 00 11 80 02 01 01 05 00 54 43 04 00 00 14 00 00 00 00 02"),
         [] {
             static const bytes signature = hex("00 54 43 04 00");
             static const bytes payload = hex("14 00 00 00 00 02");
             return std::make_unique<rtmfp_block_data>(0x80, 2, 1, 1, signature, payload);
         },
         [](const rtmfp_command& c) {
             const auto& data = as<rtmfp_block_data>(c);
             EXPECT_TRUE(data.has_options());
             EXPECT_EQ(data.flow_id, 2u);
             EXPECT_EQ(data.sequence, 1u);
             EXPECT_EQ(data.fsn_offset, 1u);
             EXPECT_EQ(as_bytes(data.signature), hex("00 54 43 04 00"));
             EXPECT_EQ(as_bytes(data.payload), hex("14 00 00 00 00 02"));
         }},
        {"user data without options", hex("10 00 0B 10 81 48 80 C0 00 03 DE AD BE EF"),
         [] {
             static const bytes payload = hex("DE AD BE EF");
             return std::make_unique<rtmfp_block_data>(0x10, 200, 8192, 3, rtmfp_bytes{}, payload);
         },
         [](const rtmfp_command& c) {
             const auto& data = as<rtmfp_block_data>(c);
             EXPECT_FALSE(data.has_options());
             EXPECT_EQ(data.flags, 0x10);
             EXPECT_EQ(data.flow_id, 200u);
             EXPECT_EQ(data.sequence, 8192u);
             EXPECT_EQ(data.fsn_offset, 3u);
             EXPECT_TRUE(data.signature.empty());
             EXPECT_EQ(as_bytes(data.payload), hex("DE AD BE EF"));
         }},
        {"next user data", hex("11 00 06 20 01 02 03 04 05"),
         [] {
             static const bytes payload = hex("01 02 03 04 05");
             return std::make_unique<rtmfp_block_data_compact>(0x20, payload);
         },
         [](const rtmfp_command& c) {
             const auto& data = as<rtmfp_block_data_compact>(c);
             EXPECT_EQ(data.flags, 0x20);
             EXPECT_EQ(as_bytes(data.payload), hex("01 02 03 04 05"));
         }},
        {"flow unusable", hex("5E 00 02 03 00"),
         [] { return std::make_unique<rtmfp_flow_unusable>(3); },
         [](const rtmfp_command& c) { EXPECT_EQ(as<rtmfp_flow_unusable>(c).flow_id, 3u); }},
        {"acknowledgement", hex("51 00 04 02 3F 81 48"),
         [] { return std::make_unique<rtmfp_ack_cmd>(2, 200); },
         [](const rtmfp_command& c) {
             const auto& ack = as<rtmfp_ack_cmd>(c);
             EXPECT_EQ(ack.flow_id, 2u);
             EXPECT_EQ(ack.buffer_available, 0x3F);
             EXPECT_EQ(ack.cumulative_sequence, 200u);
         }},
        // The buffer space is a VLU: 81 00 is 128, and the sequence follows.
        {"acknowledgement with a two-byte buffer space", hex("51 00 05 02 81 00 81 48"),
         [] { return std::make_unique<rtmfp_ack_cmd>(2, 200, 128); },
         [](const rtmfp_command& c) {
             const auto& ack = as<rtmfp_ack_cmd>(c);
             EXPECT_EQ(ack.buffer_available, 128u);
             EXPECT_EQ(ack.cumulative_sequence, 200u);
         }},
        {"acknowledgement with a bitmap", hex("50 00 07 03 81 00 81 48 0A F0"),
         [] {
             static const bytes bitmap = hex("0A F0");
             return std::make_unique<rtmfp_ack_bitmap_cmd>(3, 128, 200, bitmap);
         },
         [](const rtmfp_command& c) {
             const auto& ack = as<rtmfp_ack_bitmap_cmd>(c);
             EXPECT_EQ(ack.flow_id, 3u);
             EXPECT_EQ(ack.buffer_available, 128u);
             EXPECT_EQ(ack.cumulative_sequence, 200u);
             EXPECT_EQ(as_bytes(ack.bitmap), hex("0A F0"));
         }},
        {"introduction reply", cat(hex("71 00 2B 10"), tag, public_v4_wire, local_v6_wire),
         [] {
             return std::make_unique<rtmfp_cmd_holepunch_rep>(
                 tag, std::vector<rtmfp_address>{public_v4, local_v6});
         },
         [](const rtmfp_command& c) {
             const auto& rep = as<rtmfp_cmd_holepunch_rep>(c);
             EXPECT_EQ(as_bytes(rep.tag), tag);
             EXPECT_EQ(rep.addresses, (std::vector<rtmfp_address>{public_v4, local_v6}));
         }},
        {"introduction reply without addresses", cat(hex("71 00 11 10"), tag),
         [] {
             return std::make_unique<rtmfp_cmd_holepunch_rep>(tag, std::vector<rtmfp_address>{});
         },
         [](const rtmfp_command& c) {
             EXPECT_TRUE(as<rtmfp_cmd_holepunch_rep>(c).addresses.empty());
         }},
        {"introduction", cat(hex("0F 00 3A 22 21 0F"), peer_id, public_v4_wire, tag),
         [] {
             return std::make_unique<rtmfp_cmd_punch_request_notify>(
                 rtmfp_endpoint_discriminator{rtmfp_endpoint_discriminator::peer_id, peer_id},
                 public_v4, tag);
         },
         [](const rtmfp_command& c) {
             const auto& notify = as<rtmfp_cmd_punch_request_notify>(c);
             EXPECT_EQ(notify.discriminator.type, 0x0F);
             EXPECT_EQ(as_bytes(notify.discriminator.value), peer_id);
             EXPECT_EQ(notify.address, public_v4);
             EXPECT_EQ(as_bytes(notify.tag), tag);
         }},
        {"introduction with an empty tag", cat(hex("0F 00 2A 22 21 0F"), peer_id, public_v4_wire),
         [] {
             return std::make_unique<rtmfp_cmd_punch_request_notify>(
                 rtmfp_endpoint_discriminator{rtmfp_endpoint_discriminator::peer_id, peer_id},
                 public_v4, rtmfp_bytes{});
         },
         [](const rtmfp_command& c) {
             EXPECT_TRUE(as<rtmfp_cmd_punch_request_notify>(c).tag.empty());
         }},
    };
}

TEST(RtmfpChunks, EveryTypeParsesAndWritesBackByteForByte) {
    for (const auto& c : round_trip_cases()) {
        SCOPED_TRACE(c.name);
        rtmfp_packet_reader in(c.wire);
        rtmfp_command_storage storage;
        rtmfp_command* command = rtmfp_command::parse(in, storage);
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(storage.get(), command);
        EXPECT_EQ(command->type, c.wire[0]);
        EXPECT_EQ(command->size, c.wire.size() - 3);
        c.check(*command);
        EXPECT_EQ(written(*command), c.wire);

        const auto built = c.build();
        EXPECT_EQ(built->type, c.wire[0]);
        EXPECT_EQ(written(*built), c.wire);
    }
}

// A chunk parsed from bytes that it keeps.
struct parsed_chunk {
    explicit parsed_chunk(bytes chunk) : wire(std::move(chunk)) {
        rtmfp_packet_reader in(wire);
        command = rtmfp_command::parse(in, storage);
    }
    bytes wire;
    rtmfp_command_storage storage;
    rtmfp_command* command = nullptr;
};

TEST(RtmfpChunks, ReadsWhatTheServerDoesNotWriteItself) {
    // Options after the signature are skipped up to the zero length.
    const parsed_chunk data_chunk(hex("10 00 0E 80 03 01 01 03 00 47 43 02 0A 02 00 AB CD"));
    const auto& data = as<rtmfp_block_data>(*data_chunk.command);
    EXPECT_EQ(as_bytes(data.signature), hex("00 47 43"));
    EXPECT_EQ(as_bytes(data.payload), hex("AB CD"));

    // The reader stops after the flow id.
    const parsed_chunk unusable(hex("5E 00 01 07"));
    EXPECT_EQ(as<rtmfp_flow_unusable>(*unusable.command).flow_id, 7u);

    // A body-less chunk with bytes after it is written back without them.
    const parsed_chunk session_end(hex("4C 00 02 AA BB"));
    EXPECT_EQ(written(*session_end.command), hex("4C 00 00"));
}

TEST(RtmfpChunks, AcknowledgementsNameTheFragmentsHeldBeyondTheGap) {
    using held = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    const struct {
        const char* name;
        bytes wire;
        held ranges;
    } cases[] = {
        {"no ranges", hex("51 00 03 02 3F 0A"), {}},
        // After 10: 11 missing, 12 and 13 held; 14 to 16 missing, 17 held.
        {"ranges", hex("51 00 07 02 3F 0A 00 01 02 00"), {{12, 13}, {17, 17}}},
        {"a pair cut short", hex("51 00 06 02 3F 0A 00 01 02"), {{12, 13}}},
        // From 12 on, lowest bit first: 12, 13, 15, 16, and 27 in the next
        // byte.
        {"bitmap", hex("50 00 05 02 3F 0A 1B 80"), {{12, 13}, {15, 16}, {27, 27}}},
        {"empty bitmap", hex("50 00 03 02 3F 0A"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const parsed_chunk chunk(c.wire);
        std::vector<rtmfp_received_range> ranges;
        if (c.wire[0] == rtmfp_ack_cmd::chunk_type) {
            as<rtmfp_ack_cmd>(*chunk.command).received_ranges(ranges);
        } else {
            as<rtmfp_ack_bitmap_cmd>(*chunk.command).received_ranges(ranges);
        }
        held found;
        for (const rtmfp_received_range& r : ranges) {
            found.emplace_back(r.first, r.last);
        }
        EXPECT_EQ(found, c.ranges);
    }
}

TEST(RtmfpChunks, ChunkCutAtTheEndOfThePacketKeepsTheBytesThere) {
    // A 0x10 chunk that claims 0x40 body bytes in a packet that holds 6.
    const bytes packet = hex("10 00 40 00 02 05 01 AA BB");
    rtmfp_packet_reader in(packet);
    auto chunk = rtmfp_next_chunk(in);
    ASSERT_TRUE(chunk);
    rtmfp_command_storage storage;
    const auto& data = as<rtmfp_block_data>(*rtmfp_command::parse(*chunk, storage));
    EXPECT_EQ(data.size, 0x40);
    EXPECT_EQ(as_bytes(data.payload), hex("AA BB"));
    EXPECT_FALSE(rtmfp_next_chunk(in));
}

TEST(RtmfpChunks, MalformedChunksAreRefused) {
    const struct {
        const char* name;
        bytes wire;
    } cases[] = {
        {"under three bytes", hex("01 00")},
        {"zero-length discriminator", cat(hex("30 00 13 01 00 0A"), tag)},
        {"discriminator longer than the chunk", cat(hex("30 00 13 41 40 0A"), tag)},
        {"handshake tag cut", cat(hex("30 00 1D 0D 0C 0A"), url, fill(15, 0x7A))},
        {"certificate cut", cat(hex("70 00 9E 10"), tag, hex("40"), cookie, fill(76, 0xCE))},
        {"cookie length near 2^32", cat(hex("70 00 20 10"), tag, hex("FF FF FF FF 01 02"))},
        {"key exchange without its last byte",
         cat(hex("38 00 D1 01 02 03 04 40"), cookie, hex("81 04 81 02 1D 02"), public_key,
             hex("05 11 22 33 44 55"))},
        {"certificate longer than the chunk",
         cat(hex("38 00 4B 01 02 03 04 40"), cookie, hex("81 04 81 02 1D 02"))},
        {"key form 0x81 with 64 key bytes",
         cat(hex("78 00 52 00 00 00 2A 81 0B"), nonce_prefix, short_key, hex("58"))},
        {"user data header cut", hex("10 00 03 00 02 81")},
        {"options without their end", hex("10 00 0A 80 02 01 01 03 00 47 43 01 0A")},
        {"option longer than the chunk", hex("10 00 0C 80 02 01 01 03 00 47 43 09 0A 02 00")},
        {"acknowledgement of 0xFF only", hex("51 00 03 02 FF FF")},
        {"acknowledgement without its sequence", hex("51 00 02 02 3F")},
        {"partial address record", cat(hex("71 00 15 10"), tag, hex("02 CB 00 71 07"))},
        {"IPv6 flag on an IPv4-sized record",
         cat(hex("71 00 18 10"), tag, public_v4_wire, hex("80"))},
        {"introduction with its address cut",
         cat(hex("0F 00 27 22 21 0F"), peer_id, hex("82 00 00 00"))},
    };
    for (const auto& c : cases) {
        rtmfp_packet_reader in(c.wire);
        rtmfp_command_storage storage;
        EXPECT_EQ(thrown_message([&] { rtmfp_command::parse(in, storage); }), "Packet eof")
            << c.name;
        EXPECT_EQ(storage.get(), nullptr) << c.name;
    }
}

TEST(RtmfpChunks, UnknownTypesAreSkippedWithoutError) {
    for (std::uint8_t type : {0x00, 0x02, 0x7F, 0x99, 0xFE}) {
        const bytes wire = {type, 0x00, 0x01, 0x42};
        rtmfp_packet_reader in(wire);
        rtmfp_command_storage storage;
        EXPECT_EQ(rtmfp_command::parse(in, storage), nullptr) << int(type);
        EXPECT_EQ(storage.get(), nullptr) << int(type);
    }
}

TEST(RtmfpChunks, TheKeyIsFoundInTheCertificateByItsOption) {
    const bytes key_127 = fill(127, 0xB7);
    const struct {
        const char* name;
        bytes certificate;
        bytes key;
    } cases[] = {
        {"the usual certificate", cat(hex("81 02 1D 02"), public_key), public_key},
        {"a key a byte shorter", cat(hex("81 01 1D 02"), key_127), key_127},
        {"after another option", cat(hex("03 0A 01 02 81 02 1D 02"), public_key), public_key},
        {"no key option", hex("03 0A 01 02"), {}},
        {"another group", cat(hex("81 02 1D 03"), public_key), {}},
        {"option cut short", cat(hex("81 02 1D 02"), fill(10, 0xB5)), {}},
        {"nothing", {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(as_bytes(rtmfp_certificate_public_key(c.certificate)), c.key) << c.name;
    }
}

TEST(RtmfpChunks, DiscriminatorLengthsCountTheTypeByteAndTheInnerLength) {
    const bytes value = fill(17, 0x44);
    const rtmfp_handshake_req req({rtmfp_endpoint_discriminator::url, value}, tag);
    const bytes out = written(req);
    EXPECT_EQ(bytes(out.begin() + 3, out.begin() + 6), hex("13 12 0A"));
}

TEST(RtmfpChunks, WritesThatDoNotFitLeaveTheWriterAsItWas) {
    const rtmfp_handshake_rep rep(tag, cookie, certificate);
    bytes storage(100, 0);
    rtmfp_packet_writer out(storage.data(), 100);
    out.write_u8(0x4A);
    EXPECT_EQ(thrown_message([&] { rep.write(out); }), "Buffer overflow");
    EXPECT_EQ(out.pos, 1u);
    EXPECT_EQ(out.size, 1u);
}

TEST(RtmfpChunks, FixedSizeFieldsOfTheWrongSizeAreRefusedWhenBuilt) {
    const bytes one_short_tag = fill(15, 1);
    const bytes long_certificate = fill(78, 1);
    const std::function<void()> builds[] = {
        [&] {
            rtmfp_handshake_req({rtmfp_endpoint_discriminator::url, url}, one_short_tag);
        },
        [&] { rtmfp_handshake_rep(tag, cookie, long_certificate); },
        [&] { rtmfp_handshake_exchg_key_rep(1, 0x81, nonce_prefix, short_key); },
        [&] { rtmfp_handshake_exchg_key_rep(1, 0x49, nonce_prefix, public_key); },
        [&] { rtmfp_handshake_exchg_key_rep(1, 0x02, nonce_prefix, short_key); },
    };
    for (const auto& build : builds) {
        EXPECT_THROW(build(), std::invalid_argument);
    }
}

}  // namespace
