// A recorded-playback server for tests with real clients: every connect is
// accepted and every play of NAME plays NAME.flv from the folder given.
// Listens on 127.0.0.1 at the port given; prints "ready" once it accepts,
// and stops on SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "rtmp/tests/recorded_files.hpp"
#include "rtmp/tests/test_server.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: rtmp_recorded_server PORT FOLDER\n");
        return 1;
    }
    const std::filesystem::path folder = argv[2];
    return rtmp_test::serve_until_signalled(static_cast<unsigned short>(std::atoi(argv[1])),
                                            [&folder](rtmp::rtmp_server& server, io_service_pool&) {
                                                rtmp_test::bind_recorded_files(server, folder);
                                            });
}
