#include "lumo/configuration_editor.hpp"

#include <sys/statvfs.h>

#include <boost/property_tree/xml_parser.hpp>

#include <array>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "foundation/file_name.hpp"
#include "lumo/channel_files.hpp"
#include "lumo/config_checks.hpp"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using boost::property_tree::ptree;

const std::string dirs_failed = "EXCEPTION:Exception occurs when getVirtualDirs: ";
const std::string settings_failed = "EXCEPTION:Exception occurs when updateSetting: ";
const std::string bad_local_path = "BAD_PARAM:Bad local path for the virtual directory";
const std::string bad_domain_name = "BAD_PARAM:Bad domain name";
const std::string root_key = "config.lumo.path";

// The settings the administration site edits, with the defaults it shows
// for keys the configuration lacks.
constexpr std::array<std::pair<const char*, const char*>, 17> settings_table = {{
    {"config.qen.app_max_idle_time", "60"},
    {"config.qen.app_update_interval", "60"},
    {"config.qen.idle_timeout", "60"},
    {"config.qen.rtmp.addr", "0.0.0.0"},
    {"config.qen.rtmp.port", "1935"},
    {"config.qen.rtmp.disabled", "0"},
    {"config.qen.rtmfp.disabled", "0"},
    {"config.qen.rtmfp.port", "1935"},
    {"config.qen.rtmfp.detect_nat_port1", "1936"},
    {"config.qen.rtmfp.detect_nat_port2", "1937"},
    {"config.qen.rtmfp.max_sessions_per_ip", "256"},
    {"config.qen.rtmfp.max_groups_per_session", "1000"},
    {"config.lumo.http_streaming_port", "8083"},
    {"config.lumo.server_admin_ipc_port", "8084"},
    {"config.lumo.web_admin_port", "8085"},
    {"config.lumo.web_admin_ssl_port", "8086"},
    {"config.lumo.mysql_port", "8087"},
}};

// The folders every virtual directory holds, with what a failure to make
// one is reported as.
struct media_folder {
    const char* name;
    const char* failure;
};
constexpr media_folder media_folders[] = {
    {"live", "IO_ERROR:Can't create live folder"},
    {"vod", "IO_ERROR:Can't create vod folder"},
};

// Nobody publishes into a media folder unless a channel below allows it;
// in "vod" no channel may, so recordings there are never overwritten.
ptree media_folder_settings(std::string_view folder) {
    ptree settings;
    settings.put("config.qen_app.allow_publish", "0");
    settings.put("config.qen_app.allow_play", "1");
    if (folder == "vod") {
        settings.put("config.qen_app.allow_publish.allow_override", "0");
    }
    return settings;
}

// The virtual directory's own folder takes no publisher: publishing there,
// or into any folder below that is not a channel, would record into the
// folders the administration site manages. Settings a file there already
// has stay, but none keeps the channels below from publishing.
ptree virtual_dir_settings(const fs::path& folder) {
    const fs::path file = folder / ".flaccess";
    ptree settings;
    if (anything_at(file)) {
        try {
            settings = read_settings_file(file);
        } catch (const boost::property_tree::xml_parser_error&) {
            // The media server takes such a file for no settings at all.
        }
    }
    settings.put("config.qen_app.allow_publish", "0");
    settings.get_child("config.qen_app.allow_publish").erase("allow_override");
    return settings;
}

bool has_space_or_control_character(std::string_view text) {
    return text.find(' ') != std::string_view::npos || has_control_character(text);
}

// A virtual directory's name is an unquoted word of the web server's
// configuration, and its path a quoted one.
bool is_local_path_text(std::string_view path) {
    return !path.empty() && !has_control_character(path) &&
           path.find_first_of("\"\\") == std::string_view::npos;
}

