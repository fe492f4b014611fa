#!/usr/bin/env bash
# The ingest benchmark: P ffmpeg publishers of a 2 Mbit/s H.264 + AAC sample,
# each on a stream of its own, into the media server on loopback, recorded
# and not recorded. For each P and each mode it starts qen afresh, lets the
# publishers warm up, measures a window, stops the publishers and the server,
# and reads every recording back. See bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

usage() {
    cat <<'EOF'
Usage: bench/ingest.sh [options]

  --publishers "P ..."   publisher counts, one run each per mode ("50 200")
  --modes "M ..."        "none" (publish_format none) and/or "zpk" (recorded);
                         both by default, the unrecorded run first
  --window S             measured seconds per run (20)
  --warmup S             seconds after the last publisher started (5)
  --threads N            qen's io threads, NUMBER_OF_PROCESSORS (4)
  --bitrate KBIT         the publishers' total bitrate (2000)
  --server PATH          the qen binary (build/bench/qen/qen, built)
  --perf                 record qen with perf during each window
  --keep                 keep the recordings (they are removed once checked)
  --build-dir DIR        the Release tree (build/bench)
  --no-build             use the binaries already built there
EOF
}

publisher_counts="50 200"
modes="none zpk"
window=20
warmup=5
threads=4
bitrate=2000
server=
use_perf=0
keep=0
build=build/bench
do_build=1
while [ $# -gt 0 ]; do
    case $1 in
        --publishers) publisher_counts=$2; shift 2 ;;
        --modes) modes=$2; shift 2 ;;
        --window) window=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --threads) threads=$2; shift 2 ;;
        --bitrate) bitrate=$2; shift 2 ;;
        --server) server=$2; shift 2 ;;
        --perf) use_perf=1; shift ;;
        --keep) keep=1; shift ;;
        --build-dir) build=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "ingest.sh: unknown option $1" >&2; usage >&2; exit 1 ;;
    esac
done

if [ "$do_build" = 1 ]; then
    bench_build "$build" ingest_check qen
fi
[ -n "$server" ] || server=$build/qen/qen
check=$build/bench/ingest_check
for program in "$check" "$server"; do
    [ -x "$program" ] || { echo "ingest.sh: $program is not built" >&2; exit 1; }
done
if [ "$use_perf" = 1 ] && ! command -v perf >/dev/null; then
    echo "ingest.sh: --perf needs perf (Debian package linux-perf)" >&2
    exit 1
fi

# Each publisher holds a socket in qen, and qen a file or two per recording.
most=0
for n in $publisher_counts; do [ "$n" -gt "$most" ] && most=$n; done
raise_descriptor_limit $((4 * most + 256)) ingest.sh

make_sample "$build" "$bitrate" 25
sample=$(sample_path "$build" "$bitrate" 25)

