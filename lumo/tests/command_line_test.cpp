// The lumo program's service commands against a unit folder and a systemctl
// of the test's: a script that records its arguments and fails when told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/tests/lumo_program_support.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_test;
using platform::testing::read_file;
using platform::testing::write_file;

const std::string usage_text =
    "Usage: lumo install config_file_path\nlumo remove\nlumo start\nlumo stop\n";
const std::string unit_name = "lumo_service.service";

// The unit `install` writes for a command line already quoted.
std::string unit_for(const std::string& exec_start) {
    return "[Unit]\n"
           "Description=Brisa Media Streaming Service\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           exec_start +
           "\n"
           "KillMode=mixed\n"
           "TimeoutStopSec=120\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// A folder for the units, a systemctl that appends its arguments to a file
// and exits 3 when its first argument is FAIL_ON's value, and a working
// folder with a space, "%", "$", a quote and a backslash in its name.
class service_manager {
  public:
    service_manager() {
        fs::create_directories(units_);
        fs::create_directories(work_);
        write_file(systemctl_,
                   "#!/bin/sh\n"
                   "echo \"$*\" >> \"$0.calls\"\n"
                   "[ \"$1\" = \"$FAIL_ON\" ] && exit 3\n"
                   "exit 0\n");
        fs::permissions(systemctl_, fs::perms(0755));
    }

    struct outcome {
        int exit_code;
        std::string err;
    };

    outcome lumo(const std::vector<std::string>& arguments, const std::string& fail_on = "",
                 const fs::path& unit_dir = {}) {
        std::vector<std::string> argv{LUMO_PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        platform::testing::spawn_options options;
        options.working_dir = work_;
        options.set_env = {{"LUMO_UNIT_DIR", (unit_dir.empty() ? units_ : unit_dir).string()},
                           {"LUMO_SYSTEMCTL", systemctl_.string()},
                           {"FAIL_ON", fail_on}};
        const auto result = platform::testing::run(argv, 60s, options);
        EXPECT_EQ(result.out, "");
        return {result.exit_code, result.err};
    }

    std::vector<std::string> calls() const {
        return lines_of(read_file(systemctl_.string() + ".calls"));
    }
    fs::path unit_file() const { return units_ / unit_name; }
    const fs::path& work() const { return work_; }
    const fs::path& dir() const { return dir_.path(); }

  private:
    platform::testing::temp_dir dir_;
    fs::path units_ = dir_ / "units";
    fs::path work_ = dir_ / "a b%c$d\"e\\f";
    fs::path systemctl_ = dir_ / "systemctl";
};

TEST(LumoCommandLine, InstallWritesTheUnitWithAbsolutePathsThenReloadsAndEnables) {
    service_manager manager;
    const auto result = manager.lumo({"install", "conf/lumo.xml"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // The build folder's path is quoted as it is: it has none of the
    // characters that need escaping.
    ASSERT_EQ(std::string(LUMO_PROGRAM).find_first_of("\"\\%$"), std::string::npos);
    const std::string config = manager.dir().string() + "/a b%%c$$d\\\"e\\\\f/conf/lumo.xml";
    EXPECT_EQ(read_file(manager.unit_file()),
              unit_for("\"" + std::string(LUMO_PROGRAM) + "\" \"run\" \"" + config + "\""));
    EXPECT_EQ(manager.calls(), (std::vector<std::string>{"daemon-reload", "enable " + unit_name}));
}

TEST(LumoCommandLine, CommandsCallSystemctlAndFailuresGiveTheirReason) {
    struct command_case {
        const char* name;
        std::vector<std::string> arguments;
        const char* fail_on;
        bool unit_before;  // a unit file is there before the command
        int exit_code;
        std::string err;  // "" or the two lines of a failure
        std::vector<std::string> calls;
        bool unit_after;
    };
    const std::string reload = "daemon-reload";
    const command_case cases[] = {
        {"remove",
         {"remove"},
         "",
         true,
         0,
         "",
         {"stop " + unit_name, "disable " + unit_name, reload},
         false},
        {"remove of a stopped service",
         {"remove"},
         "stop",
         true,
         0,
         "",
         {"stop " + unit_name, "disable " + unit_name, reload},
         false},
        {"remove, refused",
         {"remove"},
         "disable",
         true,
         1,
         "Remove service failed.\n<systemctl> disable " + unit_name + " failed with exit code 3\n",
         {"stop " + unit_name, "disable " + unit_name},
         true},
        {"start", {"start"}, "", true, 0, "", {"start " + unit_name}, true},
        {"start, refused",
         {"start"},
         "start",
         true,
         1,
         "Start service failed.\n<systemctl> start " + unit_name + " failed with exit code 3\n",
         {"start " + unit_name},
         true},
        {"stop", {"stop"}, "", true, 0, "", {"stop " + unit_name}, true},
        {"stop, refused",
         {"stop"},
         "stop",
         true,
         1,
         "Stop service failed.\n<systemctl> stop " + unit_name + " failed with exit code 3\n",
         {"stop " + unit_name},
         true},
        {"install, enable refused",
         {"install", "lumo.xml"},
         "enable",
         false,
         1,
         "Install service failed.\n<systemctl> enable " + unit_name + " failed with exit code 3\n",
         {reload, "enable " + unit_name},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service_manager manager;
        if (c.unit_before) {
            write_file(manager.unit_file(), "[Unit]\n");
        }
        const auto result = manager.lumo(c.arguments, c.fail_on);
        EXPECT_EQ(result.exit_code, c.exit_code);
        std::string err = c.err;
        if (const auto at = err.find("<systemctl>"); at != std::string::npos) {
            err.replace(at, 11, (manager.dir() / "systemctl").string());
        }
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(manager.calls(), c.calls);
        EXPECT_EQ(fs::exists(manager.unit_file()), c.unit_after);
    }
}

TEST(LumoCommandLine, AUnitThatCannotBeWrittenIsNeitherWrittenNorLoaded) {
    struct refusal_case {
        const char* name;
        std::string config_path;
        bool units_folder_is_a_file;
        std::string reason_holds;
    };
    const refusal_case cases[] = {
        {"a line break in the path", "conf\n[Service]\nUser=nobody.xml", false,
         "would add a line to the unit"},
        {"another control character", std::string("conf\x1b.xml"), false,
         "would add a line to the unit"},
        {"a unit folder that is a file", "lumo.xml", true, "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service_manager manager;
        const fs::path units = manager.dir() / "not-a-folder";
        write_file(units, "");
        const auto result = manager.lumo({"install", c.config_path}, "",
                                         c.units_folder_is_a_file ? units : fs::path());
        EXPECT_EQ(result.exit_code, 1);
        const auto lines = lines_of(result.err);
        ASSERT_EQ(lines.size(), 2u) << result.err;
        EXPECT_EQ(lines[0], "Install service failed.");
        EXPECT_NE(lines[1].find(c.reason_holds), std::string::npos) << lines[1];
        EXPECT_EQ(manager.calls(), std::vector<std::string>{});
        EXPECT_EQ(platform::testing::folder_entries(manager.dir() / "units"),
                  std::vector<std::string>{});
    }
}

TEST(LumoCommandLine, BadCommandLinesGetTheUsageAndChangeNothing) {
    const std::vector<std::string> cases[] = {
        {},
        {"help"},
        {"Install", "lumo.xml"},
        {"EMBED", "lumo.xml"},
        {"install"},
        {"install", ""},
        {"install", "a.xml", "b.xml"},
        {"run"},
        {"run", "a.xml", "b.xml"},
        {"embed"},
        {"embed", "a.xml", "b.xml"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0] + " ...");
        service_manager manager;
        const auto result = manager.lumo(arguments);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.err, usage_text);
        EXPECT_EQ(manager.calls(), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(manager.unit_file()));
    }
}

}  // namespace
