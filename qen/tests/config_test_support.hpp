#pragma once

// What a loaded configuration serves, as text that tests compare: a
// configuration changed in memory against the same file loaded afresh.

#include <map>
#include <string>

#include "qen/qen_config.hpp"

namespace qen_test {

// Each host name with the domain it leads to: the domain's names, root and
// virtual directories, and whether it is the default.
inline std::map<std::string, std::string> served_domains(const qen::qen_config& config) {
    std::map<std::string, std::string> served;
    for (const auto& [host, domain] : config.domains()) {
        std::string text = "names:";
        for (const auto& name : domain->names) {
            text += " " + name;
        }
        text += "; path: " + domain->path + "; dirs:";
        for (const auto& [name, path] : domain->virtual_dirs) {
            text += " " + name + "=" + path;
        }
        if (domain == config.default_domain()) {
            text += "; default";
        }
        served[host] = text;
    }
    return served;
}

}  // namespace qen_test
