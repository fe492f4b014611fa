#pragma once

// What the supervisor takes from the configuration file before it starts
// anything, and the check that keeps a changed configuration from being
// saved when either program would no longer start with it.

#include <boost/asio/ip/tcp.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include <filesystem>

#include "qen/qen_config.hpp"

namespace lumo {

// The domain the supervisor serves: the one that owns the name that sorts
// first. Throws when there is none.
qen::domain_ptr served_domain(const qen::qen_config& config);

// The installation root, config.lumo.path. Throws when it is missing or
// empty; whether the folder is there is the machine's state, looked at by
// the process manager when it starts.
std::filesystem::path installation_root(const boost::property_tree::ptree& tree);

// The administration port's endpoint. Throws when the address is no IP
// address or the port no number from 0 to 65535.
boost::asio::ip::tcp::endpoint admin_endpoint(const boost::property_tree::ptree& tree);

// Throws, with the reason that program gives, when the media server or the
// supervisor would refuse to start with a file holding `tree`: the media
// server's loader, then, for a file that names the supervisor's root
// (config.lumo.path), the supervisor's own checks: the root, its
// administration port and every value the configuration files of its
// children take. A file without a root is the media server's alone.
void check_startable(const boost::property_tree::ptree& tree);

}  // namespace lumo