work=$(mktemp -d /tmp/qen-ingest.XXXXXX)
echo "Logs: $work"
server_pid=
perf_pid=
publisher_pids=()
stop_publishers() {
    # One signal each: ffmpeg takes a second one as "exit at once", without
    # closing its stream or writing its last progress.
    local pid
    for pid in "${publisher_pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${publisher_pids[@]}"; do
        await_pid "$pid"
    done
    publisher_pids=()
}
cleanup() {
    stop_pid "$perf_pid" INT
    stop_publishers
    stop_pid "$server_pid" TERM
    perf_pid= server_pid=
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

ticks() {  # pid...: user + system clock ticks of the processes that still run
    local total=0 pid t
    for pid in "$@"; do
        t=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null) || t=0
        total=$((total + t))
    done
    echo "$total"
}
sent_bytes() {  # dir count: what the publishers' muxers have written so far
    local total=0 i
    for i in $(seq "$2"); do
        total=$((total + $(progress_field "$1/$i.progress" total_size)))
    done
    echo "$total"
}
thread_ticks() {  # pid prefix: user + system clock ticks of its threads whose names begin so
    local total=0 task
    for task in /proc/"$1"/task/*; do
        if [[ $(cat "$task/comm" 2>/dev/null) == "$2"* ]]; then
            total=$((total + $(awk '{ print $14 + $15 }' "$task/stat" 2>/dev/null || echo 0)))
        fi
    done
    echo "$total"
}
status_field() {  # pid key
    awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}
progress_field() {  # file key: the key's last value in an ffmpeg -progress file
    awk -F= -v key="$2" '$1 == key { value = $2 } END { print value + 0 }' "$1"
}

start_server() {  # dir port mode
    local dir=$1 port=$2 mode=$3
    write_qen_config "$dir" "$port"
    mkdir -p "$dir/www/live"
    echo "<config><qen_app><publish_format>$mode</publish_format></qen_app></config>" \
        >"$dir/www/live/.flaccess"
    NUMBER_OF_PROCESSORS=$threads "$server" "$dir/qen.xml" >"$dir/server.log" 2>&1 &
    server_pid=$!
    await_listener "$server_pid" "$port" "$dir/server.log" ingest.sh
}

# Plays a recording's FLV copy through ffprobe: no error, and no gap longer
# than half a second between two packets of one stream. Prints
# "PROBE index=... errors=N video=V audio=A max_gap_ms=G".
probe_one() {
    local index=$1 flv=$2 line
    line=$("$check" "$index" "$flv") || true
    echo "$line"
    local errors
    errors=$(ffprobe -v error -show_entries packet=codec_type,dts_time -of csv=p=0 "$flv" \
        2>"$flv.err" | awk -F, -v index_path="$index" '
        $2 != "N/A" {
            if ($1 in last) { gap = ($2 - last[$1]) * 1000; if (gap > max) max = gap }
            last[$1] = $2; count[$1]++
        }
        END {
            printf "PROBE index=%s video=%d audio=%d max_gap_ms=%d\n", index_path,
                count["video"], count["audio"], max
        }')
    echo "$errors errors=$(wc -l <"$flv.err")"
    rm -f "$flv" "$flv.err"
}
export -f probe_one
export check

field() {  # key line...
    sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2" | head -1
}

results=()
for p in $publisher_counts; do
    for mode in $modes; do
        run=$work/$mode-$p
        echo
        echo "=== $p publishers, publish_format $mode ==="
        port=$(free_port)
        start_server "$run" "$port" "$mode"
        mkdir -p "$run/publishers"
        for i in $(seq "$p"); do
            ffmpeg -nostdin -hide_banner -loglevel error -re -stream_loop -1 -i "$sample" \
                -c copy -f flv -progress "$run/publishers/$i.progress" \
                "rtmp://127.0.0.1:$port/live/s$i" >"$run/publishers/$i.log" 2>&1 &
            publisher_pids+=($!)
            sleep 0.02
        done
        sleep "$warmup"

        started=$(date +%s.%N)
        cpu0=$(ticks "$server_pid")
        rec0=$(thread_ticks "$server_pid" qen-rec)
        pub_cpu0=$(ticks "${publisher_pids[@]}")
        sent0=$(sent_bytes "$run/publishers" "$p")
        out0=()
        for i in $(seq "$p"); do
            out0+=("$(progress_field "$run/publishers/$i.progress" out_time_us)")
        done
        if [ "$use_perf" = 1 ]; then
            perf record -q --call-graph "${PERF_CALL_GRAPH:-fp}" -F 999 -p "$server_pid" \
                -o "$run/perf.data" >"$run/perf.log" 2>&1 &
            perf_pid=$!
        fi
        most_threads=0
        deadline=$(awk -v s="$started" -v w="$window" 'BEGIN { printf "%.3f", s + w }')
        while awk -v now="$(date +%s.%N)" -v end="$deadline" 'BEGIN { exit !(now < end) }'; do
            n=$(status_field "$server_pid" Threads)
            [ "$n" -gt "$most_threads" ] && most_threads=$n
            sleep 1
        done
        cpu1=$(ticks "$server_pid")
        rec1=$(thread_ticks "$server_pid" qen-rec)
        pub_cpu1=$(ticks "${publisher_pids[@]}")
        sent1=$(sent_bytes "$run/publishers" "$p")
        ended=$(date +%s.%N)
        peak_kib=$(status_field "$server_pid" VmHWM)
        if [ -n "$perf_pid" ]; then
            stop_pid "$perf_pid" INT
            perf_pid=
            perf report -i "$run/perf.data" --stdio --no-children --percent-limit 0.5 \
                >"$run/perf.txt" 2>/dev/null || true
            echo "perf profile: $run/perf.txt"
        fi
        # A publisher keeps up when its media time advanced at least 0.97 s
        # per second of the window.
        slow=0
        for i in $(seq "$p"); do
            out1=$(progress_field "$run/publishers/$i.progress" out_time_us)
            if awk -v a="${out0[$((i - 1))]}" -v b="$out1" -v s="$started" -v e="$ended" \
                'BEGIN { exit !((b - a) / 1e6 < 0.97 * (e - s)) }'; then
                slow=$((slow + 1))
            fi
        done

        stop_publishers
        # Stopping waits for every recording to be finished.
        stop_pid "$server_pid" TERM
        server_pid=
        sent=0
        for i in $(seq "$p"); do
            # The muxer's bytes less the FLV file header: the tags, as a
            # recording counts its data bytes.
            size=$(progress_field "$run/publishers/$i.progress" total_size)
            sent=$((sent + size - 13))
        done
        stopped=$(grep -c 'stopped:' "$run/server.log" || true)

        recordings=0 whole=0 on_disk=0 worst_gap=0 probe_errors=0
        if [ "$mode" != none ]; then
            for i in $(seq "$p"); do
                echo "$run/www/live/s$i.livesegments $run/s$i.flv"
            done | xargs -P 4 -n 2 bash -c 'probe_one "$@"' _ >"$run/check.log"
            recordings=$(grep -c '^RECORDING' "$run/check.log" || true)
            while read -r line; do
                case $line in
                    RECORDING*)
                        [ "$(field ok "$line")" = 1 ] && whole=$((whole + 1))
                        on_disk=$((on_disk + $(field data_bytes "$line")))
                        ;;
                    PROBE*)
                        gap=$(field max_gap_ms "$line")
                        [ "$gap" -gt "$worst_gap" ] && worst_gap=$gap
                        probe_errors=$((probe_errors + $(field errors "$line")))
                        ;;
                esac
            done <"$run/check.log"
            [ "$keep" = 1 ] || rm -rf "$run/www/live"
        fi

        line=$(awk -v p="$p" -v mode="$mode" -v c0="$cpu0" -v c1="$cpu1" \
            -v pc0="$pub_cpu0" -v pc1="$pub_cpu1" -v r0="$sent0" -v r1="$sent1" \
            -v rc0="$rec0" -v rc1="$rec1" \
            -v s="$started" -v e="$ended" -v hz="$(getconf CLK_TCK)" -v threads="$most_threads" \
            -v peak="$peak_kib" -v slow="$slow" -v sent="$sent" -v disk="$on_disk" \
            -v recs="$recordings" -v whole="$whole" -v gap="$worst_gap" -v perr="$probe_errors" \
            -v stopped="$stopped" 'BEGIN {
                seconds = e - s; cpu = (c1 - c0) / hz; gb = (r1 - r0) / 1e9
                printf "RESULT publishers=%d mode=%s ingest_mbps=%.1f cpu_pct=%.0f", p, mode, \
                    (r1 - r0) * 8 / 1e6 / seconds, 100 * cpu / seconds
                printf " cpu_s_per_gb=%.2f rec_s_per_gb=%.2f threads=%d peak_mib=%.0f", cpu / gb, \
                    (rc1 - rc0) / hz / gb, threads, peak / 1024
                printf " publishers_cpu_pct=%.0f slow_publishers=%d", \
                    100 * (pc1 - pc0) / hz / seconds, slow
                printf " sent_mb=%.1f disk_mb=%.1f disk_ratio=%s", sent / 1e6, disk / 1e6, \
                    mode == "none" ? "-" : sprintf("%.4f", sent ? disk / sent : 0)
                printf " whole=%s worst_gap_ms=%s probe_errors=%s stopped=%d\n", \
                    mode == "none" ? "-" : whole "/" recs, mode == "none" ? "-" : gap, \
                    mode == "none" ? "-" : perr, stopped
            }')
        echo "$line" | tee "$run/result.txt"
        results+=("$line")
    done
done

echo
echo "Server: $server; $threads io threads; $(nproc) cores; publishers at ${bitrate} kbit/s;" \
    "window ${window} s after ${warmup} s"
printf '%5s %5s %8s %6s %8s %8s %8s %6s %9s %5s %9s %8s %8s %7s\n' P format "Mbit/s" "CPU" \
    "CPU s/GB" "rec s/GB" threads "MiB" "pub CPU" slow "disk/sent" whole "gap ms" stopped
for line in "${results[@]}"; do
    printf '%5s %5s %8s %5s%% %8s %8s %8s %6s %8s%% %5s %9s %8s %8s %7s\n' \
        "$(field publishers "$line")" "$(field mode "$line")" "$(field ingest_mbps "$line")" \
        "$(field cpu_pct "$line")" "$(field cpu_s_per_gb "$line")" \
        "$(field rec_s_per_gb "$line")" "$(field threads "$line")" \
        "$(field peak_mib "$line")" "$(field publishers_cpu_pct "$line")" \
        "$(field slow_publishers "$line")" "$(field disk_ratio "$line")" \
        "$(field whole "$line")" "$(field worst_gap_ms "$line")" "$(field stopped "$line")"
done
