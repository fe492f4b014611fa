#pragma once

// A supervisor's configuration on disk with one domain and its virtual
// directory "media", the channel manager built on it, and what the tests
// compare: file trees before and after, and what the media server reads.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/segment_writer.hpp"
#include "lumo/channel_manager.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_config.hpp"

namespace channel_testing {

namespace fs = std::filesystem;
using lumo::string_map;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;

inline std::string settings_xml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><qen_app>" + body +
           "</qen_app></config>";
}

// A recording of two seconds written by the segment writer: left live, as a
// publisher that went away leaves it, or ended as vod (only the marker and a
// vod index would be missing otherwise).
inline void record(const fs::path& dir, const std::string& name, bool end_as_vod = false) {
    segment_writer writer(dir, name, true, false);
    writer.on_video(0, std::vector<std::uint8_t>{0x17, 0, 0, 0, 0, 1, 0x64, 0, 0x1F});
    for (std::uint32_t t = 0; t <= 2000; t += 40) {
        writer.on_video(t, std::vector<std::uint8_t>{
                               static_cast<std::uint8_t>(t % 1000 == 0 ? 0x17 : 0x27), 1, 0, 0, 0});
    }
    if (end_as_vod) {
        writer.end_as_vod();
    }
}

struct channel_fixture {
    temp_dir dir;
    fs::path www = dir / "www";
    fs::path media = dir / "media";
    std::mutex config_lock;
    std::unique_ptr<qen::qen_config> config;
    std::unique_ptr<lumo::lumo_channel_manager> manager;

    // `lumo_section`: the inside of config.lumo.
    explicit channel_fixture(const std::string& lumo_section = "") {
        fs::create_directories(www);
        // The folders and settings a virtual directory is given when added:
        // publishing off below them unless a channel turns it on, and never
        // in the vod folder.
        fs::create_directories(media / "live");
        fs::create_directories(media / "vod");
        write_file(media / "live/.flaccess",
                   settings_xml("<allow_publish>0</allow_publish><allow_play>1</allow_play>"));
        write_file(media / "vod/.flaccess",
                   settings_xml("<allow_publish>0<allow_override>0</allow_override>"
                                "</allow_publish><allow_play>1</allow_play>"));
        write_file(dir / "broken", "a file where a virtual directory should be");
        const fs::path file = dir / "qen.xml";
        write_file(file,
                   "<config><qen><domains><domain><names><name>Example.com</name></names>"
                   "<path>" +
                       www.string() +
                       "</path><virtual_dirs>"
                       "<virtual_dir><name>media</name><path>" +
                       media.string() +
                       "</path></virtual_dir>"
                       "<virtual_dir><name>broken</name><path>" +
                       (dir / "broken").string() +
                       "</path></virtual_dir>"
                       "</virtual_dirs></domain></domains></qen><lumo>" +
                       lumo_section + "</lumo></config>");
        config = std::make_unique<qen::qen_config>(file);
        manager = std::make_unique<lumo::lumo_channel_manager>(*config, config_lock);
    }

    // Creates a channel (0 live, 1 vod) in "media" and returns its map.
    string_map create(int type, const std::string& name, string_map params = {}) {
        params["stream_name"] = name;
        string_map info;
        std::string error;
        EXPECT_TRUE(manager->create_channel(type, "media", params, info, error)) << error;
        EXPECT_EQ(error, "");
        return info;
    }

    // The application the media server builds for a path of this domain,
    // read afresh from the files.
    qen::app_ptr app_at(const std::string& path) const {
        qen::app_manager apps(config->domains(), config->default_domain(), 0, 60);
        return apps.resolve_app_path(*config->domains().begin()->second, path);
    }

    // The application a client's URL leads to, redirections followed.
    qen::app_ptr app_of_url(const std::string& path, std::string* final_path = nullptr) const {
        qen::app_manager apps(config->domains(), config->default_domain(), 0, 60);
        qen::url_parts context;
        auto app = apps.find_app_by_url("rtmp://example.com" + path, context);
        if (final_path != nullptr) {
            *final_path = context.path;
        }
        return app;
    }
};

// Every file and folder under a root with the bytes of each file: two equal
// snapshots mean nothing was created, removed or rewritten.
using tree_snapshot = std::map<std::string, std::string>;

inline tree_snapshot snapshot(const fs::path& root) {
    tree_snapshot tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        tree[name] = entry.is_directory() ? "<dir>" : read_file(entry.path());
    }
    return tree;
}

// The entries that were added, removed or rewritten since `before`.
inline std::vector<std::string> changes_since(const tree_snapshot& before, const fs::path& root) {
    const tree_snapshot after = snapshot(root);
    std::vector<std::string> changed;
    for (const auto& [name, content] : before) {
        const auto found = after.find(name);
        if (found == after.end()) {
            changed.push_back("removed " + name);
        } else if (found->second != content) {
            changed.push_back("changed " + name);
        }
    }
    for (const auto& [name, content] : after) {
        if (!before.contains(name)) {
            changed.push_back("added " + name);
        }
    }
    return changed;
}

}  // namespace channel_testing
