// Opens a file the way a second server process would: exit code 0 when the
// exclusive open succeeded, 1 when another holder kept it out.
#include <iostream>

#include "foundation/exclusive_ofstream.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: foundation_exclusive_open FILE\n";
        return 2;
    }
    exclusive_ofstream file(argv[1]);
    if (!file) {
        return 1;
    }
    file << "second";
    return 0;
}
