#!/usr/bin/python3
# Serial servers that misbehave on purpose, and pyserial's RFC 2217 server on a pseudo-terminal.
# Each listens on 127.0.0.1, prints its port, serves one connection after another and ends
# within a minute.   hostile_server.py MODE   |   hostile_server.py pyserial DEVICE
import signal, socket, struct, sys, threading, time

IAC, SB, SE, WILL, DO, DONT, NOP = 255, 250, 240, 251, 253, 254, 241
def sb(code, value):  # the server's answer to a COM-PORT-OPTION setting
    return bytes([IAC, SB, 44, code]) + value + bytes([IAC, SE])
def bad(code, value):  # a setting confirmed with a value RFC 2217 does not have
    return bytes([IAC, DO, 44]) + sb(code, value), b'', 0, 0
# mode: (sent at once; sent over and over once a command came, up to a total, at a rate or at
# full speed; and then 'close' instead of waiting for the client); without the latter, each
# command is answered
MODES = {'subnegotiation-flood': (bytes([IAC, SB, 44]), b'A' * 65536, 1 << 30, 0),
         'negotiation-storm': (b'', bytes([IAC, DO, 1, IAC, DONT, 1]) * 4096, 1 << 40, 0),
         'escaped-ff-flood': (b'', b'\xff' * 65536, 400 << 20, 0),
         'will-flood': (b'', bytes([IAC, WILL, 1]) * 8192, 1 << 40, 5 << 20),
         'raw-flood': (b'', b'x' * 65536, 150 << 20, 0),
         'raw-flood-then-close': (b'', b'x' * 65536, 9 << 20, 0, 'close'),
         'bad-data-size': bad(102, b'\x10'), 'bad-parity': bad(103, b'\x00'),
         'bad-stop-size': bad(104, b'\x4d'), 'bad-baud-rate': bad(101, b'\xff' * 8),
         'interrupted-subnegotiation': (bytes([IAC, SB, 44, 101, 0, IAC, NOP]) + b'JUNK'
                                        + bytes([IAC, SE]), b'', 0, 0),
         'close-while-agreeing': (b'', None, 0, 0),
         'reset-after-hello': (b'hello', 'reset', 0, 0),
         'refuses-option': (bytes([IAC, DONT, 44]), b'', 0, 0),
         'confirms-other': (bytes([IAC, DO, 44]) + sb(101, (4800).to_bytes(4, 'big'))
                            + sb(102, b'\x08') + sb(103, b'\x01') + sb(104, b'\x01'), b'', 0, 0)}

def serve(conn, head, body, most, rate, then=None):
    conn.sendall(head)
    if body == 'reset':  # accepted, a word, and a reset rather than a close
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        return
    data = conn.recv(4096)
    while body == b'' and data:
        conn.sendall(b'VELK,HOSTILE\r\n>' * data.count(b'\n'))
        data = conn.recv(4096)
    while body and data and b'\n' not in data:
        data = conn.recv(4096)
    sent, start = 0, time.monotonic()
    while body and sent < most and time.monotonic() - start < 20:
        conn.sendall(body)
        sent += len(body)
        time.sleep(max(0, start + sent / rate - time.monotonic()) if rate else 0)
    while body and then != 'close' and conn.recv(65536):
        pass

def pyserial(conn, device):
    import serial, serial.rfc2217
    class Pty(serial.Serial):  # a pseudo-terminal has no modem lines: what is asked is printed
        told = False
        def _update_dtr_state(self): self.told and print('dtr', int(self._dtr_state), flush=True)
        def _update_rts_state(self): self.told and print('rts', int(self._rts_state), flush=True)
        cts = dsr = ri = cd = False
    line = Pty(device, timeout=3)  # as pyserial's own server: its reader ends within 3 s
    line.told = True
    class Redirector:  # where the port manager's answers go
        write = staticmethod(conn.sendall)
    manager, alive = serial.rfc2217.PortManager(line, Redirector()), [1]
    def reader():
        while alive[0]:
            conn.sendall(b''.join(manager.escape(line.read(line.in_waiting or 1))))
    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for data in iter(lambda: conn.recv(1024), b''):
            line.write(b''.join(manager.filter(data)))
    finally:  # the next connection waits for the reader, as with pyserial's own server
        alive[0] = 0
        thread.join()

listener = socket.create_server(('127.0.0.1', 0))
print(listener.getsockname()[1], flush=True)
signal.alarm(60)
while True:
    conn = listener.accept()[0]
    print('connection', flush=True)
    try:
        pyserial(conn, sys.argv[2]) if sys.argv[1] == 'pyserial' else serve(conn, *MODES[sys.argv[1]])
    except OSError:
        pass  # the client has gone: the next one
    conn.close()
