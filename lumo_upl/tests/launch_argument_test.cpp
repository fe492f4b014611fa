#include <gtest/gtest.h>

#include <boost/interprocess/ipc/message_queue.hpp>

#include <algorithm>
#include <string>

#include "lumo_upl/instance_queue.hpp"
#include "lumo_upl/launch_argument.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_upl;
using namespace std::chrono_literals;
namespace testing_support = platform::testing;

const std::string code44 = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=";
const std::string site = "http://127.0.0.1:8080/admin/index.php";
const std::string encoded_site = "http%3A%2F%2F127.0.0.1%3A8080%2Fadmin%2Findex.php";

launch_argument parse(const std::string& argument) {
    const char* argv[] = {"lumo_upl", argument.c_str(), nullptr};
    return parse_launch_argument(2, argv);
}

struct argument_case {
    const char* what;
    std::string argument;
    std::string site_address;
    std::string launch_code;
};

TEST(LaunchArgument, SplitsAndDecodesBothParts) {
    const argument_case cases[] = {
        {"encoded plus, trailing slash", "lumo://x" + encoded_site + ",%2B" + code44 + "/", site,
         code44},
        {"plain plus", "12345678" + encoded_site + ",+" + code44, site, code44},
        {"plain plus, trailing slash", "12345678" + site + ",+" + code44 + "/", site, code44},
        {"any first character goes", "12345678" + site + ",X" + code44, site, code44},
        {"an encoded plus inside the code", "12345678" + site + ",%2Babc%2Bdef", site, "abc+def"},
        {"parts after the second", "12345678" + site + ",+" + code44 + ",more,parts", site, code44},
        {"%41 is A", "12345678http://h%41st/", "http://hAst/", ""},
        {"%4 at the end stays", "12345678http://host/%4", "http://host/%4", ""},
        {"%zz stays", "12345678http://host/%zz/x", "http://host/%zz/x", ""},
        {"+ is a space", "12345678http://host/a+b", "http://host/a b", ""},
        {"+ is a space in the last two bytes", "12345678http://host/a+", "http://host/a ", ""},
        {"three bytes stay", "12345678" + site + ",abc", site, "abc"},
        {"three encoded bytes stay", "12345678" + site + ",%2B", site, "%2B"},
        {"slash, then three bytes", "12345678" + site + ",+ab/", site, "+ab"},
        {"a lone slash", "12345678" + site + ",/", site, ""},
        {"a short prefix", "1234,+" + code44, "", code44},
    };
    for (const argument_case& c : cases) {
        const std::string argument =
            c.launch_code.empty() && c.argument.find(',') == std::string::npos ? c.argument + ","
                                                                               : c.argument;
        const launch_argument launch = parse(argument);
        EXPECT_EQ(launch.site_address, c.site_address) << c.what;
        EXPECT_EQ(launch.launch_code, c.launch_code) << c.what;
        EXPECT_EQ(launch.instance_name, make_ipc_name(c.site_address)) << c.what;
    }
}

TEST(LaunchArgument, NoArgumentOrNoCommaLeavesAllEmpty) {
    const char* none[] = {"lumo_upl", nullptr};
    for (const launch_argument& launch :
         {parse_launch_argument(1, none), parse("12345678" + site + "+" + code44), parse("")}) {
        EXPECT_EQ(launch.site_address, "");
        EXPECT_EQ(launch.launch_code, "");
        EXPECT_EQ(launch.instance_name, "");
    }
}

TEST(LaunchArgument, UrlDecodeKeepsWhatIsNoEscape) {
    EXPECT_EQ(url_decode("%e4%B8%AD"), "\xe4\xb8\xad");
    EXPECT_EQ(url_decode("%"), "%");
    EXPECT_EQ(url_decode("%%41"), "%A");
    EXPECT_EQ(url_decode("a%2"), "a%2");
    EXPECT_EQ(url_decode("%00x"), std::string("\0x", 2));
    EXPECT_EQ(url_decode(""), "");
}

TEST(InstanceName, IsTheSha256OfTheAddressInUpperCaseHex) {
    testing_support::temp_dir folder;
    for (const std::string& address : {site, std::string("http://例子.测试/上传"), std::string()}) {
        const std::string name = make_ipc_name(address);
        ASSERT_EQ(name.size(), 64u);
        EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        })) << name;
        testing_support::write_file(folder / "address", address);
        const auto summed = testing_support::run({"sha256sum", (folder / "address").string()}, 10s);
        ASSERT_EQ(summed.exit_code, 0) << summed.err;
        std::string expected = summed.out.substr(0, 64);
        std::transform(expected.begin(), expected.end(), expected.begin(), ::toupper);
        EXPECT_EQ(name, expected) << address;
    }
    EXPECT_NE(make_ipc_name(site), make_ipc_name(site + "/"));
}

