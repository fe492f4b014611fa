// What becomes of a channel's recording: fake live, the move into the vod
// folder, and its metadata.

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "foundation/amf0.hpp"
#include "foundation/decoded_metadata.hpp"
#include "foundation/file_name.hpp"
#include "foundation/segment_index.hpp"
#include "lumo/channel_files.hpp"
#include "lumo/channel_manager.hpp"

namespace lumo {
namespace {

namespace fs = std::filesystem;

const std::string fake_live_failed = "EXCEPTION:Exception occurs when enableFakeLiveForVod: ";
const std::string conversion_failed = "EXCEPTION:Exception occurs when convertLiveChannelToVod: ";
const std::string metadata_failed = "EXCEPTION:Exception occurs when getChannelMetaData: ";

fs::path live_index(const channel_location& channel) {
    return segment_dir_path(fs::path(channel.local_dir) / channel.stream_name, ".livesegments");
}

fs::path vod_index(const channel_location& channel) {
    return segment_dir_path(fs::path(channel.local_dir) / channel.stream_name, ".zpksegments");
}

// The live index while there is one, else the vod index.
std::optional<fs::path> index_in_use(const channel_location& channel) {
    std::error_code ignored;
    for (fs::path index : {live_index(channel), vod_index(channel)}) {
        if (fs::exists(index, ignored)) {
            return index;
        }
    }
    return std::nullopt;
}

// The same channel in the vod folder: the type segment replaced, the hash
// levels and the stream name kept (they depend on the name alone).
std::optional<std::string> vod_path_of(const std::string& virtual_path) {
    const auto segments = valid_path_segments(virtual_path);
    if (!segments || segments->size() < 3) {
        return std::nullopt;
    }
    std::string path = "/" + (*segments)[0] + "/vod";
    for (std::size_t i = 2; i < segments->size(); ++i) {
        path += "/" + (*segments)[i];
    }
    return path;
}

// A channel's recording as it is on disk: its index, with what a media
// server that was killed while recording had written beyond it. `repair`
// (under the channel's lock) closes the segment it left open.
segment_index recording_on_disk(const fs::path& index_path, bool repair) {
    segment_index index;
    index.load(index_path);
    take_back_segments(index, index_path.parent_path() / (index_path.stem().string() + ".segments"),
                       repair);
    return index;
}

// "%.17lg": as many digits as tell the double apart.
std::string number_text(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*lg", 17, value);
    return text;
}

// A metadata property as text; empty for the kinds that have none.
std::string property_text(const amf0_based& value) {
    if (const auto* number = dynamic_cast<const amf0_number*>(&value)) {
        return number_text(number->value);
    }
    if (const auto* flag = dynamic_cast<const amf0_bool*>(&value)) {
        return flag->value ? "1" : "0";
    }
    if (const auto* text = dynamic_cast<const amf0_string*>(&value)) {
        return text->value.str();
    }
    if (const auto* xml = dynamic_cast<const amf0_xml*>(&value)) {
        return xml->value.str();
    }
    return {};
}

}  // namespace

bool lumo_channel_manager::enableFakeLiveForVod(const std::string& virtual_path, bool enable,
                                                std::uint32_t start_time, bool force,
                                                std::string& error) {
    channel_location channel;
    channel_lock lock;
    if (!find_and_lock_channel(virtual_path, channel, lock, error)) {
        return false;
    }
    return rewrite_index(channel, enable, start_time, force, error);
}

bool lumo_channel_manager::rewrite_index(const channel_location& channel, bool enable,
                                         std::uint32_t start_time, bool force, std::string& error) {
    try {
        const auto path = index_in_use(channel);
        if (!path) {
            return fail(error, "CHANNEL_NO_CONTENT:Can't find zpk index file");
        }
        segment_index index = recording_on_disk(*path, true);
        index.live = false;
        if (!enable) {
            index.has_start_time = false;
        } else if (!index.has_start_time || force) {
            index.has_start_time = true;
            index.start_time = start_time;
        }
        index.set_metadata_duration();
        // Players open either name; both hold the same record.
        index.save(live_index(channel));
        index.save(vod_index(channel));
        return true;
    } catch (const std::exception& e) {
        return fail(error, fake_live_failed + e.what());
    }
}

bool lumo_channel_manager::convertLiveChannelToVod(const std::string& virtual_path,
                                                   string_map& info, std::string& error) {
    try {
        channel_location channel;
        if (!find_channel(virtual_path, channel, error)) {
            return false;
        }
        if (channel.type != "live") {
            return fail(error, "CHANNEL_IS_NOT_LIVE:Channel is not live");
        }
        if (!write_stopped_marker(channel.stream_name, channel.local_dir, false)) {
            return fail(error, "CHANNEL_IS_NOT_STOPPED:The channel is not stopped");
        }
        const auto vod_path = vod_path_of(virtual_path);
        const auto vod = vod_path ? parse_virtual_path(*vod_path) : std::nullopt;
        if (!vod) {
            return fail(error, "BAD_VIRTUAL_PATH:Unexpected virtual path");
        }
        // Worked out before anything changes: a rename would replace an empty
        // directory there, and fail on a full one after the index changed.
        if (anything_at(vod->local_dir)) {
            return fail(error, "CHANNEL_EXISTS:channel exists");
        }
        channel_lock lock;
        if (!lock_channel(channel.stream_name, channel.local_dir, lock, error)) {
            return false;
        }
        if (!index_in_use(channel)) {
            return fail(error, "CHANNEL_NO_CONTENT:Can't find zpk index file");
        }
        // Made before the index changes, so a folder that cannot be made
        // leaves the recording as it was.
        const fs::path parent = fs::path(vod->local_dir).parent_path();
        std::error_code created;
        fs::create_directories(parent, created);
        if (created && !fs::is_directory(parent)) {
            return fail(error, "IO_ERROR:I/O error, can't create the vod folder");
        }
        if (!rewrite_index(channel, false, 0, true, error)) {
            return false;
        }
        return move_to_vod(channel, *vod_path, *vod, info, error);
    } catch (const std::exception& e) {
        return fail(error, conversion_failed + e.what());
    }
}

bool lumo_channel_manager::move_to_vod(const channel_location& channel, const std::string& vod_path,
                                       const channel_location& vod, string_map& info,
                                       std::string& error) {
    const fs::path from(channel.local_dir);
    const fs::path to(vod.local_dir);
    fs::rename(from, to);

    // The old place stays as a shell that sends both servers to the new one.
    std::error_code created;
    fs::create_directories(from, created);
    if (created || !fs::is_directory(from)) {
        return fail(error, "IO_ERROR:I/O error, can't create the original folder");
    }
    fs::copy_file(to / ".flaccess", from / ".flaccess");
    const std::string stopped = channel.stream_name + ".stopped";
    fs::copy_file(to / stopped, from / stopped);
    // As the old place's settings are changed by hand: what it reports goes
    // out with the result.
    update_settings(channel.local_dir, {{"app_redirection", vod_path}, {"allow_publish", "0"}},
                    error);
    write_htaccess(vod.local_dir);

    info = channel_info(vod_path, vod);
    return true;
}

bool lumo_channel_manager::getChannelMetaData(const std::string& virtual_path, string_map& metadata,
                                              std::string& error) {
    try {
        channel_location channel;
        if (!locate_channel(virtual_path, channel, error)) {
            return false;
        }
        const auto path = index_in_use(channel);
        if (!path) {
            metadata = {{"fileexists", "0"}};
            return true;
        }
        string_map result{{"fileexists", "1"}};
        // No lock: the media server may be writing it, and only looks.
        const segment_index index = recording_on_disk(*path, false);
        if (!index.metadata.empty()) {
            const decoded_metadata decoded(index.metadata);
            for (const auto& [key, value] : decoded.properties().values) {
                if (std::string text = value ? property_text(*value) : std::string();
                    !text.empty()) {
                    result[key.str()] = std::move(text);
                }
            }
        }
        std::uint64_t file_size = 0;
        for (const auto& segment : index.segments) {
            file_size += segment.data_bytes;
        }
        result["duration"] = number_text(index.duration_ms / 1000.0);
        result["uuid"] = index.name;
        result["filesize"] = std::to_string(file_size);
        result["bitrate"] =
            std::to_string(index.duration_ms == 0 ? 0 : file_size * 8 / index.duration_ms);
        metadata = std::move(result);
        return true;
    } catch (const std::exception& e) {
        return fail(error, metadata_failed + e.what());
    }
}

}  // namespace lumo
