// rtmfp_handshakes: how many RTMFP handshakes a second (first contact to
// the key exchange's answer) the server completes on 127.0.0.1 with one
// and with four threads, and how much memory 10 000 open sessions take.
// See bench/README.md.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bench/command_line.hpp"
#include "bench/rtmfp_group_members.hpp"
#include "rtmfp/server.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
using steady_clock = std::chrono::steady_clock;
namespace ip = boost::asio::ip;

constexpr std::uint8_t cookie_reply = 0x70;
constexpr std::uint8_t key_exchange_reply = 0x78;

struct options {
    double seconds = 10;
    int clients = 16;
    std::vector<std::size_t> threads{1, 4};
    std::size_t sessions = 10'000;
    // The qen binary to measure NetGroup joins against, instead.
    std::string qen;
};

std::unique_ptr<rtmfp_server> start_server(std::size_t threads, bool tick_timer) {
    rtmfp_server_limits limits;
    limits.max_sessions_per_ip = std::numeric_limits<std::int32_t>::max();
    // What the server can do, not how it meets a flood: the clients take
    // handshakes one after the other from few addresses.
    const rtmfp_rate unlimited{1e9, 1e9};
    rtmfp_handshake_limits handshakes;
    handshakes.datagrams_per_address = handshakes.datagrams = unlimited;
    handshakes.key_exchanges_per_address = handshakes.key_exchanges = unlimited;
    auto server = std::make_unique<rtmfp_server>(
        std::vector<ip::udp::endpoint>{ip::udp::endpoint(ip::make_address("127.0.0.1"), 0)}, 0, 0,
        limits, rtmfp_server_options{.tick_timer = tick_timer, .handshakes = handshakes});
    server->start(threads);
    return server;
}

// Client `n`'s address: each has its own, since the server forgets an
// address's pending handshakes beyond 1280 of them (they age out in six
// seconds).
client_options client_at(int n) {
    client_options options;
    options.local_address = ip::address_v4(0x7F000002u + static_cast<std::uint32_t>(n));
    return options;
}

// One client doing handshakes one after the other, each with a new tag
// and so a new cookie and a new session. The client's key pair is drawn
// once: what is measured is the server's work, not the client's.
class handshaker {
  public:
    handshaker(const ip::udp::endpoint& server, int n) : client_(server, client_at(n)) {
        const auto key = dh1024_key_pair::generate().public_key();
        certificate_ = test_client::certificate_of(bytes(key.begin(), key.end()));
    }

    // False when the server did not answer (each message is sent again
    // after half a second).
    bool handshake() {
        bytes tag(16, 0);
        random_bytes(tag.data(), tag.size());
        if (!exchange(test_client::first_contact("rtmfp://127.0.0.1/bench", tag), cookie_reply)) {
            return false;
        }
        const bytes cookie = client_.answers().cookie;
        // The answer comes in a packet for the client's session id.
        return exchange(test_client::key_exchange(client_.keys().client_session_id, cookie,
                                                  certificate_, bytes(64, 0x42)),
                        key_exchange_reply);
    }

  private:
    bool exchange(const bytes& chunk, std::uint8_t answer) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            client_.forget_packets();
            client_.send_handshake({chunk});
            const auto deadline = steady_clock::now() + 500ms;
            while (steady_clock::now() < deadline) {
                client_.receive(20ms);
                if (client_.count_chunks(answer) != 0) {
                    return true;
                }
            }
        }
        return false;
    }

    test_client client_;
    bytes certificate_;
};

struct rate {
    std::size_t handshakes = 0;
    std::size_t failed = 0;
    double seconds = 0;
};

