#!/usr/bin/env python3
"""Whole runs of the headless program over TLS against real peers on the
loopback: openssl s_server and s_client, curl, and small peers built on
Python's ssl module. The certificates (a CA, a server certificate for
localhost and 127.0.0.1, a CA nobody trusts, a PKCS#12 file) are made by
openssl in a temporary folder at the start.

    tls_test.py --program build/tarvelin [unittest options]
"""

import argparse
import os
import re
import select
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROGRAM = None
CERTS = None  # the folder of the certificates
LIMIT = 20  # seconds for any one process


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, **kw):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, cwd=CERTS, **kw)


def make_certificates(folder):
    global CERTS
    CERTS = folder
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key",
                "-out", ca + ".pem", "-days", "3650", "-subj", "/CN=Tarvelin test " + ca,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign")
    with open(os.path.join(folder, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
            "server.csr", "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "3650", "-extfile", "ext.cnf")
    openssl("pkcs12", "-export", "-in", "server.pem", "-inkey", "server.key", "-certfile",
            "ca.pem", "-out", "server.p12", "-passout", "pass:tajné heslo")
    openssl("pkcs12", "-export", "-in", "server.pem", "-inkey", "server.key", "-out",
            "nopass.p12", "-passout", "pass:")
    # As older tools write them: the certificates under RC2.
    openssl("pkcs12", "-export", "-legacy", "-in", "server.pem", "-inkey", "server.key",
            "-certfile", "ca.pem", "-out", "legacy.p12", "-passout", "pass:tajné heslo")


def cert(name):
    return os.path.join(CERTS, name)


def server_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert("server.pem"), cert("server.key"))
    return ctx


class Peer(threading.Thread):
    """A listening socket on the loopback whose first connection is handed to
    a function in a thread of its own; what it returns or raises is kept."""

    def __init__(self, handle):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(LIMIT)
        self.port = self.listener.getsockname()[1]
        self.handle = handle
        self.result = None
        self.error = None
        self.start()

    def run(self):
        try:
            conn, _ = self.listener.accept()
            conn.settimeout(LIMIT)
            with conn:
                self.result = self.handle(conn)
        except Exception as e:  # reported by finish()
            self.error = e
        finally:
            self.listener.close()

    def finish(self):
        self.join(LIMIT)
        if self.error:
            raise self.error
        return self.result


def read_line(f):
    line = b""
    while not line.endswith(b"\n"):
        c = f.recv(1)
        if not c:
            break
        line += c
    return line


class Run:
    """One run of the program in a fresh folder."""

    def __init__(self, test, script, files=None, env=None):
        self.dir = tempfile.mkdtemp(prefix="tarvelin-tls-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        with open(os.path.join(self.dir, "main.tvl"), "wb") as f:
            f.write(script.encode("cp1250"))
        for name, source in (files or {}).items():
            shutil.copy(cert(source), os.path.join(self.dir, name))
        self.env = dict(os.environ, HOME=self.dir, XDG_CONFIG_HOME=self.dir)
        self.env.pop("SSL_CERT_FILE", None)
        self.env.pop("SSL_CERT_DIR", None)
        # A default store of its own, so that no test depends on the system's.
        self.env["SSL_CERT_FILE"] = cert("other-ca.pem")
        self.env.update(env or {})
        self.proc = None

    def start(self, stdin=subprocess.DEVNULL, options=()):
        self.proc = subprocess.Popen([PROGRAM, *options, "main.tvl"], cwd=self.dir, env=self.env,
                                     stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        return self

    def wait(self):
        try:
            out, err = self.proc.communicate(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise AssertionError("the program did not end")
        self.exit = self.proc.returncode
        self.stderr = err.decode("utf-8", "replace")
        return self

    def run(self):
        return self.start().wait()

    def log(self):
        with open(os.path.join(self.dir, "TARVELIN.LOG"), "rb") as f:
            return f.read().decode("cp1250").replace("\r\n", "\n")

    def wait_for_log(self, text):
        deadline = time.time() + LIMIT
        while time.time() < deadline:
            try:
                if text in self.log():
                    return
            except FileNotFoundError:
                pass
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        raise AssertionError("the log never showed " + text)

    def file(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()


def lines_after(log, first):
    """The log's lines from the line that begins with first on."""
    lines = log.split("\n")
    for i, line in enumerate(lines):
        if line.startswith(first):
            return lines[i:]
    raise AssertionError(first + " not in the log:\n" + log)


class SServer:
    """openssl s_server, started on a free port; its standard input stays
    open until stop()."""

    def __init__(self, test, *extra):
        self.port = free_port()
        self.proc = subprocess.Popen(
            ["openssl", "s_server", "-accept", "127.0.0.1:%d" % self.port, "-cert",
             cert("server.pem"), "-key", cert("server.key"), "-naccept", "1", "-ign_eof",
             *extra], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        self.out = b""
        deadline = time.time() + LIMIT
        while b"ACCEPT" not in self.out and time.time() < deadline:
            self.out += self.proc.stdout.readline()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.out += line

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join(5)
        self.proc.stdin.close()
        self.proc.stdout.close()
        return self.out


class ClientTests(unittest.TestCase):
    def exchange_script(self, host, port, options):
        return ("Connect %s %d\nStartTls %s\nSend \"ping\" cr lf\n"
                "WaitFor LineStarting \"pong\"\nDisconnect\n" % (host, port, options))

    def verified(self, host, options, files=None, env=None, extra=()):
        server = SServer(self, *extra)
        run = Run(self, self.exchange_script(host, server.port, options), files, env).start()
        deadline = time.time() + LIMIT
        while b"ping" not in server.out and time.time() < deadline and run.proc.poll() is None:
            time.sleep(0.02)
        server.send(b"pong\n")
        run.wait()
        return run, server

    def test_default_store_follows_ssl_cert_file(self):
        run, _ = self.verified("localhost", "", env={"SSL_CERT_FILE": cert("ca.pem")})
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertIn("Načtena řádka pong\\n", run.log())

    def failed(self, host, options, files=None):
        server = SServer(self)
        run = Run(self, self.exchange_script(host, server.port, options), files).run()
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ StartTls")
        return run, log

    def test_trust_files_pem_or_der_one_or_many(self):
        openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
        openssl("x509", "-in", "other-ca.pem", "-outform", "DER", "-out", "other-ca.der")
        for name, parts in (("ca.cer", ["ca.der"]), ("both.pem", ["other-ca.pem", "ca.pem"]),
                            ("both.cer", ["other-ca.der", "ca.der"])):
            with self.subTest(name=name):
                with open(cert(name), "wb") as out:
                    for part in parts:
                        with open(cert(part), "rb") as f:
                            out.write(f.read())
                run, _ = self.verified("localhost", "Trust " + name, {name: name})
                self.assertEqual(run.exit, 0, run.log())
                self.assertIn("Načtena řádka pong\\n", run.log())
        # Only what the file holds is trusted, in either form.
        run, log = self.failed("localhost", "Trust other.cer", {"other.cer": "other-ca.der"})
        self.assertTrue(log[2].startswith("TLS nelze navázat: certifikát partnera není "
                                          "důvěryhodný"), log[2])

    def test_unusable_trust_file_is_named(self):
        with open(cert("junk.cer"), "wb") as f:
            f.write(b"no certificate here\n")
        for written, files, reason in (
                ("junk.cer", {"junk.cer": "junk.cer"}, "no PEM or DER certificates in the file"),
                ('"sub dir/missing.pem"', None, "No such file or directory")):
            with self.subTest(file=written):
                run, log = self.failed("localhost", "Trust " + written, files)
                plain = written.strip('"')
                self.assertEqual(log[2:5], [
                    "TLS nelze navázat: soubor důvěryhodných certifikátů nelze použít (%s)"
                    % reason,
                    "Soubor %s, úplná cesta %s" % (plain, os.path.join(run.dir, plain)),
                    "Spojení ukončeno."])

    def test_ipv6_literal_in_its_short_form(self):
        # Written long, named as the connection names it, and checked as an
        # address: the certificate names only 127.0.0.1.
        listener = socket.socket(socket.AF_INET6)
        self.addCleanup(listener.close)
        listener.bind(("::1", 0))
        listener.listen(1)
        listener.settimeout(LIMIT)

        def serve():
            try:
                conn, _ = listener.accept()
                with conn:
                    server_context().wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                pass
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        run = Run(self, "Connect 0:0:0:0:0:0:0:1 %d\nStartTls Trust ca.pem\n"
                  % listener.getsockname()[1], {"ca.pem": "ca.pem"}).run()
        thread.join(LIMIT)
        log = lines_after(run.log(), "$$ StartTls")
        self.assertEqual(log[1:3], ["Zahajuji TLS jako klient, adresa serveru ::1",
                                    "TLS nelze navázat: certifikát nepatří jménu serveru "
                                    "(IP address mismatch)"])

    def test_address_not_in_certificate(self):
        # A certificate for the name only, reached by address: the address is
        # what it must name.
        def handle(conn):
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(cert("name-only.pem"), cert("server.key"))
            try:
                ctx.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                pass
        peer = Peer(handle)
        run = Run(self, "Connect 127.0.0.1 %d\nStartTls Trust ca.pem\n" % peer.port,
                  {"ca.pem": "ca.pem"}).run()
        peer.finish()
        self.assertEqual(run.exit, 1)
        self.assertIn("TLS nelze navázat: certifikát nepatří jménu serveru (IP address mismatch)",
                      run.log())

    def test_server_name_sent(self):
        # Python's server tells which name the handshake carried.
        for host, options, expected in (("localhost", "Trust ca.pem", "localhost"),
                                        ("127.0.0.1", "Trust ca.pem", None),
                                        ("127.0.0.1", "Name localhost Trust ca.pem", "localhost")):
            with self.subTest(host=host, options=options):
                names = []

                def handle(conn):
                    ctx = server_context()
                    ctx.sni_callback = lambda s, name, c: names.append(name)
                    with ctx.wrap_socket(conn, server_side=True) as t:
                        t.sendall(b"pong\n")
                        read_line(t)
                        # Closed only after the program: a close of ours with
                        # its bytes unread would be a reset that can take the
                        # pong with it.
                        while t.recv(4096):
                            pass
                peer = Peer(handle)
                run = Run(self, self.exchange_script(host, peer.port, options),
                          {"ca.pem": "ca.pem"}).run()
                peer.finish()
                self.assertEqual(run.exit, 0, run.stderr)
                self.assertEqual(names, [expected])

    def test_s_server_refuses_an_unknown_name(self):
        server = SServer(self, "-servername", "localhost", "-servername_fatal", "-cert2",
                         cert("server.pem"), "-key2", cert("server.key"))
        run = Run(self, self.exchange_script("localhost", server.port,
                                             "Name other.example NoVerify")).run()
        self.assertEqual(run.exit, 1)
        self.assertIn("TLS nelze navázat: navazování TLS selhalo (tlsv1 unrecognized name)",
                      run.log())

    def test_smtp_style_upgrade(self):
        def handle(conn):
            conn.sendall(b"220 mail.test ESMTP\r\n")
            if read_line(conn) != b"STARTTLS\r\n":
                raise AssertionError("no STARTTLS")
            conn.sendall(b"220 Ready to start TLS\r\n")
            with server_context().wrap_socket(conn, server_side=True) as t:
                ehlo = read_line(t)
                t.sendall(b"250 hello " + ehlo[5:].strip() + b"\r\n")
                return read_line(t)
        peer = Peer(handle)
        run = Run(self, "Connect localhost %d\nWaitFor LineStarting \"220 \"\n"
                  "Send \"STARTTLS\" cr lf\nWaitFor LineStarting \"220 \"\n"
                  "StartTls Trust ca.pem\nSend \"EHLO tarvelin\" cr lf\n"
                  "WaitFor LineStarting \"250 \"\nSend \"QUIT\" cr lf\nDisconnect\n" % peer.port,
                  {"ca.pem": "ca.pem"}).run()
        self.assertEqual(peer.finish(), b"QUIT\r\n")
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertIn("Načtena řádka 250 hello tarvelin\\r\\n", run.log())

    def test_https_get_into_capture_file(self):
        body = b"".join(b"%06d the quick brown fox jumps over the lazy dog\n" % i
                        for i in range(6000)) + b"no line end at the end"

        def handle(conn):
            with server_context().wrap_socket(conn, server_side=True) as t:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += t.recv(4096)
                t.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                t.unwrap()
        peer = Peer(handle)
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\n"
                  "Send \"GET /data HTTP/1.0\" cr lf \"Host: localhost\" cr lf cr lf\n"
                  "WaitFor LineStarting \"Content-Length: \"\n"
                  "WaitFor EmptyLine\nOutputFile body.out\nWaitFor End\nCloseOutput\n"
                  % peer.port, {"ca.pem": "ca.pem"}).run()
        peer.finish()
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertEqual(run.file("body.out"), body)

    def test_long_stream_keeps_memory_bounded(self):
        # 60 MB of lines read by WaitFor: what the script has taken is
        # dropped, so the program's size does not follow the stream's.
        line = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX\r\n"

        def handle(conn):
            with server_context().wrap_socket(conn, server_side=True) as t:
                chunk = line * 1000
                for _ in range(1000):
                    t.sendall(chunk)
                t.sendall(b"DONE\r\n")
                t.unwrap()
        peer = Peer(handle)
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\n"
                  "WaitFor ExactMatch \"DONE\"\nDisconnect\n" % peer.port,
                  {"ca.pem": "ca.pem"})
        proc = subprocess.Popen([PROGRAM, "-p", "-", "main.tvl"], cwd=run.dir, env=run.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        peer.finish()
        self.assertEqual(proc.returncode, 0)
        # Against the size of the same program that reads nothing (the
        # sanitizer builds are much larger to begin with).
        idle = Run(self, "Comment nic\n", {})
        still = subprocess.Popen([PROGRAM, "-p", "-", "main.tvl"], cwd=idle.dir, env=idle.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, _, base = os.wait4(still.pid, 0)
        self.assertLess(usage.ru_maxrss - base.ru_maxrss, 16 * 1024, "peak RSS added, KiB")


class ServerTests(unittest.TestCase):
    def accept_script(self, port, options, body):
        return "Accept %d\nStartTls %s\n%s" % (port, options, body)

    def test_s_client_with_password_protected_file(self):
        for name in ("server.p12", "legacy.p12"):
            with self.subTest(file=name):
                self.s_client_against(name)

    def s_client_against(self, name):
        port = free_port()
        run = Run(self, self.accept_script(
            port, 'Cert %s "tajné heslo"' % name,
            "WaitFor LineStarting \"ping\"\nSend \"pong\" cr lf\nDisconnect\n"),
            {name: name}).start()
        run.wait_for_log("Čekám na připojení na portu")
        client = subprocess.run(
            ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-CAfile",
             cert("ca.pem"), "-verify_return_error", "-servername", "localhost", "-ign_eof"],
            input=b"ping\n", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=LIMIT)
        run.wait()
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertIn(b"pong", client.stdout)
        self.assertIn(b"Verify return code: 0 (ok)", client.stdout)
        log = lines_after(run.log(), "$$ StartTls")
        self.assertEqual(log[1], "Zahajuji TLS jako server, certifikát %s/%s" % (run.dir, name))
        self.assertTrue(log[2].startswith("Spojení TLS navázáno: TLSv1.3, šifra "), log[2])

    def test_accept_on_one_ipv6_address_from_the_command_line(self):
        port = free_port()
        run = Run(self, "StartTls Cert server.p12 \"tajné heslo\"\nWaitFor LineStarting \"ping\"\n"
                  "Send \"pong\" cr lf\nDisconnect\n", {"server.p12": "server.p12"})
        run.start(options=("-a", str(port), "::1"))
        run.wait_for_log("Čekám na připojení")
        client = subprocess.run(
            ["openssl", "s_client", "-connect", "[::1]:%d" % port, "-ign_eof"],
            input=b"ping\n", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=LIMIT)
        run.wait()
        self.assertEqual(run.exit, 0, run.log())
        self.assertIn(b"pong", client.stdout)
        self.assertIn("::1", lines_after(run.log(), "Čekám na připojení")[0])

    def test_curl_gets_a_page(self):
        port = free_port()
        run = Run(self, self.accept_script(
            port, "Cert nopass.p12",
            "WaitFor EmptyLine\nSend \"HTTP/1.1 200 OK\" cr lf \"Content-Length: 6\" cr lf "
            "\"Connection: close\" cr lf cr lf \"hello\" lf\nDisconnect\n"),
            {"nopass.p12": "nopass.p12"}).start()
        run.wait_for_log("Čekám na připojení na portu")
        curl = subprocess.run(["curl", "-sS", "--cacert", cert("ca.pem"),
                               "https://localhost:%d/x" % port],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=LIMIT)
        run.wait()
        self.assertEqual(curl.stdout, b"hello\n", curl.stderr)
        self.assertEqual(run.exit, 0, run.stderr)
        self.assertIn("Načtena řádka GET /x HTTP/1.1\\r\\n", run.log())

    def test_unusable_certificate_files(self):
        for options, files, words in (
                ('Cert server.p12 "špatné"', {"server.p12": "server.p12"},
                 "chybné heslo souboru s certifikátem (mac verify failure)"),
                ("Cert missing.p12", None,
                 "soubor s certifikátem nelze použít (No such file or directory)"),
                ("Cert server.pem", {"server.pem": "server.pem"},
                 "soubor s certifikátem nelze použít")):
            with self.subTest(options=options):
                def handle(conn):
                    return conn.recv(100)  # nothing comes: the file fails first
                port = free_port()
                run = Run(self, self.accept_script(port, options, ""), files).start()
                run.wait_for_log("Čekám na připojení na portu")
                with socket.create_connection(("127.0.0.1", port), timeout=LIMIT) as c:
                    run.wait()
                    self.assertEqual(c.recv(100), b"")
                self.assertEqual(run.exit, 1)
                log = lines_after(run.log(), "$$ StartTls")
                self.assertTrue(log[2].startswith("TLS nelze navázat: " + words), log[2])
                name = options.split()[1]
                self.assertEqual(log[3], "Soubor %s, úplná cesta %s"
                                 % (name, os.path.join(run.dir, name)))
                self.assertEqual(log[4], "Spojení ukončeno.")


class FaultTests(unittest.TestCase):
    def handshake_against(self, handle, script_tail="", stdin=subprocess.DEVNULL):
        peer = Peer(handle)
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\n%s" % (peer.port, script_tail),
                  {"ca.pem": "ca.pem"})
        return peer, run

    def test_peer_closes_during_handshake(self):
        peer, run = self.handshake_against(lambda conn: conn.recv(4096))
        run.run()
        peer.finish()
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ StartTls")
        # A close or, with the hello unread, a reset.
        self.assertTrue(log[2].startswith("TLS nelze navázat: partner ukončil spojení během "
                                          "navazování TLS"), log[2])
        self.assertEqual(log[3], "Spojení ukončeno.")

    def test_reset_mid_stream_keeps_what_came_before(self):
        def handle(conn):
            with server_context().wrap_socket(conn, server_side=True) as t:
                t.sendall(b"line 1\nline 2\n")
                read_line(t)
                t.sendall(b"line 3\n")
                read_line(t)
                t.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer, run = self.handshake_against(
            handle, "WaitFor LineStarting \"line 2\"\nSend \"ok\" lf\n"
            "WaitFor LineStarting \"line 3\"\nSend \"ok\" lf\nWaitFor LineStarting \"never\"\n")
        run.run()
        peer.finish()
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ WaitFor LineStarting \"never\"")
        # A reset is no close alert: the stream was cut.
        self.assertEqual(log[1:4], [
            "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem never",
            "Spojení TLS porušeno: spojení skončilo bez zprávy close_notify "
            "(Connection reset by peer)",
            "Koncové podmínky nebylo dosaženo."])
        self.assertIn("Načtena řádka line 3\\n", run.log())

    def test_time_limit_on_a_silent_peer(self):
        peer, run = self.handshake_against(lambda conn: conn.recv(1000) and time.sleep(2))
        with open(os.path.join(run.dir, "main.tvl"), "r+b") as f:
            script = f.read()
            f.seek(0)
            f.write(b"Timeout 300\n" + script)
        started = time.time()
        run.run()
        self.assertLess(time.time() - started, 2)
        self.assertEqual(run.exit, 3)
        log = lines_after(run.log(), "$$ StartTls")
        self.assertEqual(log[2:5], ["TLS nelze navázat: Vypršel časový limit.",
                                    "Spojení ukončeno.", "Vypršel časový limit 300 ms."])
        self.assertIn("[*** CHYBA ***] Vypršel časový limit příkazu StartTls", run.stderr)

    def test_interruption_during_the_handshake(self):
        peer, run = self.handshake_against(lambda conn: conn.recv(1000) and time.sleep(2))
        run.start(stdin=subprocess.PIPE)
        run.wait_for_log("Zahajuji TLS")
        run.proc.stdin.write(b"interrupt\n")
        run.proc.stdin.flush()
        run.wait()
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ StartTls")
        self.assertEqual(log[2:5], ["Akce přerušena obsluhou.",
                                    "TLS nelze navázat: Obsluha přerušila akci.",
                                    "Spojení ukončeno."])


class Proxy(threading.Thread):
    """A man in the middle on the loopback: forwards bytes both ways between
    the program and a server, and once armed alters the next data record the
    server sends ("flip": one bit of its authentication tag; "inject":
    plaintext in front of it)."""

    def __init__(self, test, port):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(LIMIT)
        self.port = self.listener.getsockname()[1]
        self.target = port
        self.armed = None
        self.altered = threading.Event()
        test.addCleanup(self.join, LIMIT)
        self.start()

    def run(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        finally:
            self.listener.close()
        server = socket.create_connection(("127.0.0.1", self.target), LIMIT)
        pending = b""
        deadline = time.time() + LIMIT
        with client, server:
            while time.time() < deadline:
                ready, _, _ = select.select([client, server], [], [], 0.1)
                if client in ready:
                    data = client.recv(65536)
                    if not data:
                        break
                    server.sendall(data)
                if server in ready:
                    data = server.recv(65536)
                    if not data:
                        break
                    pending += data
                    # Whole records only, so that one can be altered.
                    while len(pending) >= 5:
                        size = 5 + struct.unpack(">H", pending[3:5])[0]
                        if len(pending) < size:
                            break
                        record, pending = bytearray(pending[:size]), pending[size:]
                        if self.armed and record[0] == 23:
                            if self.armed == "flip":
                                record[-1] ^= 0x10
                            else:
                                record[0:0] = b"HELLO\r\n"
                            self.armed = None
                            self.altered.set()
                        client.sendall(bytes(record))


class BrokenStreamTests(unittest.TestCase):
    """A TLS stream that breaks fails the read that meets it. (A stream cut
    without the close alert, and one ended with it: the rows of
    tls_table.py.)"""

    def through_proxy(self, how):
        server = SServer(self)
        proxy = Proxy(self, server.port)
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\nSend \"ping\" cr lf\n"
                  "OutputFile got.out\nWaitFor End\n" % proxy.port, {"ca.pem": "ca.pem"}).start()
        deadline = time.time() + LIMIT
        while b"ping" not in server.out and time.time() < deadline and run.proc.poll() is None:
            time.sleep(0.02)
        server.send(b"pong\nhalf")
        run.wait_for_log("Načtena řádka pong")
        proxy.armed = how
        server.send(b"secret\n")
        run.wait()
        self.assertTrue(proxy.altered.is_set())
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ WaitFor End")
        self.assertEqual(log[2], "Načtena řádka pong\\n")
        self.assertEqual(log[4:6], ["V bufferu pro čtení zůstává: half",
                                    "Koncové podmínky nebylo dosaženo."])
        # What was read before the break is kept; nothing after it is.
        self.assertEqual(run.file("got.out"), b"pong\nhalf")
        self.assertNotIn("secret", run.log())
        return log[3], run.stderr

    def test_flipped_bit_fails_the_read(self):
        line, stderr = self.through_proxy("flip")
        self.assertRegex(line, r"^Spojení TLS porušeno: přijatý záznam TLS je poškozený nebo "
                               r"neplatný \(.*bad record mac\)$")
        self.assertIn("[*** CHYBA ***] Spojení TLS porušeno, koncové podmínky nebylo dosaženo: "
                      "přijatý záznam TLS je poškozený nebo neplatný (", stderr)

    def test_plaintext_in_the_stream_fails_the_read(self):
        line, _ = self.through_proxy("inject")
        self.assertRegex(line, r"^Spojení TLS porušeno: přijatý záznam TLS je poškozený nebo "
                               r"neplatný \(.+\)$")

    def test_alert_after_the_handshake(self):
        # Under TLS 1.3 a server that wants a client certificate and gets none
        # refuses the client only after the client has finished its handshake.
        server = SServer(self, "-Verify", "1", "-CAfile", cert("ca.pem"))
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\n"
                  "WaitFor LineStarting \"pong\"\n" % server.port, {"ca.pem": "ca.pem"}).run()
        self.assertEqual(run.exit, 1)
        log = lines_after(run.log(), "$$ WaitFor")
        self.assertEqual(log[2], "Spojení TLS porušeno: partner ohlásil chybu TLS "
                                 "(tlsv13 alert certificate required)")
        self.assertEqual(log[3], "Koncové podmínky nebylo dosaženo.")




def signed_by_ca(name, extensions, start=None, end=None):
    """A certificate for the server's key, signed by the test CA, with the
    given extensions and, when given, validity dates (YYYYMMDDHHMMSSZ)."""
    with open(os.path.join(CERTS, name + ".cnf"), "w") as f:
        f.write(extensions + "\n")
    if start is None:
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", name + ".pem", "-days", "3650", "-extfile",
                name + ".cnf")
        return
    with open(os.path.join(CERTS, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = c\n[c]\ndatabase = index.txt\nnew_certs_dir = .\n"
                "serial = ca.srl\ndefault_md = sha256\npolicy = p\nunique_subject = no\n"
                "[p]\ncommonName = supplied\n")
    open(os.path.join(CERTS, "index.txt"), "a").close()
    openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
            "-in", "server.csr", "-out", name + ".pem", "-notext", "-startdate", start,
            "-enddate", end, "-extfile", name + ".cnf")


def make_client_file(password):
    """client.p12 in CERTS under the password: a client's certificate signed
    by the test CA (once; a file already there is kept)."""
    if os.path.exists(os.path.join(CERTS, "client.p12")):
        return
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "client.key", "-out",
            "client.csr", "-subj", "/CN=Tarvelin test client")
    with open(os.path.join(CERTS, "client.cnf"), "w") as f:
        f.write("extendedKeyUsage=clientAuth\n")
    openssl("x509", "-req", "-in", "client.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "client.pem", "-days", "3650", "-extfile", "client.cnf")
    openssl("pkcs12", "-export", "-in", "client.pem", "-inkey", "client.key", "-out",
            "client.p12", "-passout", "pass:" + password)


class ClientCertTests(unittest.TestCase):
    """ClientCert: the client's certificate for a server that asks for it."""

    def exchange(self, options, *extra):
        make_client_file("klíč")
        server = SServer(self, "-Verify", "1", "-CAfile", cert("ca.pem"), *extra)
        run = Run(self, "Connect localhost %d\nStartTls %s\nSend \"ping\" lf\n"
                  "WaitFor LineStarting \"pong\"\nDisconnect\n" % (server.port, options),
                  {"ca.pem": "ca.pem", "client.p12": "client.p12"}).start()
        deadline = time.time() + LIMIT
        while b"ping" not in server.out and time.time() < deadline and run.proc.poll() is None:
            time.sleep(0.02)
        server.send(b"pong\n")
        run.wait()
        return run, server

    def test_mutual_tls_with_s_server(self):
        for extra in ((), ("-tls1_2",)):
            run, server = self.exchange("Trust ca.pem ClientCert client.p12 \"klíč\"", *extra)
            self.assertEqual(run.exit, 0, run.log())
            log = lines_after(run.log(), "$$ StartTls")
            self.assertEqual(log[1], "Zahajuji TLS jako klient, jméno serveru localhost")
            self.assertEqual(log[2], "Certifikát klienta: " +
                             os.path.join(run.dir, "client.p12"))
            self.assertIn("Načtena řádka pong", run.log())
            self.assertIn(b"CN = Tarvelin test client", server.out)

    @unittest.skipUnless(shutil.which("redis-server"), "no redis-server")
    def test_mutual_tls_with_redis(self):
        make_client_file("klíč")
        port = free_port()
        redis = subprocess.Popen(
            ["redis-server", "--port", "0", "--tls-port", str(port), "--bind", "127.0.0.1",
             "--tls-cert-file", cert("server.pem"), "--tls-key-file", cert("server.key"),
             "--tls-ca-cert-file", cert("ca.pem"), "--tls-auth-clients", "yes", "--save", "",
             "--appendonly", "no", "--dir", CERTS],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop():
            redis.terminate()
            redis.wait(LIMIT)
        self.addCleanup(stop)
        deadline = time.time() + LIMIT
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                break
            except OSError:
                time.sleep(0.05)
        script = ("Connect localhost %d\nStartTls Trust ca.pem %s\nSend \"PING\" cr lf\n"
                  "WaitFor LineStarting \"+PONG\"\nDisconnect\n")
        run = Run(self, script % (port, "ClientCert client.p12 \"klíč\""),
                  {"ca.pem": "ca.pem", "client.p12": "client.p12"}).run()
        self.assertEqual(run.exit, 0, run.log())
        self.assertIn("Načtena řádka +PONG\\r\\n", run.log())
        # Without it, the refusal after a TLS 1.3 handshake fails the read.
        run = Run(self, script % (port, ""), {"ca.pem": "ca.pem"}).run()
        self.assertEqual(run.exit, 1)
        self.assertRegex(run.log(), r"\nSpojení TLS porušeno: partner ohlásil chybu TLS "
                                    r"\(tlsv13 alert certificate required\)\n")

    def test_without_a_certificate_the_server_refuses_in_the_handshake(self):
        # TLS 1.2: the server's refusal is the handshake's own answer.
        server = SServer(self, "-Verify", "1", "-CAfile", cert("ca.pem"), "-tls1_2")
        run = Run(self, "Connect localhost %d\nStartTls Trust ca.pem\n" % server.port,
                  {"ca.pem": "ca.pem"}).run()
        self.assertEqual(run.exit, 1)
        self.assertRegex(run.log(), r"TLS nelze navázat: navazování TLS selhalo \(.*alert.*\)")

    def test_wrong_password(self):
        make_client_file("klíč")
        peer = Peer(lambda conn: conn.recv(100))
        run = Run(self, "Connect localhost %d\nStartTls ClientCert client.p12 spatne\n"
                  % peer.port, {"client.p12": "client.p12"}).run()
        self.assertEqual(peer.finish(), b"")  # nothing was sent
        self.assertEqual(run.exit, 1)
        self.assertIn("TLS nelze navázat: chybné heslo souboru s certifikátem", run.log())


class PolicyTests(unittest.TestCase):
    """A server refuses a TLS 1.1 client. (Older servers, certificates out
    of their dates, wildcards and renegotiation: the rows of
    tls_table.py.)"""

    def test_tls_1_1_client_is_refused(self):
        port = free_port()
        run = Run(self, "Accept %d\nStartTls Cert server.p12 \"tajné heslo\"\n" % port,
                  {"server.p12": "server.p12"}).start()
        run.wait_for_log("Čekám na připojení")
        client = subprocess.run(
            ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-tls1_1", "-cipher",
             "DEFAULT@SECLEVEL=0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, timeout=LIMIT)
        run.wait()
        self.assertNotEqual(client.returncode, 0)
        self.assertEqual(run.exit, 1)
        self.assertIn("TLS nelze navázat: partner nepodporuje TLS 1.2 ani novější "
                      "(unsupported protocol)", run.log())


def main():
    global PROGRAM
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/tarvelin")
    args, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(args.program)
    folder = tempfile.mkdtemp(prefix="tarvelin-certs-")
    try:
        make_certificates(folder)
        # A certificate for the name alone, without the address.
        with open(os.path.join(folder, "name.cnf"), "w") as f:
            f.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "name-only.pem", "-days", "3650", "-extfile",
                "name.cnf")
        unittest.main(argv=[sys.argv[0]] + rest)
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
