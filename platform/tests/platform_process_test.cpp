#include "platform/platform_process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using platform::platform_process;
using platform::testing::read_file;
using platform::testing::write_file;
namespace fs = std::filesystem;

// The stand-in under a name of the test's, behaving as told.
class stand_in {
  public:
    explicit stand_in(const std::string& behaviour) {
        fs::create_symlink(STAND_IN_PROGRAM, program_);
        write_file(program_.string() + ".behaviour", "* " + behaviour + "\n");
        ::setenv("STAND_IN_LOG", log().c_str(), 1);
    }
    ~stand_in() { ::unsetenv("STAND_IN_LOG"); }

    const fs::path& program() const { return program_; }
    std::string log() const { return (dir_ / "events.log").string(); }

    // Waits until the child has its signal handling in place.
    bool wait_ready(pid_t pid) const {
        const std::string line = "ready " + std::to_string(pid) + "\n";
        return platform::testing::eventually(
            [&] { return read_file(log()).find(line) != std::string::npos; }, 60s);
    }

    // What the child with that id reported: its lines by their first word.
    std::multimap<std::string, std::string> seen(pid_t pid) const {
        std::istringstream lines(
            read_file(program_.string() + "." + std::to_string(pid) + ".seen"));
        std::multimap<std::string, std::string> result;
        for (std::string line; std::getline(lines, line);) {
            const auto space = line.find(' ');
            result.emplace(line.substr(0, space),
                           space == std::string::npos ? "" : line.substr(space + 1));
        }
        return result;
    }

  private:
    platform::testing::temp_dir dir_;
    fs::path program_ = dir_ / "child";
};

// Kills the child and its group, and so keeps the child's destructor from
// waiting for ever, when a test fails half-way. The child is not reaped
// before its destructor, so its pid and group are still its own here.
class kill_before_reaping {
  public:
    explicit kill_before_reaping(const platform_process& child) : child_(child) {}
    ~kill_before_reaping() {
        if (child_.id() > 0) {
            ::kill(-child_.id(), SIGKILL);
            ::kill(child_.id(), SIGKILL);
        }
    }
    kill_before_reaping(const kill_before_reaping&) = delete;
    kill_before_reaping& operator=(const kill_before_reaping&) = delete;

  private:
    const platform_process& child_;
};

std::string only(const std::multimap<std::string, std::string>& seen, const std::string& key) {
    EXPECT_EQ(seen.count(key), 1u) << key;
    const auto found = seen.find(key);
    return found == seen.end() ? "" : found->second;
}

// A descriptor above 2 that is inherited across exec unless the spawn
// closes it.
int inheritable(int fd) {
    EXPECT_GE(fd, 0);
    const int moved = ::fcntl(fd, F_DUPFD, 3);
    ::close(fd);
    return moved;
}

// While alive, the test process blocks SIGTERM, ignores SIGINT and SIGPIPE,
// holds a listening socket and a connection, neither close-on-exec, and has a
// service manager's notification socket.
class unfriendly_parent {
  public:
    unfriendly_parent() {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, &old_mask_);
        old_int_ = ::signal(SIGINT, SIG_IGN);
        old_pipe_ = ::signal(SIGPIPE, SIG_IGN);
        ::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);

        listener_ = inheritable(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        connection_ = inheritable(::socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(::connect(connection_, reinterpret_cast<sockaddr*>(&address), length), 0);
        for (const int fd : {listener_, connection_}) {
            EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    ~unfriendly_parent() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(connection_);
        ::close(listener_);
        ::signal(SIGPIPE, old_pipe_);
        ::signal(SIGINT, old_int_);
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    }

  private:
    sigset_t old_mask_;
    sighandler_t old_int_;
    sighandler_t old_pipe_;
    int listener_ = -1;
    int connection_ = -1;
};

TEST(PlatformProcess, ChildStartsCleanInAGroupOfItsOwnWithItsArgumentsWhole) {
    stand_in program("exit 0");
    std::string standard_fds;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            standard_fds += (standard_fds.empty() ? "" : " ") + std::to_string(fd);
        }
    }

    const unfriendly_parent parent;
    const std::vector<std::string> argv = {program.program().string(), "two words",
                                           "say \"hi\" 'there' \\", ""};
    platform_process child(argv, true);
    const kill_before_reaping guard(child);
    ASSERT_TRUE(child.run());
    ASSERT_TRUE(child.wait_for_exit(60s));
    EXPECT_EQ(child.try_exit_code(), 0);

    const auto seen = program.seen(child.id());
    EXPECT_EQ(only(seen, "pid"), std::to_string(child.id()));
    EXPECT_EQ(only(seen, "pgid"), std::to_string(child.id())) << "a group of its own";
    EXPECT_EQ(only(seen, "blocked"), "");
    EXPECT_EQ(only(seen, "ignored"), "");
    EXPECT_EQ(only(seen, "fds"), standard_fds);
    EXPECT_EQ(seen.count("notify_socket"), 0u);
    std::vector<std::string> arguments;
    for (auto [at, end] = seen.equal_range("arg"); at != end; ++at) {
        arguments.push_back(at->second);
    }
    EXPECT_EQ(arguments, argv);
}

