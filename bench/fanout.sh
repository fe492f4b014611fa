#!/usr/bin/env bash
# The fan-out benchmark: one publisher at about 2 Mbit/s (ffmpeg relaying a
# sample it made from its test sources) and N players of our own load client
# (rtmp_load) against an RTMP server on loopback. Builds Release, and for
# each N starts the server afresh, publishes, connects the players in one
# burst, and measures a fixed window. See bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'EOF'
Usage: bench/fanout.sh [options]

  --server relay|qen|PATH  the server under test (relay): "relay" is the live
                           relay test server, "qen" the media server, both
                           from this build; a PATH is a binary of either kind
                           (named qen: given a configuration file; otherwise
                           given the port)
  --players "N ..."        player counts, one run each ("10 100 1000")
  --window S               measured seconds per run (20)
  --warmup S               seconds played before the window (3)
  --bitrate KBIT           the publisher's total bitrate (2000)
  --gop FRAMES             keyframe interval at 25 frames/s (25)
  --threads N              io threads of the load client (4)
  --no-record              qen only: publish_format "none", nothing recorded
  --perf                   record the server with perf during each run
                           (call graphs from frame pointers; PERF_CALL_GRAPH=dwarf
                           unwinds a build without them, with bigger files)
  --build-dir DIR          the Release tree (build/bench)
  --no-build               use the binaries already built there
EOF
}

server=relay
players="10 100 1000"
window=20
warmup=3
bitrate=2000
gop=25
threads=4
record=1
use_perf=0
build=build/bench
do_build=1
while [ $# -gt 0 ]; do
    case $1 in
        --server) server=$2; shift 2 ;;
        --players) players=$2; shift 2 ;;
        --window) window=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --bitrate) bitrate=$2; shift 2 ;;
        --gop) gop=$2; shift 2 ;;
        --threads) threads=$2; shift 2 ;;
        --no-record) record=0; shift ;;
        --perf) use_perf=1; shift ;;
        --build-dir) build=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "fanout.sh: unknown option $1" >&2; usage >&2; exit 1 ;;
    esac
done

case $server in
    relay) server_bin=$build/rtmp/tests/rtmp_live_server; target=rtmp_live_server ;;
    qen) server_bin=$build/qen/qen; target=qen ;;
    *) server_bin=$server; target= ;;
esac
kind=relay
[ "$(basename "$server_bin")" = qen ] && kind=qen

if [ "$do_build" = 1 ]; then
    scripts/ensure-packages.sh scripts/packages.txt
    # Tests stay on: the relay server is a test program.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$(nproc)" --target rtmp_load $target
fi
load=$build/bench/rtmp_load
for program in "$load" "$server_bin"; do
    [ -x "$program" ] || { echo "fanout.sh: $program is not built" >&2; exit 1; }
done
if [ "$use_perf" = 1 ] && ! command -v perf >/dev/null; then
    echo "fanout.sh: --perf needs perf (Debian package linux-perf)" >&2
    exit 1
fi

# The server and the client each hold a descriptor per player.
most=0
for n in $players; do [ "$n" -gt "$most" ] && most=$n; done
needed=$((most + 256))
if [ "$(ulimit -n)" -lt "$needed" ]; then
    hard=$(ulimit -Hn)
    if [ "$hard" != unlimited ] && [ "$hard" -lt "$needed" ]; then
        echo "fanout.sh: $most players need $needed descriptors; the hard limit is $hard" >&2
        exit 1
    fi
    ulimit -n "$needed"
fi

audio_kbit=128
sample=$build/bench/sample-${bitrate}k-g${gop}.flv
if [ ! -s "$sample" ]; then
    echo "Making the publisher's sample: $sample"
    video_kbit=$((bitrate - audio_kbit))
    # Constant bitrate with filler, so the stream runs at the rate asked for
    # whatever the picture.
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=854x480:rate=25" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100" -t 60 \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p \
        -b:v ${video_kbit}k -minrate ${video_kbit}k -maxrate ${video_kbit}k \
        -bufsize $((video_kbit / 2))k -x264-params nal-hrd=cbr \
        -g "$gop" -keyint_min "$gop" -sc_threshold 0 \
        -c:a aac -b:a ${audio_kbit}k -ac 2 -f flv "$sample.part"
    mv "$sample.part" "$sample"
fi

