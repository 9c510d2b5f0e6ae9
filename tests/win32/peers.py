#!/usr/bin/env python3
"""Small loopback peers for the Wine cases of tests/win32/tls_cases.sh. Each
listens on 127.0.0.1, prints "ready" once it does, serves one connection and
ends; a failure ends it with a status other than 0.

    peers.py silent PORT               takes the connection, reads what comes
                                       and never answers, until the other
                                       side closes
    peers.py reset PORT CERTS|plain    over TLS (the certificates of
                                       tests/tls/tls_test.py in CERTS) or
                                       plain: sends "line 1", waits for a
                                       line, sends "line 2", 40 lines of
                                       1000 bytes and "line 3" and resets
                                       the connection as soon as the other
                                       side's system has taken them
    peers.py https PORT CERTS BODY     answers one HTTP request over TLS with
                                       the file BODY, then sends the close
                                       alert and keeps the connection until
                                       the other side's alert comes
    peers.py tamper PORT CERTS HOW     a TLS 1.2 server whose records pass
                                       through its hands: waits for "ping",
                                       sends "pong\nhalf" and then "secret\n"
                                       spoilt by HOW: "flip" one bit of its
                                       authentication tag, "inject"
                                       plaintext in front of it, "forge" a
                                       close alert in the clear instead, or
                                       "cut" the TCP connection instead
                                       (without the close alert); ends when
                                       the other side closes
    peers.py relay PORT                sends each line of its standard input
                                       (UTF-8) in Windows-1250 with CR LF and
                                       prints "sent N" once it has; drops what
                                       comes and ends when the other side
                                       closes
"""

import fcntl
import os
import socket
import ssl
import struct
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tls"))
from tls_test import read_line  # noqa: E402  (the headless program's TLS tests)

LIMIT = 60  # seconds any one wait may take
# What the reset peer sends between "line 2" and "line 3".
BULK = b"".join(b"bulk %02d %s\n" % (i, b"x" * 990) for i in range(40))


def listen(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    listener.settimeout(LIMIT)
    print("ready", flush=True)
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(LIMIT)
    return conn


def server_context(certs):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(certs + "/server.pem", certs + "/server.key")
    return ctx


def unacknowledged(sock):
    """Bytes sent that the other side's system has not acknowledged yet."""
    out = fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
    return struct.unpack("i", out)[0]


def silent(port):
    conn = listen(port)
    got = 0
    while True:
        try:
            data = conn.recv(4096)
        except ConnectionResetError:
            break
        if not data:
            break
        got += len(data)
    conn.close()
    print("read %d bytes, answered none" % got, flush=True)


def reset(port, certs):
    conn = listen(port)
    stream = conn if certs == "plain" else server_context(certs).wrap_socket(conn, server_side=True)
    stream.sendall(b"line 1\n")
    answer = read_line(stream)
    if answer != b"ok\n":
        sys.exit("expected ok, got %r" % answer)
    # The last lines and the reset leave together, more than one read takes
    # (and, over TLS, more than one record), but less than the other side's
    # receive buffer holds: nothing of it may be lost there.
    stream.sendall(b"line 2\n" + BULK + b"line 3\n")
    # A reset drops what the system has not sent yet: the bytes must have
    # reached the other side's receive buffer first.
    deadline = time.time() + LIMIT
    while unacknowledged(stream) > 0:
        if time.time() > deadline:
            sys.exit("the other side never took the last lines")
        time.sleep(0.01)
    stream.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    stream.close()
    print("reset after line 3", flush=True)


def https(port, certs, body_file):
    with open(body_file, "rb") as f:
        body = f.read()
    conn = listen(port)
    with server_context(certs).wrap_socket(conn, server_side=True) as t:
        request = b""
        while b"\r\n\r\n" not in request:
            data = t.recv(4096)
            if not data:
                sys.exit("the request ended early")
            request += data
        t.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        t.unwrap()


def tamper(port, certs, how):
    conn = listen(port)
    ctx = server_context(certs)
    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_side=True)

    def flush():
        data = outgoing.read()
        if data:
            conn.sendall(data)

    def feed():
        flush()
        data = conn.recv(65536)
        if not data:
            sys.exit("the other side closed early")
        incoming.write(data)

    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            feed()
    flush()
    got = b""
    while b"ping" not in got:
        try:
            got += tls.read(4096)
        except ssl.SSLWantReadError:
            feed()
    tls.write(b"pong\nhalf")
    flush()
    time.sleep(0.5)
    if how == "cut":
        conn.shutdown(socket.SHUT_WR)
    else:
        tls.write(b"secret\n")
        record = bytearray(outgoing.read())
        if how == "flip":
            record[-1] ^= 0x10
        elif how == "inject":
            record[0:0] = b"HELLO\r\n"
        elif how == "forge":
            record = bytearray(b"\x15\x03\x03\x00\x02\x01\x00")
        else:
            sys.exit("unknown way to spoil a record: " + how)
        conn.sendall(bytes(record))
    print("spoilt: " + how, flush=True)
    try:
        while conn.recv(4096):
            pass
    except ConnectionResetError:
        pass
    conn.close()


def relay(port):
    conn = listen(port)
    conn.settimeout(None)

    def drain():
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
        print("closed by the other side", flush=True)
        os._exit(0)

    threading.Thread(target=drain, daemon=True).start()
    sent = 0
    while True:
        line = sys.stdin.buffer.readline()
        if not line:
            break
        conn.sendall(line.rstrip(b"\n").decode("utf-8").encode("cp1250") + b"\r\n")
        sent += 1
        print("sent %d" % sent, flush=True)
    # Nothing more to send: the other side's close ends the peer.
    time.sleep(LIMIT)
    sys.exit("the other side never closed")


def main():
    kind, port = sys.argv[1], int(sys.argv[2])
    if kind == "silent":
        silent(port)
    elif kind == "reset":
        reset(port, sys.argv[3])
    elif kind == "https":
        https(port, sys.argv[3], sys.argv[4])
    elif kind == "tamper":
        tamper(port, sys.argv[3], sys.argv[4])
    elif kind == "relay":
        relay(port)
    else:
        sys.exit("unknown peer " + kind)


if __name__ == "__main__":
    main()
