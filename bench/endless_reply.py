#!/usr/bin/python3
"""`quillon --run` facing a reply that never ends its line: the resident memory it takes and
what it reports.

    endless_reply.py QUILLON [MEGABYTES]          (default 500)

A device on a pseudo-terminal answers the script's one query, after a second of quiet, with
MEGABYTES of "A" and no line end. The quiet second is the idle figure; the peak is sampled
from /proc every 10 ms while the reply streams. Prints both, the difference, how long the run
took and the run's own report.
"""
import os
import pty
import subprocess
import sys
import tempfile
import threading
import time
import tty


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def device(master, total, answering):
    # Raw, so that the line discipline neither echoes nor turns bytes into others.
    query = b""
    while b"\n" not in query:
        query += os.read(master, 256)
    time.sleep(1.0)
    answering.set()
    chunk = b"A" * 65536
    sent = 0
    try:
        while sent < total:
            sent += os.write(master, chunk[: min(len(chunk), total - sent)])
    except OSError:
        pass  # the run closed the port


def main():
    quillon = sys.argv[1]
    total = int(sys.argv[2] if len(sys.argv) > 2 else 500) * 1000 * 1000
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    answering = threading.Event()
    threading.Thread(target=device, args=(master, total, answering), daemon=True).start()
    with tempfile.NamedTemporaryFile("w", suffix=".qs", delete=False) as script:
        script.write("port 1\nquery *IDN?\n")
    started = time.monotonic()
    run = subprocess.Popen([quillon, "--run", script.name, "--com1", path],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    idle = peak = 0
    while run.poll() is None:
        rss = resident_kib(run.pid)
        if answering.is_set():
            peak = max(peak, rss)
        else:
            idle = rss or idle
        time.sleep(0.01)
    took = time.monotonic() - started
    os.unlink(script.name)
    print(f"reply of {total / 1e6:.0f} MB with no line end: resident memory {idle} KiB idle, "
          f"{peak} KiB at the peak ({peak - idle:+d} KiB); run took {took:.1f} s, "
          f"exit status {run.returncode}")
    print(run.stdout.read().rstrip())


if __name__ == "__main__":
    main()
