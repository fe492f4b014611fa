#include "platform/network_addresses.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

namespace platform {

namespace {

struct interface_list_deleter {
    void operator()(ifaddrs* list) const noexcept { freeifaddrs(list); }
};

}  // namespace

std::vector<boost::asio::ip::address> interface_addresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        throw std::system_error(errno, std::generic_category(), "getifaddrs");
    }
    const std::unique_ptr<ifaddrs, interface_list_deleter> list(raw);
    std::vector<boost::asio::ip::address> found;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in v4{};
            std::memcpy(&v4, entry->ifa_addr, sizeof v4);
            found.emplace_back(boost::asio::ip::address_v4(ntohl(v4.sin_addr.s_addr)));
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            sockaddr_in6 v6{};
            std::memcpy(&v6, entry->ifa_addr, sizeof v6);
            boost::asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &v6.sin6_addr, bytes.size());
            const boost::asio::ip::address_v6 address(bytes);
            if (!address.is_link_local()) {
                found.emplace_back(address);
            }
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

}  // namespace platform
