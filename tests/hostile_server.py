#!/usr/bin/python3
# Serial servers that misbehave on purpose, and pyserial's RFC 2217 server for comparison. Each
# listens on 127.0.0.1, prints its port, serves its connections one after the other and stops
# by itself within a minute.   hostile_server.py MODE   |   hostile_server.py pyserial DEVICE
import signal, socket, sys, threading, time

IAC, SB, SE, WILL, WONT, DO, DONT, NOP = 255, 250, 240, 251, 252, 253, 254, 241
def telnet(*codes): return bytes(codes)
def reply(code, value): return telnet(IAC, SB, 44, code) + value.replace(b'\xff', b'\xff\xff') + telnet(IAC, SE)
def bad(code, value): return telnet(IAC, DO, 44) + reply(code, value), b'', 0, 0, True

# mode: (first bytes, bytes repeated, most bytes sent, bytes a second or 0, answers queries)
MODES = {
    'subnegotiation-flood': (telnet(IAC, SB, 44), b'A' * 65536, 1 << 30, 0, False),
    'negotiation-storm': (b'', telnet(IAC, DO, 1, IAC, DONT, 1) * 4096, 1 << 40, 0, False),
    'escaped-ff-flood': (b'', b'\xff' * 65536, 400 << 20, 0, False),
    'will-flood': (b'', telnet(IAC, WILL, 1) * 8192, 1 << 40, 5 << 20, False),
    'raw-flood': (b'', b'x' * 65536, 150 << 20, 0, False),
    'bad-data-size': bad(102, b'\x10'),
    'bad-parity': bad(103, b'\x00'),
    'bad-stop-size': bad(104, b'\x4d'),
    'bad-baud-rate': bad(101, b'\xff\xff\xff\xff'),
    'interrupted-subnegotiation': (telnet(IAC, SB, 44, 101, 0, IAC, NOP) + b'JUNK'
                                   + telnet(IAC, SE), b'', 0, 0, True),
    'close-while-agreeing': (b'', b'', 0, 0, False),
}

def answer_queries(conn):
    for data in iter(lambda: conn.recv(4096), b''):
        conn.sendall(b'VELK,HOSTILE\r\n>' * data.count(b'\n'))

def serve(conn, mode):
    head, body, most, rate, answers = MODES[mode]
    conn.sendall(head)
    if answers:
        return answer_queries(conn)
    data = conn.recv(4096)  # the client's offer
    while body and data and b'\n' not in data:  # a flood is what a command gets
        data = conn.recv(4096)
    sent, start = 0, time.monotonic()
    while body and sent < most and time.monotonic() - start < 20:
        conn.sendall(body)
        sent += len(body)
        if rate:
            time.sleep(max(0, start + sent / rate - time.monotonic()))
    while body and conn.recv(65536):  # until the client leaves
        pass

def pyserial(conn, device):
    import serial, serial.rfc2217
    class Pty(serial.Serial):  # a pseudo-terminal has no modem lines
        def _update_dtr_state(self): pass
        def _update_rts_state(self): pass
        cts = dsr = ri = cd = False
    line = Pty(device, timeout=3)  # as pyserial's own server: the reader ends within 3 s
    class Redirector:
        def write(self, data): conn.sendall(data)
    manager, alive = serial.rfc2217.PortManager(line, Redirector()), [True]
    def reader():
        while alive[0]:
            conn.sendall(b''.join(manager.escape(line.read(line.in_waiting or 1))))
    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for data in iter(lambda: conn.recv(1024), b''):
            line.write(b''.join(manager.filter(data)))
    finally:  # the next connection waits for the reader, as with pyserial's own server
        alive[0] = False
        thread.join()
        line.close()

listener = socket.create_server(('127.0.0.1', 0))
print(listener.getsockname()[1], flush=True)
signal.alarm(60)
while True:
    conn = listener.accept()[0]
    print('connection', flush=True)
    try:
        pyserial(conn, sys.argv[2]) if sys.argv[1] == 'pyserial' else serve(conn, sys.argv[1])
    except OSError:
        pass  # the client has gone: the next one
    conn.close()
