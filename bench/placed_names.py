#!/usr/bin/env python3
"""Counts how often each name is put in place in a folder (created there or
renamed into it) from start until SIGTERM, then writes "COUNT NAME" lines to
OUTPUT. The benchmarks use it to see each thumbnail made exactly once.
Usage: placed_names.py FOLDER OUTPUT (OUTPUT.ready appears once watching)."""
import ctypes
import os
import select
import signal
import struct
import sys

IN_MOVED_TO, IN_CREATE, IN_Q_OVERFLOW = 0x80, 0x100, 0x4000


def main():
    folder, output = sys.argv[1], sys.argv[2]
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_CLOEXEC)
    if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_MOVED_TO | IN_CREATE) < 0:
        sys.exit(f"cannot watch {folder}: {os.strerror(ctypes.get_errno())}")
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    open(output + ".ready", "w").close()
    counts, overflow = {}, False
    while True:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if not ready:
            if stop:
                break
            continue
        data = os.read(fd, 1 << 16)
        at = 0
        while at < len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, at)
            name = data[at + 16:at + 16 + length].rstrip(b"\0").decode(errors="replace")
            at += 16 + length
            overflow |= bool(mask & IN_Q_OVERFLOW)
            if name:
                counts[name] = counts.get(name, 0) + 1
    with open(output, "w") as f:
        if overflow:
            f.write("-1 (queue overflow)\n")
        for name, count in sorted(counts.items()):
            f.write(f"{count} {name}\n")


if __name__ == "__main__":
    main()
