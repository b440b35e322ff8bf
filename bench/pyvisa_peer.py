#!/usr/bin/python3
"""The peer side of `make bench`: pyvisa-py's query("*IDN?") against the same pty instrument.

    pyvisa_peer.py DEVICE COUNT

Prints one line: median and p95 of a whole query in ms, and the CPU per query in ms.
"""
import statistics
import sys
import time

import pyvisa


def main():
    device, count = sys.argv[1], int(sys.argv[2])
    manager = pyvisa.ResourceManager("@py")
    instrument = manager.open_resource(f"ASRL{device}::INSTR", baud_rate=115200,
                                       write_termination="\n", read_termination="\r\n",
                                       timeout=2000)
    for _ in range(5):  # warm up, as our side does
        instrument.query("*IDN?")
    took = []
    cpu_start = time.process_time()
    for _ in range(count):
        start = time.perf_counter()
        reply = instrument.query("*IDN?")
        took.append((time.perf_counter() - start) * 1000.0)
        if len(reply) != 40:
            sys.exit(f"unexpected reply {reply!r}")
    cpu = (time.process_time() - cpu_start) * 1000.0 / count
    took.sort()
    p95 = took[round(0.95 * (len(took) - 1))]
    print(f"{statistics.median(took):.4f} {p95:.4f} {cpu:.4f}")
    instrument.close()


if __name__ == "__main__":
    main()
