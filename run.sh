#!/usr/bin/env bash
# Installs what is missing, builds Release, and starts qen on conf/qen.xml.
# Stop it with Ctrl-C, `kill <pid>`, or by setting its shutdown event.
set -euo pipefail
cd "$(dirname "$0")"

scripts/ensure-packages.sh scripts/packages.txt

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)" --target qen

# Applications are folders under the domain root; "live" is ready to use.
mkdir -p data/www/live
exec "$build/qen/qen" conf/qen.xml
