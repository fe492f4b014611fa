#pragma once

// The supervisor's side of the channels: where a channel's directory lies,
// its creation, settings, access files, stop and deletion, and what becomes
// of its recording. It keeps no channel state: everything is in the
// channel's files, which the media server reads when they change. (The
// configuration's own changes are the configuration editor's.)
//
// Every worker returns true on success, or false with an error text
// "CODE:message" (an unexpected exception gives "EXCEPTION:Exception occurs
// when <operation>: " and its message). All workers run on one thread.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "foundation/exclusive_ofstream.hpp"
#include "lumo/channel_files.hpp"
#include "lumo/worker_results.hpp"
#include "qen/qen_config.hpp"

namespace lumo {

// What a channel's virtual path names.
struct channel_location {
    std::string local_dir;  // the channel directory, joined with "/"
    std::string type;       // "live" or "vod" for a channel
    std::string virtual_dir;
    std::string stream_name;
};

// The recording lock file of a channel, held open without sharing. While it
// is held, the media server refuses to publish the stream, as it refuses a
// second publisher. Released when destroyed.
class channel_lock {
  public:
    bool held() const { return file_ != nullptr; }

  private:
    friend class lumo_channel_manager;
    std::unique_ptr<exclusive_ofstream> file_;
};

class lumo_channel_manager {
  public:
    // Serves the domain whose name sorts first. `config_lock` guards the
    // configuration; both outlive the manager.
    lumo_channel_manager(qen::qen_config& config, std::mutex& config_lock);
    virtual ~lumo_channel_manager() = default;

    lumo_channel_manager(const lumo_channel_manager&) = delete;
    lumo_channel_manager& operator=(const lumo_channel_manager&) = delete;

    // type: 0 live, 1 vod. params: "stream_name" (required),
    // "play_password", "publish_password", "max_concurrents".
    bool create_channel(std::int32_t type, const std::string& virtual_dir, const string_map& params,
                        string_map& info, std::string& error);
    // changes: "play_password", "publish_password", "max_concurrents",
    // "allow_play", "allow_publish", "app_redirection".
    bool update_channel(const std::string& virtual_path, const string_map& changes,
                        std::string& error);
    bool delete_channel(const std::string& virtual_path, std::string& error);
    bool get_channel_info(const std::string& virtual_path, string_map& info, std::string& error);
    // Marks the recording stopped, refuses publishers from now on and turns
    // an existing recording into fake live (keeping a start time it has).
    bool stop_channel(const std::string& virtual_path, std::string& error);
    bool set_channel_allow_play(const std::string& virtual_path, bool allow, std::string& error);

    // Rewrites the recording's index as not live, with the start time (when
    // enabled: the given one, or the stored one unless forced) or without.
    bool enableFakeLiveForVod(const std::string& virtual_path, bool enable,
                              std::uint32_t start_time, bool force, std::string& error);
    // Moves a stopped live channel into the vod folder; its old place keeps
    // settings and access files that redirect to the new one.
    bool convertLiveChannelToVod(const std::string& virtual_path, string_map& info,
                                 std::string& error);
    // The recording's metadata as text, with "fileexists", "duration",
    // "uuid", "filesize" and "bitrate".
    bool getChannelMetaData(const std::string& virtual_path, string_map& metadata,
                            std::string& error);

    // The local path of one of the domain's virtual directories.
    std::optional<std::string> resolve_virtual_dir(const std::string& name);

    // "/<virtual dir>/<type>/.../<stream name>", every segment a valid file
    // name; nothing when the path is malformed or names no virtual directory.
    std::optional<channel_location> parse_virtual_path(const std::string& virtual_path);

    // Takes the channel's recording lock into `lock` (creating the lock file
    // when there is none). Fails with "CHANNEL_IS_LOCKED" while another
    // holder, such as a publisher, has it.
    bool lock_channel(const std::string& stream_name, const std::string& directory,
                      channel_lock& lock, std::string& error);

    // Whether the stream's ".stopped" marker is in the directory; with
    // `create`, makes it when it is not, and throws
    // std::filesystem::filesystem_error with the reason when it cannot.
    static bool write_stopped_marker(const std::string& stream_name, const std::string& directory,
                                     bool create);

    // Writes ".htaccess" and ".htpasswd" from the directory's ".flaccess",
    // replacing the old files only once the new ones are built. Throws with
    // the reason on failure, leaving the old files.
    void write_htaccess(const std::string& directory);

    // The three hash levels under the type folder that spread channels
    // over directories, "L1/L2/L3".
    static std::string hashed_path(std::string_view stream_name);

  private:
    // The parts of a virtual path whose directory exists.
    bool locate_channel(const std::string& virtual_path, channel_location& channel,
                        std::string& error);
    // The channel a virtual path names, for workers that change it: a
    // "live" or "vod" directory that holds settings.
    bool find_channel(const std::string& virtual_path, channel_location& channel,
                      std::string& error);
    // find_channel, then lock_channel: for the workers that change a
    // channel, which hold the lock until they are done.
    bool find_and_lock_channel(const std::string& virtual_path, channel_location& channel,
                               channel_lock& lock, std::string& error);

    // The workers behind the public ones, for a channel found and locked.
    bool update_settings(const std::string& directory, const string_map& changes,
                         std::string& error);
    // The access files that settings call for, and their replacement of
    // the old ones: a file goes only once the new ones are in place.
    access_files access_files_for(const std::string& directory,
                                  const boost::property_tree::ptree& settings) const;
    static void replace_access_files(const std::string& directory, const access_files& files);
    bool rewrite_index(const channel_location& channel, bool enable, std::uint32_t start_time,
                       bool force, std::string& error);
    bool move_to_vod(const channel_location& channel, const std::string& vod_path,
                     const channel_location& vod, string_map& info, std::string& error);

    qen::qen_config& config_;
    std::mutex& config_lock_;
    qen::domain_ptr domain_;
    std::string authentication_notice_;  // in the ANSI charset
};

// The channel information map.
string_map channel_info(const std::string& virtual_path, const channel_location& channel);

}  // namespace lumo
