#!/usr/bin/env python3
"""Drives one real reader through N taps of one card and splits what each tap
costs into its path (the card number read -> the fare shown) and its pause.

The reader's console is a pipe this script keeps full while a tap is on its
way: the reader does a tap's work, lets go of the card, and then blocks in
the write of its fare (nothing is held while the console blocks,
docs/transaction.md), before the pause's work. So what the storage served
between the card number and that blocked write is the tap's path, and what
it served after the pipe is drained, until the reader asks for the next
card, is the pause's. `--snapshot CMD` is run at each of those two moments
(a `gluster volume profile ... info incremental`), its output kept per
tap; the time from the card number written to the fare's write is the tap's
time.

Usage: tap_round_trips.py --reader PROG --dir NETWORK --card N --taps N
                          [--snapshot CMD] [--out DIR]
Prints one line per tap: its number and its time in ms.
       tap_round_trips.py --summarize DIR --taps N --bricks B [--first K]
Reads the snapshots of DIR as `gluster volume profile ... info incremental`
gave them and prints, per brick and per tap, the operations of each kind:
on the tap's path, and in all (path and pause), over taps K to K+N-1.
"""
import argparse
import fcntl
import os
import re
import subprocess
import sys
import time
from collections import Counter

F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


def syscall_of(pid):
    """The system call the process waits in: (number, first argument)."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
    except OSError:
        return None
    if len(fields) < 2 or fields[0] == "running":
        return None
    return int(fields[0]), int(fields[1], 16)


def wait_in(proc, call, fd, timeout=30.0):
    """Waits until the reader is blocked in system call `call` on `fd`,
    and has stayed there (two looks): returns the moment it was first seen."""
    deadline = time.monotonic() + timeout
    first = None
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"the reader ended (status {proc.returncode})")
        seen = syscall_of(proc.pid)
        now = time.monotonic()
        if seen == (call, fd):
            if first is not None:
                return first
            first = now
        else:
            first = None
        time.sleep(0.0002)
    sys.exit(f"the reader was not seen waiting in system call {call} on fd {fd}")


def drain(fd):
    """Reads whatever the pipe holds without waiting."""
    got = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return got
        if not chunk:
            return got
        got += chunk


def fill(fd):
    """Fills the pipe through the script's own write end until it is full."""
    while True:
        try:
            os.write(fd, b"\0" * 4096)
        except BlockingIOError:
            return


def snapshot(command, path):
    if command:
        with open(path, "w") as out:
            subprocess.run(command, shell=True, stdout=out, stderr=subprocess.STDOUT, check=False)


# One row of a profile's table: latencies, then the number of calls and the
# operation.
PROFILE_ROW = re.compile(r"^\s*[\d.]+\s+[\d.]+ [nu]s\s+[\d.]+ [nu]s\s+[\d.]+ [nu]s\s+(\d+)\s+([A-Z_]+)\s*$")


def operations(path):
    """The operations of each kind that every brick served, summed."""
    counts = Counter()
    with open(path) as f:
        for line in f:
            row = PROFILE_ROW.match(line)
            if row:
                counts[row.group(2)] += int(row.group(1))
    return counts


def summarize(out, taps, bricks, first):
    path, pause = Counter(), Counter()
    for tap in range(first, first + taps):
        path += operations(os.path.join(out, f"path-{tap}.txt"))
        pause += operations(os.path.join(out, f"pause-{tap}.txt"))
    whole = path + pause
    # RELEASE and FORGET tell a brick that a file is closed or forgotten:
    # no call of the reader waits for them.
    unwaited = ("RELEASE", "RELEASEDIR", "FORGET")
    print(f"{'operation':<12} {'on the path':>12} {'in all':>8}   (per brick, per tap)")
    for kind, _ in sorted(whole.items(), key=lambda item: -item[1]):
        print(f"{kind:<12} {path[kind] / bricks / taps:>12.2f} {whole[kind] / bricks / taps:>8.2f}")
    def waited(counts):
        return sum(n for kind, n in counts.items() if kind not in unwaited) / bricks / taps
    print(f"{'waited for':<12} {waited(path):>12.2f} {waited(whole):>8.2f}   (all but RELEASE, FORGET)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reader")
    parser.add_argument("--dir")
    parser.add_argument("--card")
    parser.add_argument("--taps", type=int, default=20)
    parser.add_argument("--snapshot", default="")
    parser.add_argument("--out", default=".")
    parser.add_argument("--summarize", default="")
    parser.add_argument("--bricks", type=int, default=3)
    parser.add_argument("--first", type=int, default=1)
    args = parser.parse_args()
    if args.summarize:
        summarize(args.summarize, args.taps, args.bricks, args.first)
        return

    console_read, console_write = os.pipe()
    fcntl.fcntl(console_write, F_SETPIPE_SZ, 4096)
    stdin_read, stdin_write = os.pipe()
    proc = subprocess.Popen([os.path.abspath(args.reader)], cwd=args.dir, stdin=stdin_read, stdout=console_write,
                            stderr=open(os.path.join(args.out, "reader.err"), "wb"),
                            env=dict(os.environ, PWD=os.path.abspath(args.dir), TERM="dumb"))
    os.close(stdin_read)
    # The script's own ends of the console, not blocking: opened anew, so
    # that the reader's end (its own open of the pipe) still blocks.
    filler = os.open(f"/proc/self/fd/{console_write}", os.O_WRONLY | os.O_NONBLOCK)
    os.close(console_write)
    fcntl.fcntl(console_read, fcntl.F_SETFL, fcntl.fcntl(console_read, fcntl.F_GETFL) | os.O_NONBLOCK)
    shown = b""
    READ, WRITE = 0, 1
    for tap in range(args.taps + 1):
        # The reader asks for a card: what the storage served since the last
        # tap's fare (its pause) is taken, and the console made full.
        wait_in(proc, READ, 0)
        shown += drain(console_read)
        fill(filler)
        snapshot(args.snapshot, os.path.join(args.out, f"pause-{tap}.txt"))
        if tap == args.taps:
            break
        started = time.monotonic()
        os.write(stdin_write, f"{args.card}\n".encode())
        ended = wait_in(proc, WRITE, 1)
        snapshot(args.snapshot, os.path.join(args.out, f"path-{tap + 1}.txt"))
        print(f"{tap + 1} {1000 * (ended - started):.2f}", flush=True)
        shown += drain(console_read)
    os.close(stdin_write)
    shown += drain(console_read)
    proc.wait(timeout=30)
    with open(os.path.join(args.out, "console.txt"), "wb") as out:
        out.write(shown.replace(b"\0", b""))


if __name__ == "__main__":
    main()
