#include "lumo/channel_manager.hpp"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "foundation/buffer.hpp"
#include "foundation/crypto.hpp"
#include "foundation/file_name.hpp"
#include "foundation/replace_file.hpp"
#include "foundation/segment_index.hpp"
#include "foundation/unique_fd.hpp"
#include "lumo/channel_files.hpp"
#include "lumo/config_checks.hpp"
#include "lumo/text_conversions.hpp"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using boost::property_tree::ptree;

constexpr const char* settings_file = ".flaccess";
constexpr const char* default_notice = "Input play password and leave user name empty";

const std::string creating_failed = "EXCEPTION:Exception occurs when creating the channel: ";
const std::string updating_failed = "EXCEPTION:Exception occurs when updating the channel: ";

bool has_settings(const std::string& directory) {
    return anything_at(fs::path(directory) / settings_file);
}

// A value bound for the settings file that would make it unreadable, or
// carry lines into an access file. Empty when the value may be written.
std::string refusal_of_text(const string_map& values, const char* key) {
    const auto found = values.find(key);
    if (found != values.end() && has_control_character(found->second)) {
        return std::string(key) + " holds a control character";
    }
    return {};
}

// "/" and segments that are each a valid file name: what the media server
// follows as a redirection within its domain.
bool is_virtual_path(std::string_view text) {
    if (text.empty() || text.front() != '/' || has_control_character(text)) {
        return false;
    }
    text.remove_prefix(1);
    for (;;) {
        const std::size_t end = text.find('/');
        if (!is_valid_file_name(text.substr(0, end))) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(end + 1);
    }
}

std::string refusal_of_changes(const string_map& changes) {
    for (const char* key : {"play_password", "publish_password", "app_redirection"}) {
        if (auto refusal = refusal_of_text(changes, key); !refusal.empty()) {
            return refusal;
        }
    }
    const auto redirection = changes.find("app_redirection");
    if (redirection != changes.end() && !redirection->second.empty() &&
        !is_virtual_path(redirection->second)) {
        return "app_redirection is not a virtual path";
    }
    return {};
}

void remove_if_present(const fs::path& file) {
    std::error_code error;
    fs::remove(file, error);
    if (error) {
        throw fs::filesystem_error("Can't remove file", file, error);
    }
}

// The folders a channel's creation makes and the files it writes in them,
// taken away again unless the creation completes: a channel directory left
// without its settings could be neither made again nor changed nor
// deleted. Nothing that was there before goes.
class channel_creation {
  public:
    explicit channel_creation(const fs::path& directory) : directory_(directory) {
        for (fs::path folder = directory; !folder.empty() && !anything_at(folder);
             folder = folder.parent_path()) {
            made_.push_back(folder);
            if (folder == folder.parent_path()) {
                break;
            }
        }
    }
    ~channel_creation() {
        if (completed_ || made_.empty()) {
            return;
        }
        std::error_code ignored;
        for (const char* file : {".htaccess", ".htpasswd", settings_file}) {
            fs::remove(directory_ / file, ignored);
        }
        for (const fs::path& folder : made_) {  // innermost first
            fs::remove(folder, ignored);
        }
    }
    channel_creation(const channel_creation&) = delete;
    channel_creation& operator=(const channel_creation&) = delete;

    void complete() { completed_ = true; }

  private:
    fs::path directory_;
    std::vector<fs::path> made_;
    bool completed_ = false;
};

std::uint32_t seconds_since_1970() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

}  // namespace

string_map channel_info(const std::string& virtual_path, const channel_location& channel) {
    return {
        {"virtualPath", virtual_path},       {"localPath", channel.local_dir},
        {"streamName", channel.stream_name}, {"type", channel.type},
        {"virtualDir", channel.virtual_dir},
    };
}

lumo_channel_manager::lumo_channel_manager(qen::qen_config& config, std::mutex& config_lock)
    : config_(config), config_lock_(config_lock) {
    std::lock_guard lock(config_lock_);
    domain_ = served_domain(config_);
    authentication_notice_ = utf8_to_ansi(
        config_.tree().get<std::string>("config.lumo.authentication_notice", default_notice));
}

