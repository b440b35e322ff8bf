#!/usr/bin/python3
"""The peer side of `make bench`: pyvisa-py's query("*IDN?") against a pty instrument.

    pyvisa_peer.py DEVICE

Reads commands from stdin, one a line, and answers each with one line:
    back N    N queries back to back
    paced N   N queries, each after 20 ms of idling (as every exchange of ours settles 20 ms)
The answer is the wall time of each query in ms, then the CPU of all of them in ms, separated
by blanks. "ready" is printed once the instrument is open.
"""
import sys
import time

import pyvisa


def main():
    manager = pyvisa.ResourceManager("@py")
    instrument = manager.open_resource(f"ASRL{sys.argv[1]}::INSTR", baud_rate=115200,
                                       write_termination="\n", read_termination="\r\n",
                                       timeout=2000)
    for _ in range(5):  # warm up, as our side does
        instrument.query("*IDN?")
    print("ready", flush=True)
    for line in sys.stdin:
        mode, count = line.split()
        took = []
        cpu = 0.0
        for _ in range(int(count)):
            if mode == "paced":
                time.sleep(0.02)
            cpu_start = time.process_time()
            start = time.perf_counter()
            reply = instrument.query("*IDN?")
            took.append((time.perf_counter() - start) * 1000.0)
            cpu += time.process_time() - cpu_start
            if len(reply) != 40:
                sys.exit(f"unexpected reply {reply!r}")
        print(" ".join(f"{t:.4f}" for t in took), f"{cpu * 1000.0:.4f}", flush=True)
    instrument.close()


if __name__ == "__main__":
    main()
