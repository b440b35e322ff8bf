#!/usr/bin/python3
"""pyvisa-py as the tests of `quillon --serve` use it: Debian's pyvisa and pyvisa-py, opening
the resource strings Quillon printed, and pyvisa-py's own VXI-11 client for what pyvisa does not
show (a read's reasons, locks, the protocol's error codes).

  visa_client.py ask COUNT RESOURCE... each resource COUNT times *IDN?, in turn; prints per
                                       resource each distinct reply (hex) and how often it came
  visa_client.py reads HOST DEVICE     a reply read in pieces of several sizes: sizes, reasons
                                       (HOST may be HOST:PORT, the core channel's port)
  visa_client.py fault HOST DEVICE MS  one query with an I/O timeout of MS: error, seconds
  visa_client.py abort HOST DEVICE     a write to a silent device aborted on the abort channel:
                                       the write's error, the abort's, seconds
  visa_client.py locks HOST DEVICE     two links and their locks: each step's error code
  visa_client.py hold HOST DEVICE      takes the lock, says "locked", and waits to be killed
"""
import collections
import sys
import time

from pyvisa_py.protocols import rpc, vxi11

END = vxi11.OP_FLAG_END
WAIT = vxi11.OP_FLAG_WAIT_BLOCK


def ask(count, resources):
    import pyvisa

    manager = pyvisa.ResourceManager("@py")
    opened = []
    for name in resources:
        inst = manager.open_resource(name, timeout=10000)
        inst.encoding = "latin-1"
        if name.endswith("::SOCKET"):
            inst.read_termination = "\n"
        inst.write_termination = "\n"
        opened.append((name, inst))
    seen = collections.OrderedDict((name, collections.Counter()) for name in resources)
    for _ in range(count):
        for name, inst in opened:
            reply = inst.query("*IDN?").rstrip("\n").encode("latin-1")
            seen[name][reply.hex()] += 1
    for name, inst in opened:
        inst.close()
    for name, replies in seen.items():
        for reply, times in replies.items():
            print(name, reply, times)


class DirectCoreClient(vxi11.CoreClient):
    """pyvisa-py's VXI-11 client on a port given, where the portmapper names another server."""

    def __init__(self, host, port):
        self.packer = vxi11.Vxi11Packer()
        self.unpacker = vxi11.Vxi11Unpacker("")
        rpc.RawTCPClient.__init__(self, host, vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, port)


def link(host, device):
    """A link to `device`; `host` may name the core channel's port: 127.0.0.1:40211."""
    if ":" in host:
        address, port = host.split(":")
        client = DirectCoreClient(address, int(port))
    else:
        client = vxi11.CoreClient(host)
    error, lid, _, _ = client.create_link(0, 0, 0, device)
    if error:
        raise SystemExit("create_link %s: error %d" % (device, error))
    return client, lid


def reads(host, device):
    client, lid = link(host, device)
    # Each size in turn, the whole reply read with it: the pieces and their reasons.
    for size, flags, term in ((10, 0, 0), (5, 0, 0), (1000, 0, 0), (1000, 128, ord(","))):
        client.device_write(lid, 2000, 0, END, b"*IDN?\n")
        pieces = []
        while True:
            error, reason, data = client.device_read(lid, size, 2000, 0, flags, term)
            pieces.append("%d:%d" % (len(data), reason))
            if error or reason & vxi11.RX_END:
                break
        print(size, " ".join(pieces))
    # Nothing asked: a read has nothing to wait for.
    print("empty", client.device_read(lid, 100, 500, 0, 0, 0)[0])
    client.destroy_link(lid)


def fault(host, device, io_timeout):
    client, lid = link(host, device)
    started = time.monotonic()
    error, _ = client.device_write(lid, io_timeout, 0, END, b"*IDN?\n")
    print(error, "%.3f" % (time.monotonic() - started))
    client.destroy_link(lid)


def abort(host, device):
    import threading

    client, lid = link(host, device)
    error, _, abort_port, _ = client.create_link(0, 0, 0, device)
    channel = rpc.RawTCPClient(host.split(":")[0], vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ASYNC_VERS, abort_port)
    channel.packer = vxi11.Vxi11Packer()
    channel.unpacker = vxi11.Vxi11Unpacker("")
    written = []
    started = time.monotonic()
    writer = threading.Thread(target=lambda: written.append(client.device_write(lid, 3000, 0, END, b"*IDN?\n")[0]))
    writer.start()
    time.sleep(0.3)
    aborted = channel.make_call(vxi11.DEVICE_ABORT, lid, channel.packer.pack_device_link, channel.unpacker.unpack_device_error)
    writer.join()
    print(written[0], aborted, "%.3f" % (time.monotonic() - started))


def locks(host, device):
    first, a = link(host, device)
    second, b = link(host, device)
    steps = [
        ("a locks", first.device_lock(a, 0, 0)),
        ("a locks again", first.device_lock(a, 0, 0)),
        ("b writes", second.device_write(b, 1000, 0, END, b"*IDN?\n")[0]),
        ("b reads", second.device_read(b, 100, 1000, 0, 0, 0)[0]),
        ("b locks", second.device_lock(b, 0, 0)),
        ("b unlocks", second.device_unlock(b)),
        ("a writes", first.device_write(a, 1000, 0, END, b"*IDN?\n")[0]),
    ]
    started = time.monotonic()
    error = second.device_write(b, 1000, 300, END | WAIT, b"*IDN?\n")[0]
    steps.append(("b waits 300 ms", "%d after %.1f s" % (error, time.monotonic() - started)))
    steps.append(("a unlocks", first.device_unlock(a)))
    steps.append(("b writes", second.device_write(b, 1000, 0, END, b"*IDN?\n")[0]))
    steps.append(("b reads", second.device_read(b, 100, 1000, 0, 0, 0)[2]))
    steps.append(("a destroys", first.destroy_link(a)))
    steps.append(("a's link gone", first.device_write(a, 1000, 0, END, b"*IDN?\n")[0]))
    for step, result in steps:
        print("%s: %s" % (step, result))


def hold(host, device):
    client, lid = link(host, device)
    print("locked" if client.device_lock(lid, 0, 0) == 0 else "refused", flush=True)
    time.sleep(60)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "ask":
        ask(int(args[0]), args[1:])
    elif command == "reads":
        reads(*args)
    elif command == "fault":
        fault(args[0], args[1], int(args[2]))
    elif command == "abort":
        abort(*args)
    elif command == "locks":
        locks(*args)
    elif command == "hold":
        hold(*args)
