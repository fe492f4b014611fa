#!/usr/bin/env bash
# The transcoding benchmark: the upload client's transcoder on one
# ffmpeg-made file (60 s, 1920x1080, H.264 + AAC) for each preset, beside
# the ffmpeg command line doing the same work. Builds Release. See
# bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
Usage: bench/transcode.sh [options]

  --runs N            runs of each, the best one counts (3)
  --input FILE        the file to transcode (made once when not given)
  --build-dir DIR     the Release tree (build/bench)
  --no-build          use the binaries already built there
USAGE
}

runs=3
input=
build=build/bench
do_build=1
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --input) input=$2; shift 2 ;;
        --build-dir) build=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done

if [ "$do_build" = 1 ]; then
    scripts/ensure-packages.sh scripts/packages.txt
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$(nproc)" --target transcode_bench quendle
fi
bench=$build/bench/transcode_bench
[ -x "$bench" ] || { echo "transcode.sh: $bench is not built" >&2; exit 1; }

if [ -z "$input" ]; then
    input=$build/bench/transcode-1080p-60s.mp4
    if [ ! -s "$input" ]; then
        echo "Making the input: $input"
        ffmpeg -nostdin -hide_banner -loglevel error -y \
            -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
            -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 60 \
            -c:v libx264 -preset veryfast -b:v 6000k -pix_fmt yuv420p \
            -c:a aac -b:a 128k -ac 2 -f mp4 "$input.part"
        mv "$input.part" "$input"
    fi
fi

work=$(mktemp -d /tmp/lumo-transcode.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "Input: $input; best of $runs runs; $(nproc) CPUs"
"$bench" "$input" "$work" "$runs"
