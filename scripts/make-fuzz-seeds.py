#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz targets in fuzz/seeds/<target>/.

  rpc_connection      administration RPC sessions: frames as the web site
                      sends them (login, each method, keep-alives), whole
                      and cut up, with the server's sweeps in between
  rtmp_input          RTMP sessions of real clients (ffmpeg, rtmpdump)
                      against qen, recorded through a proxy: publish, play,
                      play with a start, seek, pause, deleteStream
  amf0_read_value     the AMF0 command and data messages of those sessions
  segment_index_load  the index files qen wrote for those recordings
  rpc_decode          the payloads of the RPC sessions
  rtmfp_datagram      RTMFP packets from the marker on: handshake, flows,
                      acknowledgements, introductions, keep-alives
  rtmfp_handshake     steps of the handshake fuzzer: first contacts, key
                      exchanges on the cookies they earn, introductions,
                      ticks, from the client's address and another
  rtmfp_session       steps of the session fuzzer, from what our RTMFP test
                      client sends on the flows the fuzzer opens: the
                      NetConnection's calls, NetGroup joins, NetStream
                      commands and media, fragments, acknowledgements,
                      ticks (the build's rtmfp_fuzz_seeds writes them)
  rtmfp_group_text    NetGroup specifiers, well made and not

Usage: scripts/make-fuzz-seeds.py BUILD_DIR   (a build with qen and the tests)
Needs ffmpeg and rtmpdump. Seeds are written anew; commit what changes.
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import hashlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEEDS = os.path.join(ROOT, "fuzz", "seeds")


def write_seed(target, name, data):
    folder = os.path.join(SEEDS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def fresh(target):
    shutil.rmtree(os.path.join(SEEDS, target), ignore_errors=True)


# ---- administration RPC -------------------------------------------------

def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def rpc_string(text):
    data = text.encode()
    return struct.pack("<H", len(data)) + data


def rpc_map(values):
    out = struct.pack("<H", len(values))
    for key in sorted(values):
        out += rpc_string(key) + rpc_string(values[key])
    return out


def rpc_frame(kind, call_id, payload=b"", status=0):
    return (u32(kind) + u32(call_id) + u32(call_id >> 32) + u32(status) +
            u32(len(payload)) + payload)


KEEP_ALIVE = rpc_frame(0xFFFFFFFF, 0)
KEEP_ALIVE_ANSWER = rpc_frame(0, 0)

CHANNEL = {"title": "Morning show", "description": "Live from the studio",
           "publish_password": "pub", "play_password": ""}

# The administration methods with arguments as the web site sends them.
CALLS = [
    (2, u32(1) + rpc_string("morning") + rpc_map(CHANNEL)),
    (3, rpc_string("morning") + rpc_map({"title": "Evening show"})),
    (4, rpc_string("morning")),
    (5, rpc_string("morning")),
    (6, rpc_string("old")),
    (7, rpc_string("morning") + b"\x01"),
    (8, rpc_string("morning")),
    (9, rpc_string("morning") + b"\x00" + u32(3600)),
    (10, rpc_string("vod")),
    (11, b""),
    (12, b""),
    (13, b""),
    (14, b""),
    (15, rpc_string("morning") + rpc_string("evening")),
    (16, rpc_string("www.example.com") + rpc_string("live")),
    (17, b""),
    (18, rpc_string("morning")),
]


def login(password="secret", call_id=1):
    return rpc_frame(1, call_id, rpc_string(password))


def send(data, piece=None):
    """Moves that send `data`, in pieces of `piece` bytes (whole: 256)."""
    out = b""
    piece = piece or 256
    for at in range(0, len(data), piece):
        part = data[at:at + piece]
        if len(part) > 256:
            raise ValueError("piece too large")
        out += bytes([0, len(part) - 1]) + part
    return out


def sweeps(count):
    out = b""
    while count > 0:
        step = min(count, 32)
        out += bytes([2, step - 1])
        count -= step
    return out


TOGGLE_READING = bytes([3, 0])
HANG_UP = bytes([4, 0])


def rpc_sessions():
    calls = b"".join(rpc_frame(m, 100 + i, p) for i, (m, p) in enumerate(CALLS))
    refused = b"".join(rpc_frame(m, 200 + i, p) for i, (m, p) in enumerate(CALLS[:6]))
    yield "every_method_after_login", send(login() + calls)
    yield "every_method_cut_byte_by_byte", send(login() + calls[:400], 1) + send(calls[400:], 7)
    yield "refused_before_login", send(refused + login("wrong", 2) + refused + login() + calls)
    yield "keep_alives", (send(login()) + sweeps(31) + send(KEEP_ALIVE_ANSWER) +
                          send(KEEP_ALIVE) + sweeps(31) + send(KEEP_ALIVE_ANSWER + calls[:60]))
    yield "silent_peer", send(login()) + sweeps(130)
    yield "stuck_in_a_frame", send(login() + calls[:30]) + sweeps(130)
    yield "bad_arguments", send(login() + rpc_frame(11, 7, b"x") + rpc_frame(2, 8, b"\x01") +
                                rpc_frame(5, 9, rpc_string("a") + b"left over"))
    yield "oversized_header", send(login() + u32(5) + u32(1) + u32(0) + u32(0) + u32(0x10000))
    large = rpc_frame(15, 300, rpc_string("a" * 2000) + rpc_string("b" * 2000))
    yield "pipelined_large_replies", (send(login()) + TOGGLE_READING +
                                      send(large * 4, 250) + TOGGLE_READING + sweeps(1))
    yield "hang_up_mid_frame", send(login() + calls[:45]) + HANG_UP
    yield "calls_and_replies_both_ways", send(login() + rpc_frame(0, 55, rpc_string("x"), 1) +
                                              calls[:200])


def make_rpc_seeds():
    fresh("rpc_connection")
    fresh("rpc_decode")
    for name, moves in rpc_sessions():
        write_seed("rpc_connection", name, moves)
    # The decode target: a read-size byte, then frames.
    all_calls = login() + b"".join(rpc_frame(m, 100 + i, p) for i, (m, p) in enumerate(CALLS))
    for read in (0, 7, 63, 200):
        write_seed("rpc_decode", "every_method_reads_of_%d" % (read % 64 + 1), bytes([read]) + all_calls)
    write_seed("rpc_decode", "keep_alives", bytes([10]) + KEEP_ALIVE + KEEP_ALIVE_ANSWER)


# ---- RTMFP packets -------------------------------------------------------

def vlu(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, 0x80 | (n & 0x7F))
        n >>= 7
    return bytes(out)


def with_length(data):
    return vlu(len(data)) + data


def rtmfp_chunk(kind, body=b""):
    return bytes([kind]) + struct.pack(">H", len(body)) + body


def discriminator(kind, value):
    inner = vlu(len(value) + 1)
    return vlu(len(inner) + len(value) + 1) + inner + bytes([kind]) + value


def address(ip, port, flags=0x02):
    return bytes([flags]) + socket.inet_aton(ip) + struct.pack(">H", port)


def packet(marker, chunks, echo=None):
    head = bytes([marker]) + struct.pack(">H", 0x1234)
    if echo is not None:
        head += struct.pack(">H", echo)
    return head + b"".join(chunks)


def make_rtmfp_seeds():
    fresh("rtmfp_datagram")
    tag = bytes(range(16))
    peer = hashlib.sha256(b"peer").digest()
    url = b"rtmfp://127.0.0.1/live"
    netconnection = (b"\x14" + bytes(4) + amf0_string("connect") + b"\x00" +
                     struct.pack(">d", 1) + b"\x03" + b"\x00\x03app" + amf0_string("live") +
                     b"\x00\x05tcUrl" + amf0_string(url.decode()) + b"\x00\x00\x09")
    signature = with_length(b"\x00\x54\x43\x04\x00")
    seeds = {
        "hello": packet(0x0B, [rtmfp_chunk(0x30, discriminator(0x0A, url) + tag)]),
        "hello_for_a_peer": packet(0x0B, [rtmfp_chunk(0x30, discriminator(0x0F, peer) + tag)]),
        "key_exchange": packet(0x0B, [rtmfp_chunk(
            0x38, struct.pack(">I", 0x01020304) + with_length(bytes(64)) + b"\x81" +
            with_length(b"\x02\x1d\x02\x41\x0e") + bytes(range(128)) +
            with_length(bytes(76)) + b"\x58")]),
        "handshake_answers": packet(0x0B, [
            rtmfp_chunk(0x70, with_length(tag) + with_length(bytes(64)) + bytes(77)),
            rtmfp_chunk(0x78, struct.pack(">I", 7) + b"\x81" + with_length(bytes(76)) +
                        bytes(128) + b"\x58"),
            rtmfp_chunk(0x71, with_length(tag) + address("192.0.2.1", 1935) +
                        address("198.51.100.7", 5000, 0x01))]),
        "connect_on_a_flow": packet(0x4A, [rtmfp_chunk(
            0x10, b"\x80" + vlu(2) + vlu(1) + vlu(1) + signature + b"\x00" + netconnection)]),
        "flow_fragments": packet(0x4A, [
            rtmfp_chunk(0x10, b"\x10" + vlu(3) + vlu(4) + vlu(2) + netconnection[:20]),
            rtmfp_chunk(0x11, b"\x30" + netconnection[20:40]),
            rtmfp_chunk(0x11, b"\x20" + netconnection[40:])]),
        "acknowledgements_and_life": packet(0x4E, [
            rtmfp_chunk(0x51, vlu(2) + b"\xff\xff\x3f" + vlu(1)),
            rtmfp_chunk(0x01), rtmfp_chunk(0x41), rtmfp_chunk(0x18),
            rtmfp_chunk(0x5E, vlu(3) + b"\x00")], echo=0x1200),
        "introduction": packet(0x4A, [rtmfp_chunk(
            0x0F, discriminator(0x0F, peer) + address("203.0.113.5", 1935) + tag)]),
        "session_end": packet(0x4A, [rtmfp_chunk(0x0C), rtmfp_chunk(0x4C)]),
        "padding_after_chunks": packet(0x4A, [rtmfp_chunk(0x01)]) + b"\xff" * 7,
    }
    for name, data in seeds.items():
        write_seed("rtmfp_datagram", name, data)


# The handshake fuzzer's steps (rtmfp/tests/handshake_fuzzer.cpp); bit 7 of
# a step's byte sends it from an address nobody listens on.
FIRST_CONTACT, KEY_EXCHANGE, INTRODUCTION, CHUNKS, TICK = range(5)
ELSEWHERE = 0x80
# A key exchange's pick: the first cookie earned, our key and certificate;
# an introduction's pick: our own peer id (0) or the server's (1).
EARNED_COOKIE = 0


def first_contact(tag, url=b"rtmfp://127.0.0.1/live", step=FIRST_CONTACT):
    return bytes([step, len(url)]) + url + bytes([len(tag)]) + tag


def key_exchange(pick=EARNED_COOKIE, initiator=0x0102, nonce=bytes(range(64)), step=KEY_EXCHANGE):
    return bytes([step, pick]) + struct.pack(">H", initiator) + bytes([len(nonce)]) + nonce


def make_rtmfp_session_seeds(build_dir):
    """The session and group-text seeds: our test client's own messages."""
    subprocess.run([os.path.join(build_dir, "rtmfp", "rtmfp_fuzz_seeds"), SEEDS], check=True)


def make_rtmfp_handshake_seeds():
    fresh("rtmfp_handshake")
    tag, other_tag = bytes(range(16)), bytes(range(16, 32))
    handshake = first_contact(tag) + key_exchange()
    seeds = {
        "handshake": handshake,
        "repeated": first_contact(tag) + first_contact(tag) + key_exchange() + key_exchange(),
        "introduction": handshake + bytes([INTRODUCTION, 0]) + other_tag,
        "ageing": first_contact(tag) + bytes([TICK] * 7) + key_exchange(),
        "another_address": first_contact(tag) + key_exchange(step=KEY_EXCHANGE | ELSEWHERE),
        "two_sessions": handshake + first_contact(other_tag) + key_exchange(pick=1, initiator=3),
        "chunks": bytes([CHUNKS, 0, 8]) + rtmfp_chunk(0x30, bytes(5)),
    }
    for name, data in seeds.items():
        write_seed("rtmfp_handshake", name, data)


# ---- RTMP sessions against qen -----------------------------------------

class Recorder:
    """A proxy in front of qen that keeps what each client sends."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.label = "session"
        self.sessions = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            record = bytearray()
            with self.lock:
                self.sessions.append((self.label, record))
            threading.Thread(target=self._pump, args=(client, upstream, record),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, None),
                             daemon=True).start()

    @staticmethod
    def _pump(source, sink, record):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if record is not None:
                    record.extend(data)
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def count(self):
        with self.lock:
            return len(self.sessions)


def run(argv, timeout):
    try:
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=timeout)
    except subprocess.TimeoutExpired:
        pass


def wait_for_port(port, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def record_rtmp_sessions(build_dir, work):
    www = os.path.join(work, "www")
    for app in ("live", "files"):
        os.makedirs(os.path.join(www, app))
    sample = os.path.join(work, "sample.flv")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050",
                    "-t", "2", "-c:v", "libx264", "-g", "25", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "32k", "-f", "flv",
                    "-flvflags", "add_keyframe_index", sample], check=True)
    shutil.copy(sample, os.path.join(www, "files", "clip.flv"))
    port = free_port()
    with open(os.path.join(work, "qen.xml"), "w") as f:
        f.write('<?xml version="1.0"?>\n<config><qen><rtmp><disabled>0</disabled>'
                '<addr>127.0.0.1</addr><port>%d</port></rtmp><rtmfp><disabled>1</disabled>'
                '</rtmfp><app_update_interval>0</app_update_interval><domains><domain>'
                '<names><name>127.0.0.1</name></names><path>%s</path>'
                '<default>true</default></domain></domains></qen></config>\n' % (port, www))
    env = dict(os.environ, NUMBER_OF_PROCESSORS="2", ASAN_OPTIONS="detect_leaks=0")
    qen = subprocess.Popen([os.path.join(build_dir, "qen", "qen"),
                            os.path.join(work, "qen.xml")], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for_port(port):
            raise RuntimeError("qen did not start")
        recorder = Recorder(port)
        url = "rtmp://127.0.0.1:%d/" % recorder.port

        def client(label, argv, timeout, background=False):
            recorder.label = label
            before = recorder.count()
            if background:
                process = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
            else:
                process = None
                threading.Thread(target=run, args=(argv, timeout)).start()
            deadline = time.time() + 10
            while recorder.count() == before and time.time() < deadline:
                time.sleep(0.05)
            return process

        ffmpeg = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]
        publisher = client("ffmpeg_publish", ffmpeg + ["-re", "-i", sample, "-c", "copy",
                                                       "-f", "flv", url + "live/show"],
                           0, background=True)
        time.sleep(0.5)
        client("ffmpeg_play_live", ffmpeg + ["-i", url + "live/show", "-t", "1", "-c", "copy",
                                             "-f", "null", "-"], 8)
        client("rtmpdump_play_live", ["rtmpdump", "-q", "--live", "-r", url + "live/show",
                                      "--stop", "1", "-o", os.devnull], 8)
        publisher.wait(timeout=30)
        time.sleep(1)
        client("rtmpdump_recording_pause",
               ["rtmpdump", "-q", "-m", "2", "-r", url + "live", "-y",
                "zpk:show.livesegments", "-o", os.devnull], 7)
        client("rtmpdump_start_offset", ["rtmpdump", "-q", "-A", "1", "-r", url + "files/clip",
                                         "-o", os.devnull], 15)
        client("rtmpdump_play_file", ["rtmpdump", "-q", "-r", url + "files", "-y", "flv:clip.flv",
                                      "-o", os.devnull], 15)
        client("ffmpeg_seek", ffmpeg + ["-ss", "1", "-i", url + "files/clip", "-c", "copy",
                                        "-f", "null", "-"], 15)
        client("ffmpeg_play_recording", ffmpeg + ["-i", url + "live/zpk:show.livesegments",
                                                  "-t", "1", "-c", "copy", "-f", "null", "-"], 8)
        client("ffmpeg_play_missing", ffmpeg + ["-i", url + "files/missing", "-t", "1",
                                                "-f", "null", "-"], 8)
        client("ffmpeg_publish_again", ffmpeg + ["-i", sample, "-c", "copy", "-f", "flv",
                                                 url + "live/show"], 20)
        time.sleep(12)  # the clients started in the background end
        end_as_vod(port, recorder.sessions[0][1])
        return [(label, bytes(data)) for label, data in recorder.sessions], www
    finally:
        qen.terminate()
        qen.wait(timeout=30)


HANDSHAKE = 1537 + 1536


def amf0_string(text):
    return b"\x02" + struct.pack(">H", len(text)) + text.encode()


def end_as_vod(port, publish):
    """Replays a publish under another name and ends its recording as video
    on demand, which ffmpeg cannot ask for."""
    publish = bytes(publish).replace(b"\x00\x04show", b"\x00\x04evod")
    cut = next(start for kind, body, start in chunk_messages(publish)
               if kind == 20 and body.startswith(amf0_string("FCUnpublish")))
    body = amf0_string("endThisPublishAsVod") + b"\x00" + bytes(8) + b"\x05"
    command = (b"\x08" + bytes(3) + len(body).to_bytes(3, "big") + b"\x14" +
               struct.pack("<I", 1) + body)
    with socket.create_connection(("127.0.0.1", port)) as s:
        # C2 may only follow the server's S0, S1 and S2.
        s.sendall(publish[:1537])
        answer = b""
        while len(answer) < HANDSHAKE:
            answer += s.recv(HANDSHAKE - len(answer))
        s.sendall(publish[1537:cut] + command)
        time.sleep(1)


def chunk_messages(stream):
    """The messages of a client's chunk stream, after its handshake: type,
    body and where the message's first chunk starts."""
    pos, chunk_size, streams = HANDSHAKE, 128, {}
    try:
        while pos < len(stream):
            start = pos
            first = stream[pos]
            fmt, csid = first >> 6, first & 0x3F
            pos += 1
            if csid == 0:
                csid, pos = stream[pos] + 64, pos + 1
            elif csid == 1:
                csid, pos = stream[pos] + stream[pos + 1] * 256 + 64, pos + 2
            st = streams.setdefault(csid, {"length": 0, "type": 0, "body": b"", "ext": False})
            if not st["body"]:
                st["start"] = start
            if fmt <= 2:
                st["ext"] = stream[pos:pos + 3] == b"\xff\xff\xff"
                pos += 3
            if fmt <= 1:
                st["length"] = int.from_bytes(stream[pos:pos + 3], "big")
                st["type"] = stream[pos + 3]
                pos += 4
            if fmt == 0:
                pos += 4
            if st["ext"]:
                pos += 4
            n = min(chunk_size, st["length"] - len(st["body"]))
            if pos + n > len(stream):
                return
            st["body"] += stream[pos:pos + n]
            pos += n
            if len(st["body"]) == st["length"]:
                yield st["type"], st["body"], st["start"]
                if st["type"] == 1:
                    chunk_size = int.from_bytes(st["body"], "big") & 0x7FFFFFFF
                st["body"] = b""
    except IndexError:
        return


# The chunk fuzzer's first byte: bit 0 the whole stack, bit 1 a handshake
# done first, the rest the read size (1 + rest * 73 bytes). A real client
# sends C2 only once S0, S1 and S2 have come, so that no read runs past C1:
# through the handshake the reads are single bytes.
WHOLE_STACK = 1
AFTER_HANDSHAKE = 3
READS_OF_74 = 1 << 2
READS_OF_4089 = 56 << 2
MAX_SEED = 96 * 1024


def make_rtmp_seeds(sessions, www):
    for target in ("rtmp_input", "amf0_read_value", "segment_index_load"):
        fresh(target)
    seen = set()
    for number, (label, data) in enumerate(sessions):
        data = data[:MAX_SEED]
        name = "%02d_%s" % (number, label)
        write_seed("rtmp_input", name + "_stack",
                   bytes([WHOLE_STACK]) + data[:HANDSHAKE + 1024])
        write_seed("rtmp_input", name + "_after_handshake",
                   bytes([READS_OF_4089 | AFTER_HANDSHAKE]) + data[HANDSHAKE:])
        write_seed("rtmp_input", name + "_chunks", bytes([READS_OF_4089]) + data[HANDSHAKE:])
        for kind, body, _ in chunk_messages(data):
            if kind in (18, 20) and body not in seen:
                seen.add(body)
                write_seed("amf0_read_value", hashlib.sha1(body).hexdigest()[:16], body)
    # A few sessions in small reads, so that messages straddle them.
    for number, (label, data) in enumerate(sessions[:3]):
        write_seed("rtmp_input", "%02d_%s_reads_of_74" % (number, label),
                   bytes([READS_OF_74 | AFTER_HANDSHAKE]) + data[HANDSHAKE:HANDSHAKE + 8192])
    for folder, _, files in os.walk(www):
        for name in files:
            if name.endswith(("segments", ".zpksegments", ".livesegments")) and \
                    os.path.isfile(os.path.join(folder, name)):
                with open(os.path.join(folder, name), "rb") as f:
                    write_seed("segment_index_load", name, f.read())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build_dir = os.path.abspath(sys.argv[1])
    make_rpc_seeds()
    make_rtmfp_seeds()
    make_rtmfp_handshake_seeds()
    make_rtmfp_session_seeds(build_dir)
    with tempfile.TemporaryDirectory() as work:
        sessions, www = record_rtmp_sessions(build_dir, work)
        make_rtmp_seeds(sessions, www)
    for target in sorted(os.listdir(SEEDS)):
        folder = os.path.join(SEEDS, target)
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
        print("%-20s %3d seeds, %6d bytes" % (target, len(os.listdir(folder)), size))


if __name__ == "__main__":
    main()
