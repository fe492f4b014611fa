#include "lumo/tests/children_test_support.hpp"

#include <chrono>
#include <set>
#include <stdexcept>

#include "platform/testing/test_support.hpp"

namespace lumo_test {

void make_root(const fs::path& root, const root_programs& programs) {
    std::vector<std::string> command{LUMO_ROOT_SCRIPT};
    const std::pair<const char*, const fs::path*> options[] = {
        {"--qen", &programs.qen},
        {"--mariadbd", &programs.mariadbd},
        {"--apache2", &programs.apache2},
    };
    for (const auto& [option, program] : options) {
        if (!program->empty()) {
            command.push_back(option);
            command.push_back(program->string());
        }
    }
    command.push_back(root.string());
    const auto result = platform::testing::run(command, std::chrono::seconds(120));
    if (result.exit_code != 0) {
        throw std::runtime_error("lumo-root.sh failed: " + result.out + result.err);
    }
}

std::string xml_text(const std::string& text) {
    std::string result;
    for (const char c : text) {
        switch (c) {
            case '&':
                result += "&amp;";
                break;
            case '<':
                result += "&lt;";
                break;
            case '>':
                result += "&gt;";
                break;
            default:
                result += c;
        }
    }
    return result;
}

void write_config(const fs::path& file, const std::string& qen,
                  const std::vector<domain_spec>& domains, const std::string& lumo) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<config><qen>" + qen + "<domains>";
    for (const auto& domain : domains) {
        text += "<domain><names>";
        for (const auto& name : domain.names) {
            text += "<name>" + xml_text(name) + "</name>";
        }
        text += "</names><path>" + xml_text(domain.path) + "</path><virtual_dirs>";
        for (const auto& [name, path] : domain.virtual_dirs) {
            text += "<virtual_dir><name>" + xml_text(name) + "</name><path>" + xml_text(path) +
                    "</path></virtual_dir>";
        }
        text += "</virtual_dirs></domain>";
    }
    text += "</domains></qen><lumo>" + lumo + "</lumo></config>\n";
    platform::testing::write_file(file, text);
}

std::optional<std::string> missing_for_real_servers(
    const std::vector<std::string>& other_programs) {
    for (const char* file :
         {"/usr/sbin/mariadbd", "/usr/sbin/apache2", "/usr/lib/apache2/modules/libphp8.2.so"}) {
        if (!fs::exists(file)) {
            return file;
        }
    }
    std::vector<std::string> programs{"mariadb-install-db", "curl"};
    programs.insert(programs.end(), other_programs.begin(), other_programs.end());
    for (const auto& program : programs) {
        if (!platform::testing::have_program(program)) {
            return program;
        }
    }
    return std::nullopt;
}

std::vector<unsigned short> distinct_free_ports(std::size_t count) {
    std::set<unsigned short> ports;
    while (ports.size() < count) {
        ports.insert(platform::testing::free_port());
    }
    return {ports.begin(), ports.end()};
}

std::string http_get(unsigned short port, const std::string& path) {
    return platform::testing::run({"curl", "-s", "--max-time", "30",
                                   "http://127.0.0.1:" + std::to_string(port) + path},
                                  std::chrono::seconds(60))
        .out;
}

std::string http_status(unsigned short port, const std::string& path,
                        const std::vector<std::string>& curl_options) {
    std::vector<std::string> command{"curl", "-s",        "--max-time", "30",
                                     "-o",   "/dev/null", "-w",         "%{http_code}"};
    command.insert(command.end(), curl_options.begin(), curl_options.end());
    command.push_back("http://127.0.0.1:" + std::to_string(port) + path);
    return platform::testing::run(command, std::chrono::seconds(60)).out;
}

bool wait_not_running(lumo::lumo_proc_mgr& manager, lumo::lumo_proc_mgr::child which) {
    return platform::testing::eventually([&] { return !manager.is_running(which); },
                                         std::chrono::seconds(30));
}

}  // namespace lumo_test
