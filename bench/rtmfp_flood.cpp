// rtmfp_flood: legitimate RTMFP clients of a qen process while a flood of
// first contacts from many loopback addresses hits it: how long their
// connects take, whether established sessions' calls are answered
// meanwhile, and qen's memory and CPU time. See bench/README.md.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/command_line.hpp"
#include "bench/process_usage.hpp"
#include "bench/qen_child.hpp"
#include "rtmfp/cipher.hpp"
#include "rtmfp/packet.hpp"
#include "rtmfp/tests/server_harness.hpp"

namespace {

using namespace rtmfp_test;
using namespace std::chrono_literals;
using steady_clock = std::chrono::steady_clock;
namespace ip = boost::asio::ip;

struct options {
    std::string qen;
    std::vector<double> rates{0, 30'000, 150'000};
    double seconds = 30;
    int addresses = 249;
    std::size_t threads = 2;
    int connectors = 4;
    int established = 8;
    int senders = 4;
};

double seconds_since(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// Durations in milliseconds, and the attempts that failed.
class samples {
  public:
    void add(double ms) {
        std::lock_guard lock(mutex_);
        values_.push_back(ms);
    }
    void fail() {
        std::lock_guard lock(mutex_);
        ++failed_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return values_.size();
    }
    std::size_t failed() {
        std::lock_guard lock(mutex_);
        return failed_;
    }
    // The value below which `share` of the samples lie (nearest rank).
    double percentile(double share) {
        std::lock_guard lock(mutex_);
        if (values_.empty()) {
            return 0;
        }
        std::sort(values_.begin(), values_.end());
        const auto rank = static_cast<std::size_t>(share * static_cast<double>(values_.size()));
        return values_[std::min(rank, values_.size() - 1)];
    }

  private:
    std::mutex mutex_;
    std::vector<double> values_;
    std::size_t failed_ = 0;
};

// A UDP socket bound to one loopback address, for sendmmsg.
class raw_socket {
  public:
    explicit raw_socket(const ip::address_v4& at) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(at.to_uint());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("cannot bind a flood socket to " + at.to_string());
        }
    }
    ~raw_socket() { ::close(fd_); }
    raw_socket(const raw_socket&) = delete;
    raw_socket& operator=(const raw_socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// First contacts, each with a tag of its own, from its sockets in turn at
// its share of the flood's rate.
class flood_sender {
  public:
    static constexpr std::size_t max_batch = 16;

    flood_sender(const ip::udp::endpoint& server, const std::vector<ip::address_v4>& from,
                 double rate, const std::string& url, std::uint32_t id)
        : rate_(rate), id_(id), cipher_(rtmfp_default_key, rtmfp_cipher::direction::encrypt) {
        for (const ip::address_v4& address : from) {
            sockets_.push_back(std::make_unique<raw_socket>(address));
        }
        to_.sin_family = AF_INET;
        to_.sin_port = htons(server.port());
        to_.sin_addr.s_addr = htonl(server.address().to_v4().to_uint());
        // Header (id, checksum, marker 0x0B, timestamp), the chunk, padding.
        const bytes chunk = test_client::first_contact(url, bytes(rtmfp_tag_size, 0));
        template_.assign(6, 0);
        template_.push_back(rtmfp_marker_handshake);
        template_.push_back(0x12);
        template_.push_back(0x34);
        template_.insert(template_.end(), chunk.begin(), chunk.end());
        tag_offset_ = template_.size() - rtmfp_tag_size;
        while ((template_.size() - 4) % 16 != 0) {
            template_.push_back(rtmfp_padding_byte);
        }
    }

    void run(const std::atomic<bool>& stop) {
        std::vector<bytes> datagrams(max_batch, template_);
        std::vector<iovec> parts(max_batch);
        std::vector<mmsghdr> messages(max_batch);
        const auto start = steady_clock::now();
        std::size_t next_socket = 0;
        while (!stop) {
            const auto due = static_cast<std::uint64_t>(seconds_since(start) * rate_);
            if (due <= sent_) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            const std::size_t batch = std::min<std::uint64_t>(due - sent_, max_batch);
            for (std::size_t i = 0; i < batch; ++i) {
                bytes& datagram = datagrams[i];
                std::copy(template_.begin(), template_.end(), datagram.begin());
                const std::uint64_t n = counter_++;
                for (int b = 0; b < 8; ++b) {
                    datagram[tag_offset_ + static_cast<std::size_t>(b)] =
                        static_cast<std::uint8_t>(n >> (8 * b));
                }
                datagram[tag_offset_ + 8] = static_cast<std::uint8_t>(id_);
                rtmfp_seal_packet(datagram.data(), static_cast<std::uint32_t>(datagram.size()), 0,
                                  cipher_);
                parts[i] = {datagram.data(), datagram.size()};
                messages[i] = {};
                messages[i].msg_hdr.msg_name = &to_;
                messages[i].msg_hdr.msg_namelen = sizeof to_;
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int fd = sockets_[next_socket++ % sockets_.size()]->fd();
            const int went = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(batch), 0);
            // A datagram the kernel would not take counts as sent: the flood
            // keeps its pace.
            sent_ += batch;
            delivered_ += went > 0 ? static_cast<std::uint64_t>(went) : 0;
        }
    }

    std::uint64_t delivered() const { return delivered_; }

  private:
    const double rate_;
    const std::uint32_t id_;
    rtmfp_cipher cipher_;
    std::vector<std::unique_ptr<raw_socket>> sockets_;
    sockaddr_in to_{};
    bytes template_;
    std::size_t tag_offset_ = 0;
    std::uint64_t counter_ = 0;
    std::uint64_t sent_ = 0;
    std::atomic<std::uint64_t> delivered_{0};
};

// Its session ends now rather than when it is found silent.
void end_session(netconnection_client& c) {
    if (c.client().has_session()) {
        c.client().send_chunks({test_client::chunk(0x4C, {})});
    }
}

struct run_result {
    double flood_rate = 0;
    double flood_sent_per_second = 0;
    samples connects;
    // Connects that took 500 ms or more (or failed), by the second of the
    // flood they began in; failures by the step that failed.
    std::mutex slow_mutex;
    std::map<int, int> slow_by_second;
    std::atomic<int> failed_handshakes{0};
    std::atomic<int> failed_connects{0};
    samples calls;
    double rss_idle = 0;
    double rss_peak = 0;
    double rss_end = 0;
    double cpu_share = 0;
};

void measure(const options& o, double rate, run_result& r) {
    r.flood_rate = rate;
    bench::qen_child qen(o.qen, o.threads);
    const std::string url = qen.url();

    // Established sessions first, while the server is quiet.
    std::vector<std::unique_ptr<netconnection_client>> established;
    for (int i = 0; i < o.established; ++i) {
        auto c = std::make_unique<netconnection_client>(qen.endpoint());
        if (!c->connect(url)) {
            throw std::runtime_error("qen does not answer on " + url);
        }
        established.push_back(std::move(c));
    }
    r.rss_idle = static_cast<double>(bench::process_rss(qen.pid()).value_or(0));
    const double cpu_before = bench::process_cpu_seconds(qen.pid()).value_or(0);
    const auto window_start = steady_clock::now();

    std::atomic<bool> stop_flood{false};
    std::vector<std::unique_ptr<flood_sender>> senders;
    std::vector<std::thread> threads;
    if (rate > 0) {
        std::vector<std::vector<ip::address_v4>> shares(static_cast<std::size_t>(o.senders));
        for (int a = 0; a < o.addresses; ++a) {
            // 127.0.0.2 on: 127.0.0.1 is the legitimate clients'.
            shares[static_cast<std::size_t>(a % o.senders)].push_back(
                ip::address_v4(0x7F000002u + static_cast<std::uint32_t>(a)));
        }
        for (int s = 0; s < o.senders; ++s) {
            senders.push_back(std::make_unique<flood_sender>(
                qen.endpoint(), shares[static_cast<std::size_t>(s)],
                rate * static_cast<double>(shares[static_cast<std::size_t>(s)].size()) /
                    o.addresses,
                url, static_cast<std::uint32_t>(s)));
        }
        for (const auto& sender : senders) {
            threads.emplace_back([&, one = sender.get()] { one->run(stop_flood); });
        }
    }

    std::atomic<bool> stop_clients{false};
    std::atomic<double> rss_peak{r.rss_idle};
    std::thread sampler([&] {
        while (!stop_flood) {
            const double now = static_cast<double>(bench::process_rss(qen.pid()).value_or(0));
            rss_peak = std::max(rss_peak.load(), now);
            std::this_thread::sleep_for(250ms);
        }
    });
    std::vector<std::thread> callers;
    for (const auto& c : established) {
        callers.emplace_back([&, client = c.get()] {
            for (double n = 2; !stop_clients; ++n) {
                const auto start = steady_clock::now();
                if (client->call(stat_call(n))) {
                    r.calls.add(seconds_since(start) * 1000);
                } else {
                    r.calls.fail();
                }
                client->client().pump(100ms);
            }
        });
    }

    // The flood has its pace before the first connect.
    std::this_thread::sleep_for(1s);
    const auto connect_end = steady_clock::now() + std::chrono::duration<double>(o.seconds);
    std::vector<std::thread> connectors;
    for (int i = 0; i < o.connectors; ++i) {
        connectors.emplace_back([&] {
            while (steady_clock::now() < connect_end) {
                netconnection_client c(qen.endpoint());
                const auto start = steady_clock::now();
                const bool in = c.connect(url);
                const double ms = seconds_since(start) * 1000;
                if (in) {
                    r.connects.add(ms);
                } else {
                    r.connects.fail();
                    ++(c.client().has_session() ? r.failed_connects : r.failed_handshakes);
                }
                if (!in || ms >= 500) {
                    const auto second = static_cast<int>(
                        std::chrono::duration<double>(start - window_start).count());
                    std::lock_guard lock(r.slow_mutex);
                    ++r.slow_by_second[second];
                }
                end_session(c);
                // A few connects a second from the address, as from a busy
                // office: not a flood of its own.
                std::this_thread::sleep_for(250ms);
            }
        });
    }
    for (std::thread& t : connectors) {
        t.join();
    }
    stop_clients = true;
    for (std::thread& t : callers) {
        t.join();
    }
    std::uint64_t delivered = 0;
    for (const auto& sender : senders) {
        delivered += sender->delivered();
    }
    const double window = seconds_since(window_start);
    stop_flood = true;
    for (std::thread& t : threads) {
        t.join();
    }
    sampler.join();
    r.flood_sent_per_second = static_cast<double>(delivered) / window;
    r.cpu_share = (bench::process_cpu_seconds(qen.pid()).value_or(0) - cpu_before) / window;
    r.rss_end = static_cast<double>(bench::process_rss(qen.pid()).value_or(0));
    r.rss_peak = std::max(rss_peak.load(), r.rss_end);
    for (const auto& c : established) {
        end_session(*c);
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: rtmfp_flood --qen BINARY [--rates R,R...] [--seconds S]\n"
                 "                   [--addresses N] [--threads N] [--connectors N]\n"
                 "                   [--established N] [--senders N]\n"
                 "  first contacts a second from N loopback addresses (249) at each rate\n"
                 "  (0,30000,150000), against a fresh qen on N io threads (2); N clients\n"
                 "  (4) connect one after the other for S seconds (30) while N established\n"
                 "  sessions (8) call stat; N sending threads (4)\n");
    std::exit(2);
}

options parse(int argc, char** argv) {
    options o;
    bench::for_each_option(
        argc, argv, usage, [&](const std::string& name, const std::string& value) {
            const auto count = [&] { return std::max(1, std::atoi(value.c_str())); };
            if (name == "--qen") {
                o.qen = value;
            } else if (name == "--rates") {
                o.rates.clear();
                std::istringstream list(value);
                for (std::string rate; std::getline(list, rate, ',');) {
                    o.rates.push_back(std::atof(rate.c_str()));
                }
            } else if (name == "--seconds") {
                o.seconds = std::atof(value.c_str());
            } else if (name == "--addresses") {
                o.addresses = std::min(count(), 250);
            } else if (name == "--threads") {
                o.threads = static_cast<std::size_t>(count());
            } else if (name == "--connectors") {
                o.connectors = count();
            } else if (name == "--established") {
                o.established = count();
            } else if (name == "--senders") {
                o.senders = count();
            } else {
                return false;
            }
            return true;
        });
    if (o.qen.empty()) {
        usage();
    }
    o.senders = std::min(o.senders, o.addresses);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const options o = parse(argc, argv);
    std::printf("%9s %9s | %9s %6s %8s %8s %8s | %7s %6s %8s %8s %8s | %6s %6s %6s %5s\n",
                "flood/s", "sent/s", "connects", "failed", "med ms", "p99 ms", "max ms", "calls",
                "unansw", "med ms", "p99 ms", "max ms", "idleMB", "peakMB", "endMB", "CPU%");
    for (const double rate : o.rates) {
        run_result r;
        measure(o, rate, r);
        const double mib = 1024.0 * 1024.0;
        std::printf(
            "%9.0f %9.0f | %9zu %6zu %8.1f %8.1f %8.1f | %7zu %6zu %8.1f %8.1f %8.1f | %6.1f "
            "%6.1f %6.1f %5.0f\n",
            r.flood_rate, r.flood_sent_per_second, r.connects.count(), r.connects.failed(),
            r.connects.percentile(0.5), r.connects.percentile(0.99), r.connects.percentile(1),
            r.calls.count(), r.calls.failed(), r.calls.percentile(0.5), r.calls.percentile(0.99),
            r.calls.percentile(1), r.rss_idle / mib, r.rss_peak / mib, r.rss_end / mib,
            r.cpu_share * 100);
        if (!r.slow_by_second.empty() || r.connects.failed() != 0) {
            std::printf("          connects of 500 ms or more by the flood's second:");
            for (const auto& [second, count] : r.slow_by_second) {
                std::printf(" %d:%d", second, count);
            }
            std::printf("; failed in the handshake %d, in the connect call %d\n",
                        r.failed_handshakes.load(), r.failed_connects.load());
        }
        std::fflush(stdout);
    }
    return 0;
}
