// A crowd of connections that leave large messages unfinished, against a
// live relay whose budget for them is small: the server's resident memory
// stays near that budget, and a real publisher and player go on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/tests/live_relay.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

// AddressSanitizer keeps freed memory aside, resident, to catch late uses:
// by default far more than this test measures. With a small quarantine the
// resident size is what the server holds.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

namespace {

using namespace rtmp_test;
namespace testing_support = platform::testing;

TEST(PendingMemory, ACrowdLeavingMessagesUnfinishedCannotTakeTheServersMemory) {
    for (const char* program : {"ffmpeg", "ffprobe"}) {
        if (!testing_support::have_program(program)) {
            GTEST_SKIP() << program << " is not installed";
        }
    }
    testing_support::temp_dir dir;
    const auto sample = dir / "sample.flv";
    ASSERT_EQ(make_sample_flv(sample, 6), "");

    constexpr std::uint64_t budget = std::uint64_t{16} << 20;
    loopback_relay relay;
    relay.context.pending_messages.set_limit(budget);
    relay.start();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(relay.port) + "/live/s";
    // The player waits for the publisher, so that it has the whole stream.
    testing_support::child_process player({"ffmpeg", "-hide_banner", "-loglevel", "warning", "-y",
                                           "-rtmp_live", "live", "-rw_timeout", "10000000", "-i",
                                           url, "-c", "copy", "-f", "flv",
                                           (dir / "played.flv").string()});
    ASSERT_TRUE(eventually([&] { return relay.server->connections().size() == 1; }, 10s));
    std::this_thread::sleep_for(300ms);
    testing_support::child_process publisher({"ffmpeg", "-hide_banner", "-loglevel", "warning",
                                              "-re", "-i", sample.string(), "-c", "copy", "-f",
                                              "flv", url});
    ASSERT_TRUE(eventually([&] { return relay.registry.exists("s"); }, 10s))
        << publisher.stderr_text();
    [[maybe_unused]] const std::uint64_t resident_before = testing_support::own_resident_bytes();

    // Each would hold seven messages of the largest size: within its own
    // bound, far beyond the server's budget all together.
    constexpr std::uint32_t largest = rtmp::rtmp_chunkstreams::max_message_size;
    constexpr std::uint32_t crowd_size = 64;
    constexpr std::uint32_t messages_each = 7;
    std::string unfinished = encode_message(2, 1, 0, 0, be32(65536));
    for (std::uint32_t csid = 3; csid < 3 + messages_each; ++csid) {
        unfinished += unfinished_message(csid, largest, 7, 65536);
    }
    const std::string ping = encode_message(2, 4, 0, 0, hex_bytes("0006 0000002a"));
    std::vector<std::unique_ptr<rtmp_client>> crowd;
    std::size_t holding = 0;
    for (std::uint32_t i = 0; i < crowd_size; ++i) {
        auto& client = crowd.emplace_back(std::make_unique<rtmp_client>(relay.port));
        client->socket().handshake();
        // The answer to a ping shows that the server took all before it.
        if (client->socket().try_send(unfinished) && client->socket().try_send(ping) &&
            client->wait_for([](const message& m) { return m.type == 4; }, 5s)) {
            ++holding;
        }
    }
#if !defined(__SANITIZE_THREAD__)  // its shadow memory multiplies what is resident
    const std::uint64_t grown = testing_support::own_resident_bytes() - resident_before;
    const std::uint64_t attempted = std::uint64_t{crowd_size} * messages_each * largest;
    EXPECT_LT(grown, attempted / 2) << "grew by " << grown << " bytes";
#endif
    EXPECT_LE(relay.context.pending_messages.used(), budget);
    EXPECT_GT(holding, 0u);
    EXPECT_LT(holding, crowd_size) << "the budget refused the rest";

    EXPECT_EQ(publisher.wait_for_exit(30s), 0) << publisher.stderr_text();
    EXPECT_TRUE(player.wait_for_exit(30s).has_value()) << player.stderr_text();
    const auto source = testing_support::probe_packets(sample);
    const auto played = testing_support::probe_packets(dir / "played.flv");
    ASSERT_FALSE(played.empty());
    EXPECT_GT(testing_support::count_packets(played, "video"),
              testing_support::count_packets(source, "video") * 3 / 4);
    EXPECT_GT(played.back().dts - played.front().dts, 4.5) << "played on to the end";

    crowd.clear();
    EXPECT_TRUE(eventually([&] { return relay.context.pending_messages.used() == 0; }));
}

}  // namespace
