#include "bench/process_usage.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace bench {

std::optional<double> process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    // The command name may hold spaces and parentheses: the fields we want
    // count from the last ')'. utime and stime are the 14th and 15th fields;
    // the state, the 3rd, comes first after it.
    const auto end_of_name = line.rfind(')');
    if (end_of_name == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(end_of_name + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    unsigned long long user = 0, system = 0;
    if (!(fields >> user >> system)) {
        return std::nullopt;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

// A size field of /proc/PID/status ("VmHWM:", "VmRSS:"), in bytes.
std::optional<std::uint64_t> status_bytes(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == field) {
            std::uint64_t kilobytes = 0;
            if (in >> kilobytes) {
                return kilobytes * 1024;
            }
            return std::nullopt;
        }
        std::getline(in, key);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> process_peak_rss(pid_t pid) {
    return status_bytes(pid, "VmHWM:");
}

std::optional<std::uint64_t> process_rss(pid_t pid) {
    return status_bytes(pid, "VmRSS:");
}

namespace {

double cpu_seconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

double own_cpu_seconds() {
    return cpu_seconds(RUSAGE_SELF);
}

double children_cpu_seconds() {
    return cpu_seconds(RUSAGE_CHILDREN);
}

}  // namespace bench
