// The qen mode of rtmfp_handshakes: NetGroup members meeting in a real qen
// process (bench/README.md).
#include "bench/rtmfp_group_members.hpp"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platform_process.hpp"
#include "rtmfp/tests/server_harness.hpp"

namespace {

using namespace rtmfp_test;
using steady_clock = std::chrono::steady_clock;
namespace ip = boost::asio::ip;
namespace fs = std::filesystem;

const char* const group = "G:0101010200010e";

// Three UDP ports of 127.0.0.1 that were free a moment ago, all different.
std::vector<unsigned short> free_udp_ports() {
    boost::asio::io_context io;
    std::vector<ip::udp::socket> held;
    std::vector<unsigned short> ports;
    for (int i = 0; i < 3; ++i) {
        held.emplace_back(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
        ports.push_back(held.back().local_endpoint().port());
    }
    return ports;
}

std::uint64_t resident_bytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            std::uint64_t kilobytes = 0;
            status >> kilobytes;
            return kilobytes * 1024;
        }
        std::getline(status, key);
    }
    return 0;
}

// The groupSessions number at the end of a stat reply.
double group_sessions_in(const bytes& reply) {
    const std::string key = "groupSessions";
    const auto at = std::search(reply.begin(), reply.end(), key.begin(), key.end());
    if (reply.end() - at < static_cast<std::ptrdiff_t>(key.size() + 9)) {
        return -1;
    }
    std::uint64_t bits = 0;
    for (auto byte = at + static_cast<std::ptrdiff_t>(key.size()) + 1;
         byte != at + static_cast<std::ptrdiff_t>(key.size()) + 9; ++byte) {
        bits = bits << 8 | *byte;
    }
    return std::bit_cast<double>(bits);
}

// A qen process with RTMFP alone, on free ports, in a folder of its own.
class qen_child {
  public:
    explicit qen_child(const std::string& binary)
        : dir_(fs::temp_directory_path() / ("rtmfp_bench_" + std::to_string(::getpid()))),
          ports_(free_udp_ports()) {
        fs::create_directories(dir_ / "www" / "app");
        std::ofstream(dir_ / "qen.xml")
            << "<config><qen><rtmp><disabled>1</disabled></rtmp><rtmfp><port>" << ports_[0]
            << "</port><detect_nat_port1>" << ports_[1] << "</detect_nat_port1><detect_nat_port2>"
            << ports_[2]
            << "</detect_nat_port2><max_sessions_per_ip>1000000</max_sessions_per_ip></rtmfp>"
               "<domains><domain><names><name>localhost</name></names><path>"
            << (dir_ / "www").string()
            << "</path><default>true</default></domain></domains></qen></config>\n";
        ::setenv("NUMBER_OF_PROCESSORS", "4", 1);
        process_ = std::make_unique<platform::platform_process>(
            std::vector<std::string>{binary, (dir_ / "qen.xml").string()}, false);
        if (!process_->run()) {
            throw std::runtime_error("qen does not start: " + binary);
        }
    }
    ~qen_child() {
        process_->signal(SIGTERM);
        if (!process_->wait_for_exit(std::chrono::seconds(30))) {
            process_->terminate();
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ip::udp::endpoint endpoint() const {
        return ip::udp::endpoint(ip::make_address("127.0.0.1"), ports_[0]);
    }
    std::string url() const { return "rtmfp://localhost:" + std::to_string(ports_[0]) + "/app"; }
    pid_t pid() const { return process_->id(); }

  private:
    fs::path dir_;
    std::vector<unsigned short> ports_;
    std::unique_ptr<platform::platform_process> process_;
};

}  // namespace

int run_group_members(const std::string& qen_binary, int clients, std::size_t members) {
    qen_child qen(qen_binary);
    // The first member, which stays: everyone after it is handed at least
    // its peer id.
    netconnection_client observer(qen.endpoint());
    if (!observer.connect(qen.url())) {
        std::fprintf(stderr, "qen does not answer on %s\n", qen.url().c_str());
        return 1;
    }
    netgroup_member first(observer);
    first.join_by_specifier(group);
    observer.call(stat_call(1));
    const std::uint64_t before = resident_bytes(qen.pid());

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> joined{0};
    std::atomic<std::size_t> failed{0};
    const auto start = steady_clock::now();
    std::vector<std::thread> threads;
    for (int n = 0; n < clients; ++n) {
        threads.emplace_back([&, n] {
            // Each from its own address, as many clients would come.
            client_options from;
            from.local_address = ip::address_v4(0x7F000002u + static_cast<std::uint32_t>(n));
            while (next++ < members) {
                netconnection_client c(qen.endpoint(), from);
                netgroup_member member(c);
                bool done = c.connect(qen.url());
                if (done) {
                    member.join_by_specifier(group);
                    done = member.wait_for_members(1);
                }
                ++(done ? joined : failed);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    const std::uint64_t after = resident_bytes(qen.pid());
    const std::optional<bytes> stat = observer.call(stat_call(2));
    const double in_group = stat ? group_sessions_in(*stat) : -1;

    std::printf("qen: %zu members joined one group in %.1f s (%zu failed): %.0f joins/s\n",
                joined.load(), seconds, failed.load(), static_cast<double>(joined) / seconds);
    std::printf(
        "qen: %.0f members in the group; resident set %.1f -> %.1f MiB, "
        "%.1f MiB per 10 000 members (their sessions included)\n",
        in_group, before / 1048576.0, after / 1048576.0,
        in_group > 1 ? (static_cast<double>(after) - static_cast<double>(before)) / (in_group - 1) *
                           10'000 / 1048576.0
                     : 0.0);
    return 0;
}
