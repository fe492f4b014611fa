#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Exits non-zero on any
# failure or sanitizer report. Arguments go to ctest.
#
# QEN_SANITIZE=thread builds with ThreadSanitizer instead, into build/tsan
# (scripts/test-tsan.sh); a data race then fails the test that shows it.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh scripts/packages.txt

sanitize=${QEN_SANITIZE:-ON}
case $sanitize in
    ON) build=build/test ;;
    thread) build=build/tsan ;;
    *) echo "QEN_SANITIZE must be ON or thread" >&2; exit 2 ;;
esac
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEN_SANITIZE="$sanitize" -DQEN_WERROR=ON
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# halt_on_error: a race in a child process (qen, the test servers) fails its
# test too, instead of only being printed.
# scripts/tsan-suppressions.txt says which libraries' own memory traffic is
# not checked, and why.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4 suppressions=$PWD/scripts/tsan-suppressions.txt"
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
