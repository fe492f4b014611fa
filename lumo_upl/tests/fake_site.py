#!/usr/bin/env python3
"""A stand-in for the web site's upload API, for the upload client's tests.

It listens on 127.0.0.1 and answers the seven actions of the API the way
the site does: an HTTP/1.0 multipart POST whose request line carries the
site address followed by "?c=api&a=" and the action, answered by a JSON
object with "status" and "msg" (numbers as strings). It keeps the state a
site keeps (streams, their blocks, index files and thumbnails, the free
size, the categories), records every request, and keeps the files it was
sent under its storage folder.

Requests are read strictly, byte by byte as the client writes them: any
deviation from the request form is recorded as a violation and answered
with HTTP 400.

Tests steer it with JSON posted to /__control (see control()), among
other things a script of failures by action and call number, and requests
held until the test releases them.

With --lenient, the checks that only our client's request form passes
(HTTP/1.0, the absolute target, our boundary, "Connection: close") are
relaxed, so that other clients such as curl can post the same forms, and
so is the wait for bytes beyond the body, which costs every request 50 ms.

Usage: fake_site.py [--lenient] PORT SITE_PATH STORAGE_FOLDER
"""

import json
import os
import re
import socket
import sys
import threading
import time

CONTROL_PATH = "/__control"
MAX_HEAD = 65536
# How long a held request waits for its release at most.
HOLD_LIMIT = 60
BOUNDARY_RULE = re.compile(rb"-{27}[0-9]+")
DECIMAL = re.compile(rb"-?[0-9]+")

# The fields and file parts of each action, besides authToken.
ACTIONS = {
    "getFreeSize": ([], []),
    "createUpload": (["streamName", "countBlock"], []),
    "uploadBlock": (["streamName", "currentBlock", "blockSize"], ["uploadBlock"]),
    "cancelUpload": (["streamName"], []),
    "completeUpload": (
        ["streamName", "title", "cat", "tag", "description", "width", "height",
         "framerate", "duration", "videoBitrate", "audioBitrate", "bitrate",
         "indexFileSize"],
        ["indexFile"],
    ),
    "uploadThumbnail": (["streamName", "imgNo"], ["fileImg"]),
    "getCategoryList": ([], []),
}
NUMERIC_FIELDS = {"countBlock", "currentBlock", "blockSize", "width", "height",
                  "framerate", "duration", "videoBitrate", "audioBitrate",
                  "bitrate", "indexFileSize", "imgNo"}


class Violation(Exception):
    pass


class Closed(Exception):
    """The client went away before its request was whole."""


