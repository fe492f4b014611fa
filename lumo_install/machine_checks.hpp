#pragma once

#include <cstdint>
#include <string>

namespace lumo_install {

// Whether a socket of the kind asked for can bind 0.0.0.0:port now. Asks for
// no address reuse, so a TCP port with connections still closing is busy.
// False for a port outside 1 to 65535 and on any error.
bool port_is_free(std::int32_t port, bool udp);

// Whether `host` resolves to one of this machine's addresses: those its host
// name resolves to, 127.0.0.1, and those of its network interfaces. False
// when the name does not resolve.
bool names_this_machine(const std::string& host);

}  // namespace lumo_install