work=$(mktemp -d /tmp/qen-fanout.XXXXXX)
echo "Logs: $work"
server_pid=
publisher_pid=
perf_pid=
stop_pid() {  # pid signal: signals it and waits up to 10 s, then kills it
    local pid=$1
    [ -n "$pid" ] || return 0
    kill "-$2" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop_pid "$perf_pid" INT
    stop_pid "$publisher_pid" TERM
    stop_pid "$server_pid" TERM
    perf_pid= publisher_pid= server_pid=
}
trap cleanup EXIT

start_server() {  # n port
    local n=$1 port=$2
    if [ "$kind" = qen ]; then
        local dir=$work/qen-$n
        mkdir -p "$dir/www/live"
        if [ "$record" = 0 ]; then
            echo '<config><qen_app><publish_format>none</publish_format></qen_app></config>' \
                >"$dir/www/live/.flaccess"
        fi
        cat >"$dir/qen.xml" <<EOF
<config><qen>
  <rtmp><disabled>0</disabled><addr>127.0.0.1</addr><port>$port</port></rtmp>
  <rtmfp><disabled>1</disabled></rtmfp>
  <domains><domain>
    <names><name>127.0.0.1</name><name>localhost</name></names>
    <path>$dir/www</path><default>true</default>
  </domain></domains>
</qen></config>
EOF
        "$server_bin" "$dir/qen.xml" >"$work/server-$n.log" 2>&1 &
    else
        "$server_bin" "$port" >"$work/server-$n.log" 2>&1 &
    fi
    server_pid=$!
    for _ in $(seq 200); do
        if ! kill -0 "$server_pid" 2>/dev/null; then
            echo "fanout.sh: the server exited at start:" >&2
            cat "$work/server-$n.log" >&2
            exit 1
        fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "fanout.sh: the server does not listen on port $port" >&2
    exit 1
}

results=()
for n in $players; do
    echo
    echo "=== $n players ==="
    port=$("$load" --free-port)
    start_server "$n" "$port"
    ffmpeg -nostdin -hide_banner -loglevel error -re -stream_loop -1 -i "$sample" \
        -c copy -f flv "rtmp://127.0.0.1:$port/live/s" >"$work/publisher-$n.log" 2>&1 &
    publisher_pid=$!
    if [ "$use_perf" = 1 ]; then
        perf record -q --call-graph "${PERF_CALL_GRAPH:-fp}" -F 499 -p "$server_pid" -o "$work/perf-$n.data" \
            >"$work/perf-$n.log" 2>&1 &
        perf_pid=$!
    fi

    status=0
    "$load" --port "$port" --players "$n" --window "$window" --warmup "$warmup" \
        --threads "$threads" --server-pid "$server_pid" | tee "$work/load-$n.log" || status=$?

    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "fanout.sh: the server died during the run; its output:" >&2
        cat "$work/server-$n.log" >&2
        status=1
    fi
    if ! kill -0 "$publisher_pid" 2>/dev/null; then
        echo "fanout.sh: the publisher stopped during the run; its output:" >&2
        cat "$work/publisher-$n.log" >&2
        status=1
    fi
    if [ -n "$perf_pid" ]; then
        stop_pid "$perf_pid" INT
        perf_pid=
        perf report -i "$work/perf-$n.data" --stdio --no-children --percent-limit 1 \
            >"$work/perf-$n.txt" 2>/dev/null || true
        echo "perf profile: $work/perf-$n.txt"
    fi
    cleanup
    [ "$status" = 0 ] || exit "$status"
    results+=("$(grep '^RESULT ' "$work/load-$n.log")")
done

field() {  # key line
    sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"
}
echo
echo "Server: $server_bin ($kind$([ "$kind" = qen ] && [ "$record" = 0 ] && echo ', not recording'))"
echo "Machine: $(nproc) cores; publisher ${bitrate} kbit/s, GOP $gop frames at 25/s;" \
    "window ${window} s after ${warmup} s"
printf '%8s %11s %13s %11s %11s %10s %10s %7s %7s\n' players "kept up" "Mbit/s total" \
    "per player" "server CPU" "CPU s/GB" "peak MiB" "ramp s" "client"
for line in "${results[@]}"; do
    printf '%8s %11s %13s %11s %10s%% %10s %10s %7s %6s%%\n' \
        "$(field players "$line")" "$(field kept_up "$line")/$(field players "$line")" \
        "$(field total_mbps "$line")" "$(field per_player_mbps "$line")" \
        "$(field server_cpu_pct "$line")" "$(field cpu_s_per_gb "$line")" \
        "$(field server_peak_rss_mib "$line")" "$(field ramp_s "$line")" \
        "$(field client_cpu_pct "$line")"
done
