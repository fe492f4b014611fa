#pragma once

#include <filesystem>

#include "rtmp/rtmp_server.hpp"

namespace rtmp_test {

// Binds a server's callbacks the simplest way for recorded playback: every
// connect is accepted and every play of NAME plays the file NAME.flv of the
// folder through a recorded-stream player (a start of 0 or more seeks there
// first). What the tests with real clients run against.
void bind_recorded_files(rtmp::rtmp_server& server, const std::filesystem::path& folder);

}  // namespace rtmp_test
