#pragma once

#include <cstdint>

// The RTMP clock: the local wall-clock time of day in milliseconds, from 0 to
// one millisecond short of 24 hours; it wraps to 0 at local midnight. Message
// timestamps of a connection are taken from it relative to the time written
// into the handshake.
std::uint32_t time_of_day_ms();
