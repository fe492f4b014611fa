#include "lumo_install/machine_checks.hpp"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <climits>
#include <iterator>
#include <memory>
#include <set>

namespace lumo_install {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

template <class Protocol>
bool can_bind(std::uint16_t port) {
    asio::io_context io;
    typename Protocol::socket socket(io);
    boost::system::error_code error;
    socket.open(Protocol::v4(), error);
    if (!error) {
        socket.bind({asio::ip::address_v4::any(), port}, error);
    }
    return !error;
}

// Every address a resolution of `host` gives on port 80; none when it fails.
void add_resolved(asio::io_context& io, const std::string& host, tcp::resolver::flags flags,
                  std::set<tcp::endpoint>& endpoints) {
    tcp::resolver resolver(io);
    boost::system::error_code error;
    const auto results = resolver.resolve(host, "80", flags, error);
    if (!error) {
        for (const auto& entry : results) {
            endpoints.insert(entry.endpoint());
        }
    }
}

// The addresses of the machine's interfaces. Debian's hosts file gives the
// host name only a loopback address, so those are what tells that a name
// leads here.
void add_interface_addresses(std::set<tcp::endpoint>& endpoints) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, &::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const sockaddr* address = entry->ifa_addr;
        if (address == nullptr) {
            continue;
        }
        if (address->sa_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
            endpoints.emplace(asio::ip::address_v4(ntohl(v4->sin_addr.s_addr)), 80);
        } else if (address->sa_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
            asio::ip::address_v6::bytes_type bytes;
            std::copy(std::begin(v6->sin6_addr.s6_addr), std::end(v6->sin6_addr.s6_addr),
                      bytes.begin());
            endpoints.emplace(asio::ip::address_v6(bytes, v6->sin6_scope_id), 80);
        }
    }
}

}  // namespace

bool port_is_free(std::int32_t port, bool udp) {
    if (port < 1 || port > 65535) {
        return false;
    }
    const auto number = static_cast<std::uint16_t>(port);
    return udp ? can_bind<asio::ip::udp>(number) : can_bind<tcp>(number);
}

bool names_this_machine(const std::string& host) {
    // Resolved, no name at all would give the loopback addresses.
    if (host.empty()) {
        return false;
    }
    asio::io_context io;
    std::set<tcp::endpoint> named;
    add_resolved(io, host, tcp::resolver::address_configured, named);
    if (named.empty()) {
        return false;
    }

    std::set<tcp::endpoint> here;
    char host_name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host_name, sizeof host_name - 1) == 0) {
        add_resolved(io, host_name, tcp::resolver::address_configured, here);
    }
    here.emplace(asio::ip::make_address_v4("127.0.0.1"), 80);
    add_interface_addresses(here);

    for (const auto& endpoint : named) {
        if (here.contains(endpoint)) {
            return true;
        }
    }
    return false;
}

}  // namespace lumo_install
