// The process manager on an installation root whose programs are stand-ins
// (lumo/tests/stand_in_main.cpp), with short bounds.
#include "lumo/lumo_proc_mgr.hpp"

#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>

#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using child = lumo::lumo_proc_mgr::child;
using platform::testing::read_file;
using platform::testing::write_file;
namespace fs = std::filesystem;

constexpr child all_children[] = {child::web_admin, child::mysql, child::http_streaming,
                                  child::media_server};

struct bounds {
    std::chrono::milliseconds start_check = 300ms;
    std::chrono::milliseconds stop_bound = 1500ms;
};

// A root of stand-ins and a process manager on it. Every child it has seen
// must be gone, with its whole process group, once the manager is.
class stand_in_root {
  public:
    explicit stand_in_root(bounds b = {}) {
        fs::create_directories(root_ / "mysql/data");  // no database wanted
        lumo_test::make_root(root_, {STAND_IN_PROGRAM, STAND_IN_PROGRAM, STAND_IN_PROGRAM});
        ::setenv("STAND_IN_LOG", log_.c_str(), 1);
        behave("mysql", "* run");
        behave("apache", "* run");
        behave("qen", "* event");
        lumo_test::write_config(config_file_, "", {{{"localhost"}, (dir_ / "www").string(), {}}},
                                "<path>" + root_.string() + "</path>");
        config_ = std::make_unique<qen::qen_config>(config_file_);
        manager_ =
            std::make_unique<lumo::lumo_proc_mgr>(*config_, lock_, b.start_check, b.stop_bound);
    }

    ~stand_in_root() {
        manager_.reset();
        for (const auto& line : log_lines()) {
            if (line.rfind("start ", 0) == 0) {
                groups_.insert(std::stoi(line.substr(6)));
            }
        }
        for (const pid_t group : groups_) {
            EXPECT_TRUE(platform::testing::wait_group_gone(group, 30s))
                << "a process of group " << group << " is left";
        }
        ::unsetenv("STAND_IN_LOG");
    }

    lumo::lumo_proc_mgr& manager() { return *manager_; }
    std::mutex& lock() { return lock_; }
    const fs::path& root() const { return root_; }
    const fs::path& config_file() const { return config_file_; }

    // Lines of the program's behaviour file: "mysql", "apache" or "qen".
    void behave(const std::string& program, const std::string& lines) {
        write_file(program_path(program).string() + ".behaviour", lines + "\n");
    }

    fs::path program_path(const std::string& program) const {
        if (program == "mysql") {
            return root_ / "mysql/bin/mariadbd";
        }
        if (program == "apache") {
            return root_ / "apache/bin/apache2";
        }
        return root_ / "bin/qen";
    }

    // The running child's pid; its group is killed at the end should the
    // manager fail to.
    pid_t pid(child which) {
        const auto id = manager_->process_id(which);
        EXPECT_TRUE(id.has_value());
        if (!id) {
            return -1;
        }
        killer_.add(*id);
        groups_.insert(*id);
        return *id;
    }

    // Pids of all running children, once each is ready to be stopped.
    std::map<child, pid_t> running_ready() {
        std::map<child, pid_t> pids;
        for (const child which : all_children) {
            if (manager_->is_running(which)) {
                pids[which] = pid(which);
                EXPECT_TRUE(wait_logged("ready", pids[which]));
            }
        }
        return pids;
    }

