#include "lumo/config_templates.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "foundation/file_name.hpp"
#include "foundation/utf8.hpp"

namespace lumo {
namespace {

namespace fs = std::filesystem;

// It holds "%path%", replaced next.
std::string banner() {
    const std::string rule =
        "#" + std::string(27, '-') + "DON'T MODIFY THIS FILE" + std::string(23, '-') + "\n";
    return rule + "# MODIFY the version under %path%/conf instead\n" + rule;
}

// A name for error messages, with bytes that would break the line shown as
// escapes.
std::string shown(std::string_view text) {
    std::string result = "\"";
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            result += escape;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result + "\"";
}

[[noreturn]] void refuse(const std::string& what, const std::string& why) {
    throw std::runtime_error("Refused " + what + " for the configuration files: " + why);
}

// A line break would start a directive or an option of its own; a quote or
// a backslash would end or escape the quoted string it is written into.
const std::string& inserted(const std::string& what, const std::string& value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            refuse(what, "control character, '\"' or '\\' in its value");
        }
    }
    return value;
}

// A path as the configuration file holds it: UTF-8, written as it is (the
// bytes of Linux file names, whatever the legacy charset).
const std::string& path_text(const std::string& what, const std::string& value) {
    if (wstring_to_utf8(utf8_to_wstring(inserted(what, value))) != value) {
        refuse(what, "not UTF-8");
    }
    return value;
}