TEST(PlatformProcess, RefusesToRunTwiceAndToBeUsedBeforeRunning) {
    stand_in program("exit 0");
    platform_process child({program.program().string()}, true);
    const kill_before_reaping guard(child);
    const std::pair<const char*, std::function<void()>> before_run[] = {
        {"try_exit_code", [&] { child.try_exit_code(); }},
        {"wait_for_exit", [&] { child.wait_for_exit(0ms); }},
        {"signal", [&] { child.signal(SIGTERM); }},
        {"terminate", [&] { child.terminate(); }},
    };
    for (const auto& [name, operation] : before_run) {
        try {
            operation();
            ADD_FAILURE() << name;
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "The process has not run") << name;
        }
    }

    ASSERT_TRUE(child.run());
    try {
        child.run();
        ADD_FAILURE() << "ran twice";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "The process has run already");
    }
    EXPECT_TRUE(child.wait_for_exit(60s));
}

TEST(PlatformProcess, ProgramsThatCannotStartGiveFalse) {
    platform::testing::temp_dir dir;
    write_file(dir / "not-executable", "#!/bin/sh\n");
    for (const fs::path& program : {dir / "missing", dir / "not-executable", dir.path(),
                                    fs::path("no-such-program-on-the-path")}) {
        platform_process child({program.string()}, true);
        EXPECT_FALSE(child.run()) << program;
        EXPECT_EQ(child.id(), -1);
    }
}

TEST(PlatformProcess, ANameWithoutASlashIsLookedUpAlongThePath) {
    platform::testing::temp_dir dir;
    write_file(dir / "exit-five", "#!/bin/sh\nexit 5\n");
    fs::permissions(dir / "exit-five", fs::perms(0755));
    const std::string old_path = std::getenv("PATH") == nullptr ? "" : std::getenv("PATH");
    ::setenv("PATH", ("/nonexistent:" + dir.path().string()).c_str(), 1);
    platform_process child({"exit-five"}, true);
    const bool ran = child.run();
    ::setenv("PATH", old_path.c_str(), 1);
    const kill_before_reaping guard(child);
    ASSERT_TRUE(ran);
    ASSERT_TRUE(child.wait_for_exit(60s));
    EXPECT_EQ(child.try_exit_code(), 5);
}

TEST(PlatformProcess, ExitCodesAreReadWithoutReapingTheChild) {
    struct exit_case {
        const char* behaviour;
        int signal_to_send;  // 0: none
        int code;
    } cases[] = {
        {"exit 7", 0, 7},
        {"crash", 0, 128 + SIGKILL},
        {"run", SIGTERM, 0},  // the stand-in stops cleanly on SIGTERM
        {"ignore-term", SIGINT, 128 + SIGINT},
    };
    for (const auto& c : cases) {
        stand_in program(c.behaviour);
        platform_process child({program.program().string()}, true);
        const kill_before_reaping guard(child);
        ASSERT_TRUE(child.run()) << c.behaviour;
        if (c.signal_to_send != 0) {
            ASSERT_TRUE(program.wait_ready(child.id())) << c.behaviour;
            EXPECT_FALSE(child.wait_for_exit(100ms)) << c.behaviour;
            EXPECT_EQ(child.try_exit_code(), std::nullopt) << c.behaviour;
            EXPECT_TRUE(child.signal(c.signal_to_send)) << c.behaviour;
        }
        ASSERT_TRUE(child.wait_for_exit(60s)) << c.behaviour;
        EXPECT_EQ(child.try_exit_code(), c.code) << c.behaviour;
        EXPECT_EQ(child.try_exit_code(), c.code) << c.behaviour << ": read again";
        EXPECT_EQ(::kill(child.id(), 0), 0) << c.behaviour << ": reaped too early";
    }
}

TEST(PlatformProcess, TerminateKillsTheWholeGroup) {
    stand_in program("ignore-term fork-worker");
    platform::testing::group_killer killer;
    pid_t group = -1;
    {
        platform_process child({program.program().string()}, true);
        const kill_before_reaping guard(child);
        ASSERT_TRUE(child.run());
        group = child.id();
        killer.add(group);
        ASSERT_TRUE(program.wait_ready(group));  // after the fork
        ASSERT_EQ(platform::testing::live_processes_in_group(group).size(), 2u);
        child.signal(SIGTERM);
        EXPECT_FALSE(child.wait_for_exit(200ms)) << "ignores SIGTERM";
        child.terminate();
        EXPECT_TRUE(child.wait_for_exit(60s));
    }  // reaped here
    EXPECT_TRUE(platform::testing::wait_group_gone(group, 60s)) << "the worker is left";
}

}  // namespace
