#!/usr/bin/env bash
# The upload benchmark: the upload client's workers sending a recording of
# about 100 MB in segment blocks to the fake web site over loopback, one task
# and four at once, beside curl posting the same blocks. Builds Release. See
# bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
Usage: bench/upload.sh [options]

  --runs N            runs of each, the best one counts (3)
  --megabytes N       the size of each task's recording (100)
  --build-dir DIR     the Release tree (build/bench)
  --no-build          use the binary already built there
USAGE
}

runs=3
megabytes=100
build=build/bench
do_build=1
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --megabytes) megabytes=$2; shift 2 ;;
        --build-dir) build=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done

if [ "$do_build" = 1 ]; then
    scripts/ensure-packages.sh scripts/packages.txt
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$(nproc)" --target upload_bench
fi
bench=$build/bench/upload_bench
[ -x "$bench" ] || { echo "upload.sh: $bench is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/lumo-upload.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "$megabytes MB a task; best of $runs runs; $(nproc) CPUs; $(curl --version | head -1)"
"$bench" "$work" "$megabytes" "$runs"
