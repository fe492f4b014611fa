// Opens a file the way a second server process would: exit code 0 when the
// exclusive open succeeded, 1 when another holder kept it out. With "hold",
// keeps the file open, as a publisher's recorder does, after printing
// "held", until it is killed (giving up after two minutes).
#include <chrono>
#include <iostream>
#include <string_view>
#include <thread>

#include "foundation/exclusive_ofstream.hpp"

int main(int argc, char** argv) {
    const bool hold = argc == 3 && std::string_view(argv[2]) == "hold";
    if (argc != 2 && !hold) {
        std::cerr << "usage: foundation_exclusive_open FILE [hold]\n";
        return 2;
    }
    exclusive_ofstream file(argv[1]);
    if (!file) {
        return 1;
    }
    if (hold) {
        file << "lock" << std::flush;
        std::cout << "held" << std::endl;
        std::this_thread::sleep_for(std::chrono::minutes(2));
        return 0;
    }
    file << "second";
    return 0;
}
