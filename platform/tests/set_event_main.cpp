// Sets a named event from a process of its own: exit 0 when it was set,
// 1 when no such event exists.
#include <cstdio>

#include "platform/named_event.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: platform_set_event NAME\n", stderr);
        return 2;
    }
    return platform::set_named_event(argv[1]) ? 0 : 1;
}
