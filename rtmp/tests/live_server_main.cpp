// A live relay server for tests with real clients: every connect is
// accepted, every publish becomes a live stream and every play a live
// player. Listens on 127.0.0.1 at the port given; prints "ready" once it
// accepts, and stops on SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>

#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/tests/live_relay.hpp"
#include "rtmp/tests/test_server.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: rtmp_live_server PORT\n");
        return 1;
    }
    rtmp::rtmp_live_streams registry;
    const int code =
        rtmp_test::serve_until_signalled(static_cast<unsigned short>(std::atoi(argv[1])),
                                         [&registry](rtmp::rtmp_server& server, io_service_pool&) {
                                             rtmp_test::bind_live_relay(server, registry);
                                         });
    registry.clear();
    return code;
}
