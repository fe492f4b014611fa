#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qen/qen_config.hpp"

namespace lumo {

// The configuration files of the supervisor's children, rendered from the
// installation's templates in <root>/conf just before a child starts.
// Placeholders are words between two percent signs, replaced by values of the
// configuration file and of its first domain (the one that owns the smallest
// host name).
//
// These files configure servers that may run as root, and the configuration
// file may have been edited by hand, so every value a file takes is checked
// first: a port must be a number from 1 to 65535, no value may hold control
// characters, '"' or '\', and a virtual directory's name must be a plain
// file name without whitespace. A refused value throws std::runtime_error
// naming its key or directory, and nothing is written. So do a template that
// cannot be read and a target that cannot be written.
//
// Reads the configuration: call with the configuration lock held.
class config_templates {
  public:
    // The root is the text of config.lumo.path.
    config_templates(const qen::qen_config& config, std::filesystem::path root);

    // my.ini into <root>/mysql.
    void render_mysql_files() const;
    // admin.conf into <root>/apache/conf, then php.ini into <root>/php.
    void render_web_admin_files() const;
    // stream.conf into <root>/apache/conf, then .htaccess into each virtual
    // directory of the first domain. A directory that cannot take its
    // .htaccess (its folder is gone) is skipped.
    void render_http_streaming_files() const;

    // Throws what rendering would throw for any value a placeholder takes,
    // whichever placeholders the templates hold; reads no file.
    void check_values() const;

  private:
    struct rendered_file {
        std::filesystem::path target;
        std::string text;
    };
    // A placeholder and the maker of its value, which checks the value.
    struct placeholder {
        std::string_view name;
        std::function<std::string()> value;
    };

    // In the order they are replaced.
    std::vector<placeholder> program_placeholders() const;
    std::vector<placeholder> htaccess_placeholders(const std::string& virtual_dir) const;
    rendered_file render_program_file(const std::string& name,
                                      const std::filesystem::path& target_folder) const;
    std::vector<rendered_file> render_htaccess_files() const;
    std::string setting(const std::string& key, const std::string& fallback) const;
    std::string port_setting(const std::string& key, const char* fallback) const;
    std::string virtual_dirs_block() const;
    const qen::domain& first_domain() const;

    const qen::qen_config& config_;
    std::filesystem::path root_;
};

}  // namespace lumo
