#!/usr/bin/env python3
"""The example scripts of examples/ against real servers on the loopback.

- http-get.tvl against python3's http.server: bodies of 100,000 bytes, of an
  exact multiple of 4096 and of less than 4096 (bytes of every value, CR, LF
  and NUL among them) arrive in the capture file byte for byte.
- redis.tvl against redis-server: the value read by its length, CR LF inside
  it, and the missing key.
- smtp.tvl against python3's smtpd: a mail accepted, refused with 4xx and
  with 5xx at the end of DATA, and a silent server that the time limit ends.
- http-chunked.tvl against nginx, which sends bodies through its
  server-side includes in chunks of up to 32 KiB: bodies of bytes of every
  value in chunks larger and smaller than one Receive takes, and the last
  chunk alone, arrive in the capture file byte for byte; a 404 and a reply
  with a Content-Length end the run with Fail.
- redis-lrange.tvl against redis-server: lists with line ends, zero bytes
  and empty items, 2,000 items, an empty list; a key of another type ends
  the run with Fail.
- mqtt.tvl against mosquitto: two messages (short, empty, and long enough
  for two bytes of remaining length) published and read back, and seen by
  mosquitto_sub; a broker that refuses anonymous clients ends the run with
  Fail.

Each example is copied into a fresh folder of its own and run there with the
start-up connection (-c HOST PORT -d CONNECTED), as its comments tell.
A server that is not installed skips its part with a message, except in CI
(the variable CI set), where it fails.
"""
import argparse
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from servers import free_port, stop, wait_listening  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(ROOT, "examples")


class Run:
    def __init__(self, status, log, stderr, folder):
        self.status = status
        self.log = log
        self.stderr = stderr
        self.folder = folder


def run_example(program, name, port, folder, stdin=b"", seconds=30, options=()):
    """Runs examples/NAME in folder, options before its name; the log and
    stderr come back as text."""
    script = os.path.join(folder, name)
    shutil.copy(os.path.join(EXAMPLES, name), script)
    p = subprocess.run([program, "-c", "127.0.0.1", str(port), "-d", "CONNECTED", *options,
                        name], cwd=folder, input=stdin, capture_output=True, timeout=seconds,
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


def start_server(argv, port):
    """A server that is to listen on the loopback port, once it does."""
    server = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    try:
        wait_listening(port, server)
    except BaseException:
        stop(server)
        raise
    return server


def redis_server(redis, data):
    """redis-server on a free port, without persistence; data is its folder."""
    port = free_port()
    return start_server([redis, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                         "--appendonly", "no", "--dir", data], port), port


def test_redis(program, checks):
    redis = shutil.which("redis-server")
    if not redis:
        missing(checks, "redis.tvl: redis-server is not installed (tools/deps.sh installs it)")
        return
    with tempfile.TemporaryDirectory() as data:
        server, port = redis_server(redis, data)
        try:
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


def program_path(name):
    """A server program from PATH or the system folders, which a user's PATH
    may lack; None when it is not installed."""
    found = shutil.which(name)
    if found:
        return found
    for folder in ("/usr/sbin", "/sbin"):
        path = os.path.join(folder, name)
        if os.access(path, os.X_OK):
            return path
    return None


def read_bytes(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 16; }}
http {{
  access_log off;
  client_body_temp_path {prefix}/tmp;
  proxy_temp_path {prefix}/tmp;
  fastcgi_temp_path {prefix}/tmp;
  uwsgi_temp_path {prefix}/tmp;
  scgi_temp_path {prefix}/tmp;
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{port};
    root {prefix}/html;
    # Server-side includes take the length away: nginx then sends the body
    # in chunks, one for each buffer it fills (32 KiB).
    chunked_transfer_encoding on;
    ssi on;
    ssi_types *;
    location /plain/ {{ ssi off; }}
  }}
}}
"""


def test_http_chunked(program, checks):
    nginx = program_path("nginx")
    if not nginx:
        missing(checks, "http-chunked.tvl: nginx is not installed (tools/deps.sh installs it)")
        return
    with tempfile.TemporaryDirectory() as prefix:
        html = os.path.join(prefix, "html")
        os.makedirs(os.path.join(html, "plain"))
        os.mkdir(os.path.join(prefix, "tmp"))
        # Several chunks of 32768 and a rest; one chunk of exactly 8 blocks;
        # one Receive's worth and a byte more; a short body.
        sizes = {"big.bin": 100000, "buffer.bin": 32768, "block.bin": 4096,
                 "block1.bin": 4097, "small.bin": 1000}
        bodies = {}
        for seed, (name, size) in enumerate(sorted(sizes.items())):
            data = body(size, 100 + seed)
            assert b"<!--#" not in data  # nothing for the includes to act on
            bodies[name] = data
            with open(os.path.join(html, name), "wb") as f:
                f.write(data)
        # An include that gives nothing: the last chunk alone. (An empty file
        # is sent with Content-Length: 0.)
        bodies["empty.bin"] = b""
        with open(os.path.join(html, "empty.bin"), "wb") as f:
            f.write(b'<!--# set var="nothing" value="" -->')
        with open(os.path.join(html, "plain", "small.bin"), "wb") as f:
            f.write(bodies["small.bin"])
        port = free_port()
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(prefix=prefix, port=port))
        server = start_server([nginx, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"),
                               "-e", os.path.join(prefix, "error.log")], port)
        try:
            for name, data in sorted(bodies.items()):
                with tempfile.TemporaryDirectory() as folder:
                    run = run_example(program, "http-chunked.tvl", port, folder,
                                      f"ok /{name}\n".encode())
                    captured = read_bytes(os.path.join(folder, "http-body.bin"))
                checks.expect(f"http-chunked {name}: exit status 0", run.status == 0, run)
                chunks = [int(h, 16) for h in re.findall(r"Načtena řádka ([0-9a-f]+)\\r\\n",
                                                         run.log)]
                checks.expect(f"http-chunked {name}: chunks were sent, the last of length 0, "
                              "larger ones than one Receive takes when the body is",
                              "Transfer-Encoding: chunked" in run.log and chunks[-1:] == [0]
                              and sum(chunks) == len(data)
                              and (max(chunks) > 4096) == (len(data) > 4096), run)
                checks.expect(f"http-chunked {name}: the capture file equals the body "
                              f"({len(captured or b'')} of {len(data)} bytes)", captured == data)
                checks.expect(f"http-chunked {name}: the report names the length",
                              run.stderr.endswith(f"[Zpráva scriptu] Staženo {len(data)} bajtů "
                                                  "do souboru http-body.bin\n"), run)
            for path, report in (
                    ("/missing.bin", "Server požadavek odmítl: HTTP/1.1 404 Not Found"),
                    ("/plain/small.bin",
                     "Odpověď nepřišla po částech (Transfer-Encoding: chunked)")):
                with tempfile.TemporaryDirectory() as folder:
                    run = run_example(program, "http-chunked.tvl", port, folder,
                                      f"ok {path}\n".encode())
                    made = os.path.exists(os.path.join(folder, "http-body.bin"))
                checks.expect(f"http-chunked {path}: Fail with the reason, exit status 1",
                              run.status == 1 and f"[*** CHYBA ***] {report}\n" in run.stderr
                              and f"Script ukončen příkazem Fail: {report}" in run.log, run)
                checks.expect(f"http-chunked {path}: no capture file", not made)
        finally:
            stop(server)


class Redis:
    """Commands to a redis server as arrays of bulk strings."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rb")

    def command(self, *words):
        out = b"*%d\r\n" % len(words)
        for w in words:
            w = w if isinstance(w, bytes) else w.encode()
            out += b"$%d\r\n%s\r\n" % (len(w), w)
        self.sock.sendall(out)
        reply = self.file.readline()
        if reply[:1] == b"-":
            raise AssertionError(f"redis refused {words[0]}: {reply!r}")
        return reply

    def close(self):
        self.file.close()
        self.sock.close()


