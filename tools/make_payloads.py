#!/usr/bin/env python3
"""Writes the stand-in payloads the build carries by default.

firmware.hex: Intel HEX, CR LF lines, 16-byte data records (the last one 4 bytes) from
offset 0 to 0xBD3A3 under twelve extended linear address records 0x0800..0x080B, zeros at
0x200..0x21F (where the device's serial number and calibration go), one start linear address
record 0x08000131 and the end-of-file record: 48,457 records.
language.tra: 111,104 bytes beginning with "LANG".

Deterministic: the same bytes on every run.
    python3 tools/make_payloads.py [--small] OUTDIR
--small writes a small image (4 KiB + 100 bytes) and a 1,000-byte table for quick runs.
"""
import os
import sys

IMAGE_LENGTH = 0xBD3A4
TABLE_LENGTH = 111_104
SERVICE_AREA = range(0x200, 0x220)
BASE = 0x0800
START = 0x08000131


def stream(seed, n):
    """A fixed pseudo-random byte stream (a 32-bit LCG's high bytes)."""
    out = bytearray(n)
    x = seed
    for i in range(n):
        x = (x * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = x >> 24
    return out


def record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


def firmware(length):
    image = stream(0x4D4F5641, length)
    for a in SERVICE_AREA:
        if a < length:
            image[a] = 0
    lines = []
    segment = None
    for offset in range(0, length, 16):
        if offset >> 16 != segment:
            segment = offset >> 16
            lines.append(record(0, 4, [(BASE + segment) >> 8, (BASE + segment) & 0xFF]))
        lines.append(record(offset & 0xFFFF, 0, image[offset:offset + 16]))
    lines.append(record(0, 5, START.to_bytes(4, "big")))
    lines.append(record(0, 1, []))
    return "\r\n".join(lines) + "\r\n", image


def table(length):
    return b"LANG" + bytes(stream(0x4C414E47, length - 4))


def main():
    args = [a for a in sys.argv[1:] if a != "--small"]
    small = "--small" in sys.argv
    out = args[0] if args else os.path.join(os.path.dirname(__file__), "..", "payload")
    os.makedirs(out, exist_ok=True)
    text, _ = firmware(4096 + 100 if small else IMAGE_LENGTH)
    with open(os.path.join(out, "firmware.hex"), "w", newline="") as f:
        f.write(text)
    with open(os.path.join(out, "language.tra"), "wb") as f:
        f.write(table(1000 if small else TABLE_LENGTH))


if __name__ == "__main__":
    main()
