#!/usr/bin/env python3
# A stand-in for an Apertium stage pipeline in null-flush mode: reads NUL-terminated records and
# writes each back with its text upper-cased, NUL-terminated. Trigger words make it misbehave.
import os
import sys
import time

data = b""
stdin = sys.stdin.buffer
out = sys.stdout.buffer
while True:
    chunk = os.read(stdin.fileno(), 65536)
    if not chunk:
        break
    data += chunk
    while b"\0" in data:
        record, data = data.split(b"\0", 1)
        if b"CRASH" in record:
            os._exit(1)
        if b"HANG" in record:
            time.sleep(3600)
        if b"EXTRA" in record:
            out.write(b"[qy:999999]spurious\0")
        if b"NOID" in record:
            record = b"lost its id"
        tag, _, body = record.partition(b"]")
        out.write(tag + b"]" + body.upper())
        out.write(b"\0")
        out.flush()