rate measure_rate(std::size_t threads, const options& o) {
    // Ticking as in service: pending handshakes age out.
    const auto server = start_server(threads, true);
    const ip::udp::endpoint at = server->local_endpoints().front();
    std::atomic<std::size_t> done{0};
    std::atomic<std::size_t> failed{0};
    const auto start = steady_clock::now();
    const auto end = start + std::chrono::duration<double>(o.seconds);
    std::vector<std::thread> clients;
    for (int i = 0; i < o.clients; ++i) {
        clients.emplace_back([&, i] {
            handshaker one(at, i);
            while (steady_clock::now() < end) {
                ++(one.handshake() ? done : failed);
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    return {done, failed, std::chrono::duration<double>(steady_clock::now() - start).count()};
}

std::uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// What the heap has handed out and not taken back.
std::uint64_t heap_in_use() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct memory {
    std::size_t sessions = 0;
    double heap = 0;      // bytes per session
    double resident = 0;  // bytes per session
};

// The growth of the heap and of this process's resident set while the
// server holds `o.sessions` sessions more; the handshakes that made them
// have aged out. Measured first, in a process whose heap has not grown
// yet.
memory measure_memory(const options& o) {
    // Ticked below, once the sessions are open.
    const auto server = start_server(4, false);
    const ip::udp::endpoint at = server->local_endpoints().front();
    std::vector<std::thread> clients;
    const std::size_t each = o.sessions / static_cast<std::size_t>(o.clients);
    std::vector<std::unique_ptr<handshaker>> handshakers;
    for (int i = 0; i < o.clients; ++i) {
        handshakers.push_back(std::make_unique<handshaker>(at, i));
    }
    const std::uint64_t heap_before = heap_in_use();
    const std::uint64_t resident_before = resident_bytes();
    for (const auto& one : handshakers) {
        clients.emplace_back([&, client = one.get()] {
            for (std::size_t n = 0; n < each; ++n) {
                client->handshake();
            }
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    for (int i = 0; i <= rtmfp_server_handshake::max_age + 1; ++i) {
        server->sessions().tick();
    }
    memory m;
    m.sessions = server->sessions().session_count();
    if (m.sessions != 0) {
        const auto per_session = [&](std::uint64_t before, std::uint64_t after) {
            return (static_cast<double>(after) - static_cast<double>(before)) /
                   static_cast<double>(m.sessions);
        };
        m.heap = per_session(heap_before, heap_in_use());
        m.resident = per_session(resident_before, resident_bytes());
    }
    return m;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: rtmfp_handshakes [--seconds S] [--clients N] [--sessions N]\n"
                 "                        [--qen BINARY]\n"
                 "  S seconds of handshakes per thread count (10), N clients at once (16),\n"
                 "  N sessions for the memory figure (10000); with --qen, N members that\n"
                 "  join one NetGroup in that qen\n");
    std::exit(2);
}

options parse(int argc, char** argv) {
    options o;
    bench::for_each_option(
        argc, argv, usage, [&](const std::string& name, const std::string& value) {
            if (name == "--seconds") {
                o.seconds = std::atof(value.c_str());
            } else if (name == "--clients") {
                o.clients = std::max(1, std::atoi(value.c_str()));
            } else if (name == "--sessions") {
                o.sessions = static_cast<std::size_t>(std::max(1, std::atoi(value.c_str())));
            } else if (name == "--qen") {
                o.qen = value;
            } else {
                return false;
            }
            return true;
        });
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const options o = parse(argc, argv);
    if (!o.qen.empty()) {
        return run_group_members(o.qen, o.clients, o.sessions);
    }
    const memory m = measure_memory(o);
    std::printf(
        "%zu sessions open: %.0f bytes of heap and %.0f resident per session, "
        "%.1f MiB of heap per 10 000\n",
        m.sessions, m.heap, m.resident, m.heap * 10'000 / (1024.0 * 1024.0));
    std::printf("%-8s %12s %8s %8s\n", "threads", "handshakes/s", "done", "failed");
    for (const std::size_t threads : o.threads) {
        const rate r = measure_rate(threads, o);
        std::printf("%-8zu %12.0f %8zu %8zu\n", threads,
                    static_cast<double>(r.handshakes) / r.seconds, r.handshakes, r.failed);
        std::fflush(stdout);
    }
    return 0;
}
