// The qen program as its supervisor and operators see it: arguments, exit
// codes, messages and the ways to stop it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using platform::testing::child_process;
using platform::testing::temp_dir;
using platform::testing::write_file;

std::string valid_config(const temp_dir& dir) {
    return "<config><qen><rtmp><disabled>1</disabled></rtmp><rtmfp><disabled>1</disabled></rtmfp>"
           "<domains><domain><names><name>localhost</name></names><path>" +
           dir.path().string() + "</path></domain></domains></qen></config>";
}

std::string semaphore_of(pid_t pid) {
    return "/qen_shutdown_" + std::to_string(pid);
}

bool semaphore_exists(pid_t pid) {
    sem_t* s = sem_open(semaphore_of(pid).c_str(), 0);
    if (s == SEM_FAILED) {
        return false;
    }
    sem_close(s);
    return true;
}

// Waits until the server is running: it has created its shutdown event and
// then taken SIGTERM and SIGINT to set it. The event alone could be a stale
// one of the same pid, left by a killed process whose pid was reused.
bool wait_until_serving(child_process& qen) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (semaphore_exists(qen.pid()) && platform::testing::catches_signal(qen.pid(), SIGTERM)) {
            return true;
        }
        if (!qen.running()) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(Program, MoreThanOneArgumentPrintsUsageAndReadsNothing) {
    temp_dir dir;
    auto result = platform::testing::run({QEN_BINARY, "a", "b"}, 20s, {.working_dir = dir.path()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "Usage: qen [config file]\n");
}

TEST(Program, ConfigurationErrorsExitWithCode3AndTheReason) {
    const struct {
        const char* what;
        std::string xml;
        std::string message;
    } cases[] = {
        {"no domains", "<config><qen><domains/></qen></config>",
         "You should at least have one domain\n"},
        {"no domain list", "<config><qen/></config>", "No such node (config.qen.domains)\n"},
        {"bad names",
         "<config><qen><domains><d><names/><path>/x</path></d></domains></qen></config>",
         "Bad domain names\n"},
        {"empty path",
         "<config><qen><domains><d><names><n>a</n></names><path/></d></domains></qen></config>",
         "Domain path is not set\n"},
        {"malformed", "<config><qen>", "qen.xml"},
        {"a port past 65535",
         "<config><qen><rtmp><port>70000</port></rtmp><domains><d><names><n>a</n></names>"
         "<path>/x</path></d></domains></qen></config>",
         "config.qen.rtmp.port is not a port from 1 to 65535: 70000\n"},
        {"a negative idle time-out",
         "<config><qen><idle_timeout>-1</idle_timeout><domains><d><names><n>a</n></names>"
         "<path>/x</path></d></domains></qen></config>",
         "config.qen.idle_timeout is not a time from 0 to 2147483647: -1\n"},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        write_file(dir / "qen.xml", c.xml);
        auto result = platform::testing::run({QEN_BINARY, (dir / "qen.xml").string()}, 20s, {});
        EXPECT_EQ(result.exit_code, 3) << c.what;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.what << ": " << result.err;
    }
}

// A socket that holds a port on every address, IPv4 and IPv6, while it
// lives.
std::shared_ptr<void> occupy_everywhere(int type, unsigned short port) {
    const int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    const int dual_stack = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &dual_stack, sizeof dual_stack);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (type == SOCK_STREAM) {
        EXPECT_EQ(::listen(fd, 1), 0);
    }
    return std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
}

