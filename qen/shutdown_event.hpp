#pragma once

#include <sys/types.h>

#include <string>

namespace qen {

// The name of the event that stops the qen process `pid`: "qen_shutdown_"
// and the pid. qen makes it once its servers run; a supervisor sets it.
inline std::string shutdown_event_name(pid_t pid) {
    return "qen_shutdown_" + std::to_string(pid);
}

}  // namespace qen
