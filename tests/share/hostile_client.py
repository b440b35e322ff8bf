#!/usr/bin/python3
"""A client that does what no VISA library does, against `quillon --serve`: each case prints what
the server answered, or that it hung up, in one line.

  hostile_client.py CASE PORT    (the VXI-11 core port, or a raw socket's port for raw-*)
"""
import socket
import struct
import sys
import time

CORE = 0x0607AF


def call(xid, program, version, procedure, args=b"", rpc_version=2):
    # xid, CALL, RPC version, program, version, procedure, AUTH_NONE credentials and verifier
    return struct.pack(">IIIIIIIIII", xid, 0, rpc_version, program, version, procedure, 0, 0, 0, 0) + args


def record(body, last=True):
    return struct.pack(">I", (0x80000000 if last else 0) | len(body)) + body


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    return sock


def answer(sock):
    """The reply's words after its header, or 'hung up'."""
    data = b""
    try:
        while len(data) < 4 or len(data) < 4 + (struct.unpack(">I", data[:4])[0] & 0x7FFFFFFF):
            more = sock.recv(65536)
            if not more:
                return "hung up"
            data += more
    except (ConnectionResetError, socket.timeout):
        return "hung up"
    words = struct.unpack(">%dI" % ((len(data) - 4) // 4), data[4 : 4 + (len(data) - 4) // 4 * 4])
    # xid, REPLY, accepted(0)/denied(1), then for accepted: verifier (2 words) and the status
    if words[2] == 1:
        return "denied " + " ".join(str(w) for w in words[3:])
    return "accepted " + " ".join(str(w) for w in words[5:])


def hung_up(sock, send):
    try:
        sock.sendall(send)
        sock.settimeout(3)
        return "hung up" if sock.recv(1) == b"" else "answered"
    except (ConnectionResetError, BrokenPipeError):
        return "hung up"
    except socket.timeout:
        return "kept"


def main():
    case, port = sys.argv[1], int(sys.argv[2])
    if case == "hold":
        # A thousand connections held open at once: those beyond the bound are closed at once.
        held = []
        for _ in range(1000):
            try:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            except OSError:
                pass
        time.sleep(1)
        closed = 0
        for sock in held:
            sock.setblocking(False)
            try:
                closed += sock.recv(1) == b""
            except BlockingIOError:
                pass
            except ConnectionResetError:
                closed += 1
        print("opened %d, closed by the server %d" % (len(held), closed))
        return
    sock = connect(port)
    if case == "fragment":
        # A fragment of 2^31 - 1 bytes announced, and some of them sent.
        print(hung_up(sock, struct.pack(">I", 0x7FFFFFFF) + b"\0" * 65536))
    elif case == "fragments":
        # Small fragments that never end a record, past the bound.
        print(hung_up(sock, record(b"\0" * 60000, last=False) * 40))
    elif case == "program":
        sock.sendall(record(call(1, 100003, 1, 10)))
        print(answer(sock))
    elif case == "version":
        sock.sendall(record(call(2, CORE, 7, 10)))
        print(answer(sock))
    elif case == "procedure":
        sock.sendall(record(call(3, CORE, 1, 99)))
        print(answer(sock))
    elif case == "rpc-version":
        sock.sendall(record(call(4, CORE, 1, 10, rpc_version=3)))
        print(answer(sock))
    elif case == "truncated":
        # create_link whose device name claims 60 bytes and brings 3.
        sock.sendall(record(call(5, CORE, 1, 10, struct.pack(">iII", 1, 0, 0) + struct.pack(">I", 60) + b"ins")))
        print(answer(sock))
    elif case == "not-a-call":
        sock.sendall(record(struct.pack(">II", 6, 1)))
        print(answer(sock))
    elif case == "idle":
        # One call answered, then nothing: the server hangs up once the idle bound has passed.
        sock.sendall(record(call(7, CORE, 1, 99)))
        answer(sock)
        sock.settimeout(8)
        try:
            print("hung up" if sock.recv(1) == b"" else "answered")
        except socket.timeout:
            print("kept")
        except ConnectionResetError:
            print("hung up")
    elif case == "raw-endless-line":
        print(hung_up(sock, b"*IDN" * (600 * 1024)))


if __name__ == "__main__":
    main()
