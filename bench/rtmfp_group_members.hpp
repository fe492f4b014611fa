#pragma once

#include <cstddef>
#include <string>

// The qen mode of rtmfp_handshakes: `members` clients in turn (`clients`
// at once) connect to a qen process started from `qen_binary` and join one
// NetGroup; prints joins a second and qen's memory per 10 000 members.
// Returns the program's exit code.
int run_group_members(const std::string& qen_binary, int clients, std::size_t members);
