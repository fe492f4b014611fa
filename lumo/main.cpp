// lumo: the supervisor. Runs the machine's server processes and the
// administration port, as a systemd service or in a terminal.
#include <signal.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "lumo/lumo_service.hpp"
#include "platform/termination_signals.hpp"

int main(int argc, char** argv) {
    // Before any thread starts: the service's control thread alone takes
    // the control signals, and a peer that goes away mid-write is an error
    // code, not a signal.
    platform::hold_control_signals();
    ::signal(SIGPIPE, SIG_IGN);

    try {
        lumo::lumo_service service(std::vector<std::string>(argv + 1, argv + argc));
        return service.execute();
    } catch (const std::exception& e) {
        std::cerr << "Exception: " << e.what() << std::endl;
        return 1;
    }
}
