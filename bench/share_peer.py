#!/usr/bin/python3
"""pyvisa-py's query("*IDN?") for `make bench`, against one resource: a raw socket Quillon
serves, or the pty instrument opened directly.

    share_peer.py RESOURCE COUNT

Prints the wall time of each query in ms, separated by blanks.
"""
import sys
import time

import pyvisa


def main():
    resource, count = sys.argv[1], int(sys.argv[2])
    manager = pyvisa.ResourceManager("@py")
    options = dict(write_termination="\n", read_termination="\n", timeout=2000)
    if resource.startswith("ASRL"):
        options["baud_rate"] = 115200
    instrument = manager.open_resource(resource, **options)
    for _ in range(20):  # warm up
        instrument.query("*IDN?")
    took = []
    for _ in range(count):
        start = time.perf_counter()
        reply = instrument.query("*IDN?")
        took.append((time.perf_counter() - start) * 1000.0)
        if len(reply.rstrip("\r")) != 40:
            sys.exit(f"unexpected reply {reply!r}")
    print(" ".join(f"{t:.4f}" for t in took), flush=True)
    instrument.close()


if __name__ == "__main__":
    main()
