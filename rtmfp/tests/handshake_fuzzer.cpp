// Feeds a fresh session registry handshake datagrams (session id 0, sealed
// with the default key) the way the server's receive path does. The
// cookies the registry hands out are read back by a client, so that key
// exchanges reach the Diffie-Hellman work and open sessions, and
// introductions find them. The input is a list of steps:
//
//   0  urllen url taglen tag               a first contact
//   1  pick id16 [cookie] [key] [cert] nonce   a key exchange (pick: which
//                                          cookie, key and certificate)
//   2  pick [id] tag                       an introduction (pick: whose peer id)
//   3  len16 bytes                         any chunks
//   4                                      a tick
//
// Bit 7 of the step's byte chooses the sender: clear, the client's own
// address; set, one where nobody listens. After
// the steps the registry stops; every block must be back in its pool, and
// nothing may leak.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rtmfp/server_sessions.hpp"
#include "rtmfp/tests/fuzz_input.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
namespace ip = boost::asio::ip;

// What lives across inputs: the io context the registry sends on, its
// socket and pool, and a key pair (drawing one per input would take the
// fuzzer's time).
struct fixture {
    boost::asio::io_context io;
    block_malloc pool{rtmfp_max_packet_size, 64};
    std::shared_ptr<rtmfp_socket> socket = std::make_shared<rtmfp_socket>(
        ip::udp::socket(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)));
    bytes public_key = [] {
        const auto key = dh1024_key_pair::generate().public_key();
        return bytes(key.begin(), key.end());
    }();
    rtmfp_peer_id peer_id = sha256({test_client::certificate_of(public_key)});

    void poll() {
        io.restart();
        while (io.poll() != 0) {
        }
    }
};

fixture& shared_fixture() {
    static fixture f;
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Another client's address, where nobody listens.
    static const ip::udp::endpoint elsewhere(ip::make_address("127.0.0.2"), 9);

    fixture& f = shared_fixture();
    rtmfp_server_state state;
    state.limits.max_sessions_per_ip = 4;
    state.limits.max_sessions = 8;
    // Small caps, so that inputs reach them.
    auto sessions = std::make_unique<rtmfp_server_sessions>(
        f.io, f.pool, std::vector<std::shared_ptr<rtmfp_socket>>{f.socket}, state,
        rtmfp_pending_limits{.max_count = 32, .max_bytes = 8192});
    test_client client(f.socket->local_endpoint());
    std::vector<bytes> cookies;

    const auto deliver = [&](const bytes& datagram, bool from_client) {
        if (datagram.size() < rtmfp_min_packet_size || datagram.size() > rtmfp_max_packet_size ||
            (datagram.size() - 4) % 16 != 0) {
            return;  // the server's size filter
        }
        block_buffer block(f.pool);
        std::memcpy(block.data(), datagram.data(), datagram.size());
        block.set_size(static_cast<std::uint32_t>(datagram.size()));
        rtmfp_rearm rearm([] {});
        try {
            sessions->dispatch(0, std::move(block),
                               from_client ? client.local_endpoint() : elsewhere, rearm);
        } catch (const std::exception&) {
            // Dropped, as the server drops it.
        }
        f.poll();
        client.receive();
        if (!client.answers().cookie.empty() &&
            (cookies.empty() || cookies.back() != client.answers().cookie)) {
            cookies.push_back(client.answers().cookie);
        }
        client.forget_packets();
    };

    fuzz_input in(data, size);
    while (!in.empty()) {
        const std::uint8_t step = in.u8();
        const bool from_client = (step & 0x80) == 0;
        switch ((step & 0x7F) % 5) {
            case 0: {
                const bytes url = in.take(in.u8());
                const bytes tag = in.take(in.u8() % 20);
                deliver(client.handshake_datagram(
                            {test_client::first_contact(std::string(url.begin(), url.end()), tag)}),
                        from_client);
                break;
            }
            case 1: {
                const std::uint8_t pick = in.u8();
                const std::uint32_t initiator_id = in.u16();
                bytes cookie = (pick & 0x80) || cookies.empty() ? in.take(in.u8())
                                                                : cookies[pick % cookies.size()];
                const bytes key = (pick & 0x40) ? in.take(in.u8()) : f.public_key;
                const bytes certificate =
                    (pick & 0x20) ? in.take(in.u8()) : test_client::certificate_of(key);
                const bytes nonce = in.take(in.u8());
                deliver(client.handshake_datagram(
                            {test_client::key_exchange(initiator_id, cookie, certificate, nonce)}),
                        from_client);
                break;
            }
            case 2: {
                const std::uint8_t pick = in.u8();
                bytes peer_id;
                if (pick % 3 == 0) {
                    peer_id.assign(f.peer_id.begin(), f.peer_id.end());
                } else if (pick % 3 == 1) {
                    const rtmfp_peer_id server = sessions->server_peer_id();
                    peer_id.assign(server.begin(), server.end());
                } else {
                    peer_id = in.take(in.u8() % 40);
                }
                const bytes tag = in.take(16);
                deliver(
                    client.handshake_datagram({test_client::introduction_request(peer_id, tag)}),
                    from_client);
                break;
            }
            case 3:
                deliver(client.handshake_datagram({in.take(in.u16() % 1200)}), from_client);
                break;
            case 4:
                sessions->tick();
                f.poll();
                break;
        }
    }

    sessions->stop();
    f.poll();
    sessions.reset();
    f.poll();
    if (f.pool.outstanding() != 0) {
        std::abort();
    }
    return 0;
}
