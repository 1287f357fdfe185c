#!/usr/bin/python3
"""A UPnP router that answers garbage, for the router tests: run in the router namespace.

It answers each SSDP search (on the LAN address given) with a few malformed answers and then
one whose LOCATION points at its own HTTP server, which serves, by mode:
  garbage   a description that is no XML (binary bytes, tags cut off)
  huge      a description claiming two gigabytes and sent as fast as the caller reads
  drip      one byte per second, without end
  endless   a head that never ends
  flood     (SSDP) distinct answers every 10 ms for 30 s, each pointing at a garbage page
It prints "READY" once both sockets are bound, and runs until killed.
"""
import os
import socket
import struct
import sys
import threading
import time

MODE, LAN = sys.argv[1], sys.argv[2]

http = socket.socket()
http.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
http.bind((LAN, 0))
http.listen(16)
HTTP_PORT = http.getsockname()[1]


def serve(conn):
    try:
        conn.settimeout(5)
        conn.recv(4096)
        conn.settimeout(None)
        if MODE in ("garbage", "flood"):
            body = (b"<?xml version=\"1.0\"?><root><device><serviceList><service><serviceType>"
                    b"urn:schemas-upnp-org:service:WANIPConnection:1</serviceType><controlURL>"
                    + os.urandom(3000) + b"<<<>>></<\x00\xff&#;&amp" * 200)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        elif MODE == "huge":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n"
                         b"Content-Length: 2000000000\r\n\r\n<root>")
            block = b"<device>" * 8192
            while True:
                conn.sendall(block)
        elif MODE == "drip":
            for byte in b"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + b"<" * 100000:
                conn.sendall(bytes([byte]))
                time.sleep(1)
        elif MODE == "endless":
            conn.sendall(b"HTTP/1.1 200 OK\r\n")
            while True:
                conn.sendall(b"X-Header: " + b"y" * 4000 + b"\r\n")
    except OSError:
        pass
    finally:
        conn.close()


def http_loop():
    while True:
        conn, _ = http.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def answer(st, location, extra=b""):
    return (b"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + st +
            b"\r\nUSN: uuid:fake::" + st + b"\r\nEXT:\r\nSERVER: fake\r\nLOCATION: " + location +
            b"\r\n" + extra + b"\r\n")


def ssdp_loop():
    ssdp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ssdp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ssdp.bind(("", 1900))
    ssdp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    struct.pack("4s4s", socket.inet_aton("239.255.255.250"),
                                socket.inet_aton(LAN)))
    print("READY", flush=True)
    while True:
        data, peer = ssdp.recvfrom(4096)
        if not data.startswith(b"M-SEARCH"):
            continue
        st = b"upnp:rootdevice"
        for line in data.split(b"\r\n"):
            if line.lower().startswith(b"st:"):
                st = line[3:].strip()
        good = f"http://{LAN}:{HTTP_PORT}/desc.xml".encode()
        for junk in (os.urandom(700), b"HTTP/1.1 200 OK\r\n" + b"A" * 1400,
                     answer(st, b"http://[::1"), answer(st, b"http://" + b"9" * 1300 + b"/x"),
                     answer(st, b"", b"LOCATION: \r\n"), b"HTTP/1.1 200 OK\r\nST:\r\n\r\n"):
            ssdp.sendto(junk, peer)
        ssdp.sendto(answer(st, good), peer)
        if MODE == "flood":
            def flood(peer=peer, st=st):
                end = time.monotonic() + 30
                n = 0
                while time.monotonic() < end:
                    n += 1
                    location = f"http://{LAN}:{HTTP_PORT}/d{n}.xml".encode()
                    try:
                        ssdp.sendto(answer(st, location).replace(b"fake::", b"fake%d::" % n),
                                    peer)
                    except OSError:
                        return
                    time.sleep(0.01)
            threading.Thread(target=flood, daemon=True).start()


threading.Thread(target=http_loop, daemon=True).start()
ssdp_loop()