std::string lumo_channel_manager::hashed_path(std::string_view stream_name) {
    const sha256_digest digest =
        sha256({{reinterpret_cast<const std::uint8_t*>(stream_name.data()), stream_name.size()}});
    buffer_reader in(digest.data(), digest.size());
    std::uint32_t w[8];
    for (auto& word : w) {
        word = in.read_u32();  // little-endian
    }
    const std::uint32_t l1 = (w[0] ^ w[2] ^ w[4] ^ w[6]) & 63;
    const std::uint32_t l2 = (w[1] ^ w[3] ^ w[5] ^ w[7]) & 63;
    // Three words, not two.
    const std::uint32_t l3 = (w[2] ^ w[4] ^ w[6]) & 63;
    return std::to_string(l1) + "/" + std::to_string(l2) + "/" + std::to_string(l3);
}

std::optional<std::string> lumo_channel_manager::resolve_virtual_dir(const std::string& name) {
    std::lock_guard lock(config_lock_);
    const auto found = domain_->virtual_dirs.find(name);
    if (found == domain_->virtual_dirs.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<channel_location> lumo_channel_manager::parse_virtual_path(
    const std::string& virtual_path) {
    if (virtual_path.empty() || virtual_path.front() != '/' || virtual_path.back() == '/' ||
        virtual_path.back() == '\\') {
        return std::nullopt;
    }
    // No channel is made with such a name, and its directory would carry
    // them into the access files.
    if (has_control_character(virtual_path)) {
        return std::nullopt;
    }
    const std::size_t after_dir = virtual_path.find('/', 1);
    if (after_dir == std::string::npos || after_dir == 1) {
        return std::nullopt;
    }
    channel_location channel;
    channel.virtual_dir = virtual_path.substr(1, after_dir - 1);
    const auto local_path = resolve_virtual_dir(channel.virtual_dir);
    if (!local_path) {
        return std::nullopt;
    }

    const auto segments = valid_path_segments(virtual_path);
    if (!segments || segments->size() < 3) {
        return std::nullopt;
    }
    channel.type = (*segments)[1];
    channel.stream_name = segments->back();
    channel.local_dir = *local_path + virtual_path.substr(after_dir);
    return channel;
}

bool lumo_channel_manager::lock_channel(const std::string& stream_name,
                                        const std::string& directory, channel_lock& lock,
                                        std::string& error) {
    // Opened even when no publisher has made the file yet: holding it keeps
    // a publisher from starting while the channel changes.
    auto file =
        std::make_unique<exclusive_ofstream>(fs::path(directory) / (stream_name + ".locked"));
    if (!*file) {
        return fail(error, "CHANNEL_IS_LOCKED:The channel is locked by other process");
    }
    lock.file_ = std::move(file);
    return true;
}

bool lumo_channel_manager::write_stopped_marker(const std::string& stream_name,
                                                const std::string& directory, bool create) {
    const fs::path marker = segment_dir_path(fs::path(directory) / stream_name, ".stopped");
    if (anything_at(marker)) {
        return true;
    }
    if (!create) {
        return false;
    }
    const unique_fd file(::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!file) {
        throw fs::filesystem_error("Can't create the stop marker", marker,
                                   std::error_code(errno, std::generic_category()));
    }
    return true;
}

void lumo_channel_manager::write_htaccess(const std::string& directory) {
    replace_access_files(
        directory,
        access_files_for(directory, read_settings_file(fs::path(directory) / settings_file)));
}

access_files lumo_channel_manager::access_files_for(const std::string& directory,
                                                    const ptree& settings) const {
    // A path, so the bytes of the folder's name: UTF-8, whatever the
    // legacy charset (the notice is text for people, in that charset).
    const std::string directory_text = fs::absolute(directory).lexically_normal().string();
    return make_access_files(settings, directory_text, authentication_notice_);
}

void lumo_channel_manager::replace_access_files(const std::string& directory,
                                                const access_files& files) {
    const fs::path dir(directory);
    if (!files.htpasswd.empty()) {
        replace_file(dir / ".htpasswd", files.htpasswd);
    }
    if (!files.htaccess.empty()) {
        replace_file(dir / ".htaccess", files.htaccess);
    } else {
        remove_if_present(dir / ".htaccess");
    }
    // Only once the new rules no longer name it.
    if (files.htpasswd.empty()) {
        remove_if_present(dir / ".htpasswd");
    }
}

bool lumo_channel_manager::create_channel(std::int32_t type, const std::string& virtual_dir,
                                          const string_map& params, string_map& info,
                                          std::string& error) {
    try {
        const auto local_path = resolve_virtual_dir(virtual_dir);
        if (!local_path) {
            return fail(error, "BAD_VIRTUAL_DIR:Bad virtual directory");
        }
        if (type != 0 && type != 1) {
            return fail(error, "BAD_PARAM:Bad channel type");
        }
        const auto name = params.find("stream_name");
        if (name == params.end()) {
            return fail(error, "BAD_PARAM:stream_name is not set");
        }
        channel_location channel;
        channel.stream_name = name->second;
        // The name is a directory name and, for a live channel, a setting.
        if (!is_valid_file_name(channel.stream_name) ||
            has_control_character(channel.stream_name)) {
            return fail(error, "BAD_PARAM:stream_name is not valid");
        }
        for (const char* key : {"play_password", "publish_password"}) {
            if (auto refusal = refusal_of_text(params, key); !refusal.empty()) {
                return fail(error, creating_failed + refusal);
            }
        }

        channel.type = type == 0 ? "live" : "vod";
        channel.virtual_dir = virtual_dir;
        const std::string levels = hashed_path(channel.stream_name);
        channel.local_dir =
            *local_path + "/" + channel.type + "/" + levels + "/" + channel.stream_name;
        const std::string virtual_path =
            "/" + virtual_dir + "/" + channel.type + "/" + levels + "/" + channel.stream_name;

        if (anything_at(channel.local_dir)) {
            return fail(error, "CHANNEL_EXISTS:channel exists");
        }

        ptree settings;
        settings.put("config.qen_app.finalized", "1");
        if (channel.type == "live") {
            settings.put("config.qen_app.only_publish_name", channel.stream_name);
            settings.put("config.qen_app.allow_publish", "1");
        }
        if (const auto found = params.find("play_password"); found != params.end()) {
            settings.put("config.qen_app.play_password", found->second);
        }
        settings.put("config.qen_app.allow_play", "1");
        if (const auto found = params.find("publish_password"); found != params.end()) {
            settings.put("config.qen_app.publish_password", found->second);
        }
        if (const auto found = params.find("max_concurrents"); found != params.end()) {
            settings.put("config.qen_app.max_concurrents", settings_integer(found->second));
        }
        // Built before anything is made, so a channel is never left open
        // for want of its access files.
        const access_files access = access_files_for(channel.local_dir, settings);

        channel_creation creation(channel.local_dir);
        std::error_code created;
        fs::create_directories(channel.local_dir, created);
        if (created) {
            return fail(error, "IO_ERROR:Can't create directory for the channel");
        }
        write_settings_file(fs::path(channel.local_dir) / settings_file, settings);
        replace_access_files(channel.local_dir, access);
        creation.complete();

        info = channel_info(virtual_path, channel);
        return true;
    } catch (const std::exception& e) {
        return fail(error, creating_failed + e.what());
    }
}

bool lumo_channel_manager::update_channel(const std::string& virtual_path,
                                          const string_map& changes, std::string& error) {
    const auto channel = parse_virtual_path(virtual_path);
    if (!channel) {
        return fail(error, "BAD_VIRTUAL_PATH:Bad virtual path");
    }
    return update_settings(channel->local_dir, changes, error);
}

bool lumo_channel_manager::update_settings(const std::string& directory, const string_map& changes,
                                           std::string& error) {
    try {
        const fs::path file = fs::path(directory) / settings_file;
        if (!anything_at(file)) {
            return fail(error, "CHANNEL_NOT_EXISTS:Channel does not exist");
        }
        if (auto refusal = refusal_of_changes(changes); !refusal.empty()) {
            return fail(error, updating_failed + refusal);
        }
        ptree settings = read_settings_file(file);
        for (const char* key : {"play_password", "publish_password", "max_concurrents",
                                "allow_play", "allow_publish", "app_redirection"}) {
            const auto found = changes.find(key);
            if (found == changes.end()) {
                continue;
            }
            const std::string path = std::string("config.qen_app.") + key;
            const std::string_view name(key);
            if (name == "max_concurrents" || name == "allow_play" || name == "allow_publish") {
                settings.put(path, settings_integer(found->second));
            } else {
                settings.put(path, found->second);
            }
        }
        const access_files access = access_files_for(directory, settings);
        write_settings_file(file, settings);
        replace_access_files(directory, access);
        return true;
    } catch (const std::exception& e) {
        return fail(error, updating_failed + e.what());
    }
}

bool lumo_channel_manager::locate_channel(const std::string& virtual_path,
                                          channel_location& channel, std::string& error) {
    auto parsed = parse_virtual_path(virtual_path);
    if (!parsed) {
        return fail(error, "BAD_VIRTUAL_PATH:Bad virtual path");
    }
    if (!anything_at(parsed->local_dir)) {
        return fail(error, "CHANNEL_NOT_EXISTS:Channel does not exist");
    }
    channel = std::move(*parsed);
    return true;
}

bool lumo_channel_manager::get_channel_info(const std::string& virtual_path, string_map& info,
                                            std::string& error) {
    try {
        channel_location channel;
        if (!locate_channel(virtual_path, channel, error)) {
            return false;
        }
        info = channel_info(virtual_path, channel);
        return true;
    } catch (const std::exception& e) {
        return fail(error, updating_failed + e.what());
    }
}

bool lumo_channel_manager::find_channel(const std::string& virtual_path, channel_location& channel,
                                        std::string& error) {
    try {
        if (!locate_channel(virtual_path, channel, error)) {
            return false;
        }
        // A hash level or any other folder under the virtual directory is
        // no channel, however many segments its path has.
        if ((channel.type != "live" && channel.type != "vod") || !has_settings(channel.local_dir)) {
            return fail(error, "CHANNEL_NOT_EXISTS:Channel does not exist");
        }
        return true;
    } catch (const std::exception& e) {
        return fail(error, updating_failed + e.what());
    }
}

bool lumo_channel_manager::find_and_lock_channel(const std::string& virtual_path,
                                                 channel_location& channel, channel_lock& lock,
                                                 std::string& error) {
    return find_channel(virtual_path, channel, error) &&
           lock_channel(channel.stream_name, channel.local_dir, lock, error);
}

bool lumo_channel_manager::delete_channel(const std::string& virtual_path, std::string& error) {
    channel_location channel;
    channel_lock lock;
    if (!find_and_lock_channel(virtual_path, channel, lock, error)) {
        return false;
    }
    try {
        fs::remove_all(channel.local_dir);
        return true;
    } catch (const std::exception& e) {
        return fail(error, updating_failed + e.what());
    }
}

bool lumo_channel_manager::stop_channel(const std::string& virtual_path, std::string& error) {
    channel_location channel;
    channel_lock lock;
    if (!find_and_lock_channel(virtual_path, channel, lock, error)) {
        return false;
    }
    // A channel whose marker is there already is stopped again.
    try {
        write_stopped_marker(channel.stream_name, channel.local_dir, true);
    } catch (const std::exception& e) {
        return fail(error, std::string("IO_ERROR:Can't stop the channel: ") + e.what());
    }
    // A channel that still took publishers is not stopped.
    if (!update_settings(channel.local_dir, {{"allow_publish", "0"}}, error)) {
        return false;
    }
    // A channel without a recording has nothing to turn into fake live.
    std::string ignored;
    rewrite_index(channel, true, seconds_since_1970(), false, ignored);
    error.clear();
    return true;
}

bool lumo_channel_manager::set_channel_allow_play(const std::string& virtual_path, bool allow,
                                                  std::string& error) {
    return update_channel(virtual_path, {{"allow_play", allow ? "1" : "0"}}, error);
}

}  // namespace lumo