class Site:
    def __init__(self, port, site_path, storage, lenient=False):
        self.site_address = "http://127.0.0.1:%d%s" % (port, site_path)
        self.site_path = site_path
        self.lenient = lenient
        self.storage = storage
        self.lock = threading.Lock()
        self.tokens = set()
        self.free_size = "5368709120"
        self.categories = {"value": ["News", "Sports"]}
        self.streams = {}
        self.next_stream = 1
        self.requests = []
        self.violations = []
        self.calls = {}
        self.script = []
        self.releases = threading.Semaphore(0)

    # --- control -------------------------------------------------------

    def control(self, order):
        op = order["op"]
        with self.lock:
            if op == "add_token":
                self.tokens.add(order["token"])
            elif op == "set_free_size":
                self.free_size = order["size"]
            elif op == "set_categories":
                # Without "value" the reply leaves the key out.
                self.categories = {"value": order["value"]} if "value" in order else {}
            elif op == "script":
                self.script.append(order["entry"])
            elif op == "release":
                for _ in range(order.get("count", 1)):
                    self.releases.release()
            elif op == "requests":
                return {"requests": self.requests}
            elif op == "violations":
                return {"violations": self.violations}
            elif op == "streams":
                return {"streams": {name: self.stream_view(s) for name, s in self.streams.items()}}
            else:
                raise ValueError("unknown op " + op)
        return {}

    @staticmethod
    def stream_view(stream):
        return {
            "countBlock": stream["countBlock"],
            "expected": stream["expected"],
            "complete": stream["complete"],
            "blocks": sorted(stream["blocks"]),
            "thumbnails": sorted(stream["thumbnails"]),
            "completion": stream["completion"],
        }

    # --- the API -------------------------------------------------------

    def take_script(self, action, call):
        for entry in self.script:
            if entry["action"] == action and entry.get("call", call) == call:
                return entry
        return None

    def store(self, relative, data):
        path = os.path.join(self.storage, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def serve_action(self, action, fields, files):
        """The reply object of one request; called under the lock."""
        if fields.get("authToken", b"").decode("latin-1") not in self.tokens:
            return {"status": "2", "msg": "Authentication failed"}
        text = {name: value.decode("utf-8", "replace") for name, value in fields.items()}
        if action == "getFreeSize":
            return {"status": "1", "msg": "", "size": self.free_size}
        if action == "getCategoryList":
            reply = {"status": "1", "msg": ""}
            if "value" in self.categories:
                reply["categoryList"] = self.categories["value"]
            return reply
        if action == "createUpload":
            name = "stream%d" % self.next_stream
            self.next_stream += 1
            self.streams[name] = {
                "countBlock": int(text["countBlock"]), "expected": 0, "complete": False,
                "blocks": {}, "thumbnails": {}, "completion": None,
            }
            return {"status": "1", "msg": "", "streamName": name}
        stream = self.streams.get(text["streamName"])
        if stream is None:
            return {"status": "3", "msg": "Stream does not exist"}
        if stream["complete"]:
            return {"status": "9", "msg": "Stream is complete"}
        name = text["streamName"]
        if action == "cancelUpload":
            del self.streams[name]
            return {"status": "1", "msg": ""}
        if action == "uploadBlock":
            block = int(text["currentBlock"])
            if block != stream["expected"]:
                return {"status": "7", "msg": "Block does not match",
                        "currentBlock": str(stream["expected"])}
            data = files["uploadBlock"][1]
            if int(text["blockSize"]) != len(data):
                return {"status": "5", "msg": "Block size does not match"}
            stream["blocks"][block] = self.store("%s/%d.zpksegment" % (name, block), data)
            stream["expected"] += 1
            return {"status": "1", "msg": ""}
        if action == "uploadThumbnail":
            number = int(text["imgNo"])
            stream["thumbnails"][number] = self.store(
                "%s/thumbnail_%d.jpg" % (name, number), files["fileImg"][1])
            return {"status": "1", "msg": ""}
        if action == "completeUpload":
            if stream["expected"] < stream["countBlock"]:
                return {"status": "4", "msg": "Blocks are missing",
                        "currentBlock": str(stream["expected"])}
            data = files["indexFile"][1]
            if int(text["indexFileSize"]) != len(data):
                return {"status": "5", "msg": "Index size does not match"}
            self.store("%s/%s.zpksegments" % (name, name), data)
            stream["complete"] = True
            stream["completion"] = {key: value for key, value in text.items()
                                    if key not in ("authToken", "streamName")}
            return {"status": "1", "msg": ""}
        raise AssertionError(action)


# --- the wire ---------------------------------------------------------------

def read_exactly(connection, count, pending):
    # Gathered in one buffer: the body comes in as many pieces as the
    # client writes, and copying all so far for each would cost the site
    # more than the transfer.
    data = bytearray(pending)
    while len(data) < count:
        piece = connection.recv(min(1 << 20, count - len(data)))
        if not piece:
            raise Closed()
        data += piece
    return bytes(data[:count]), bytes(data[count:])


def read_head(connection):
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD:
            raise Violation("request head too long")
        piece = connection.recv(4096)
        if not piece:
            raise Closed() if data else EOFError()
        data += piece
    end = data.index(b"\r\n\r\n") + 4
    return data[:end], data[end:]


def parse_head(site, head):
    lines = head[:-4].split(b"\r\n")
    version = rb"1\.[01]" if site.lenient else rb"1\.0"
    match = re.fullmatch(rb"POST (\S+) HTTP/" + version, lines[0])
    if not match:
        raise Violation("bad request line: %r" % lines[0])
    target = match.group(1).decode("latin-1")
    headers = {}
    for line in lines[1:]:
        name, colon, value = line.partition(b": ")
        if not colon or name.lower() in headers:
            raise Violation("bad header line: %r" % line)
        headers[name.lower()] = value
    content_type = headers.get(b"content-type", b"")
    type_match = re.fullmatch(rb"multipart/form-data; boundary=(.*)", content_type)
    boundary_rule = re.compile(rb"[-0-9A-Za-z]{1,70}") if site.lenient else BOUNDARY_RULE
    if not type_match or not boundary_rule.fullmatch(type_match.group(1)):
        raise Violation("bad Content-Type: %r" % content_type)
    if headers.get(b"connection") != b"close" and not site.lenient:
        raise Violation("no Connection: close")
    length = headers.get(b"content-length", b"")
    if not re.fullmatch(rb"[0-9]+", length):
        raise Violation("bad Content-Length: %r" % length)
    return target, type_match.group(1), int(length)


def parse_body(body, announced):
    """Fields in arrival order as (name, value) and file parts as
    (name, file name, data); raises Violation for any deviation."""
    delimiter = b"--" + announced
    parts = []
    at = 0
    while True:
        if body.startswith(delimiter + b"--\r\n", at):
            if at + len(delimiter) + 4 != len(body):
                raise Violation("bytes after the closing delimiter")
            return parts
        if not body.startswith(delimiter + b"\r\n", at):
            raise Violation("no delimiter at byte %d" % at)
        at += len(delimiter) + 2
        header_end = body.find(b"\r\n\r\n", at)
        if header_end < 0:
            raise Violation("part header without end")
        header = body[at:header_end]
        at = header_end + 4
        text = re.fullmatch(rb'Content-Disposition: form-data; name="([^"]*)"', header)
        file = re.fullmatch(
            rb'Content-Disposition: form-data; name="([^"]*)"; filename="([^"]*)"\r\n'
            rb"Content-Type: application/octet-stream", header)
        if not text and not file:
            raise Violation("bad part header: %r" % header)
        end = body.find(b"\r\n" + delimiter, at)
        if end < 0:
            raise Violation("part without end")
        value = body[at:end]
        at = end + 2
        if text:
            parts.append((text.group(1).decode("latin-1"), None, value))
        else:
            parts.append((file.group(1).decode("latin-1"), file.group(2).decode("latin-1"), value))


def reply_bytes(status_line, body, content_length=True, content_type=b"application/json"):
    head = status_line + b"\r\nContent-Type: " + content_type + b"\r\n"
    if content_length:
        head += b"Content-Length: %d\r\n" % len(body)
    return head + b"Connection: close\r\n\r\n" + body


def json_bytes(reply):
    return json.dumps(reply, ensure_ascii=False).encode("utf-8")


def serve_control(site, connection, length, pending):
    body, _ = read_exactly(connection, length, pending)
    try:
        answer = json_bytes(site.control(json.loads(body)))
        connection.sendall(reply_bytes(b"HTTP/1.0 200 OK", answer))
    except Exception as error:  # a test's mistake: tell it
        connection.sendall(reply_bytes(b"HTTP/1.0 500 Bad control", str(error).encode()))


def extra_bytes_arrive(connection):
    connection.settimeout(0.05)
    try:
        return bool(connection.recv(1))
    except socket.timeout:
        return False
    finally:
        connection.settimeout(10)


def serve(site, connection):
    connection.settimeout(10)
    try:
        head, pending = read_head(connection)
    except EOFError:
        return  # a port probe
    if head.startswith(b"POST " + CONTROL_PATH.encode() + b" "):
        length = re.search(rb"Content-Length: ([0-9]+)", head)
        serve_control(site, connection, int(length.group(1)) if length else 0, pending)
        return

    request = {"violation": None}
    try:
        target, announced, length = parse_head(site, head)
        request["target"] = target
        prefix = site.site_address + "?c=api&a="
        if site.lenient and target.startswith("/"):
            prefix = site.site_path + "?c=api&a="
        action = target[len(prefix):] if target.startswith(prefix) else None
        if action not in ACTIONS:
            raise Violation("bad request target: " + target)
        request["action"] = action
        with site.lock:
            call = site.calls.get(action, 0) + 1
            site.calls[action] = call
            entry = site.take_script(action, call)
        request["call"] = call
        if entry and "close_after_bytes" in entry:
            # Cut the connection with the rest of the request unread.
            want = min(entry["close_after_bytes"] - len(head), length) - len(pending)
            if want > 0:
                read_exactly(connection, want, b"")
            with site.lock:
                site.requests.append(request)
            return
        try:
            body, _ = read_exactly(connection, length, pending)
        except Closed:
            raise Violation("body shorter than Content-Length %d" % length)
        if not site.lenient and extra_bytes_arrive(connection):
            raise Violation("body longer than Content-Length %d" % length)
        parts = parse_body(body, announced)
        names = [name for name, _, _ in parts]
        if names != sorted(names, key=lambda n: n.encode("latin-1")) or len(set(names)) != len(names):
            raise Violation("parts not in name order: %s" % names)
        fields = {name: value for name, file_name, value in parts if file_name is None}
        files = {name: (file_name, value) for name, file_name, value in parts
                 if file_name is not None}
        wanted_fields, wanted_files = ACTIONS[action]
        if sorted(fields) != sorted(wanted_fields + ["authToken"]) or sorted(files) != sorted(wanted_files):
            raise Violation("%s: fields %s, files %s" % (action, sorted(fields), sorted(files)))
        for name in NUMERIC_FIELDS & set(fields):
            if not DECIMAL.fullmatch(fields[name]):
                raise Violation("%s is not decimal: %r" % (name, fields[name]))
        request["parts"] = names
        request["fields"] = {name: value.hex() for name, value in fields.items()}
        with site.lock:
            sequence = len(site.requests)
            request["files"] = {
                name: {"fileName": file_name, "size": len(data),
                       "stored": site.store("requests/%d/%s" % (sequence, name), data)}
                for name, (file_name, data) in files.items()
            }
            site.requests.append(request)
        if entry and entry.get("hold"):
            # Recorded, and answered once the test says so.
            site.releases.acquire(timeout=HOLD_LIMIT)
        with site.lock:
            reply = None if entry and "body" in entry else (
                entry["reply"] if entry and "reply" in entry else site.serve_action(action, fields, files))
    except Violation as violation:
        request["violation"] = str(violation)
        with site.lock:
            site.violations.append(str(violation))
            site.requests.append(request)
        connection.sendall(reply_bytes(b"HTTP/1.0 400 Bad Request",
                                       b"<html><body>Bad request</body></html>",
                                       content_type=b"text/html"))
        return
    except Closed:
        with site.lock:
            site.violations.append("request cut short")
        return

    entry = entry or {}
    if entry.get("close_before_reply"):
        return
    if "delay_ms" in entry:
        time.sleep(entry["delay_ms"] / 1000.0)
    body = entry["body"].encode("utf-8") if "body" in entry else json_bytes(reply)
    if entry.get("bom"):
        body = b"\xef\xbb\xbf" + body
    status_line = entry.get("status_line", "HTTP/1.0 200 OK").encode("latin-1")
    whole = reply_bytes(status_line, body,
                        content_length=entry.get("content_length", True),
                        content_type=entry.get("content_type", "application/json").encode())
    connection.sendall(whole[:entry.get("cut_reply_after_bytes", len(whole))])


def handle(site, connection):
    with connection:
        try:
            serve(site, connection)
        except (OSError, Closed):
            pass  # the client went away: its test judges that
        except Exception as error:  # a fault of this site: fail the test
            with site.lock:
                site.violations.append("site error: %r" % error)
            try:
                connection.sendall(reply_bytes(b"HTTP/1.0 500 Site error", b"",
                                               content_type=b"text/plain"))
            except OSError:
                pass


def main():
    arguments = sys.argv[1:]
    lenient = arguments[:1] == ["--lenient"]
    if lenient:
        arguments = arguments[1:]
    port, site_path, storage = int(arguments[0]), arguments[1], arguments[2]
    site = Site(port, site_path, storage, lenient)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=handle, args=(site, connection), daemon=True).start()


if __name__ == "__main__":
    main()
