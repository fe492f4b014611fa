#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace bench {

// CPU time a process has used, user and system, in seconds; nothing when the
// process is gone.
std::optional<double> process_cpu_seconds(pid_t pid);

// The peak resident set size of a process in bytes (VmHWM); nothing when the
// process is gone.
std::optional<std::uint64_t> process_peak_rss(pid_t pid);

// The resident set size of a process in bytes (VmRSS); nothing when the
// process is gone.
std::optional<std::uint64_t> process_rss(pid_t pid);

// CPU time this process has used, user and system, in seconds.
double own_cpu_seconds();

// CPU time of this process's children that have ended and been waited for,
// user and system, in seconds.
double children_cpu_seconds();

}  // namespace bench
