"""Partners that speak the conversation protocol over raw loopback sockets, well or badly.

Each partner binds its own 127.x address (the program refuses a second connection from an
address it is already connected to). Everything here is plain sockets and threads; nothing
touches the program except through its port.
"""

import socket
import struct
import threading
import time
import zlib

MAGIC = b"VOXILEN"
PC_CONNECT, PC_VOICE, PC_TEXT, PC_TRANSFER_REQUEST, PC_CONNECT_REPLY, PC_TRANSFER_REPLY = \
    1, 2, 3, 4, 6, 7
RC_ACCEPTED = 1
MAX_PACKET = 14 + 10 + 65535  # the largest packet the format can describe


def packet(command, body, total=None):
    """A packet with the header filled in; total overrides TotalLength."""
    length = 14 + len(body) if total is None else total
    return MAGIC + b"\0\0" + struct.pack("<I", length) + bytes([command]) + body


def connect_packet(name, comment=b"", pass_phrase=b""):
    return packet(PC_CONNECT, struct.pack("<HHHH", 0, len(name), len(comment), len(pass_phrase))
                  + name + comment + pass_phrase)


def text_packet(line):
    return packet(PC_TEXT, struct.pack("<HH", 0, len(line)) + line)


def delta(pcm):
    out = bytearray(len(pcm))
    previous = 0
    for i, sample in enumerate(pcm):
        out[i] = sample if i == 0 else (sample - previous + 128) & 255
        previous = sample
    return bytes(out)


def voice_block(pcm):
    """One compressed block as the program builds it: delta coding, then zlib level 1."""
    return zlib.compress(delta(pcm), 1)


def voice_packet(pcm_length, block):
    return packet(PC_VOICE, struct.pack("<HHHH", 0, pcm_length & 0xFFFF, len(block), 0) + block)


def tone(samples, period=25, amplitude=90):
    """A loud square-ish tone: 11025 / period Hz."""
    half = period // 2
    return bytes(128 + amplitude if (i % period) < half else 128 - amplitude
                 for i in range(samples))


def read_exact(sock, count, timeout):
    sock.settimeout(timeout)
    data = b""
    while len(data) < count:
        part = sock.recv(count - len(data))
        if not part:
            raise ConnectionError("closed")
        data += part
    return data


def read_packet(sock, timeout=10.0):
    header = read_exact(sock, 14, timeout)
    if header[:7].upper() != MAGIC:
        raise ValueError("no magic")
    total = struct.unpack("<I", header[9:13])[0]
    return header[13], read_exact(sock, total - 14, timeout)


class Partner:
    """One raw connection from its own loopback address."""

    def __init__(self, port, address, rcvbuf=None):
        self.address = address
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((address, 0))
        self.sock.connect(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lock = threading.Lock()
        self.texts = []  # chat lines received from the program
        self.voice_packets = 0
        self.offers = []  # (file name bytes, size, port) of each pcTransferRequest
        self.closed = threading.Event()  # the program ended the connection
        self.reader = None

    def send(self, data):
        with self.lock:
            self.sock.sendall(data)

    def handshake(self, name):
        """Sends pcConnect; the caller has the program accept it; returns the reply."""
        self.send(connect_packet(name))

    def wait_accepted(self, timeout=10.0):
        command, body = read_packet(self.sock, timeout)
        if command != PC_CONNECT_REPLY or body[2] != RC_ACCEPTED:
            raise RuntimeError(f"{self.address}: not accepted ({command}, {body[:3]!r})")

    def start_reading(self):
        """Reads and keeps what the program sends, until it closes the connection."""
        def run():
            try:
                while True:
                    command, body = read_packet(self.sock, timeout=None)
                    if command == PC_TEXT:
                        length = struct.unpack("<H", body[2:4])[0]
                        with self.lock:
                            self.texts.append(body[4:4 + length])
                    elif command == PC_VOICE:
                        self.voice_packets += 1
                    elif command == PC_TRANSFER_REQUEST:
                        length, size, port = struct.unpack("<HIH", body[2:10])
                        with self.lock:
                            self.offers.append((body[10:10 + length], size, port))
            except (OSError, ConnectionError, ValueError, struct.error):
                pass
            self.closed.set()
        self.sock.settimeout(None)
        self.reader = threading.Thread(target=run, daemon=True)
        self.reader.start()

    def received_texts(self):
        with self.lock:
            return list(self.texts)

    def sees_close(self, timeout):
        """True when the program closes the connection within timeout (data is skipped)."""
        if self.reader is not None:
            return self.closed.wait(timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except OSError:
                return True
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def reply_packet(command, result, text=b""):
    return packet(command, struct.pack("<HBH", 0, result, len(text)) + text)


def ack(count):
    """A transfer acknowledgement: the running count, signed 64-bit little-endian."""
    return struct.pack("<q", count)


def raw_connection(port, address):
    """A bare connection that says nothing; None when the program's backlog is full."""
    sock = socket.socket()
    sock.bind((address, 0))
    sock.settimeout(5)
    try:
        sock.connect(("127.0.0.1", port))
    except OSError:
        sock.close()
        return None
    return sock
