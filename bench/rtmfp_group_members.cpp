// The qen mode of rtmfp_handshakes: NetGroup members meeting in a real qen
// process (bench/README.md).
#include "bench/rtmfp_group_members.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include "bench/process_usage.hpp"
#include "bench/qen_child.hpp"
#include "rtmfp/tests/server_harness.hpp"

namespace {

using namespace rtmfp_test;
using steady_clock = std::chrono::steady_clock;
namespace ip = boost::asio::ip;

const char* const group = "G:0101010200010e";

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

}  // namespace

int run_group_members(const std::string& qen_binary, int clients, std::size_t members) {
    bench::qen_child qen(qen_binary, 4);
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
    const std::uint64_t before = bench::process_rss(qen.pid()).value_or(0);

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
    const std::uint64_t after = bench::process_rss(qen.pid()).value_or(0);
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
