#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them.
#   ./fuzz.sh                 lists the targets
#   ./fuzz.sh NAME [SECONDS]  runs fuzz_NAME on a fresh corpus (default 60 s),
#                             starting from the seeds in fuzz/seeds/NAME
#
# The seeds are real sessions and files (scripts/make-fuzz-seeds.py makes
# them): they take the fuzzer past the handshakes and into the commands.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh scripts/packages.txt scripts/fuzz-packages.txt

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQEN_FUZZ=ON -DQEN_BUILD_TESTS=OFF >/dev/null

if [ $# -eq 0 ]; then
    cmake --build "$build" --target help | sed -n 's/^\(fuzz_[a-z0-9_]*\):.*/\1/p'
    exit 0
fi

name=$1
seconds=${2:-60}
cmake --build "$build" -j "$(nproc)" --target "fuzz_$name"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
corpora=("$corpus")
if [ -d "fuzz/seeds/$name" ]; then
    corpora+=("fuzz/seeds/$name")
fi
"$build/fuzzers/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 "${corpora[@]}"
