#!/usr/bin/env python3
"""The example scripts of examples/ against real servers on the loopback.

- http-get.tvl against python3's http.server: bodies of 100,000 bytes, of an
  exact multiple of 4096 and of less than 4096 (bytes of every value, CR, LF
  and NUL among them) arrive in the capture file byte for byte.
- redis.tvl against redis-server: the value read by its length, CR LF inside
  it, and the missing key.
- smtp.tvl against python3's smtpd: a mail accepted, refused with 4xx and
  with 5xx at the end of DATA, and a silent server that the time limit ends.

Each example is copied into a fresh folder of its own and run there with the
start-up connection (-c HOST PORT -d CONNECTED), as its comments tell.
A server that is not installed skips its part with a message, except in CI
(the variable CI set), where it fails.
"""
import argparse
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(ROOT, "examples")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, process=None, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise AssertionError(f"the server ended with status {process.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise AssertionError(f"nothing listens on port {port}")


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Run:
    def __init__(self, status, log, stderr, folder):
        self.status = status
        self.log = log
        self.stderr = stderr
        self.folder = folder


def run_example(program, name, port, folder, stdin=b"", seconds=30):
    """Runs examples/NAME in folder; the log and stderr come back as text."""
    script = os.path.join(folder, name)
    shutil.copy(os.path.join(EXAMPLES, name), script)
    p = subprocess.run([program, "-c", "127.0.0.1", str(port), "-d", "CONNECTED", name],
                       cwd=folder, input=stdin, capture_output=True, timeout=seconds,
                       env=dict(os.environ, HOME=folder, XDG_CONFIG_HOME=folder))
    with open(os.path.join(folder, "TARVELIN.LOG"), "rb") as f:
        log = f.read().decode("cp1250", errors="replace")
    return Run(p.returncode, log, p.stderr.decode("utf-8"), folder)


class Checks:
    def __init__(self):
        self.failures = []
        self.count = 0

    def expect(self, what, ok, run=None):
        self.count += 1
        if not ok:
            detail = ""
            if run is not None:
                detail = (f"\n  status {run.status}\n  stderr: {run.stderr!r}\n"
                          f"  log tail: {run.log[-1500:]!r}")
            self.failures.append(what + detail)


def missing(checks, what):
    # A developer may lack a server; CI installs every one through tools/deps.sh.
    if os.environ.get("CI"):
        checks.expect(what, False)
    else:
        print("SKIP", what)


def body(size, seed):
    # Mostly the bytes that trip line readers: CR, LF, NUL, 255.
    r = random.Random(seed)
    special = [0, 10, 13, 255]
    return bytes(r.choice(special) if r.random() < 0.3 else r.randrange(256)
                 for _ in range(size))


def test_http(program, checks):
    with tempfile.TemporaryDirectory() as served:
        sizes = {"big.bin": 100000, "blocks.bin": 3 * 4096, "small.bin": 1000}
        for seed, (name, size) in enumerate(sorted(sizes.items())):
            with open(os.path.join(served, name), "wb") as f:
                f.write(body(size, seed))
        port = free_port()
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory", served,
             str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        try:
            wait_listening(port, server)
            for name, size in sorted(sizes.items()):
                with tempfile.TemporaryDirectory() as folder:
                    run = run_example(program, "http-get.tvl", port, folder,
                                      f"ok /{name}\n".encode())
                    with open(os.path.join(served, name), "rb") as f:
                        original = f.read()
                    captured = b""
                    path = os.path.join(folder, "http-body.bin")
                    if os.path.exists(path):
                        with open(path, "rb") as f:
                            captured = f.read()
                    checks.expect(f"http {name}: exit status 0", run.status == 0, run)
                    checks.expect(f"http {name}: the capture file equals the served file "
                                  f"({len(captured)} of {size} bytes)", captured == original)
                    checks.expect(f"http {name}: the report names the length",
                                  f"[Zpráva scriptu] Staženo {size} bajtů do souboru "
                                  "http-body.bin\n" in run.stderr, run)
            with tempfile.TemporaryDirectory() as folder:
                run = run_example(program, "http-get.tvl", port, folder, b"ok /missing.bin\n")
                checks.expect("http missing file: refused with the status line",
                              run.status == 0 and "[Zpráva scriptu] Server požadavek odmítl: "
                              "HTTP/1.0 404 " in run.stderr, run)
                checks.expect("http missing file: no capture file",
                              not os.path.exists(os.path.join(folder, "http-body.bin")))
        finally:
            stop(server)


def test_redis(program, checks):
    redis = shutil.which("redis-server")
    if not redis:
        missing(checks, "redis.tvl: redis-server is not installed (tools/deps.sh installs it)")
        return
    with tempfile.TemporaryDirectory() as data:
        port = free_port()
        server = subprocess.Popen(
            [redis, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly",
             "no", "--dir", data], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        try:
            wait_listening(port, server)
            with tempfile.TemporaryDirectory() as folder:
                run = run_example(program, "redis.tvl", port, folder)
                checks.expect("redis: exit status 0", run.status == 0, run)
                checks.expect("redis: the value read by its length",
                              "Zahájeno čtení bloku o délce 12 ze socketu\r\n"
                              "Načten blok dat hello\\r\\nworld\r\n" in run.log, run)
                checks.expect("redis: the missing key",
                              "Načtena řádka $-1\\r\\n" in run.log, run)
                checks.expect("redis: both reports",
                              run.stderr == "[Zpráva scriptu] tarvelin:key1 = hello\nworld\n"
                              "[Zpráva scriptu] tarvelin:key2 neexistuje\n", run)
                quit = ("Odesílám řádku QUIT\\r\\n\r\n$$ WaitFor ExactMatch \"+OK\"\r\n"
                        "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku "
                        "se samotným "
                        "textem +OK\r\nNačtena řádka +OK\\r\\n")
                checks.expect("redis: QUIT answered", quit in run.log, run)
        finally:
            stop(server)


def smtp_server(port, answer):
    """python3's smtpd on a thread; answer is the reply to the end of DATA
    (None: 250). Returns the received mails and a function that stops it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import asyncore
        import smtpd
    mails = []

    class Server(smtpd.SMTPServer):
        def process_message(self, peer, mailfrom, rcpttos, data, **kwargs):
            mails.append((mailfrom, rcpttos, data))
            return answer

    channels = {}
    server = Server(("127.0.0.1", port), None, map=channels, decode_data=False)
    done = threading.Event()

    def loop():
        while not done.is_set():
            asyncore.loop(timeout=0.05, count=1, map=channels)

    thread = threading.Thread(target=loop, daemon=True)
    thread.start()

    def close():
        done.set()
        thread.join()
        server.close()
        asyncore.close_all(map=channels)

    return mails, close


def test_smtp(program, checks):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import smtpd  # noqa: F401
    except ImportError:
        missing(checks, "smtp.tvl with a real server: this python3 has no smtpd")
    else:
        for answer, report in ((None, "[Zpráva scriptu] Zpráva přijata.\n"),
                               ("451 Try again later",
                                "[Zpráva scriptu] Server zprávu dočasně odmítl: 451 Try again "
                                "later\n"),
                               ("554 Transaction failed",
                                "[Zpráva scriptu] Server zprávu odmítl: 554 Transaction "
                                "failed\n")):
            port = free_port()
            mails, close = smtp_server(port, answer)
            try:
                with tempfile.TemporaryDirectory() as folder:
                    run = run_example(program, "smtp.tvl", port, folder)
            finally:
                close()
            code = answer[:3] if answer else "250"
            checks.expect(f"smtp {code}: exit status 0 and the report",
                          run.status == 0 and run.stderr == report, run)
            checks.expect(f"smtp {code}: the server got the mail",
                          len(mails) == 1 and mails[0][0] == "tarvelin@tarvelin.test"
                          and mails[0][1] == ["postmaster@tarvelin.test"]
                          and b"Subject: Zkouska" in mails[0][2])
            checks.expect(f"smtp {code}: QUIT after the reply",
                          run.log.count("Odesílám řádku QUIT\\r\\n") == 1, run)

    # A server that accepts and never answers: the limit ends the wait for
    # the greeting, the script goes on at its label and sends QUIT.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        received = []

        def silent():
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(30)
                while True:
                    try:
                        data = conn.recv(4096)
                    except OSError:
                        break
                    if not data:
                        break
                    received.append(data)

        thread = threading.Thread(target=silent, daemon=True)
        thread.start()
        with tempfile.TemporaryDirectory() as folder:
            started = time.monotonic()
            run = run_example(program, "smtp.tvl", port, folder)
            took = time.monotonic() - started
        thread.join(timeout=10)
    checks.expect("smtp silent: the limit runs out in the first WaitFor, after 10 s",
                  "Vypršel časový limit 10000 ms.\r\n$$ Message \"Server neodpověděl do 10 "
                  "sekund.\"\r\n" in run.log and 10 <= took < 20, run)
    checks.expect("smtp silent: exit status 0 and the report",
                  run.status == 0 and run.stderr == "[Zpráva scriptu] Server neodpověděl do 10 "
                  "sekund.\n", run)
    checks.expect("smtp silent: QUIT reaches the server", b"".join(received) == b"QUIT\r\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "tarvelin"))
    parser.add_argument("parts", nargs="*", default=["http", "redis", "smtp"])
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    checks = Checks()
    tests = {"http": test_http, "redis": test_redis, "smtp": test_smtp}
    for part in options.parts:
        tests[part](program, checks)
    for failure in checks.failures:
        print("FAIL", failure)
    print(f"{checks.count} checks; {len(checks.failures)} failed")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
