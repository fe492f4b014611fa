#!/usr/bin/env bash
# The fan-out benchmark: one publisher at about 2 Mbit/s (ffmpeg relaying a
# sample it made from its test sources) and N players of our own load client
# (rtmp_load) against an RTMP server on loopback. Builds Release, and for
# each N starts the server afresh, publishes, connects the players in one
# burst, and measures a fixed window. With --file the players play the
# sample as a stored FLV file instead, each at its own pace. See
# bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

usage() {
    cat <<'EOF'
Usage: bench/fanout.sh [options]

  --server relay|qen|PATH  the server under test (relay): "relay" is the live
                           relay test server, "qen" the media server, both
                           from this build; a PATH is a binary of either kind
                           (named qen: given a configuration file; otherwise
                           given the port)
  --players "N ..."        player counts, one run each ("10 100 1000")
  --window S               measured seconds per run (20; 30 with --file)
  --warmup S               seconds played before the window (3)
  --bitrate KBIT           the publisher's total bitrate (2000)
  --gop FRAMES             keyframe interval at 25 frames/s (25)
  --threads N              io threads of the load client (4)
  --no-record              qen only: publish_format "none", nothing recorded
  --file                   qen only: no publisher; the players play the
                           sample as an FLV file of the application
  --buffer-ms MS           the buffer length the players announce (3000;
                           5000 with --file)
  --perf                   record the server with perf during each run
                           (call graphs from frame pointers; PERF_CALL_GRAPH=dwarf
                           unwinds a build without them, with bigger files)
  --build-dir DIR          the Release tree (build/bench)
  --no-build               use the binaries already built there
EOF
}

server=relay
players="10 100 1000"
window=
warmup=3
bitrate=2000
gop=25
threads=4
record=1
file=0
buffer_ms=
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
        --file) file=1; shift ;;
        --buffer-ms) buffer_ms=$2; shift 2 ;;
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
if [ "$file" = 1 ] && [ "$kind" != qen ]; then
    echo "fanout.sh: --file plays from the media server: add --server qen" >&2
    exit 1
fi
# A stored file is played once through: it must outlast the ramp, the
# warm-up, the window and the buffer the players fill ahead.
seconds=60
if [ "$file" = 1 ]; then
    seconds=120
    buffer_ms=${buffer_ms:-5000}
    # A stored stream comes in bursts once a second: over 20 s, one burst
    # is the whole of the pace's 5 % margin.
    window=${window:-30}
fi
window=${window:-20}
buffer_ms=${buffer_ms:-3000}

if [ "$do_build" = 1 ]; then
    bench_build "$build" rtmp_load $target
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
raise_descriptor_limit $((most + 256)) fanout.sh

make_sample "$build" "$bitrate" "$gop" "$seconds"
sample=$(sample_path "$build" "$bitrate" "$gop" "$seconds")

work=$(mktemp -d /tmp/qen-fanout.XXXXXX)
echo "Logs: $work"
server_pid=
publisher_pid=
perf_pid=
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
        write_qen_config "$dir" "$port"
        mkdir -p "$dir/www/live"
        if [ "$file" = 1 ]; then
            ln -s "$(realpath "$sample")" "$dir/www/live/clip.flv"
        elif [ "$record" = 0 ]; then
            echo '<config><qen_app><publish_format>none</publish_format></qen_app></config>' \
                >"$dir/www/live/.flaccess"
        fi
        "$server_bin" "$dir/qen.xml" >"$work/server-$n.log" 2>&1 &
    else
        "$server_bin" "$port" >"$work/server-$n.log" 2>&1 &
    fi
    server_pid=$!
    await_listener "$server_pid" "$port" "$work/server-$n.log" fanout.sh
}

results=()
for n in $players; do
    echo
    echo "=== $n players ==="
    port=$("$load" --free-port)
    start_server "$n" "$port"
    stream=clip
    if [ "$file" = 0 ]; then
        stream=s
        ffmpeg -nostdin -hide_banner -loglevel error -re -stream_loop -1 -i "$sample" \
            -c copy -f flv "rtmp://127.0.0.1:$port/live/$stream" >"$work/publisher-$n.log" 2>&1 &
        publisher_pid=$!
    fi
    if [ "$use_perf" = 1 ]; then
        perf record -q --call-graph "${PERF_CALL_GRAPH:-fp}" -F 499 -p "$server_pid" -o "$work/perf-$n.data" \
            >"$work/perf-$n.log" 2>&1 &
        perf_pid=$!
    fi

    status=0
    "$load" --port "$port" --stream "$stream" --players "$n" --window "$window" \
        --warmup "$warmup" --buffer-ms "$buffer_ms" --threads "$threads" \
        --server-pid "$server_pid" | tee "$work/load-$n.log" || status=$?

    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "fanout.sh: the server died during the run; its output:" >&2
        cat "$work/server-$n.log" >&2
        status=1
    fi
    if [ -n "$publisher_pid" ] && ! kill -0 "$publisher_pid" 2>/dev/null; then
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
if [ "$file" = 1 ]; then
    echo "Machine: $(nproc) cores; players of an FLV file of ${bitrate} kbit/s, GOP $gop frames" \
        "at 25/s, ${buffer_ms} ms buffer; window ${window} s after ${warmup} s"
else
    echo "Machine: $(nproc) cores; publisher ${bitrate} kbit/s, GOP $gop frames at 25/s;" \
        "window ${window} s after ${warmup} s"
fi
printf '%8s %11s %13s %11s %11s %10s %10s %10s %7s %7s\n' players "kept up" "Mbit/s total" \
    "per player" "server CPU" "CPU s/GB" "peak MiB" "KB/player" "ramp s" "client"
for line in "${results[@]}"; do
    peak=$(field server_peak_rss_mib "$line")
    per_player=$(awk -v mib="${peak:-0}" -v n="$(field players "$line")" \
        'BEGIN { printf "%.0f", mib * 1048576 / 1000 / n }')
    printf '%8s %11s %13s %11s %10s%% %10s %10s %10s %7s %6s%%\n' \
        "$(field players "$line")" "$(field kept_up "$line")/$(field players "$line")" \
        "$(field total_mbps "$line")" "$(field per_player_mbps "$line")" \
        "$(field server_cpu_pct "$line")" "$(field cpu_s_per_gb "$line")" \
        "$peak" "$per_player" "$(field ramp_s "$line")" \
        "$(field client_cpu_pct "$line")"
done
