#include "lumo/channel_files.hpp"

#include <crypt.h>

#include <boost/property_tree/xml_parser.hpp>

#include <charconv>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "foundation/replace_file.hpp"

namespace lumo {
namespace {

using boost::property_tree::ptree;

// The media files the web server guards.
constexpr std::string_view files_match_line =
    "<FilesMatch \"^(.*\\.zpksegment)|(.*\\.zpksegments)|(.*\\.livesegments)|(.*\\.ts)|"
    "(.*\\.flv)|(.*\\.f4v)|(.*\\.m3u)|(.*\\.mp3)|(.*\\.aac)|(.*\\.mp4)|(.*\\.m4a)|(.*\\.m4v)|"
    "(.*\\.f4m)|(.*\\.f4f)\">\n";

// A double-quoted argument of a web server directive: a quote or a
// backslash inside it is escaped, so it cannot end the argument early.
std::string directive_argument(std::string_view text) {
    if (has_control_character(text)) {
        // A line break would end the directive; no escape keeps it inside.
        throw std::runtime_error("Control character in an access file argument");
    }
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

bool anything_at(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

ptree read_settings_file(const std::filesystem::path& file) {
    std::ifstream in;
    in.exceptions(std::ios::failbit | std::ios::badbit);
    in.open(file, std::ios::binary);
    ptree settings;
    boost::property_tree::read_xml(in, settings);
    return settings;
}

void write_settings_file(const std::filesystem::path& file, const ptree& settings) {
    std::ostringstream text;
    boost::property_tree::write_xml(
        text, settings,
        boost::property_tree::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    replace_file(file, text.str());
}

std::int32_t settings_integer(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return 0;  // a second sign
        }
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return 0;
    }
    return value;
}

bool has_control_character(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

access_files make_access_files(const ptree& settings, std::string_view directory,
                               std::string_view notice) {
    const auto redirection = settings.get<std::string>("config.qen_app.app_redirection", "");
    const auto allow_play = settings.get<std::string>("config.qen_app.allow_play", "0");
    const auto password = settings.get<std::string>("config.qen_app.play_password", "");

    access_files files;
    if (!redirection.empty()) {
        if (has_control_character(redirection)) {
            // A line break would start a directive of its own.
            throw std::runtime_error("app_redirection holds a control character");
        }
        files.htaccess =
            "RewriteEngine On\nRewriteRule (.+) ../../../../../.." + redirection + "/$1";
    } else if (allow_play == "0") {
        files.htaccess = std::string(files_match_line) +
                         "\ndeny from all\norder deny,allow\n"
                         "</FilesMatch>\n";
    } else if (!password.empty()) {
        files.htaccess = std::string(files_match_line) + "AuthUserFile " +
                         directive_argument(std::string(directory) + "/.htpasswd") +
                         "\nAuthGroupFile /dev/null\n"
                         "AuthName " +
                         directive_argument(notice) +
                         "\nAuthType Basic\nrequire valid-user\norder deny,allow\n"
                         "</FilesMatch>";
        files.htpasswd = htpasswd_entry(password);
    }
    return files;
}

std::string htpasswd_entry(const std::string& password) {
    if (password.find('\0') != std::string::npos) {
        throw std::runtime_error("play_password holds a control character");
    }
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: the library draws them from the system.
    if (crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt) == nullptr) {
        throw std::runtime_error("Can't make a password salt");
    }
    const auto work = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), salt, work.get());
    if (hash == nullptr || hash[0] != '$') {
        throw std::runtime_error("Can't hash the play password");
    }
    return std::string(":") + hash;
}

}  // namespace lumo
