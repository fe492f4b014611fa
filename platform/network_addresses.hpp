#pragma once

#include <boost/asio/ip/address.hpp>

#include <vector>

namespace platform {

// The addresses of the machine's network interfaces that are up, IPv4 and
// IPv6, loopback included, IPv6 link-local ones left out (they need a scope
// to be reached). Sorted, IPv4 first, each once. Throws std::system_error
// when the interfaces cannot be listed.
std::vector<boost::asio::ip::address> interface_addresses();

}  // namespace platform
