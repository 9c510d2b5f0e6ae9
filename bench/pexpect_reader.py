"""The benchmark's pexpect reader: fdpexpect on the socket, one expect_exact
per line until the line DONE, a flushed log line per line when a log file is
given.   python3 pexpect_reader.py PORT [LOGFILE]"""
import socket
import sys

from pexpect import fdpexpect

sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
log = open(sys.argv[2], "wb") if len(sys.argv) > 2 else None
child = fdpexpect.fdspawn(sock.fileno(), timeout=120)
while True:
    child.expect_exact(b"\r\n")
    line = child.before
    if log:
        log.write(b"Line read " + line + b"\\r\\n\r\n")
        log.flush()
    if line == b"DONE":
        break
sock.close()
