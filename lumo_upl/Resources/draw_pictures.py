#!/usr/bin/env python3
"""Draws the client's pictures (plain shapes, no text) as PNG files.

Run from this folder; the PNG files are kept in the repository, so the
build needs no Python.
"""

import math
import struct
import zlib


def png(path, width, height, pixel):
    rows = b""
    for y in range(height):
        rows += b"\0" + b"".join(bytes(pixel(x + 0.5, y + 0.5)) for x in range(width))
    chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data
                                + struct.pack(">I", zlib.crc32(kind + data)))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        out.write(chunk(b"IEND", b""))


CLEAR = (0, 0, 0, 0)
WHITE = (255, 255, 255, 255)
GREY = (200, 200, 200, 255)
BLUE = (30, 120, 220, 255)
GREEN = (40, 160, 60, 255)
RED = (200, 40, 40, 255)


def in_rounded(x, y, w, h, r):
    cx = min(max(x, r), w - r)
    cy = min(max(y, r), h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def play_mark(x, y, cx, cy, size):
    # A triangle pointing right.
    return cx - size / 2 <= x <= cx + size / 2 and abs(y - cy) <= (cx + size / 2 - x) * 0.6


def logo(x, y):
    if (x - 16) ** 2 + (y - 16) ** 2 > 15 ** 2:
        return CLEAR
    return WHITE if play_mark(x, y, 17, 16, 14) else BLUE


def title(x, y):
    # A film strip.
    if not 6 <= y <= 26:
        return CLEAR
    if y < 10 or y > 22:
        return WHITE if int(x) % 8 < 4 else (90, 90, 90, 255)
    return (70, 140, 230, 255) if int(x) % 40 < 36 else (57, 57, 57, 255)


def add_video(x, y):
    if not in_rounded(x, y, 96, 32, 6):
        return CLEAR
    plus = (abs(x - 20) <= 2 and abs(y - 16) <= 9) or (abs(y - 16) <= 2 and abs(x - 20) <= 9)
    return WHITE if plus or play_mark(x, y, 60, 16, 18) else GREEN


def add_file(x, y):
    if 2 <= x <= 18 and 2 <= y <= 22:
        return WHITE if (abs(x - 10) <= 1 and 7 <= y <= 17) or (abs(y - 12) <= 1 and 5 <= x <= 15) else GREEN
    return (70, 140, 230, 255) if 24 <= x <= 116 and abs(y - 12) <= 3 else CLEAR


def minimise(background):
    def draw(x, y):
        if 6 <= x <= 18 and 15 <= y <= 17:
            return WHITE
        return background
    return draw


def close(background):
    def draw(x, y):
        d1 = abs((x - 12) - (y - 12)) / math.sqrt(2)
        d2 = abs((x - 12) + (y - 12)) / math.sqrt(2)
        if max(abs(x - 12), abs(y - 12)) <= 7 and min(d1, d2) <= 1.3:
            return WHITE
        return background
    return draw


png("logo.png", 32, 32, logo)
png("title.png", 200, 32, title)
png("addvideo.png", 96, 32, add_video)
png("addfile.png", 120, 24, add_file)
png("min.png", 24, 24, minimise(CLEAR))
png("min0.png", 24, 24, minimise((90, 90, 90, 255)))
png("close.png", 24, 24, close(CLEAR))
png("close0.png", 24, 24, close(RED))
