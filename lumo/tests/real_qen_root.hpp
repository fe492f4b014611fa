#pragma once

// An installation root made by scripts/lumo-root.sh around the real qen
// (the database and web servers left out: nothing here starts them), its
// configuration on an RTMP port of the test's with RTMFP off, and the
// channel manager on that configuration, as the administration port uses it.

#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "lumo/channel_manager.hpp"
#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/qen_config.hpp"

namespace lumo_test {

struct real_qen_root {
    platform::testing::temp_dir dir;
    std::filesystem::path root = dir / "root";
    std::filesystem::path config_file = root / "lumo.xml";
    unsigned short rtmp_port = platform::testing::free_port();
    std::unique_ptr<qen::qen_config> config;
    std::mutex config_lock;
    std::unique_ptr<lumo::lumo_channel_manager> channels;

    // Throws when the root cannot be made.
    explicit real_qen_root(const std::filesystem::path& qen) {
        std::filesystem::create_directories(root / "mysql/data");  // no database wanted
        make_root(root, {qen, "/bin/true", "/bin/true"});
        {
            qen::qen_config made(config_file);
            made.tree().put("config.qen.rtmp.addr", "127.0.0.1");
            made.tree().put("config.qen.rtmp.port", rtmp_port);
            made.tree().put("config.qen.rtmfp.disabled", "1");
            if (!made.save()) {
                throw std::runtime_error("the configuration was not saved");
            }
        }
        config = std::make_unique<qen::qen_config>(config_file);
        channels = std::make_unique<lumo::lumo_channel_manager>(*config, config_lock);
    }

    // rtmp://127.0.0.1:PORT/ followed by the application's path.
    std::string url(const std::string& app) const {
        return "rtmp://127.0.0.1:" + std::to_string(rtmp_port) + "/" + app;
    }
};

}  // namespace lumo_test