TEST(Program, AListenerThatCannotStartNamesItsProtocolAddressAndPort) {
    temp_dir dir;
    const unsigned short rtmp = platform::testing::free_port();
    const unsigned short rtmfp = platform::testing::free_port(platform::testing::transport::udp);
    const std::string domain = "<domains><domain><names><name>localhost</name></names><path>" +
                               dir.path().string() + "</path></domain></domains>";
    const struct {
        const char* what;
        int type;
        unsigned short port;
        std::string qen;
        std::vector<std::string> reason;  // parts of its one line
    } cases[] = {
        {"RTMP",
         SOCK_STREAM,
         rtmp,
         "<rtmp><addr>127.0.0.1</addr><port>" + std::to_string(rtmp) +
             "</port></rtmp><rtmfp><disabled>1</disabled></rtmfp>",
         {"RTMP on TCP 127.0.0.1:" + std::to_string(rtmp) + ": bind: Address already in use"}},
        {"RTMFP",
         SOCK_DGRAM,
         rtmfp,
         "<rtmp><disabled>1</disabled></rtmp><rtmfp><port>" + std::to_string(rtmfp) +
             "</port><detect_nat_port1>" + std::to_string(rtmfp + 1) +
             "</detect_nat_port1><detect_nat_port2>" + std::to_string(rtmfp + 2) +
             "</detect_nat_port2></rtmfp>",
         {"RTMFP on UDP port " + std::to_string(rtmfp), "UDP ",
          ":" + std::to_string(rtmfp) + ": bind: Address already in use"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto busy = occupy_everywhere(c.type, c.port);
        write_file(dir / "qen.xml", "<config><qen>" + c.qen + domain + "</qen></config>");
        const auto result =
            platform::testing::run({QEN_BINARY, (dir / "qen.xml").string()}, 20s, {});
        EXPECT_EQ(result.exit_code, 3);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        for (const auto& part : c.reason) {
            EXPECT_NE(result.err.find(part), std::string::npos) << part << " in " << result.err;
        }
    }
}

TEST(Program, WithoutArgumentReadsQenXmlInTheWorkingDirectory) {
    temp_dir dir;
    auto missing = platform::testing::run({QEN_BINARY}, 20s, {.working_dir = dir.path()});
    EXPECT_EQ(missing.exit_code, 3);
    EXPECT_NE(missing.err.find((dir / "qen.xml").string()), std::string::npos) << missing.err;

    write_file(dir / "qen.xml", valid_config(dir));
    child_process qen({QEN_BINARY}, {.working_dir = dir.path()});
    ASSERT_TRUE(wait_until_serving(qen)) << qen.stderr_text();
    qen.signal(SIGTERM);
    EXPECT_EQ(qen.wait_for_exit(20s), 0);
}

TEST(Program, TheShutdownEventStopsTheServerAndLeavesNothingBehind) {
    temp_dir dir;
    write_file(dir / "qen.xml", valid_config(dir));
    child_process qen({QEN_BINARY, (dir / "qen.xml").string()});
    ASSERT_TRUE(wait_until_serving(qen)) << qen.stderr_text();
    std::this_thread::sleep_for(1500ms);  // let the housekeeping tick run
    EXPECT_TRUE(qen.running());

    // What the supervisor does from its own process.
    sem_t* event = sem_open(semaphore_of(qen.pid()).c_str(), 0);
    ASSERT_NE(event, SEM_FAILED);
    sem_post(event);
    sem_close(event);

    EXPECT_EQ(qen.wait_for_exit(20s), 0) << qen.stderr_text();
    EXPECT_FALSE(semaphore_exists(qen.pid()));
    EXPECT_EQ(qen.stderr_text(), "");
}

TEST(Program, SigtermAndSigintStopTheServer) {
    temp_dir dir;
    write_file(dir / "qen.xml", valid_config(dir));
    for (int signal_number : {SIGTERM, SIGINT}) {
        child_process qen({QEN_BINARY, (dir / "qen.xml").string()});
        ASSERT_TRUE(wait_until_serving(qen)) << qen.stderr_text();
        qen.signal(signal_number);
        EXPECT_EQ(qen.wait_for_exit(20s), 0) << "signal " << signal_number;
        EXPECT_FALSE(semaphore_exists(qen.pid()));
    }
}

}  // namespace
