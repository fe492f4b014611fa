// A configuration the media server or the supervisor would refuse to start
// with is never saved: not by the administration port's updateSetting, not
// by the installer library's save_config_file. The supervisor then still
// starts from the file, so the administration site that would mend it is
// still served.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "lumo/tests/lumo_program_support.hpp"
#include "lumo_install/tests/installer_library.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_test;
using lumo_install_testing::library;
using platform::testing::read_file;

constexpr auto stop_bound = 60s;

struct refused_setting {
    std::string key;
    std::string value;
    std::string reason;  // a part of the refusal's reason
};

// Every one of these keeps one of the programs from starting, or one of the
// supervisor's children from having its configuration file rendered.
std::vector<refused_setting> refused_anywhere(const lumo_fixture& f) {
    const std::string not_a_port = " for the configuration files: not a port number";
    const std::string quoted =
        " for the configuration files: control character, '\"' or '\\' in its value";
    return {
        {"config.lumo.server_admin_ipc_port", "8o84",
         "lumo configuration bad, config.lumo.server_admin_ipc_port is not a port: 8o84"},
        {"config.lumo.server_admin_ipc_port", "65536",
         "config.lumo.server_admin_ipc_port is not a port: 65536"},
        {"config.lumo.server_admin_ipc_ip", "localhost",
         "config.lumo.server_admin_ipc_ip is not an IP address: localhost"},
        {"config.lumo.web_admin_port", "99999", "Refused config.lumo.web_admin_port" + not_a_port},
        {"config.lumo.mysql_port", "0", "Refused config.lumo.mysql_port" + not_a_port},
        {"config.lumo.http_streaming_port", "80 80",
         "Refused config.lumo.http_streaming_port" + not_a_port},
        {"config.lumo.web_admin_ssl_port", "", "Refused config.lumo.web_admin_ssl_port"},
        {"config.lumo.mysql_password", "pass\"word", "Refused config.lumo.mysql_password" + quoted},
        {"config.qen.rtmp.port", "port", "config.qen.rtmp.port"},
        {"config.qen.rtmfp.port", "-1", "config.qen.rtmfp.port"},
        {"config.qen.rtmfp.detect_nat_port2", "70000",
         "config.qen.rtmfp.detect_nat_port2 is not a port from 1 to 65535: 70000"},
        {"config.qen.idle_timeout", "-1",
         "config.qen.idle_timeout is not a time from 0 to 2147483647: -1"},
        {"config.qen.domains.domain.path", "", "Domain path is not set"},
        {"config.qen.domains.domain.virtual_dirs.virtual_dir.name", "two words",
         "virtual directory name \"two words\""},
        {"config.qen.domains.domain.virtual_dirs.virtual_dir.path", f.media().string() + "\"",
         "path of virtual directory \"media\""},
    };
}

struct config_deleter {
    void operator()(lumo_config* config) const { library().delete_config(config); }
};
using config_handle = std::unique_ptr<lumo_config, config_deleter>;

config_handle load(const fs::path& file) {
    return config_handle(library().load_config_file(file.string().c_str()));
}

void expect_lumo_starts(lumo_fixture& f) {
    f.start();
    f.wait_started();
}

TEST(StartableSettings, WhatEitherProgramWouldRefuseIsNeverSaved) {
    lumo_fixture f;
    const std::string original = read_file(f.config_file());

    // The installer's library: every such change fails to save and leaves
    // the file as it was. The root moves only this way, and only to a path
    // the configuration files can hold.
    std::vector<refused_setting> through_library = refused_anywhere(f);
    through_library.push_back({"config.lumo.path", "", "config.lumo.path is bad"});
    through_library.push_back({"config.lumo.path", f.root().string() + "\"",
                               "Refused config.lumo.path for the configuration files"});
    for (const auto& c : through_library) {
        SCOPED_TRACE(c.key + " = " + c.value);
        const auto config = load(f.config_file());
        ASSERT_NE(config, nullptr);
        library().set_config(config.get(), c.key.c_str(), c.value.c_str());
        EXPECT_FALSE(library().save_config_file(config.get()));
        EXPECT_EQ(read_file(f.config_file()), original);
    }
    expect_lumo_starts(f);

    // The administration port: refused with the reason, nothing saved, and
    // nothing kept in the loaded configuration either.
    auto admin = f.logged_in_client();
    const auto settings_before = admin->call<rpc::string_map>(17).result;
    std::vector<refused_setting> over_the_port = refused_anywhere(f);
    const std::string root_is_fixed =
        "config.lumo.path is not changed over the administration port";
    over_the_port.push_back({"config.lumo.path", f.dir().string(), root_is_fixed});
    over_the_port.push_back({"config.lumo.path.x", "1", root_is_fixed});
    for (const auto& c : over_the_port) {
        SCOPED_TRACE(c.key + " = " + c.value);
        const auto reply = admin->call<bool>(16, c.key, c.value);
        ASSERT_EQ(reply.status, rpc::call_status::success);
        EXPECT_FALSE(reply.result);
        EXPECT_TRUE(reply.error.starts_with("BAD_PARAM:")) << reply.error;
        EXPECT_NE(reply.error.find(c.reason), std::string::npos) << reply.error;
        EXPECT_EQ(read_file(f.config_file()), original);
    }
    EXPECT_EQ(admin->call<rpc::string_map>(17).result, settings_before);

    // What both programs take is still saved, both ways.
    const auto reply =
        admin->call<bool>(16, std::string("config.lumo.mysql_port"), std::string("8090"));
    EXPECT_TRUE(reply.result) << reply.error;
    admin.reset();
    f.program().signal(SIGTERM);
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0) << f.program().stderr_text();
    const auto config = load(f.config_file());
    ASSERT_NE(config, nullptr);
    library().set_config(config.get(), "config.lumo.web_admin_port", "8091");
    EXPECT_TRUE(library().save_config_file(config.get()));
    const std::string saved = read_file(f.config_file());
    EXPECT_NE(saved.find("<mysql_port>8090</mysql_port>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<web_admin_port>8091</web_admin_port>"), std::string::npos) << saved;
    expect_lumo_starts(f);
}

}  // namespace
