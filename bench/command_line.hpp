#pragma once

#include <string>

namespace bench {

// Hands each "--name value" pair of a benchmark's command line to
// `take(name, value)`, which returns false for a name it does not know;
// calls `usage` (which does not return) for such a name and for a name
// without a value.
template <class Take>
void for_each_option(int argc, char** argv, void (*usage)(), Take&& take) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !take(std::string(argv[i]), std::string(argv[i + 1]))) {
            usage();
        }
    }
}

}  // namespace bench
