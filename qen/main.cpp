// qen: the media server. One optional argument, the configuration file.
#include <signal.h>

#include <exception>
#include <filesystem>
#include <iostream>

#include "platform/termination_signals.hpp"
#include "qen/qen_server.hpp"

int main(int argc, char** argv) {
    // Before any thread starts: stop requests wait until we can handle them,
    // and a peer that goes away mid-write is an error code, not a signal.
    platform::hold_termination_signals();
    ::signal(SIGPIPE, SIG_IGN);

    if (argc > 2) {
        std::cerr << "Usage: qen [config file]" << std::endl;
        return 1;
    }
    const std::filesystem::path config_file = argc == 2 ? argv[1] : "qen.xml";

    try {
        qen::qen_server_context context(config_file);
        qen::qen_server server(context);
        qen::wait_for_shutdown();
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 3;
    }
    return 0;
}