const std::string& port(const std::string& what, const std::string& value) {
    unsigned long number = 0;
    for (const char c : value) {
        if (c < '0' || c > '9' || number > 65535) {
            refuse(what, "not a port number");
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value.empty() || number == 0 || number > 65535) {
        refuse(what, "not a port number");
    }
    return value;
}

const std::string& directory_name(const std::string& name) {
    const std::string what = "virtual directory name " + shown(name);
    inserted(what, name);
    if (!is_valid_file_name(name) || name.find_first_of(" \t\n\v\f\r") != std::string::npos) {
        refuse(what, "not a plain file name");
    }
    return name;
}

// Replaces every occurrence of the placeholder. The value is made (and
// checked) only when the placeholder occurs.
void replace_all(std::string& text, std::string_view placeholder,
                 const std::function<std::string()>& make_value) {
    auto at = text.find(placeholder);
    if (at == std::string::npos) {
        return;
    }
    const std::string value = make_value();
    for (; at != std::string::npos; at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
}

std::string read_template(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    if (error || !in) {
        throw std::runtime_error("Can't read the template " + file.string() + ": " +
                                 (error ? error.message() : std::strerror(errno)));
    }
    std::string text(size, '\0');
    if (!in.read(text.data(), static_cast<std::streamsize>(size))) {
        throw std::runtime_error("Can't read the template " + file.string());
    }
    return text;
}

// Writes the whole text. The reason when that fails, else nothing.
std::optional<std::string> write_file(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        return std::strerror(errno);
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (out.fail()) {
        return "write failed";
    }
    return std::nullopt;
}

void write_target(const fs::path& file, const std::string& text) {
    if (const auto failure = write_file(file, text)) {
        throw std::runtime_error("Can't write " + file.string() + ": " + *failure);
    }
}

}  // namespace

config_templates::config_templates(const qen::qen_config& config, fs::path root)
    : config_(config), root_(std::move(root)) {}

void config_templates::render_mysql_files() const {
    const auto my_ini = render_program_file("my.ini", root_ / "mysql");
    write_target(my_ini.target, my_ini.text);
}

void config_templates::render_web_admin_files() const {
    const rendered_file files[] = {render_program_file("admin.conf", root_ / "apache" / "conf"),
                                   render_program_file("php.ini", root_ / "php")};
    for (const auto& file : files) {
        write_target(file.target, file.text);
    }
}

void config_templates::render_http_streaming_files() const {
    const auto stream_conf = render_program_file("stream.conf", root_ / "apache" / "conf");
    const auto htaccess_files = render_htaccess_files();
    write_target(stream_conf.target, stream_conf.text);
    for (const auto& file : htaccess_files) {
        write_file(file.target, file.text);  // a directory that cannot take it is skipped
    }
}

void config_templates::check_values() const {
    for (const auto& p : program_placeholders()) {
        p.value();
    }
    for (const auto& [name, path] : first_domain().virtual_dirs) {
        for (const auto& p : htaccess_placeholders(name)) {
            p.value();
        }
    }
}

std::vector<config_templates::placeholder> config_templates::program_placeholders() const {
    // In this order: the banner brings a "%path%" of its own.
    return {
        {"%notice%", banner},
        {"%path%", [this] { return path_text("config.lumo.path", root_.string()); }},
        {"%http_streaming_port%",
         [this] { return port_setting("config.lumo.http_streaming_port", "8083"); }},
        {"%web_admin_port%", [this] { return port_setting("config.lumo.web_admin_port", "8085"); }},
        {"%web_admin_ssl_port%",
         [this] { return port_setting("config.lumo.web_admin_ssl_port", "8086"); }},
        {"%mysql_port%", [this] { return port_setting("config.lumo.mysql_port", "8087"); }},
        {"%mysql_password%",
         [this] {
             return inserted("config.lumo.mysql_password",
                             setting("config.lumo.mysql_password", ""));
         }},
        {"%virtual_dirs%", [this] { return virtual_dirs_block(); }},
    };
}

std::vector<config_templates::placeholder> config_templates::htaccess_placeholders(
    const std::string& virtual_dir) const {
    return {
        {"%virtual_dir%", [&virtual_dir] { return directory_name(virtual_dir); }},
        {"%domain%",
         [this] { return inserted("the first domain's name", first_domain().names.front()); }},
        {"%rtmp_port%", [this] { return port_setting("config.qen.rtmp.port", "1935"); }},
        {"%http_streaming_port%",
         [this] { return port_setting("config.lumo.http_streaming_port", "8083"); }},
        {"%rtmfp_port%", [this] { return port_setting("config.qen.rtmfp.port", "1935"); }},
    };
}

config_templates::rendered_file config_templates::render_program_file(
    const std::string& name, const fs::path& target_folder) const {
    std::string text = read_template(root_ / "conf" / name);
    for (const auto& p : program_placeholders()) {
        replace_all(text, p.name, p.value);
    }
    return {target_folder / name, std::move(text)};
}

std::vector<config_templates::rendered_file> config_templates::render_htaccess_files() const {
    const std::string source = read_template(root_ / "conf" / ".htaccess");
    std::vector<rendered_file> files;
    for (const auto& [name, path] : first_domain().virtual_dirs) {
        std::string text = source;
        for (const auto& p : htaccess_placeholders(name)) {
            replace_all(text, p.name, p.value);
        }
        files.push_back({fs::path(path) / ".htaccess", std::move(text)});
    }
    return files;
}

std::string config_templates::setting(const std::string& key, const std::string& fallback) const {
    return config_.tree().get<std::string>(key, fallback);
}

std::string config_templates::port_setting(const std::string& key, const char* fallback) const {
    return port(key, setting(key, fallback));
}

std::string config_templates::virtual_dirs_block() const {
    std::vector<std::string> paths;
    std::string block = "\n<IfModule alias_module>\n";
    for (const auto& [name, path] : first_domain().virtual_dirs) {
        paths.push_back(path_text("path of virtual directory " + shown(name), path));
        block += "\nAlias /" + directory_name(name) + " \"" + paths.back() + "\"\n";
    }
    block += "\n</IfModule>";
    for (const auto& path : paths) {
        block += "\n<Directory \"" + path +
                 "\">\nAllowOverride All\nOrder allow,deny\nAllow from all\n</Directory>\n";
    }
    return block;
}

const qen::domain& config_templates::first_domain() const {
    // The loader refuses a configuration without domains.
    return *config_.domains().begin()->second;
}

}  // namespace lumo
