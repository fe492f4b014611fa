# What the benchmark scripts that run a server on loopback share; sourced,
# from the checkout's root.

# bench_build BUILD_DIR TARGET...: the Release tree, tests on (some servers
# and clients are test programs), and the targets in it.
bench_build() {
    local build=$1
    shift
    scripts/ensure-packages.sh scripts/packages.txt
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEN_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$(nproc)" --target "$@"
}

# raise_descriptor_limit NEEDED SCRIPT: at least NEEDED open files, or an
# exit when the hard limit is lower.
raise_descriptor_limit() {
    local needed=$1 script=$2
    if [ "$(ulimit -n)" -lt "$needed" ]; then
        local hard
        hard=$(ulimit -Hn)
        if [ "$hard" != unlimited ] && [ "$hard" -lt "$needed" ]; then
            echo "$script: $needed descriptors are needed; the hard limit is $hard" >&2
            exit 1
        fi
        ulimit -n "$needed"
    fi
}

# sample_path BUILD_DIR KBIT GOP [SECONDS] / make_sample BUILD_DIR KBIT GOP
# [SECONDS]: the publishers' sample, made once: ffmpeg's testsrc2 at 854x480
# and 25 frames/s in constant-bitrate H.264 with a keyframe every GOP frames,
# and 128 kbit/s AAC, KBIT kbit/s together, SECONDS long (60).
sample_path() {
    if [ "${4:-60}" = 60 ]; then
        echo "$1/bench/sample-${2}k-g${3}.flv"
    else
        echo "$1/bench/sample-${2}k-g${3}-${4}s.flv"
    fi
}
make_sample() {
    local sample audio_kbit=128
    sample=$(sample_path "$@")
    [ -s "$sample" ] && return 0
    echo "Making the sample: $sample"
    local video_kbit=$(($2 - audio_kbit))
    mkdir -p "$(dirname "$sample")"
    # Constant bitrate with filler, so the stream runs at the rate asked for
    # whatever the picture.
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=854x480:rate=25" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100" -t "${4:-60}" \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p \
        -b:v ${video_kbit}k -minrate ${video_kbit}k -maxrate ${video_kbit}k \
        -bufsize $((video_kbit / 2))k -x264-params nal-hrd=cbr \
        -g "$3" -keyint_min "$3" -sc_threshold 0 \
        -c:a aac -b:a ${audio_kbit}k -ac 2 -f flv "$sample.part"
    mv "$sample.part" "$sample"
}

# await_pid PID: waits up to 30 s for it to end, then kills it.
await_pid() {
    local pid=$1
    for _ in $(seq 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# stop_pid PID SIGNAL: signals it and awaits it; nothing for an empty PID.
stop_pid() {
    [ -n "$1" ] || return 0
    kill "-$2" "$1" 2>/dev/null || true
    await_pid "$1"
}

# write_qen_config DIR PORT: DIR/qen.xml, RTMP alone on 127.0.0.1:PORT, one
# domain rooted at DIR/www.
write_qen_config() {
    mkdir -p "$1/www"
    cat >"$1/qen.xml" <<EOF
<config><qen>
  <rtmp><disabled>0</disabled><addr>127.0.0.1</addr><port>$2</port></rtmp>
  <rtmfp><disabled>1</disabled></rtmfp>
  <domains><domain>
    <names><name>127.0.0.1</name><name>localhost</name></names>
    <path>$1/www</path><default>true</default>
  </domain></domains>
</qen></config>
EOF
}

# await_listener PID PORT LOG SCRIPT: until the server listens, or an exit
# (with its log) when it ends or does not listen within 20 s.
await_listener() {
    local pid=$1 port=$2 log=$3 script=$4
    for _ in $(seq 200); do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "$script: the server exited at start:" >&2
            cat "$log" >&2
            exit 1
        fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "$script: the server does not listen on port $port" >&2
    exit 1
}
