#!/usr/bin/env bash
# Builds Debug with ThreadSanitizer into build/tsan and runs every test.
# Exits non-zero on any failure or data-race report. Extra arguments go to
# ctest (e.g. -R '^rtmp\.').
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh scripts/packages.txt

build=build/tsan
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEN_SANITIZE=thread -DQEN_WERROR=ON
cmake --build "$build" -j "$jobs"

# halt_on_error: a race fails the test that shows it, child processes
# (qen, the test servers) included, instead of only being printed.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4"
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
