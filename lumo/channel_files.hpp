#pragma once

// The files of a channel directory that the supervisor writes: the settings
// file ".flaccess" that the media server reads, and the ".htaccess" and
// ".htpasswd" files that the HTTP-streaming web server reads.

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace lumo {

// Settings under config.qen_app, one XML document. Writing replaces the file
// in one step: the media server re-reads it whenever it changes, and a
// half-written file would leave the channel without its settings.
boost::property_tree::ptree read_settings_file(const std::filesystem::path& file);
void write_settings_file(const std::filesystem::path& file,
                         const boost::property_tree::ptree& settings);

// Whether anything at all lies at the path, a dangling link included.
bool anything_at(const std::filesystem::path& path);

// A settings value given as text: an optional sign and decimal digits that
// fit 32 bits; anything else is 0.
std::int32_t settings_integer(std::string_view text);

// Bytes below 0x20 and 0x7F: they make a settings file unreadable, or add
// lines to an access file.
bool has_control_character(std::string_view text);

// The access files that settings call for; an empty text means no such file.
struct access_files {
    std::string htaccess;
    std::string htpasswd;
};

// `directory` is the channel directory's absolute path and `notice` the
// password prompt, both as the web server reads them.
access_files make_access_files(const boost::property_tree::ptree& settings,
                               std::string_view directory, std::string_view notice);

// ":" and a SHA-512 crypt hash of the password with a fresh salt: an empty
// user name, no line end.
std::string htpasswd_entry(const std::string& password);

}  // namespace lumo