// An XML element name without a namespace prefix: a letter or "_", then
// letters, digits, "_" or "-"; bytes of UTF-8 characters are taken as
// letters. No "." either: in a key it separates the names.
bool is_element_name(std::string_view name) {
    const auto is_letter = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
    };
    if (name.empty() || !is_letter(static_cast<unsigned char>(name.front()))) {
        return false;
    }
    for (const char c : name.substr(1)) {
        const auto byte = static_cast<unsigned char>(c);
        if (!is_letter(byte) && !(byte >= '0' && byte <= '9') && byte != '-') {
            return false;
        }
    }
    return true;
}

// "config" and one or more element names: a key that the writer turns into
// elements of the one root, and the reader finds again.
bool is_setting_key(std::string_view key) {
    constexpr std::string_view root = "config.";
    if (!key.starts_with(root) || key.size() == root.size()) {
        return false;
    }
    for (const auto name : std::views::split(key.substr(root.size()), '.')) {
        if (!is_element_name(std::string_view(name.begin(), name.end()))) {
            return false;
        }
    }
    return true;
}

// "BAD_PARAM:" and the reason when either program would not start with a
// file holding the changed configuration.
std::optional<std::string> refusal_to_start(const ptree& changed) {
    try {
        check_startable(changed);
        return std::nullopt;
    } catch (const std::exception& e) {
        return "BAD_PARAM:" + std::string(e.what());
    }
}

// What can stand as a host name in the web server's configuration and the
// access files that name it.
bool is_host_name_text(std::string_view name) {
    return !name.empty() && name.size() <= 253 && !has_space_or_control_character(name) &&
           name.find_first_of("\"'<>\\/%") == std::string_view::npos;
}

}  // namespace

configuration_editor::configuration_editor(qen::qen_config& config, std::mutex& config_lock)
    : config_(config), config_lock_(config_lock) {
    std::lock_guard lock(config_lock_);
    domain_ = served_domain(config_);
}

std::optional<std::string> configuration_editor::served_domain_name() const {
    for (const auto& name : domain_->names) {
        const auto found = config_.domains().find(name);
        if (found != config_.domains().end() && found->second == domain_) {
            return name;
        }
    }
    return std::nullopt;
}

bool configuration_editor::getVirtualDirs(std::vector<string_map>& dirs, std::string& error) {
    try {
        std::map<std::string, std::string> table;
        {
            // A copy, so that no file system is asked under the lock.
            std::lock_guard lock(config_lock_);
            table = domain_->virtual_dirs;
        }
        dirs.reserve(table.size());
        for (const auto& [name, path] : table) {
            string_map dir = {{"virtualDir", name}, {"localPath", path}};
            struct statvfs volume {};
            if (::statvfs(path.c_str(), &volume) == 0) {
                dir["leftSize"] =
                    std::to_string(static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize);
            }
            dirs.push_back(std::move(dir));
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, dirs_failed + e.what());
    }
}

