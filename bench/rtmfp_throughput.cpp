// rtmfp_throughput: messages between an RTMFP session and our test client
// on 127.0.0.1, through a relay that drops a share of the datagrams, in
// both directions: how many messages and megabytes a second arrive whole
// and in order, and how much was sent again; then how long the server
// takes to answer a call through such a relay. See bench/README.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/command_line.hpp"
#include "bench/qen_child.hpp"
#include "rtmfp/tests/lossy_relay.hpp"
#include "rtmfp/tests/server_harness.hpp"
#include "rtmfp/tests/session_host.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
using steady_clock = std::chrono::steady_clock;

const bytes netconnection_signature{0x00, 0x54, 0x43, 0x04, 0x00};

struct options {
    double seconds = 30;  // at most, per run
    int threads = 2;
    std::size_t calls = 1000;
    // A qen binary to make the calls to instead of a server in this process.
    std::string qen;
    std::vector<std::size_t> sizes{100, 10'000, 1 << 20};
    std::vector<double> losses{0, 0.01, 0.05};
};

struct result {
    std::size_t messages = 0;
    std::size_t expected = 0;
    double seconds = 0;
    std::uint64_t resent = 0;  // fragments (upload) or packets (download)
    std::uint64_t relay_dropped = 0;
};

// Enough messages for some 10 MB (5 MB of the smallest).
std::size_t message_count(std::size_t size) {
    return size <= 100 ? 50'000 : std::max<std::size_t>(10, 10'000'000 / size);
}

bytes message_of(std::size_t size) {
    bytes message(size, 0x5A);
    message[0] = 0x04;
    return message;
}

// Everything the two ends need, the session fed by two threads and ticked
// once a second as the server does.
struct bench_pair {
    explicit bench_pair(double loss, int threads)
        : relay(host.endpoint(), {.seed = 14, .drop = loss}),
          client(host.keys_for_client(), relay.endpoint()) {
        host.open(relay.client_seen_at());
        host.run_threads(threads);
        host.tick_every(1000ms);
        flow = client.open_flow(netconnection_signature);
    }
    session_host host;
    lossy_relay relay;
    test_client client;
    std::uint32_t flow = 0;
};

result upload(std::size_t size, double loss, const options& o) {
    bench_pair pair(loss, o.threads);
    result r;
    r.expected = message_count(size);
    const bytes message = message_of(size);
    const auto start = steady_clock::now();
    for (std::size_t i = 0; i < r.expected; ++i) {
        pair.client.send_message(pair.flow, message);
    }
    std::size_t received = 0;
    pair.client.run_until(
        [&] {
            received = pair.host.locked([](test_session& s) {
                return s.recording(0) ? s.recording(0)->record().data.size() : 0;
            });
            return received == r.expected;
        },
        std::chrono::milliseconds(static_cast<long>(o.seconds * 1000)));
    r.seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    r.messages = received;
    r.resent = pair.client.fragments_resent();
    r.relay_dropped = pair.relay.dropped();
    return r;
}

result download(std::size_t size, double loss, const options& o) {
    bench_pair pair(loss, o.threads);
    result r;
    r.expected = message_count(size);
    // The first message opens the stream and its reply flow.
    pair.client.send_message(pair.flow, message_of(1));
    pair.client.run_until(
        [&] {
            return pair.host.locked([](test_session& s) { return s.find_out_flow(2) != nullptr; });
        },
        10s);

    const bytes message = message_of(size);
    // Written as the window lets the flow take them: a flow queues at most
    // about a thousand packets.
    const std::size_t packets = size / 1100 + 1;
    const std::size_t queue_below = std::max<std::size_t>(100, 400 / packets * packets);
    std::atomic<bool> done{false};
    const auto start = steady_clock::now();
    std::thread writer([&] {
        std::size_t written = 0;
        while (written < r.expected && !done) {
            const bool wrote = pair.host.locked([&](test_session& s) {
                const rtmfp_out_flow* flow = s.find_out_flow(2);
                const auto stream = s.recording(0);
                if (flow == nullptr || !stream || flow->waiting() >= queue_below) {
                    return false;
                }
                stream->write(message);
                return true;
            });
            if (wrote) {
                ++written;
            } else {
                std::this_thread::sleep_for(200us);
            }
        }
    });
    const auto received = [&] {
        const server_flow* reply = pair.client.flow_answering(pair.flow);
        return reply == nullptr ? std::size_t{0} : reply->messages.size();
    };
    pair.client.run_until([&] { return received() == r.expected; },
                          std::chrono::milliseconds(static_cast<long>(o.seconds * 1000)));
    r.seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    done = true;
    writer.join();
    r.messages = received();
    r.resent = pair.host.session()->packets_resent();
    r.relay_dropped = pair.relay.dropped();
    return r;
}

struct call_times {
    std::size_t made = 0;
    // Milliseconds from each call's sending to its answer, of the answered.
    std::vector<double> answered;
    std::uint64_t relay_dropped = 0;
    bool connected = false;
};

// Calls one after the other, each answered by the server (stat) before the
// next, from a client that reaches the server through the relay: the
// server ticks its sessions once a second as in service. The server is
// the given qen, or one in this process.
call_times calls(double loss, const options& o) {
    std::unique_ptr<bench::qen_child> qen;
    std::unique_ptr<test_server> server;
    udp_endpoint target;
    std::string url = "rtmfp://localhost/app";
    if (!o.qen.empty()) {
        qen = std::make_unique<bench::qen_child>(o.qen, 2);
        target = qen->endpoint();
        url = qen->url();
    } else {
        server = std::make_unique<test_server>(server_setup{.options = {.tick_timer = true}});
        target = server->endpoint();
    }
    lossy_relay relay(target, {.seed = 14, .drop = loss});
    netconnection_client client(relay.endpoint());
    call_times r;
    r.connected = client.connect(url);
    for (std::size_t i = 0; r.connected && i < o.calls; ++i) {
        const auto start = steady_clock::now();
        const bool answered = client.call(stat_call(static_cast<double>(i + 2))).has_value();
        ++r.made;
        if (answered) {
            r.answered.push_back(
                std::chrono::duration<double, std::milli>(steady_clock::now() - start).count());
        }
    }
    r.relay_dropped = relay.dropped();
    return r;
}

// The value below which `share` of the sorted times lie (nearest rank).
double percentile(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank =
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void print_calls(double loss, call_times r) {
    std::sort(r.answered.begin(), r.answered.end());
    if (!r.connected) {
        std::printf("%5.0f%%  the client did not connect\n", loss * 100);
        return;
    }
    std::printf("%5.0f%% %9zu/%-9zu %9.1f %9.1f %9.1f %9.1f %9llu\n", loss * 100, r.answered.size(),
                r.made, percentile(r.answered, 0.5), percentile(r.answered, 0.99),
                percentile(r.answered, 0.999), r.answered.empty() ? 0 : r.answered.back(),
                static_cast<unsigned long long>(r.relay_dropped));
    std::fflush(stdout);
}

void print(const char* direction, std::size_t size, double loss, const result& r) {
    const double megabytes = static_cast<double>(r.messages) * static_cast<double>(size) / 1e6;
    std::printf("%-8s %9zu %5.0f%% %9zu/%-9zu %8.2f %12.0f %9.2f %10llu %9llu\n", direction, size,
                loss * 100, r.messages, r.expected, r.seconds,
                static_cast<double>(r.messages) / r.seconds, megabytes / r.seconds,
                static_cast<unsigned long long>(r.resent),
                static_cast<unsigned long long>(r.relay_dropped));
    std::fflush(stdout);
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: rtmfp_throughput [--seconds S] [--threads N] [--calls C]\n"
                 "                        [--qen BINARY]\n"
                 "  S: longest run (30); N: threads feeding the session (2);\n"
                 "  C: calls made at each loss (1000), to that qen when given\n");
    std::exit(2);
}

options parse(int argc, char** argv) {
    options o;
    bench::for_each_option(argc, argv, usage,
                           [&](const std::string& name, const std::string& value) {
                               if (name == "--seconds") {
                                   o.seconds = std::atof(value.c_str());
                               } else if (name == "--threads") {
                                   o.threads = std::atoi(value.c_str());
                               } else if (name == "--calls") {
                                   o.calls = static_cast<std::size_t>(std::atol(value.c_str()));
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
    std::printf("%-8s %9s %6s %19s %8s %12s %9s %10s %9s\n", "way", "bytes", "loss", "messages",
                "seconds", "messages/s", "MB/s", "resent", "dropped");
    for (const double loss : o.losses) {
        for (const std::size_t size : o.sizes) {
            print("upload", size, loss, upload(size, loss, o));
            print("download", size, loss, download(size, loss, o));
        }
    }
    std::printf("\n%6s %19s %9s %9s %9s %9s %9s\n", "loss", "calls answered", "median ms", "p99 ms",
                "p99.9 ms", "max ms", "dropped");
    for (const double loss : o.losses) {
        print_calls(loss, calls(loss, o));
    }
    return 0;
}