def test_redis_lrange(program, checks):
    redis = program_path("redis-server")
    if not redis:
        missing(checks, "redis-lrange.tvl: redis-server is not installed "
                "(tools/deps.sh installs it)")
        return
    r = random.Random(7)
    lists = {
        # Line ends, zero bytes and 255 inside items, empty items, the most
        # one Receive takes.
        "tarvelin:mixed": [b"a", b"", b"x\r\ny", b"\r\n", b"\n", b"\x00\xff\r", b"",
                           body(4096, 3), b"$3\r\n*2"],
        # A long list of items of every length up to 300.
        "tarvelin:long": [body(r.randrange(301), 1000 + i) for i in range(2000)],
        # A key that does not exist is an empty list.
        "tarvelin:none": [],
    }
    with tempfile.TemporaryDirectory() as data:
        server, port = redis_server(redis, data)
        try:
            client = Redis(port)
            for key, items in lists.items():
                client.command("DEL", key)
                for start in range(0, len(items), 500):
                    client.command("RPUSH", key, *items[start:start + 500])
            client.command("SET", "tarvelin:text", "no list")
            client.close()
            for key, items in lists.items():
                with tempfile.TemporaryDirectory() as folder:
                    run = run_example(program, "redis-lrange.tvl", port, folder,
                                      options=("-t", "key", key), seconds=120)
                    captured = read_bytes(os.path.join(folder, "lrange.bin"))
                checks.expect(f"redis-lrange {key}: exit status 0", run.status == 0, run)
                want = b"".join(item + b"\r\n" for item in items)
                checks.expect(f"redis-lrange {key}: the file holds the {len(items)} items "
                              f"({len(captured or b'')} of {len(want)} bytes)", captured == want)
                checks.expect(f"redis-lrange {key}: the report counts the items",
                              run.stderr == f"[Zpráva scriptu] Seznam {key} má {len(items)} "
                              "položek, jsou v souboru lrange.bin\n", run)
            with tempfile.TemporaryDirectory() as folder:
                run = run_example(program, "redis-lrange.tvl", port, folder,
                                  options=("-t", "key", "tarvelin:text"))
            checks.expect("redis-lrange of a string: Fail with the reply, exit status 1",
                          run.status == 1 and "[*** CHYBA ***] Neočekávaná odpověď: -WRONGTYPE "
                          in run.stderr, run)
        finally:
            stop(server)


