#!/usr/bin/env python3
"""One-shot stream server for the benchmark: accepts one client on 127.0.0.1,
optionally speaks TLS (certificate and key given), sends N lines of the
payload + CR LF and "DONE" CR LF, then closes (with the TLS close alert).

    stream_peer.py PORT LINES PAYLOAD [CERT KEY]

Prints "ready" once it listens. The same server with and without TLS gives the
plain row that the TLS rows are compared with.
"""
import socket
import ssl
import sys


def main():
    port, lines, payload = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    cert = sys.argv[4:6]
    data = ((payload + "\r\n") * lines + "DONE\r\n").encode("ascii")
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(1)
    srv.settimeout(900)
    print("ready", flush=True)
    conn, _ = srv.accept()
    srv.close()
    conn.settimeout(120)
    if cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert[0], cert[1])
        conn = ctx.wrap_socket(conn, server_side=True)
    view = memoryview(data)
    for i in range(0, len(view), 1 << 16):
        conn.sendall(view[i:i + (1 << 16)])
    # The reader closes first or reads to our close: either way, no reset.
    if cert:
        try:
            conn = conn.unwrap()
        except (ssl.SSLError, OSError):
            pass
    try:
        conn.shutdown(socket.SHUT_WR)
        while conn.recv(1 << 16):
            pass
    except OSError:
        pass
    conn.close()


if __name__ == "__main__":
    main()
