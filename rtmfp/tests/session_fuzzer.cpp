// Drives one fresh server session per input with datagrams sealed with its
// key, so that every input reaches chunk dispatch, the flows, message
// delivery and the server's streams. The session starts connected, with
// flow 1 open to the NetConnection, flow 2 to NetStream 1 and flow 3 to the
// NetGroup stream (flow 4 opens NetStream 5); the application takes every
// play and publish and lets every group but those whose id begins with 0.
// NAT probes go nowhere and their timers never fire. The input is a list of
// steps:
//
//   0  len16 bytes              a packet (from its marker on), sealed
//   1  units                    the clock moves on, then a tick
//   2  flags flow seq16 len payload   one fragment of flow 1..4 (with the
//                               flow's signature when flags has 0x80)
//   3  flow cumulative16 form   an acknowledgement (0x51, or 0x50 with form)
//   4  len16                    the NetConnection writes a message of that size
//   5  len16 bytes              a packet from another address
//
// After the steps the session is closed; every block must be back in its
// pool, and nothing may leak.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "rtmfp/flows.hpp"
#include "rtmfp/server_netstream.hpp"
#include "rtmfp/server_session.hpp"
#include "rtmfp/tests/fuzz_input.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_bytes.hpp"
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

const bytes flow_signatures[] = {{0x00, 0x54, 0x43, 0x04, 0x00},
                                 {0x00, 0x54, 0x43, 0x04, 0x01},
                                 {0x00, 0x47, 0x43},
                                 {0x00, 0x54, 0x43, 0x04, 0x05}};

class dropped_timers : public rtmfp_timers {
  public:
    void after(std::chrono::milliseconds, std::function<void()>) override {}
};

class discarding_sink : public rtmfp_media_sink {
  public:
    void on_video(std::uint32_t, const std::uint8_t*, std::uint32_t) override {}
    void on_audio(std::uint32_t, const std::uint8_t*, std::uint32_t) override {}
};

class taking_handler : public rtmfp_netstream_handler {
  public:
    explicit taking_handler(rtmfp_server_netstream& stream) : stream_(stream) {}
    bool on_play(const amf0_string&, double, double, bool) override {
        stream_.set_mode(rtmfp_server_netstream::playing);
        return true;
    }
    bool on_publish(const amf0_string&, const amf0_string&) override {
        stream_.set_mode(rtmfp_server_netstream::publishing);
        stream_.add_sink(std::make_unique<discarding_sink>());
        return true;
    }
    bool on_pause(bool, double) override { return true; }
    bool on_seek(double) override { return true; }
    void on_close() override {}

  private:
    rtmfp_server_netstream& stream_;
};

class fuzz_application : public rtmfp_connection_handler {
  public:
    void on_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) override {
        if (auto* netstream = dynamic_cast<rtmfp_server_netstream*>(stream.get())) {
            netstream->add_handler(0, std::make_unique<taking_handler>(*netstream));
        }
    }
    void on_stream_deleted(const std::shared_ptr<rtmfp_netstream>&) override {}
    bool resolve_group_name(const std::string& group_id, std::string& group_key) override {
        group_key = "app/" + group_id;
        return group_id[0] != 0;
    }
    bool on_call(light_string, double, amf0_based&, buffer_reader&) override { return true; }
};

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
    session_host host(host_options{true, clock.function(), clock.steady_function()});
    const client_keys keys = host.keys_for_client();
    rtmfp_cipher encrypt(keys.encrypt_key, rtmfp_cipher::direction::encrypt);
    const auto send = [&](const std::vector<bytes>& chunks, const ip::udp::endpoint& from) {
        host.deliver(sealed(with_header(chunks), keys.server_session_id, encrypt), from);
    };

    rtmfp_server_state state;
    state.limits.allow_create_stream = 1;
    state.limits.max_groups_per_session = 4;
    state.detect_nat_endpoints = {peer};
    state.detect_nat_port2_sockets = {host.socket()};
    state.timers = std::make_shared<dropped_timers>();
    const auto session = std::make_shared<rtmfp_server_session>(host.pool(), host.socket(), 0,
                                                                test_session_setup(peer), state);
    session->set_on_connect(
        [](const std::shared_ptr<rtmfp_server_session>& connecting, amf0_object&, buffer_reader&) {
            connecting->add_connection_handler(0, std::make_unique<fuzz_application>());
            return true;
        });
    host.adopt(session);
    const bytes join = cat(bytes{0x01, 0x11, 0x10}, to_bytes("G:0101010200010e"));
    send({test_client::user_data(0x00, 1, 1, 1, flow_signatures[0],
                                 command_message("connect", 1, connect_object())),
          test_client::user_data(0x00, 2, 1, 1, flow_signatures[1], {0x04}),
          test_client::user_data(0x00, 3, 1, 1, flow_signatures[2], join)},
         peer);
    host.poll();

    fuzz_input in(data, size);
    while (!in.empty()) {
        switch (in.u8() % 6) {
            case 0:
                host.deliver(sealed(in.take(in.u16()), keys.server_session_id, encrypt), peer);
                break;
            case 1:
                clock.advance(in.u8());
                session->tick();
                break;
            case 2: {
                const std::uint8_t flags = in.u8();
                const std::uint32_t flow = 1 + in.u8() % 4;
                const std::uint32_t sequence = in.u16();
                const bytes payload = in.take(in.u8());
                send({test_client::user_data(flags & 0x7F, flow, sequence, 1,
                                             (flags & 0x80)
                                                 ? std::optional<bytes>(flow_signatures[flow - 1])
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
                auto processing = session->lock_processing();
                if (const auto connection = session->netconnection()) {
                    if (rtmfp_out_flow_writer* out = connection->begin_message()) {
                        out->write_bytes(message.data(),
                                         static_cast<std::uint32_t>(message.size()));
                        out->flush();
                    }
                }
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