TEST(InstanceMessage, LoadMessageRoundTripsAndMalformedOnesAreDropped) {
    const std::string message = load_message(code44);
    EXPECT_EQ(message, std::string("\x04\x00load\x2c\x00", 8) + code44);
    EXPECT_EQ(code_of_load_message(message), code44);
    EXPECT_EQ(code_of_load_message(load_message("")), "");

    ipc_message_writer other;
    other.write_string("save");
    other.write_string(code44);
    const std::string malformed[] = {
        "",
        std::string("\x04", 1),
        std::string("\x05\x00load", 6),
        std::string("\x04\x00load", 6),
        std::string("\x04\x00load\x2c\x00", 8) + code44.substr(1),
        other.bytes(),
    };
    for (const std::string& bytes : malformed) {
        EXPECT_EQ(code_of_load_message(bytes), std::nullopt) << bytes.size();
    }
}

TEST(InstanceMessage, ReaderAndWriterReportTheirErrors) {
    ipc_message_writer writer;
    writer.write_string(std::string(65535, 'x'));
    EXPECT_EQ(writer.bytes().size(), 65537u);
    try {
        writer.write_string(std::string(65536, 'x'));
        FAIL() << "a string of 65536 bytes was written";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "size error");
    }
    EXPECT_EQ(writer.bytes().size(), 65537u);

    ipc_message_reader reader(std::string("\x02\x00"
                                          "ab"
                                          "\x03\x00",
                                          6) +
                              "cd");
    EXPECT_EQ(reader.read_string(), "ab");
    try {
        reader.read_string();
        FAIL() << "a string past the end was read";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "stream error");
    }
}

// A queue name of the test's own, removed at the end.
struct queue_name {
    std::string name =
        make_ipc_name("test " + std::to_string(::getpid()) + " " +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ~queue_name() { boost::interprocess::message_queue::remove(name.c_str()); }
};

TEST(InstanceQueue, OneOwnerTheOthersHandTheirCodeToIt) {
    testing_support::temp_dir locks;
    queue_name queue;
    instance_queue first(queue.name, locks.path());
    ASSERT_TRUE(first.become_owner());
    EXPECT_TRUE(first.owner());
    EXPECT_EQ(first.try_receive(), std::nullopt);

    instance_queue second(queue.name, locks.path());
    EXPECT_FALSE(second.become_owner());
    ASSERT_TRUE(second.open_existing(0ms));
    EXPECT_FALSE(second.owner());
    EXPECT_TRUE(second.post(load_message(code44)));
    EXPECT_FALSE(second.post(std::string(instance_queue::max_message_size + 1, 'x')));
    EXPECT_EQ(first.try_receive(), load_message(code44));
    EXPECT_EQ(first.try_receive(), std::nullopt);

    for (std::size_t i = 0; i < instance_queue::max_messages; ++i) {
        EXPECT_TRUE(second.post(load_message(code44)));
    }
    EXPECT_FALSE(second.post(load_message(code44))) << "a full queue takes no more";
}

TEST(InstanceQueue, TheOwnerRemovesAQueueLeftBehindAndItsOwnAtTheEnd) {
    testing_support::temp_dir locks;
    queue_name queue;
    namespace ipc = boost::interprocess;
    {
        ipc::message_queue stale(ipc::create_only, queue.name.c_str(), 20, 1024);
        stale.send("junk", 4, 0);
    }
    {
        instance_queue owner(queue.name, locks.path());
        ASSERT_TRUE(owner.become_owner());
        EXPECT_EQ(owner.try_receive(), std::nullopt) << "the stale queue is gone";
    }
    EXPECT_THROW(ipc::message_queue(ipc::open_only, queue.name.c_str()),
                 ipc::interprocess_exception);
    instance_queue next(queue.name, locks.path());
    EXPECT_TRUE(next.become_owner()) << "the lock went with the owner";
}

TEST(InstanceQueue, OpeningWaitsAWhileForTheOwnersQueue) {
    testing_support::temp_dir locks;
    queue_name queue;
    instance_queue late(queue.name, locks.path());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(late.open_existing(300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    instance_queue owner(queue.name, locks.path());
    std::thread creator([&] {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(owner.become_owner());
    });
    EXPECT_TRUE(late.open_existing(10s));
    creator.join();
    EXPECT_TRUE(late.post(load_message(code44)));
    EXPECT_EQ(owner.try_receive(), load_message(code44));
}

}  // namespace
