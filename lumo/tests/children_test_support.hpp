#pragma once

// Installation roots and configuration files for the tests of the
// supervisor's children.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/lumo_proc_mgr.hpp"

namespace lumo_test {

namespace fs = std::filesystem;

// Makes an installation root with scripts/lumo-root.sh, linking the given
// programs (the script's defaults for those left empty); throws with the
// script's output when it fails. A root that already has mysql/data gets no
// database.
struct root_programs {
    fs::path qen;
    fs::path mariadbd;
    fs::path apache2;
};
void make_root(const fs::path& root, const root_programs& programs);

// Text as XML element content.
std::string xml_text(const std::string& text);

// One domain of config.qen.domains.
struct domain_spec {
    std::vector<std::string> names;
    std::string path;
    std::vector<std::pair<std::string, std::string>> virtual_dirs;  // name, path; file order
};

// Writes <config><qen>QEN DOMAINS</qen><lumo>LUMO</lumo></config>: the
// sections' other elements are given as XML, the domains as specs.
void write_config(const fs::path& file, const std::string& qen,
                  const std::vector<domain_spec>& domains, const std::string& lumo);

// What a test with the real servers needs and this machine lacks: the
// database server, Apache with PHP, mariadb-install-db, curl, or one of the
// other programs named (looked up along PATH); nothing when all are there.
std::optional<std::string> missing_for_real_servers(
    const std::vector<std::string>& other_programs = {});

// Ports on 127.0.0.1, all different, that were free a moment ago.
std::vector<unsigned short> distinct_free_ports(std::size_t count);

// The body of a GET on 127.0.0.1:port, or its status code alone; curl's
// options go before the URL.
std::string http_get(unsigned short port, const std::string& path);
std::string http_status(unsigned short port, const std::string& path,
                        const std::vector<std::string>& curl_options = {});

// Whether the manager notices within 30 s that the child has ended.
bool wait_not_running(lumo::lumo_proc_mgr& manager, lumo::lumo_proc_mgr::child which);

}  // namespace lumo_test