bool configuration_editor::addVirtualDir(const std::string& name, const std::string& local_path,
                                         std::string& error) {
    std::lock_guard lock(config_lock_);
    try {
        // The name becomes a path segment of every channel under it and a
        // word of the web server's configuration.
        if (!is_valid_file_name(name)) {
            return fail(error, dirs_failed + "The name is not a valid file name");
        }
        if (has_space_or_control_character(name)) {
            return fail(error, dirs_failed + "The name holds a space or a control character");
        }
        if (domain_->virtual_dirs.contains(name)) {
            return fail(error, "BAD_PARAM:Duplicated virtual directory");
        }
        if (!is_local_path_text(local_path)) {
            return fail(error, bad_local_path);
        }
        const fs::path path = fs::absolute(local_path);
        std::error_code ignored;
        if (!fs::exists(path, ignored)) {
            return fail(error, bad_local_path);
        }

        const auto served = served_domain_name();
        if (!served) {
            return fail(error, "EXCEPTION:Unexpected error when calling addVirtualDir");
        }
        qen::qen_config trial(qen::qen_config::from_tree{}, config_.tree());
        trial.store_domains(*served, name, path.string());
        if (auto refusal = refusal_to_start(trial.tree())) {
            return fail(error, std::move(*refusal));
        }

        const ptree own_settings = virtual_dir_settings(path);
        // Both are looked at before either is made.
        for (const auto& folder : media_folders) {
            const fs::path dir = path / folder.name;
            if (anything_at(dir) && !fs::is_directory(dir, ignored)) {
                return fail(error, folder.failure);
            }
        }
        for (const auto& folder : media_folders) {
            const fs::path dir = path / folder.name;
            std::error_code made;
            fs::create_directory(dir, made);
            if (made || !fs::is_directory(dir, ignored)) {
                return fail(error, folder.failure);
            }
        }
        // Made now or there before: either way the rules apply from now on.
        for (const auto& folder : media_folders) {
            write_settings_file(path / folder.name / ".flaccess",
                                media_folder_settings(folder.name));
        }
        write_settings_file(path / ".flaccess", own_settings);

        if (!config_.store_domains(*served, name, path.string())) {
            return fail(error, "EXCEPTION:Unexpected error when calling addVirtualDir");
        }
        // Unsaved, the directory would be gone at the next start and the
        // media server would never serve it.
        std::string reason;
        if (!config_.save(reason)) {
            return fail(error, dirs_failed + reason);
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, dirs_failed + e.what());
    }
}

bool configuration_editor::updateSetting(const std::string& key, const std::string& value,
                                         std::string& error) {
    std::lock_guard lock(config_lock_);
    try {
        if (!is_setting_key(key)) {
            return fail(error, settings_failed + "Bad setting key");
        }
        // Values reach the rendered configurations of the other servers.
        if (has_control_character(value)) {
            return fail(error, settings_failed + "The value holds a control character");
        }
        // The programs the supervisor starts come from under the root, and
        // it may run as root: only the installer or the file itself moves it.
        if (key == root_key || key.starts_with(root_key + ".")) {
            return fail(error,
                        "BAD_PARAM:" + root_key + " is not changed over the administration port");
        }
        // Tried on a copy first: a change that would keep either program
        // from starting (a port that is no number, say) never reaches the
        // file, whose next start would then fail.
        ptree changed = config_.tree();
        changed.put(key, value);
        if (auto refusal = refusal_to_start(changed)) {
            return fail(error, std::move(*refusal));
        }
        config_.tree() = std::move(changed);
        if (!config_.save()) {
            error.clear();
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, settings_failed + e.what());
    }
}

bool configuration_editor::get_settings(string_map& settings, std::string& error) {
    std::lock_guard lock(config_lock_);
    try {
        for (const auto& [key, fallback] : settings_table) {
            settings[key] = config_.tree().get<std::string>(key, fallback);
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, settings_failed + e.what());
    }
}

bool configuration_editor::set_domain_name(const std::string& name, std::string& error) {
    std::lock_guard lock(config_lock_);
    try {
        if (!is_host_name_text(name)) {
            return fail(error, bad_domain_name);
        }
        // Another domain's name would take this one's visitors, or give
        // this one's to the other.
        const auto holder = config_.domains().find(qen::to_lower_ascii(name));
        if (holder != config_.domains().end() && holder->second != domain_) {
            return fail(error, bad_domain_name);
        }
        const auto served = served_domain_name();
        if (!served) {
            return fail(error, "EXCEPTION:The served domain is not in the configuration");
        }
        qen::qen_config trial(qen::qen_config::from_tree{}, config_.tree());
        trial.rename_domain(*served, name);
        if (auto refusal = refusal_to_start(trial.tree())) {
            return fail(error, std::move(*refusal));
        }
        config_.rename_domain(*served, name);
        std::string reason;
        if (!config_.save(reason)) {
            return fail(error, "EXCEPTION:" + reason);
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, std::string("EXCEPTION:") + e.what());
    }
}

}  // namespace lumo
