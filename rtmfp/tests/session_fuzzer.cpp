// Drives one fresh session per input with datagrams sealed with its key, so
// that every input reaches chunk dispatch, the flows and message delivery.
// The session starts with flow 1 open to the NetConnection and flow 2 to
// stream 5; its streams echo data messages. The input is a list of steps:
//
//   0  len16 bytes              a packet (from its marker on), sealed
//   1  units                    the clock moves on, then a tick
//   2  flags flow seq16 len payload   one fragment of flow 1..4
//   3  flow cumulative16 form   an acknowledgement (0x51, or 0x50 with form)
//   4  len16                    stream 0 writes a message of that size
//   5  len16 bytes              a packet from another address
//
// After the steps the session is closed; every block must be back in its
// pool, and nothing may leak.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "rtmfp/tests/fuzz_input.hpp"
#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
namespace ip = boost::asio::ip;

// A packet from its marker on, padded and sealed as the client would.
bytes sealed(const bytes& from_marker, std::uint32_t session_id, rtmfp_cipher& encrypt) {
    bytes packet(rtmfp_marker_offset, 0);
    packet.insert(packet.end(), from_marker.begin(),
                  from_marker.begin() +
                      static_cast<std::ptrdiff_t>(std::min<std::size_t>(from_marker.size(), 1180)));
    while ((packet.size() - 4) % 16 != 0) {
        packet.push_back(0xFF);
    }
    if (packet.size() < rtmfp_min_packet_size) {
        packet.insert(packet.end(), 16, 0xFF);
    }
    rtmfp_seal_packet(packet.data(), static_cast<std::uint32_t>(packet.size()), session_id,
                      encrypt);
    return packet;
}

bytes with_header(const std::vector<bytes>& chunks) {
    bytes packet{0x89, 0x12, 0x34};
    for (const bytes& c : chunks) {
        packet.insert(packet.end(), c.begin(), c.end());
    }
    return packet;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Replies go where nobody listens.
    static const ip::udp::endpoint peer(ip::make_address("127.0.0.1"), 9);
    static const ip::udp::endpoint elsewhere(ip::make_address("127.0.0.1"), 19);

    manual_clock clock;
    session_host host(host_options{true, clock.function()});
    const client_keys keys = host.keys_for_client();
    rtmfp_cipher encrypt(keys.encrypt_key, rtmfp_cipher::direction::encrypt);
    const auto send = [&](const std::vector<bytes>& chunks, const ip::udp::endpoint& from) {
        host.deliver(sealed(with_header(chunks), keys.server_session_id, encrypt), from);
    };
    host.open(peer);
    send({test_client::user_data(0x00, 1, 1, 1, bytes{0x00, 0x54, 0x43, 0x04, 0x00}, {0x04}),
          test_client::user_data(0x00, 2, 1, 1, bytes{0x00, 0x54, 0x43, 0x04, 0x05}, {0x04})},
         peer);

    fuzz_input in(data, size);
    while (!in.empty()) {
        switch (in.u8() % 6) {
            case 0:
                host.deliver(sealed(in.take(in.u16()), keys.server_session_id, encrypt), peer);
                break;
            case 1:
                clock.advance(in.u8());
                host.session()->tick();
                break;
            case 2: {
                const std::uint8_t flags = in.u8();
                const std::uint32_t flow = 1 + in.u8() % 4;
                const std::uint32_t sequence = in.u16();
                const bytes payload = in.take(in.u8());
                send({test_client::user_data(
                         flags & 0x7F, flow, sequence, 1,
                         (flags & 0x80) ? std::optional<bytes>(bytes{0x00, 0x54, 0x43, 0x04, 0x00})
                                        : std::nullopt,
                         payload)},
                     peer);
                break;
            }
            case 3: {
                const std::uint32_t flow = in.u8() % 8;
                const std::uint32_t cumulative = in.u16();
                send({in.u8() % 2 ? test_client::ack(flow, cumulative, 0x3F)
                                  : test_client::ack_bitmap(flow, cumulative, 200, {0x80})},
                     peer);
                break;
            }
            case 4: {
                const bytes message(in.u16() % 5000 + 1, 0x04);
                host.locked([&](test_session& session) {
                    if (const auto stream = session.recording(0)) {
                        stream->write(message);
                    }
                });
                break;
            }
            case 5:
                host.deliver(sealed(in.take(in.u16()), keys.server_session_id, encrypt), elsewhere);
                break;
        }
        host.poll();
    }

    host.shutdown();
    if (host.pool().outstanding() != 0) {
        std::abort();
    }
    return 0;
}
