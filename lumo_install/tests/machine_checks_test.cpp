#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <climits>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "lumo_install/tests/installer_library.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace asio = boost::asio;
using namespace lumo_install_testing;
using platform::testing::free_port;
using platform::testing::transport;

TEST(TestPort, APortIsFreeOnlyForTheKindsNobodyHolds) {
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, {asio::ip::make_address("127.0.0.1"), 0});
    const int tcp_held = listener.local_endpoint().port();
    asio::ip::udp::socket bound(io, {asio::ip::make_address("127.0.0.1"), 0});
    const int udp_held = bound.local_endpoint().port();
    const int unused = free_port(transport::tcp);

    struct port_case {
        const char* name;
        std::int32_t port;
        bool udp;
        bool free;
    } cases[] = {
        {"a TCP listener's port over TCP", tcp_held, false, false},
        {"a TCP listener's port over UDP", tcp_held, true, true},
        {"a bound UDP port over UDP", udp_held, true, false},
        {"an unused port over TCP", unused, false, true},
        {"an unused port over UDP", unused, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(library().test_port(c.port, c.udp), c.free) << c.name;
    }
    // Outside 1 to 65535 no port is named: not a port of the system's
    // choice, not the port the number would come to in 16 bits.
    for (const std::int32_t port : {0, -1, 65536, 65616, INT32_MIN, INT32_MAX}) {
        for (const bool udp : {false, true}) {
            EXPECT_FALSE(library().test_port(port, udp)) << port << (udp ? " udp" : " tcp");
        }
    }
}

// Whether the machine resolves `name` without a name server, with the flags
// the library uses.
bool resolves_here(const std::string& name) {
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), "80", &hints, &found) != 0) {
        return false;
    }
    ::freeaddrinfo(found);
    return true;
}

// The addresses of the machine's interfaces that are neither loopback nor
// link-local (which would need the interface's name), as text.
std::vector<std::string> outside_addresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto& address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
            if ((ntohl(address.s_addr) >> 24) != 127) {
                addresses.emplace_back(inet_ntop(AF_INET, &address, text, sizeof text));
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto& address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            if (!IN6_IS_ADDR_LOOPBACK(&address) && !IN6_IS_ADDR_LINKLOCAL(&address)) {
                addresses.emplace_back(inet_ntop(AF_INET6, &address, text, sizeof text));
            }
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

// Whether the hosts file gives `name` an address.
bool in_hosts_file(const std::string& name) {
    std::ifstream hosts("/etc/hosts");
    for (std::string line; std::getline(hosts, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        words >> word;  // the address
        while (words >> word) {
            if (word == name) {
                return true;
            }
        }
    }
    return false;
}

TEST(TestDomain, NamesAndAddressesOfThisMachineLeadHere) {
    const auto& lib = library();
    EXPECT_FALSE(lib.test_domain(nullptr));
    EXPECT_FALSE(lib.test_domain(""));

    for (const std::string name : {"127.0.0.1", "localhost"}) {
        if (resolves_here(name)) {
            EXPECT_TRUE(lib.test_domain(name.c_str())) << name;
        }
    }
    char host_name[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(::gethostname(host_name, sizeof host_name - 1), 0);
    if (in_hosts_file(host_name)) {
        EXPECT_TRUE(lib.test_domain(host_name)) << host_name;
    }
    const auto addresses = outside_addresses();
    for (const auto& address : addresses) {
        EXPECT_TRUE(lib.test_domain(address.c_str())) << address;
    }

    // Documentation addresses, never this machine's unless it says so.
    for (const std::string other : {"192.0.2.1", "2001:db8::1"}) {
        if (std::find(addresses.begin(), addresses.end(), other) == addresses.end()) {
            EXPECT_FALSE(lib.test_domain(other.c_str())) << other;
        }
    }
}

}  // namespace
