// The administration port's methods when the disk refuses a write (a full
// disk, made by a preloaded shim that fails the chosen calls of the real
// lumo program): each says why, and leaves nothing that keeps the next try
// from working.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lumo/tests/channel_test_support.hpp"
#include "lumo/tests/lumo_program_support.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_test;
using channel_testing::changes_since;
using channel_testing::snapshot;
using platform::testing::write_file;
using rpc::string_map;

// The lumo program started with the shim, and the faults it injects.
class disk_faults {
  public:
    explicit disk_faults(const fs::path& dir) : control_(dir / "faults") {}

    // The environment that loads the shim into lumo (and its children).
    std::map<std::string, std::string> environment() const {
        const char* asan = std::getenv("ASAN_OPTIONS");
        // The shim is not built with the sanitizer, so its runtime is not the
        // first library loaded.
        return {{"LD_PRELOAD", FAULT_SHIM},
                {"FAULT_SHIM_CONTROL", control_.string()},
                {"ASAN_OPTIONS",
                 std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"}};
    }

    // "rename" or "open", the file's name, and the error.
    void fail(const std::string& call, const std::string& name, int error) {
        write_file(control_, call + " " + name + " " + std::to_string(error) + "\n");
    }
    void clear() { fs::remove(control_); }

  private:
    fs::path control_;
};

TEST(WriteFailures, ACreateThatCannotWriteLeavesNothingAndCanBeTriedAgain) {
    lumo_fixture f;
    disk_faults faults(f.dir());
    f.start("embed", faults.environment());
    f.wait_started();
    const auto admin = f.logged_in_client();
    const auto create = [&] {
        return admin->call<string_map>(2, std::int32_t{0}, std::string("media"),
                                       string_map{{"stream_name", "abc"}, {"play_password", "pw"}});
    };

    // The settings, then each access file; in a fresh hash folder, and in
    // one that another channel made before (which stays).
    for (const char* file : {".flaccess", ".htpasswd", ".htaccess"}) {
        SCOPED_TRACE(file);
        const auto before = snapshot(f.media());
        faults.fail("rename", file, ENOSPC);
        const auto refused = create();
        EXPECT_EQ(refused.status, rpc::call_status::success);
        EXPECT_EQ(refused.result, string_map{});
        EXPECT_TRUE(
            refused.error.starts_with("EXCEPTION:Exception occurs when creating the "
                                      "channel: "))
            << refused.error;
        EXPECT_NE(refused.error.find("No space left on device"), std::string::npos)
            << refused.error;
        EXPECT_EQ(changes_since(before, f.media()), std::vector<std::string>{});

        faults.clear();
        const auto created = create();
        EXPECT_EQ(created.error, "");
        EXPECT_EQ(created.result.at("virtualPath"), "/media/live/63/54/5/abc");
        EXPECT_EQ(admin->call<bool>(4, created.result.at("virtualPath")).error, "");
        // The next round's hash folders are there already.
        ASSERT_TRUE(fs::exists(f.media() / "live/63/54/5"));
    }
}

TEST(WriteFailures, AStopThatCannotMarkTheChannelSaysWhy) {
    lumo_fixture f;
    disk_faults faults(f.dir());
    f.start("embed", faults.environment());
    f.wait_started();
    const auto admin = f.logged_in_client();
    const auto created = admin->call<string_map>(2, std::int32_t{0}, std::string("media"),
                                                 string_map{{"stream_name", "abc"}});
    ASSERT_EQ(created.error, "");
    const std::string path = created.result.at("virtualPath");
    const fs::path dir = created.result.at("localPath");

    faults.fail("open", "abc.stopped", ENOSPC);
    const auto refused = admin->call<bool>(6, path);
    EXPECT_FALSE(refused.result);
    EXPECT_TRUE(refused.error.starts_with("IO_ERROR:Can't stop the channel: ")) << refused.error;
    EXPECT_NE(refused.error.find("No space left on device"), std::string::npos) << refused.error;
    EXPECT_FALSE(fs::exists(dir / "abc.stopped"));

    faults.clear();
    const auto stopped = admin->call<bool>(6, path);
    EXPECT_TRUE(stopped.result) << stopped.error;
    EXPECT_TRUE(fs::exists(dir / "abc.stopped"));
    // Stopped again, as the channel it is.
    EXPECT_EQ(admin->call<bool>(6, path).error, "");
}

}  // namespace
