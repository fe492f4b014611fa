#include "lumo/config_checks.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "lumo/config_templates.hpp"
#include "qen/qen_config.hpp"

namespace lumo {
namespace {

using boost::property_tree::ptree;

// A port number as written in the configuration, surrounding white space
// allowed; nothing else but 0 to 65535.
std::optional<unsigned short> parse_port(std::string_view text) {
    constexpr std::string_view white_space = " \t\r\n";
    const auto first = text.find_first_not_of(white_space);
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(white_space) + 1 - first);
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return static_cast<unsigned short>(value);
}

}  // namespace

qen::domain_ptr served_domain(const qen::qen_config& config) {
    if (config.domains().empty()) {
        throw std::runtime_error("You should at least have one domain");
    }
    return config.domains().begin()->second;
}

std::filesystem::path installation_root(const ptree& tree) {
    const auto root = tree.get_optional<std::string>("config.lumo.path");
    if (!root) {
        throw std::runtime_error("lumo configuration bad, no config.lumo.path");
    }
    if (root->empty()) {
        throw std::runtime_error("lumo configuration bad, config.lumo.path is bad");
    }
    return *root;
}

boost::asio::ip::tcp::endpoint admin_endpoint(const ptree& tree) {
    const auto address_text = tree.get<std::string>("config.lumo.server_admin_ipc_ip", "127.0.0.1");
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(address_text, error);
    if (error) {
        throw std::runtime_error(
            "lumo configuration bad, config.lumo.server_admin_ipc_ip is not an IP address: " +
            address_text);
    }
    const auto port_text = tree.get<std::string>("config.lumo.server_admin_ipc_port", "8084");
    const auto port = parse_port(port_text);
    if (!port) {
        throw std::runtime_error(
            "lumo configuration bad, config.lumo.server_admin_ipc_port is not a port: " +
            port_text);
    }
    return {address, *port};
}

void check_startable(const ptree& tree) {
    const qen::qen_config loaded(qen::qen_config::from_tree{}, tree);
    if (!tree.get_child_optional("config.lumo.path")) {
        return;
    }
    const std::filesystem::path root = installation_root(tree);
    admin_endpoint(tree);
    config_templates(loaded, root).check_values();
}

}  // namespace lumo
