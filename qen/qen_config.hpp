#pragma once

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qen {

// The typed values of the config.qen section, with their defaults.
struct server_settings {
    std::int32_t app_update_interval = 60;
    std::int32_t idle_timeout = 60;
    std::int32_t app_max_idle_time = 60;
    bool rtmp_enabled = true;
    std::string rtmp_addr = "0.0.0.0";
    std::uint16_t rtmp_port = 1935;
    bool rtmfp_enabled = true;
    std::uint16_t rtmfp_port = 1935;
    std::uint16_t detect_nat_port1 = 1936;
    std::uint16_t detect_nat_port2 = 1937;
    std::int32_t max_sessions_per_ip = 256;
    std::int32_t max_groups_per_session = 1000;
};

// One domain: the host names it serves, its root directory and its virtual
// directories. Host names are lower-cased; paths and virtual directory names
// are kept as written, since Linux file names are case-sensitive.
struct domain {
    std::deque<std::string> names;
    std::string path;
    std::map<std::string, std::string> virtual_dirs;  // name -> path
};

using domain_ptr = std::shared_ptr<domain>;
using domain_map = std::map<std::string, domain_ptr>;  // host name -> domain

// The server machine's configuration file, loaded and checked, and written
// back when the supervisor or the installer changes it.
class qen_config {
  public:
    // Loads the file; throws on any failure with the reason.
    explicit qen_config(const std::filesystem::path& file);
    virtual ~qen_config() = default;

    // Loads a configuration held in memory, as loading a file that holds
    // `tree` would; it has no file of its own (path() is empty).
    struct from_tree {};
    qen_config(from_tree, boost::property_tree::ptree tree);

    // Throws what loading a file that holds `tree` would throw; a tree that
    // passes may be saved without keeping the media server from starting.
    static void check(const boost::property_tree::ptree& tree);

    // Writes the tree to the file it was loaded from, in one step: a reader
    // finds the old file or the new one, whole, and a failed save leaves the
    // old one. The file keeps its permission bits (it holds passwords).
    // Text that only indents child elements is dropped from the tree first.
    bool save();
    // The same with the reason of a failure.
    bool save(std::string& reason);

    // Adds the virtual directory `name` at `path` to the domain that serves
    // `domain_name` (any case), in the tree and in the domain's table, where
    // an existing name keeps its first path. False when no domain serves the
    // name. The file is not saved.
    bool store_domains(const std::string& domain_name, const std::string& name,
                       const std::string& path);

    // Makes `new_name` the first host name of the domain that serves
    // `domain_name`, in the tree as given and in the name table lower-cased,
    // so that the table is what loading the saved file gives. False when no
    // domain serves the name. The file is not saved.
    bool rename_domain(const std::string& domain_name, const std::string& new_name);

    const server_settings& settings() const { return settings_; }
    const domain_map& domains() const { return domains_; }
    const domain_ptr& default_domain() const { return default_domain_; }
    boost::property_tree::ptree& tree() { return tree_; }
    const boost::property_tree::ptree& tree() const { return tree_; }
    const std::filesystem::path& path() const { return path_; }

  protected:
    // Reads one child of config.qen.domains and registers its names and its
    // place in the file.
    void parse_domain(const boost::property_tree::ptree& node);

  private:
    // Reads the settings and the domains of the tree.
    void load();
    void read_settings();
    // The domain that serves a host name (any case) with its element under
    // config.qen.domains, the first in the file that names it; empty when
    // there is none.
    std::pair<domain_ptr, boost::property_tree::ptree*> find_domain(const std::string& host_name);

    server_settings settings_;
    domain_map domains_;
    std::vector<domain_ptr> domains_in_file_order_;
    domain_ptr default_domain_;
    boost::property_tree::ptree tree_;
    std::filesystem::path path_;
};

// Lower-cases ASCII letters; other bytes (UTF-8 included) stay as they are.
std::string to_lower_ascii(std::string text);

}  // namespace qen