    std::vector<std::string> log_lines() const {
        std::istringstream text(read_file(log_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    bool wait_logged(const std::string& event, pid_t pid) const {
        const std::string line = event + " " + std::to_string(pid) + "\n";
        return platform::testing::eventually(
            [&] { return read_file(log_).find(line) != std::string::npos; }, 30s);
    }

    // The arguments a child was started with.
    std::vector<std::string> arguments(const std::string& program, pid_t pid) const {
        std::istringstream seen(
            read_file(program_path(program).string() + "." + std::to_string(pid) + ".seen"));
        std::vector<std::string> result;
        for (std::string line; std::getline(seen, line);) {
            if (line.rfind("arg ", 0) == 0) {
                result.push_back(line.substr(4));
            }
        }
        return result;
    }

    bool start_all(std::string& error) {
        return manager_->start_web_and_db(error) && manager_->start_media_services(error);
    }

    void destroy_manager() { manager_.reset(); }

  private:
    platform::testing::temp_dir dir_;
    fs::path root_ = dir_ / "root";
    fs::path config_file_ = dir_ / "lumo.xml";
    std::string log_ = (dir_ / "events.log").string();
    platform::testing::group_killer killer_;
    std::set<pid_t> groups_;  // of every child seen
    std::mutex lock_;
    std::unique_ptr<qen::qen_config> config_;
    std::unique_ptr<lumo::lumo_proc_mgr> manager_;
};

TEST(ProcessManager, StartsEachGroupInOrderWithItsCommandLines) {
    stand_in_root root;
    std::string error;
    ASSERT_TRUE(root.manager().start_web_and_db(error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_FALSE(root.manager().is_running(child::media_server));
    EXPECT_FALSE(root.manager().is_running(child::http_streaming));
    ASSERT_TRUE(root.manager().start_media_services(error)) << error;
    EXPECT_EQ(error, "");

    const auto pids = root.running_ready();
    ASSERT_EQ(pids.size(), 4u);
    const std::string r = root.root().string();
    std::vector<std::string> mysql = {r + "/mysql/bin/mariadbd",
                                      "--defaults-file=" + r + "/mysql/my.ini"};
    if (::geteuid() == 0) {
        mysql.push_back("--user=root");
    }
    EXPECT_EQ(root.arguments("mysql", pids.at(child::mysql)), mysql);
    EXPECT_EQ(root.arguments("apache", pids.at(child::web_admin)),
              (std::vector<std::string>{r + "/apache/bin/apache2", "-f",
                                        r + "/apache/conf/admin.conf", "-DFOREGROUND"}));
    EXPECT_EQ(root.arguments("qen", pids.at(child::media_server)),
              (std::vector<std::string>{r + "/bin/qen", root.config_file().string()}));
    EXPECT_EQ(root.arguments("apache", pids.at(child::http_streaming)),
              (std::vector<std::string>{r + "/apache/bin/apache2", "-f",
                                        r + "/apache/conf/stream.conf", "-DFOREGROUND"}));

    const auto started = [&](child which) {
        return platform::testing::process_start_time(pids.at(which)).value_or(0);
    };
    EXPECT_LT(started(child::mysql), started(child::web_admin));
    EXPECT_LT(started(child::web_admin), started(child::media_server));
    EXPECT_LT(started(child::media_server), started(child::http_streaming));
    for (const char* rendered :
         {"mysql/my.ini", "apache/conf/admin.conf", "php/php.ini", "apache/conf/stream.conf"}) {
        EXPECT_TRUE(fs::is_regular_file(root.root() / rendered)) << rendered;
    }

    // Running children are left as they are.
    ASSERT_TRUE(root.start_all(error)) << error;
    for (const auto& [which, pid] : pids) {
        EXPECT_EQ(root.manager().process_id(which), pid);
    }
}

TEST(ProcessManager, FailedStartOfWebAndDbStopsBothAndSaysWhy) {
    struct failure_case {
        const char* name;
        std::function<void(stand_in_root&)> prepare;
        std::string error;  // the start of the error text
    } cases[] = {
        {"database quits", [](stand_in_root& r) { r.behave("mysql", "* exit 0"); },
         "Error when running mysql: Mysql process quit unexpected"},
        {"database crashes", [](stand_in_root& r) { r.behave("mysql", "* crash"); },
         "Error when running mysql: Mysql process quit unexpected"},
        {"database program missing",
         [](stand_in_root& r) { fs::remove(r.root() / "mysql/bin/mariadbd"); },
         "Error when running mysql: Can't start mysql process"},
        {"database template missing",
         [](stand_in_root& r) { fs::remove(r.root() / "conf/my.ini"); },
         "Error when running mysql: Can't read the template "},
        {"administration server quits",
         [](stand_in_root& r) { r.behave("apache", "admin.conf exit 1"); },
         "Error when running web admin apache: web admin process quit unexpected"},
        {"a folder where admin.conf goes",
         [](stand_in_root& r) { fs::create_directories(r.root() / "apache/conf/admin.conf"); },
         "Error when running web admin apache: Can't write "},
    };
    for (const auto& c : cases) {
        // Long enough for a child that quits at once to be seen quitting
        // on a loaded machine.
        stand_in_root root({.start_check = 3000ms});
        c.prepare(root);
        std::string error;
        EXPECT_FALSE(root.manager().start_web_and_db(error)) << c.name;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
        for (const child which : all_children) {
            EXPECT_FALSE(root.manager().is_running(which)) << c.name;
        }
    }
}

TEST(ProcessManager, MediaServicesWaitForWebAndDb) {
    stand_in_root root;
    std::string error;
    EXPECT_FALSE(root.manager().start_media_services(error));
    EXPECT_EQ(error, "Start web & db first");
    for (const child which : all_children) {
        EXPECT_FALSE(root.manager().is_running(which));
    }

    ASSERT_TRUE(root.manager().start_web_and_db(error)) << error;
    const pid_t mysql = root.pid(child::mysql);
    ASSERT_EQ(::kill(mysql, SIGKILL), 0);
    ASSERT_TRUE(lumo_test::wait_not_running(root.manager(), child::mysql));
    error.clear();
    EXPECT_FALSE(root.manager().start_media_services(error));
    EXPECT_EQ(error, "Start web & db first");
    EXPECT_FALSE(root.manager().is_running(child::media_server));
    EXPECT_FALSE(root.manager().is_running(child::http_streaming));
}

TEST(ProcessManager, FailedStreamingStartLeavesQenRunning) {
    stand_in_root root({.start_check = 3000ms});
    root.behave("apache", "stream.conf exit 1");
    std::string error;
    ASSERT_TRUE(root.manager().start_web_and_db(error)) << error;
    EXPECT_FALSE(root.manager().start_media_services(error));
    EXPECT_EQ(error,
              "Error when running QEN & Http streaming: http streaming process quit unexpected");
    EXPECT_TRUE(root.manager().is_running(child::media_server));
    EXPECT_FALSE(root.manager().is_running(child::http_streaming));
    root.running_ready();
}

TEST(ProcessManager, StopsInOrderQenByItsEventTheOthersBySigterm) {
    stand_in_root root;
    std::string error;
    ASSERT_TRUE(root.start_all(error)) << error;
    auto pids = root.running_ready();
    ASSERT_EQ(pids.size(), 4u);
    const auto stop_lines = [&] {
        std::vector<std::string> stops;
        for (const auto& line : root.log_lines()) {
            if (line.rfind("stop", 0) == 0) {
                stops.push_back(line);
            }
        }
        return stops;
    };
    const auto line = [&](const char* how, child which) {
        return std::string(how) + " " + std::to_string(pids.at(which));
    };

    root.manager().stop_media_services();
    EXPECT_EQ(stop_lines(), (std::vector<std::string>{line("stop-event", child::media_server),
                                                      line("stop-term", child::http_streaming)}));
    EXPECT_TRUE(root.manager().is_running(child::mysql));
    EXPECT_TRUE(root.manager().is_running(child::web_admin));
    EXPECT_FALSE(root.manager().is_running(child::media_server));
    EXPECT_FALSE(root.manager().is_running(child::http_streaming));

    ASSERT_TRUE(root.manager().start_media_services(error)) << error;
    pids = root.running_ready();
    ASSERT_EQ(pids.size(), 4u);
    {
        std::lock_guard<std::mutex> lock(root.lock());
        root.manager().stop_all();
    }
    const auto stops = stop_lines();
    ASSERT_EQ(stops.size(), 6u);
    EXPECT_EQ(
        std::vector<std::string>(stops.begin() + 2, stops.end()),
        (std::vector<std::string>{
            line("stop-term", child::web_admin), line("stop-term", child::mysql),
            line("stop-term", child::http_streaming), line("stop-event", child::media_server)}));
    for (const child which : all_children) {
        EXPECT_FALSE(root.manager().is_running(which));
    }
}

TEST(ProcessManager, ChildIgnoringItsStopIsKilledAfterTheBoundWithItsWorker) {
    const bounds b{.stop_bound = 1000ms};
    stand_in_root root(b);
    root.behave("apache", "stream.conf ignore-term fork-worker");
    std::string error;
    ASSERT_TRUE(root.start_all(error)) << error;
    const auto pids = root.running_ready();
    const pid_t streaming = pids.at(child::http_streaming);
    ASSERT_EQ(platform::testing::live_processes_in_group(streaming).size(), 2u);

    const auto began = std::chrono::steady_clock::now();
    root.manager().stop_media_services();
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, b.stop_bound);
    EXPECT_LT(took, b.stop_bound + 20s);
    EXPECT_TRUE(platform::testing::wait_group_gone(streaming, 30s));
    EXPECT_FALSE(root.manager().is_running(child::http_streaming));
}

TEST(ProcessManager, QenWithoutItsEventYetStopsBySigterm) {
    // A bound long enough that only SIGTERM can make the stop quick.
    stand_in_root root({.stop_bound = 60s});
    root.behave("qen", "* run");
    std::string error;
    ASSERT_TRUE(root.start_all(error)) << error;
    const pid_t qen = root.running_ready().at(child::media_server);

    const auto began = std::chrono::steady_clock::now();
    root.manager().stop_media_services();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
    EXPECT_TRUE(root.wait_logged("stop-term", qen));
}

TEST(ProcessManager, DeadChildFreesItsSlotForANewStart) {
    for (const child which : {child::media_server, child::http_streaming}) {
        stand_in_root root;
        root.behave("apache", "stream.conf fork-worker");
        std::string error;
        ASSERT_TRUE(root.start_all(error)) << error;
        const pid_t dead = root.running_ready().at(which);

        ASSERT_EQ(::kill(dead, SIGKILL), 0);
        ASSERT_TRUE(lumo_test::wait_not_running(root.manager(), which));
        EXPECT_TRUE(platform::testing::wait_group_gone(dead, 30s)) << "its worker is left";
        int status = 0;
        EXPECT_EQ(::waitpid(dead, &status, WNOHANG), -1) << "not reaped";
        // A killed qen cannot remove its shutdown event; the manager does.
        sem_t* stale = sem_open(("/qen_shutdown_" + std::to_string(dead)).c_str(), 0);
        EXPECT_EQ(stale, SEM_FAILED);
        if (stale != SEM_FAILED) {
            sem_close(stale);
        }

        ASSERT_TRUE(root.manager().start_media_services(error)) << error;
        const pid_t restarted = root.pid(which);
        EXPECT_NE(restarted, dead);
        root.running_ready();
    }
}

TEST(ProcessManager, DestructorEndsFourStubbornChildrenWithinFourBounds) {
    const bounds b{.stop_bound = 1000ms};
    stand_in_root root(b);
    root.behave("mysql", "* ignore-term fork-worker");
    root.behave("apache", "* ignore-term fork-worker");
    root.behave("qen", "* ignore-term");
    std::string error;
    ASSERT_TRUE(root.start_all(error)) << error;
    ASSERT_EQ(root.running_ready().size(), 4u);

    const auto began = std::chrono::steady_clock::now();
    root.destroy_manager();
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, 4 * b.stop_bound);
    EXPECT_LT(took, 4 * b.stop_bound + 20s);
}

TEST(ProcessManager, RootMustBeAFolder) {
    platform::testing::temp_dir dir;
    write_file(dir / "file", "");
    struct root_case {
        const char* name;
        std::string lumo;
        std::string error;
    } cases[] = {
        {"no root", "", "lumo configuration bad, no config.lumo.path"},
        {"missing", "<path>" + (dir / "missing").string() + "</path>",
         "lumo configuration bad, config.lumo.path is bad"},
        {"a file", "<path>" + (dir / "file").string() + "</path>",
         "lumo configuration bad, config.lumo.path is bad"},
        {"empty", "<path></path>", "lumo configuration bad, config.lumo.path is bad"},
    };
    for (const auto& c : cases) {
        lumo_test::write_config(dir / "lumo.xml", "", {{{"localhost"}, dir.path().string(), {}}},
                                c.lumo);
        const qen::qen_config config(dir / "lumo.xml");
        std::mutex lock;
        try {
            lumo::lumo_proc_mgr manager(config, lock);
            ADD_FAILURE() << c.name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.error) << c.name;
        }
    }
}

}  // namespace