def mosquitto_broker(mosquitto, folder, anonymous):
    port = free_port()
    conf = os.path.join(folder, f"mosquitto-{port}.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous {anonymous}\npersistence false\n"
                "log_dest none\n")
    return start_server([mosquitto, "-c", conf], port), port


class Subscriber:
    """mosquitto_sub on the example's topic for two messages, made once the
    broker has confirmed the subscription."""

    def __init__(self, sub, port):
        # -d prints the packets it gets, SUBACK among them (stdbuf: line by
        # line, though into a pipe); each message comes as =>LENGTH:PAYLOAD.
        self.p = subprocess.Popen(
            ["stdbuf", "-oL", sub, "-h", "127.0.0.1", "-p", str(port), "-t", "tarvelin/example",
             "-C", "2", "-d", "-F", "=>%l:%p"], stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, start_new_session=True)
        self.out = b""
        self.subscribed = threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()
        if not self.subscribed.wait(10):
            self.stop()
            raise AssertionError("mosquitto_sub did not subscribe")

    def read(self):
        for line in self.p.stdout:
            self.out += line
            if b"received SUBACK" in line:
                self.subscribed.set()

    def stop(self):
        stop(self.p)
        self.thread.join(5)
        self.p.stdout.close()

    def messages(self):
        """The payloads it got (it ends after two, or is ended after 10 s)."""
        try:
            self.p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self.stop()
        out, seen = self.out, []
        while True:
            at = out.find(b"=>")
            if at < 0:
                return seen
            colon = out.index(b":", at)
            length = int(out[at + 2:colon])
            seen.append(out[colon + 1:colon + 1 + length])
            out = out[colon + 1 + length:]


def test_mqtt(program, checks):
    mosquitto = program_path("mosquitto")
    if not mosquitto:
        missing(checks, "mqtt.tvl: mosquitto is not installed (tools/deps.sh installs it)")
        return
    # Each pair of messages goes out from the script and comes back; the
    # second message of each pair needs two bytes of remaining length.
    pairs = [("Ahoj", "Druhá zpráva, " + "x" * 300), ("", "y" * 4000)]
    with tempfile.TemporaryDirectory() as conf:
        server, port = mosquitto_broker(mosquitto, conf, "true")
        try:
            for first, second in pairs:
                client = program_path("mosquitto_sub")
                sub = Subscriber(client, port) if client else None
                if sub is None:
                    missing(checks, "mqtt.tvl: mosquitto_sub is not installed "
                            "(tools/deps.sh installs mosquitto-clients)")
                try:
                    with tempfile.TemporaryDirectory() as folder:
                        run = run_example(program, "mqtt.tvl", port, folder,
                                          f"ok {first}\nok {second}\n".encode())
                finally:
                    seen = sub.messages() if sub else None
                what = f"mqtt {len(first)} and {len(second)} bytes"
                checks.expect(f"{what}: exit status 0", run.status == 0, run)
                checks.expect(f"{what}: both messages read back from the broker",
                              run.stderr == f"[Zpráva k odeslání]\n[Zpráva k odeslání]\n"
                              f"[Zpráva scriptu] Přijato na tarvelin/example: {first}\n"
                              f"[Zpráva scriptu] Přijato na tarvelin/example: {second}\n", run)
                if seen is not None:
                    checks.expect(f"{what}: another client got them",
                                  seen == [first.encode("cp1250"), second.encode("cp1250")])
            # A message too long for one Receive is refused before it is sent.
            with tempfile.TemporaryDirectory() as folder:
                run = run_example(program, "mqtt.tvl", port, folder, b"ok " + b"z" * 4001 + b"\n")
            checks.expect("mqtt too long: Fail before PUBLISH, exit status 1",
                          run.status == 1 and "[*** CHYBA ***] Zpráva je delší než 4000 bajtů\n"
                          in run.stderr and "Odesílám řádku 0" not in run.log, run)
        finally:
            stop(server)
        server, port = mosquitto_broker(mosquitto, conf, "false")
        try:
            with tempfile.TemporaryDirectory() as folder:
                run = run_example(program, "mqtt.tvl", port, folder)
            checks.expect("mqtt refused: Fail with the return code, exit status 1",
                          run.status == 1 and run.stderr.startswith(
                              "[*** CHYBA ***] Broker spojení odmítl, kód 5\n"), run)
        finally:
            stop(server)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "tarvelin"))
    parser.add_argument("parts", nargs="*",
                        default=["http", "redis", "smtp", "http-chunked", "redis-lrange", "mqtt"])
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    checks = Checks()
    tests = {"http": test_http, "redis": test_redis, "smtp": test_smtp,
             "http-chunked": test_http_chunked, "redis-lrange": test_redis_lrange,
             "mqtt": test_mqtt}
    for part in options.parts:
        tests[part](program, checks)
    for failure in checks.failures:
        print("FAIL", failure)
    print(f"{checks.count} checks; {len(checks.failures)} failed")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
