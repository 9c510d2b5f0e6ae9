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

    def start(self, stdin=subprocess.DEVNULL):
        self.proc = subprocess.Popen([PROGRAM, "main.tvl"], cwd=self.dir, env=self.env,
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

    def test_verified_by_trust_file_by_name_and_by_address(self):
        for host, start in (("localhost", "Zahajuji TLS jako klient, jméno serveru localhost"),
                            ("127.0.0.1", "Zahajuji TLS jako klient, adresa serveru 127.0.0.1")):
            with self.subTest(host=host):
                run, server = self.verified(host, "Trust ca.pem", {"ca.pem": "ca.pem"})
                self.assertEqual(run.exit, 0, run.stderr)
                log = lines_after(run.log(), "$$ StartTls")
                self.assertEqual(log[1], start)
                self.assertRegex(log[2], r"^Spojení TLS navázáno: TLSv1\.[23], šifra TLS_\w+$")
                self.assertEqual(log[3:10], [
                    "$$ Send \"ping\" cr lf", "Odesílám řádku ping\\r\\n",
                    "$$ WaitFor LineStarting \"pong\"",
                    "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající "
                    "textem pong",
                    "Načtena řádka pong\\n", "Koncová podmínka splněna.", "$$ Disconnect"])
                self.assertIn(b"ping", server.out)

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

    def test_untrusted_certificate(self):
        for options, files in (("", None), ("Trust other.pem", {"other.pem": "other-ca.pem"})):
            with self.subTest(options=options):
                run, log = self.failed("localhost", options, files)
                self.assertEqual(log[2], "TLS nelze navázat: certifikát partnera není důvěryhodný "
                                 "(unable to get local issuer certificate)")
                self.assertEqual(log[3:5], ["Spojení ukončeno.", "Soubor interpretován a uzavřen."])
                self.assertIn("[*** CHYBA ***] Příkaz StartTls nelze provést, TLS nenavázáno: "
                              "certifikát partnera není důvěryhodný", run.stderr)

    def test_name_mismatch(self):
        run, log = self.failed("127.0.0.1", "Name other.example Trust ca.pem",
                               {"ca.pem": "ca.pem"})
        self.assertEqual(log[1], "Zahajuji TLS jako klient, jméno serveru other.example")
        self.assertEqual(log[2], "TLS nelze navázat: certifikát nepatří jménu serveru "
                         "(hostname mismatch)")
        self.assertIn("TLS nenavázáno: certifikát nepatří jménu serveru", run.stderr)

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

    def test_no_verify_warns_and_goes_on(self):
        run, _ = self.verified("localhost", "NoVerify")
        self.assertEqual(run.exit, 0, run.stderr)
        log = lines_after(run.log(), "$$ StartTls")
        self.assertEqual(log[1:3], ["Zahajuji TLS jako klient, jméno serveru localhost",
                                    "VAROVÁNÍ: certifikát serveru se neověřuje (NoVerify)."])
        self.assertTrue(log[3].startswith("Spojení TLS navázáno: "))

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
                self.assertEqual(log[3], "Spojení ukončeno.")


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

    def test_garbage_instead_of_a_handshake(self):
        def handle(conn):
            conn.recv(10)
            conn.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n")
            time.sleep(1)
        peer, run = self.handshake_against(handle)
        run.run()
        peer.finish()
        self.assertEqual(run.exit, 1)
        self.assertIn("TLS nelze navázat: navazování TLS selhalo (wrong version number)",
                      run.log())

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
        self.assertEqual(log[1:5], [
            "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem never",
            "Ukončení spojení ze strany partnerského počítače.",
            "Předčasné uzavření spojení ze strany partnerského počítače.",
            "Koncové podmínky nebylo dosaženo."])
        self.assertIn("Načtena řádka line 3\\n", run.log())

    def test_close_alert_after_data_ends_wait_for_end(self):
        def handle(conn):
            with server_context().wrap_socket(conn, server_side=True) as t:
                t.sendall(b"a\nb\nunfinished")
                t.unwrap()
                time.sleep(1)  # the socket stays open: the alert alone is the end
        peer, run = self.handshake_against(handle, "WaitFor End\n")
        run.run()
        peer.finish()
        self.assertEqual(run.exit, 0, run.stderr)
        log = lines_after(run.log(), "$$ WaitFor End")
        self.assertEqual(log[1:7], [
            "Zahájeno čtení řádek ze socketu až do ukončení spojení",
            "Načtena řádka a\\n", "Načtena řádka b\\n",
            "Ukončení spojení ze strany partnerského počítače.",
            "V bufferu pro čtení zůstává: unfinished", "Koncová podmínka splněna."])

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
