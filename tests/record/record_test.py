#!/usr/bin/env python3
"""tarvelin-record between real clients and servers on the loopback.

Each dialogue is recorded once through the relay; then
- both scripts pass tarvelin-check;
- the client script, replayed twice with tarvelin against the same server,
  passes (exit 0), though dates, counters and ports differ on the replay;
- the server script, run with tarvelin -a PORT, gives the same real client
  the same answers.

The dialogues: curl against nginx (a GET with a Date header), redis-cli
against redis-server (SET, GET, and an INCR whose value changes on the
replay; under --match exact the replay then fails with the time limit's
status), python's smtplib against aiosmtpd (its greeting names the host
and the server's version), mosquitto_pub against mosquitto (binary MQTT),
curl against python's http.server over IPv6 (all on ::1; the server named
::1 and [::1], the server script under -a PORT ::1).
Besides: 100 MB each way through the relay arrive unchanged, in bounded
memory; resets of either side are passed on, also after that side closed
its sending half; a refusing server, a client that never comes and a port
in use end with their messages and statuses.

With --wine-recorder, tarvelin-record.exe (the Windows console program)
records curl against nginx under Wine, and its scripts must equal the
headless recorder's for the same dialogue, and a slow reader gets all
after both halves closed (tools/run-tests.sh runs this part after the
Windows builds).

A server or client that is not installed skips its part with a message,
except in CI (the variable CI set: CTest and tools/run-tests.sh set it, as
tools/deps.sh installs them all), where it fails.
"""
import argparse
import errno
import hashlib
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from servers import free_port, stop, wait_listening  # noqa: E402

ARGS = None


def start_server(argv, port):
    server = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    try:
        wait_listening(port, server)
    except BaseException:
        stop(server)
        raise
    return server


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, what, ok, detail=""):
        print(("ok      " if ok else "FAILED  ") + what)
        if not ok:
            self.failed += 1
            if detail:
                print("        " + str(detail).replace("\n", "\n        ")[:4000])


def missing(checks, what):
    if os.environ.get("CI"):
        checks.expect(what, False)
    else:
        print("skip    " + what)


class Recorder:
    """tarvelin-record on a free loopback port, the port read from its first
    line on standard error. program: the command that starts the recorder
    (default: the headless one), with env for it."""

    def __init__(self, folder, server_port, *options, name="dialogue", program=None, env=None,
                 server="127.0.0.1"):
        self.client = os.path.join(folder, name + "-client.tvl")
        self.server = os.path.join(folder, name + "-server.tvl")
        self.server_name = server
        self.process = subprocess.Popen(
            (program or [ARGS.recorder]) + ["--client-script", self.client, "--server-script",
                                            self.server, *options, server, str(server_port)],
            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)
        first = self.process.stderr.readline().decode("utf-8", "replace")
        m = re.search(r"port (\d+)", first)
        if not m:
            stop(self.process)
            raise AssertionError("no port in the recorder's first line: " + first)
        self.port = int(m.group(1))
        self.first = first

    def finish(self, seconds=60):
        """Its status and what it printed; a recorder that has not ended
        within seconds is stopped, and its status is None."""
        try:
            status = self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            stop(self.process)
            return None, self.first + f"(still running after {seconds} s: stopped)"
        rest = self.process.stderr.read().decode("utf-8", "replace")
        return status, self.first + rest


def check_scripts(checks, what, rec):
    for path in (rec.client, rec.server):
        run = subprocess.run([ARGS.checker, path], capture_output=True, text=True)
        checks.expect(f"{what}: tarvelin-check passes {os.path.basename(path)}",
                      run.returncode == 0, run.stdout + run.stderr)
    with open(rec.client, "rb") as f:
        first = f.readline()
    checks.expect(f"{what}: the client script begins with Connect",
                  first == b"Connect %s %d\r\n" % (rec.server_name.encode(), rec.server_port),
                  first)


def replay_client(rec, folder, seconds=30):
    log = os.path.join(folder, "client-replay.log")
    run = subprocess.run([ARGS.program, "-p", log, rec.client], capture_output=True,
                         timeout=seconds, stdin=subprocess.DEVNULL)
    text = open(log, encoding="cp1250").read() if os.path.exists(log) else ""
    return run.returncode, text + run.stderr.decode("utf-8", "replace")


class ServerReplay:
    """The server script under tarvelin -a PORT [ADDRESS]."""

    def __init__(self, rec, folder, address=None):
        self.port = free_port()
        self.log = os.path.join(folder, "server-replay.log")
        self.process = subprocess.Popen(
            [ARGS.program, "-p", self.log, "-a", str(self.port), *([address] if address else []),
             rec.server],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # Accept listens before the script runs: wait until it does, without
        # taking its one connection (a look at the listening sockets).
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not listening(self.port):
            time.sleep(0.05)

    def finish(self, seconds=30):
        status = self.process.wait(timeout=seconds)
        text = open(self.log, encoding="cp1250").read() if os.path.exists(self.log) else ""
        return status, text + self.process.stderr.read().decode("utf-8", "replace")


def listening(port):
    hexport = "%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    parts = line.split()
                    if parts[1].endswith(":" + hexport) and parts[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def record_and_replay(checks, what, folder, server_port, client, options=(), replays=2,
                      server="127.0.0.1", accept_on=None):
    """client(port) runs the real client against port and gives what it
    printed; records, checks and replays both scripts (the server script
    under -a PORT accept_on, when given)."""
    rec = Recorder(folder, server_port, *options, name=what, server=server)
    rec.server_port = server_port
    try:
        answer = client(rec.port)
    finally:
        status, err = rec.finish()
    checks.expect(f"{what}: recorded (exit 0)", status == 0, err)
    if status != 0:
        return None, None
    check_scripts(checks, what, rec)
    for n in range(replays):
        if n:
            time.sleep(1.1)  # another second in every date
        status, log = replay_client(rec, folder)
        checks.expect(f"{what}: the client script replayed against the server (run {n + 1})",
                      status == 0, log)
    replay = ServerReplay(rec, folder, accept_on)
    try:
        again = client(replay.port)
    finally:
        status, log = replay.finish()
    checks.expect(f"{what}: the server script ran for the client (exit 0)", status == 0, log)
    checks.expect(f"{what}: the client got the same answers from the server script",
                  again == answer, f"recorded: {answer!r}\nreplayed: {again!r}")
    return rec, answer


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
  server {{
    listen 127.0.0.1:{port};
    root {prefix}/html;
  }}
}}
"""


def test_nginx(checks, folder):
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                      else None)
    curl = shutil.which("curl")
    if not nginx or not curl:
        missing(checks, "curl against nginx: nginx or curl is not installed")
        return
    prefix = os.path.join(folder, "nginx")
    os.makedirs(os.path.join(prefix, "html"))
    os.makedirs(os.path.join(prefix, "tmp"))
    with open(os.path.join(prefix, "html", "index.html"), "w") as f:
        f.write("<p>Dobrý den, záznam 42</p>\n" * 20)
    port = free_port()
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write(NGINX_CONF.format(prefix=prefix, port=port))
    server = start_server([nginx, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf")], port)

    def get(p):
        run = subprocess.run([curl, "-sS", "-i", f"http://127.0.0.1:{p}/index.html"],
                             capture_output=True, timeout=30)
        # The headers without Date (which the server script keeps as recorded).
        head, _, body = run.stdout.partition(b"\r\n\r\n")
        status = head.split(b"\r\n")[0]
        return run.returncode, status, body

    try:
        rec, answer = record_and_replay(checks, "nginx", folder, port, get)
        if rec:
            checks.expect("nginx: curl got the page through the relay",
                          answer[0] == 0 and answer[1] == b"HTTP/1.1 200 OK" and
                          "záznam 42".encode() in answer[2], answer)
            text = open(rec.client, "rb").read()
            checks.expect("nginx: the Date header is waited for by its shape",
                          b'WaitFor Matching "^Date: [A-Z][a-z]+, [0-9]+ [A-Z][a-z]+ [0-9]+ [0-9]+:'
                          in text, text[:2000])
            checks.expect("nginx: UTF-8 of the body as escapes",
                          b"Dobr\\195\\189 den" in text, text[:2000])
    finally:
        stop(server)


def redis_server(folder):
    port = free_port()
    return start_server([shutil.which("redis-server"), "--port", str(port), "--bind",
                         "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", folder],
                        port), port


def test_redis(checks, folder):
    if not shutil.which("redis-server") or not shutil.which("redis-cli"):
        missing(checks, "redis-cli against redis-server: not installed")
        return
    server, port = redis_server(folder)
    # One command a dialogue: redis-cli reading commands from its input first
    # asks for the documentation of every command (COMMAND DOCS), which the
    # server lists in an order of its own each time.
    answers = {}
    try:
        for command in (["SET", "greeting", "hello"], ["GET", "greeting"], ["INCR", "visits"]):
            def cli(p, command=command):
                run = subprocess.run(["redis-cli", "-h", "127.0.0.1", "-p", str(p), *command],
                                     capture_output=True, timeout=30)
                return run.returncode, run.stdout
            what = "redis-" + command[0]
            rec, answers[command[0]] = record_and_replay(checks, what, folder, port, cli)
        checks.expect("redis: redis-cli got its replies through the relay",
                      answers == {"SET": (0, b"OK\n"), "GET": (0, b"hello\n"),
                                  "INCR": (0, b"1\n")}, answers)
        text = open(os.path.join(folder, "redis-INCR-client.tvl"), "rb").read()
        checks.expect("redis: the counter's reply by its shape",
                      b'WaitFor Matching "^:[0-9]+$"' in text, text)
        command = ["INCR", "visits"]

        def cli(p):
            run = subprocess.run(["redis-cli", "-h", "127.0.0.1", "-p", str(p), *command],
                                 capture_output=True, timeout=30)
            return run.returncode, run.stdout

        # Exact: the replay meets another counter and ends with the time
        # limit's status.
        rec = Recorder(folder, port, "--match", "exact", "--timeout", "1000", name="redis-exact")
        rec.server_port = port
        try:
            cli(rec.port)
        finally:
            status, err = rec.finish()
        checks.expect("redis exact: recorded", status == 0, err)
        status, log = replay_client(rec, folder)
        checks.expect("redis exact: a changed counter fails the replay (status 3)",
                      status == 3 and "Vypršel časový limit 1000 ms." in log, log)
        # Count: only the number of lines counts.
        rec = Recorder(folder, port, "--match", "count", name="redis-count")
        rec.server_port = port
        try:
            cli(rec.port)
        finally:
            status, err = rec.finish()
        status, log = replay_client(rec, folder)
        checks.expect("redis count: the replay passes", status == 0, log)
    finally:
        stop(server)


def aiosmtpd_command():
    """How to start aiosmtpd: its own command, or the module of this python."""
    if shutil.which("aiosmtpd"):
        return [shutil.which("aiosmtpd")]
    try:
        import aiosmtpd  # noqa: F401
    except ImportError:
        return None
    return [sys.executable, "-m", "aiosmtpd"]


def test_smtp(checks, folder):
    command = aiosmtpd_command()
    if not command:
        missing(checks, "smtplib against aiosmtpd: aiosmtpd is not installed")
        return
    import smtplib
    port = free_port()
    # The default handler prints each mail it takes, after a line of its own.
    printed = os.path.join(folder, "aiosmtpd.out")
    with open(printed, "wb") as out:
        server = subprocess.Popen(command + ["-n", "-l", f"127.0.0.1:{port}"], stdout=out,
                                  stderr=subprocess.DEVNULL, start_new_session=True,
                                  env=dict(os.environ, PYTHONUNBUFFERED="1"))
    try:
        wait_listening(port, server)

        def send(p):
            with smtplib.SMTP("127.0.0.1", p, local_hostname="tester", timeout=20) as s:
                code, greeting = s.ehlo()
                refused = s.sendmail("a@example.org", ["b@example.org"],
                                     "Subject: pozdrav\r\n\r\nDobry den\r\n")
                return code, refused

        rec, answer = record_and_replay(checks, "smtp", folder, port, send)
        if rec:
            checks.expect("smtp: smtplib completed through the relay", answer == (250, {}),
                          answer)
            # The recording, and each of the two replays of the client script.
            deadline = time.monotonic() + 5
            while True:
                got = open(printed, "rb").read().count(b"MESSAGE FOLLOWS")
                if got >= 3 or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            checks.expect("smtp: the server got the mail at each run of the client script",
                          got == 3, got)
    finally:
        stop(server)


def test_mqtt(checks, folder):
    mosquitto = shutil.which("mosquitto") or ("/usr/sbin/mosquitto"
                                              if os.path.exists("/usr/sbin/mosquitto") else None)
    if not mosquitto or not shutil.which("mosquitto_pub"):
        missing(checks, "mosquitto_pub against mosquitto: not installed")
        return
    port = free_port()
    conf = os.path.join(folder, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                "log_dest none\n")
    server = start_server([mosquitto, "-c", conf], port)

    def publish(p):
        run = subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(p), "-i",
                              "recorder-test", "-q", "1", "-t", "zaznam/test", "-m", "ahoj"],
                             capture_output=True, timeout=30)
        return run.returncode, run.stdout, run.stderr

    try:
        rec, answer = record_and_replay(checks, "mqtt", folder, port, publish)
        if rec:
            checks.expect("mqtt: mosquitto_pub exits 0 through the relay", answer[0] == 0, answer)
            text = open(rec.client, "rb").read()
            checks.expect("mqtt: binary pieces as escapes and Receive",
                          b"MQTT\\004" in text and b"Receive 4\r\n" in text, text)
    finally:
        stop(server)


def ipv6_loopback():
    """A free port on ::1, or None when the machine has no IPv6 loopback."""
    if not socket.has_ipv6:
        return None
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
            return s.getsockname()[1]
    except OSError:
        return None


def test_ipv6(checks, folder):
    """curl against python's http.server, both on ::1, the recorder taking
    the client on [::1]: the scripts connect to ::1 (or [::1], as the server
    was written), and the server script runs under -a PORT ::1."""
    port = ipv6_loopback()
    curl = shutil.which("curl")
    if not port or not curl:
        missing(checks, "ipv6: no IPv6 loopback or no curl")
        return
    root = os.path.join(folder, "www")
    os.makedirs(root)
    with open(os.path.join(root, "index.html"), "w") as f:
        f.write("<p>Záznam přes IPv6</p>\n")
    server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "::1", "-d", root,
                               str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)

    def get(p):
        run = subprocess.run([curl, "-sS", "-i", "-g", f"http://[::1]:{p}/index.html"],
                             capture_output=True, timeout=30)
        head, _, body = run.stdout.partition(b"\r\n\r\n")
        return run.returncode, head.split(b"\r\n")[0], body

    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("::1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise AssertionError("http.server does not listen on ::1")
                time.sleep(0.05)
        for what, name in (("ipv6", "::1"), ("ipv6-bracketed", "[::1]")):
            rec, answer = record_and_replay(checks, what, folder, port, get, ("-l", "[::1]:0"),
                                            replays=1, server=name, accept_on="::1")
            if not rec:
                continue
            checks.expect(f"{what}: curl got the page through the relay on ::1",
                          answer[0] == 0 and answer[1] == b"HTTP/1.0 200 OK" and
                          "přes IPv6".encode() in answer[2] and
                          "na adrese ::1, port %d" % rec.port in rec.first, (answer, rec.first))
            text = open(rec.server, "rb").read()
            checks.expect(f"{what}: the server script is run with -a PORT ::1",
                          b"tarvelin -a %d ::1 %s\r\n" % (port, os.path.basename(
                              rec.server).encode()) in text, text[:600])
    finally:
        stop(server)


def normalized(path):
    """A script without what differs from one recording to the next: the
    time of the recording and the Date header the server sent."""
    lines = open(path, "rb").read().split(b"\r\n")
    return [b"" if l.startswith("// Záznam programu tarvelin-record z ".encode("cp1250"))
            or l.startswith(b'Send "Date: ') else l for l in lines]


def test_wine(checks, folder):
    """tarvelin-record.exe under Wine records curl (Linux) against nginx
    (Linux) through the loopback; its scripts equal the headless recorder's
    for the same dialogue."""
    if not ARGS.wine_recorder:
        return
    wine = shutil.which("wine64") or ("/usr/lib/wine/wine64"
                                      if os.path.exists("/usr/lib/wine/wine64") else None)
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                      else None)
    if not wine or not nginx or not shutil.which("curl"):
        missing(checks, "wine: wine64, nginx or curl is not installed")
        return
    env = dict(os.environ, WINEPREFIX=os.path.join(folder, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    prefix = os.path.join(folder, "nginx")
    os.makedirs(os.path.join(prefix, "html"))
    os.makedirs(os.path.join(prefix, "tmp"))
    with open(os.path.join(prefix, "html", "index.html"), "w") as f:
        f.write("<p>Dobrý den z Wine, 7 řádek</p>\n" * 7)
    port = free_port()
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write(NGINX_CONF.format(prefix=prefix, port=port))
    server = start_server([nginx, "-p", prefix, "-c", os.path.join(prefix, "nginx.conf")], port)
    relay = free_port()
    scripts = {}
    try:
        # The prefix is made before the recording, so that the recorder's
        # first line comes at once.
        subprocess.run([wine, "wineboot", "-i"], env=env, capture_output=True, timeout=240)
        for name, argv in (("native", [ARGS.recorder]), ("wine", [wine, ARGS.wine_recorder])):
            where = os.path.join(folder, name)
            os.makedirs(where)
            process = subprocess.Popen(
                argv + ["-l", f"127.0.0.1:{relay}", "127.0.0.1", str(port)], cwd=where, env=env,
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            first = process.stderr.readline().decode("utf-8", "replace")
            curl = subprocess.run(["curl", "-sS", f"http://127.0.0.1:{relay}/index.html"],
                                  capture_output=True, timeout=60)
            rest = process.stderr.read().decode("utf-8", "replace")
            status = process.wait(timeout=60)
            checks.expect(f"wine: the {name} recorder recorded curl against nginx (exit 0)",
                          status == 0 and curl.returncode == 0 and
                          "Dobrý den z Wine".encode() in curl.stdout and
                          f"port {relay}" in first, first + rest + repr(curl))
            scripts[name] = (os.path.join(where, "client.tvl"), os.path.join(where, "server.tvl"))
        if len(scripts) == 2 and all(os.path.exists(p) for p in scripts["wine"]):
            for i, which in enumerate(("client", "server")):
                a, b = normalized(scripts["native"][i]), normalized(scripts["wine"][i])
                checks.expect(f"wine: the {which} script equals the headless recorder's", a == b,
                              "\n".join(repr(x) + " | " + repr(y) for x, y in zip(a, b) if x != y))
            rec = argparse.Namespace(client=scripts["wine"][0], server=scripts["wine"][1])
            status, log = replay_client(rec, folder)
            checks.expect("wine: its client script replayed against nginx", status == 0, log)
        # Both halves of a link closed while the Windows relay still holds
        # bytes for the other side. (Wine's sockets tell a reset as an
        # orderly close, so resets are not checked under it.)
        slow_reader(checks, folder, [wine, ARGS.wine_recorder], env, "wine")
    finally:
        stop(server)
        wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        subprocess.run([wineserver, "-k"], env=env, capture_output=True, timeout=60)


def vm_hwm(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def test_bulk(checks, folder):
    """100 MB each way at once: both ends see exactly what the other sent,
    and the recorder's memory stays small."""
    size = ARGS.bulk_mb * 1024 * 1024
    port = free_port()
    listener = socket.socket()
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    digests = {}

    def pump(sock, seed, key):
        # Sends size bytes of a seeded stream; the digest of what it sent.
        h = hashlib.sha256()
        block = hashlib.sha256(seed).digest() * 2048  # 64 KiB
        left = size
        n = 0
        while left:
            piece = block[n % 7:] + block[:n % 7]
            piece = piece[:min(left, len(piece))]
            sock.sendall(piece)
            h.update(piece)
            left -= len(piece)
            n += 1
        sock.shutdown(socket.SHUT_WR)
        digests[key + "-sent"] = h.hexdigest()

    def drain(sock, key):
        h = hashlib.sha256()
        total = 0
        while True:
            data = sock.recv(1 << 16)
            if not data:
                break
            h.update(data)
            total += len(data)
        digests[key + "-got"] = (h.hexdigest(), total)

    def serve():
        conn, _ = listener.accept()
        with conn:
            t = threading.Thread(target=pump, args=(conn, b"server", "server"))
            t.start()
            drain(conn, "server")
            t.join()

    server = threading.Thread(target=serve)
    server.start()
    # The scripts are written, but not kept (the later options win).
    rec = Recorder(folder, port, "--match", "count", "--client-script", os.devnull,
                   "--server-script", os.devnull, name="bulk")
    peak = [0]
    done = threading.Event()

    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], vm_hwm(rec.process.pid))
            time.sleep(0.2)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        with socket.create_connection(("127.0.0.1", rec.port)) as c:
            t = threading.Thread(target=pump, args=(c, b"client", "client"))
            t.start()
            drain(c, "client")
            t.join()
        server.join()
        status, err = rec.finish(seconds=240)
    finally:
        done.set()
        watcher.join()
        listener.close()
    checks.expect("bulk: recorded (exit 0)", status == 0, err)
    checks.expect(f"bulk: the server got the client's {ARGS.bulk_mb} MB unchanged",
                  digests.get("server-got") == (digests.get("client-sent"), size), digests)
    checks.expect(f"bulk: the client got the server's {ARGS.bulk_mb} MB unchanged",
                  digests.get("client-got") == (digests.get("server-sent"), size), digests)
    if ARGS.memory_mb:
        checks.expect(f"bulk: the recorder stayed under {ARGS.memory_mb} MB of memory",
                      0 < peak[0] < ARGS.memory_mb * 1024, f"{peak[0]} kB")


def test_resets(checks, folder, program=None, env=None, label="reset"):
    """Resets are passed on and noted in the scripts: a server's, a client's,
    and one of a client that had closed its sending half; a hang-up of a
    link whose halves are both closed is no reset. program and env: another
    recorder (the Windows one under Wine)."""
    server_reset(checks, folder, program, env, label)
    client_reset(checks, folder, program, env, label)
    reset_after_close(checks, folder, program, env, label)
    slow_reader(checks, folder, program, env, label)


def one_server(serve):
    """A listener on a free port whose one connection serve(conn) handles on
    a thread; gives the port and a function that waits for serve's end."""
    port = free_port()
    listener = socket.socket()
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    result = {}

    def run():
        try:
            listener.settimeout(30)
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(30)
                result["value"] = serve(conn)
        except Exception as e:  # what the server met is the test's result
            result["value"] = e
        finally:
            listener.close()

    thread = threading.Thread(target=run)
    thread.start()

    def join():
        thread.join(timeout=60)
        return result.get("value")
    return port, join


def hard_close(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def reset_seen(conn, seconds=20):
    """Waits for the hang-up of a connection whose far end has closed its
    sending half; true when it came with an error, the reset (which the
    system tells as EPIPE once the close has been read)."""
    poller = select.poll()
    poller.register(conn, 0)  # hang-ups and errors only
    events = poller.poll(seconds * 1000)
    if not events or not events[0][1] & select.POLLERR:
        return False
    return conn.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) in (errno.ECONNRESET, errno.EPIPE)


def server_reset(checks, folder, program, env, label):
    """A server that resets: the client gets a reset, the scripts note it."""
    def serve(conn):
        conn.recv(100)
        conn.sendall(b"bye\r\n")
        time.sleep(0.2)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    port, join = one_server(serve)
    what = label + " server"
    rec = Recorder(folder, port, "--timing", name="reset", program=program, env=env)
    rec.server_port = port
    error = None
    got = b""
    try:
        with socket.create_connection(("127.0.0.1", rec.port)) as c:
            c.settimeout(30)
            c.sendall(b"hello\r\n")
            try:
                while True:
                    data = c.recv(100)
                    if not data:
                        break
                    got += data
            except ConnectionResetError as e:
                error = e
    finally:
        join()
        status, err = rec.finish()
    checks.expect(f"{what}: recorded (exit 0) with its message",
                  status == 0 and "Server ukončil spojení resetem." in err, err)
    checks.expect(f"{what}: the client got the data, then a reset",
                  got == b"bye\r\n" and error is not None, (got, error))
    check_scripts(checks, what, rec)
    text = open(rec.client, "rb").read().decode("cp1250")
    checks.expect(f"{what}: the client script notes it and waits for the end",
                  "// Zde server ukončil spojení resetem.\r\nWaitFor End\r\n" in text, text)
    text = open(rec.server, "rb").read().decode("cp1250")
    checks.expect(f"{what}: with --timing the server script waits as the server did, then closes",
                  re.search(r'Send "bye" cr lf\r\nWait (\d+)\r\n'
                            "// Zde server ukončil spojení resetem\\.\r\nDisconnect\r\n$",
                            text) is not None, text)


def client_reset(checks, folder, program, env, label):
    """A client that sends, then closes with a reset: the server sees a
    reset, and the scripts note it as they note a server's."""
    def serve(conn):
        request = conn.recv(100)
        try:
            rest = conn.recv(100)
        except ConnectionResetError:
            return request, "reset"
        return request, rest

    port, join = one_server(serve)
    what = label + " client"
    rec = Recorder(folder, port, name="client-reset", program=program, env=env)
    rec.server_port = port
    try:
        c = socket.create_connection(("127.0.0.1", rec.port))
        c.sendall(b"hello\r\n")
        time.sleep(0.3)
        hard_close(c)
    finally:
        seen = join()
        status, err = rec.finish()
    checks.expect(f"{what}: recorded (exit 0) with its message",
                  status == 0 and "Klient ukončil spojení resetem." in err, err)
    checks.expect(f"{what}: the server got the request, then a reset",
                  seen == (b"hello\r\n", "reset"), seen)
    check_scripts(checks, what, rec)
    text = open(rec.client, "rb").read().decode("cp1250")
    checks.expect(f"{what}: the client script sends, notes the reset and closes",
                  text.endswith('Send "hello" cr lf\r\n'
                                "// Zde klient ukončil spojení resetem.\r\nDisconnect\r\n"), text)
    text = open(rec.server, "rb").read().decode("cp1250")
    checks.expect(f"{what}: the server script notes it and waits for the end",
                  text.endswith('WaitFor ExactMatch "hello"\r\n'
                                "// Zde klient ukončil spojení resetem.\r\nWaitFor End\r\n"), text)


def reset_after_close(checks, folder, program, env, label):
    """A client that closes its sending half, then resets while the server
    says nothing: the relay sees the reset (it neither spins nor waits for
    ever) and passes it on."""
    def serve(conn):
        request = b""
        while True:
            data = conn.recv(100)
            if not data:
                break
            request += data
        return request, reset_seen(conn)

    port, join = one_server(serve)
    what = label + " after close"
    rec = Recorder(folder, port, name="reset-after-close", program=program, env=env)
    try:
        c = socket.create_connection(("127.0.0.1", rec.port))
        c.sendall(b"quit\r\n")
        c.shutdown(socket.SHUT_WR)
        time.sleep(0.5)
        hard_close(c)
    finally:
        seen = join()
        status, err = rec.finish(seconds=20)
    checks.expect(f"{what}: recorded (exit 0) with the client's reset",
                  status == 0 and "Klient ukončil spojení resetem." in err, err)
    checks.expect(f"{what}: the server got the request, its close, then a reset",
                  seen == (b"quit\r\n", True), seen)


def slow_reader(checks, folder, program, env, label):
    """The client closes its sending half, the server answers with 8 MB and
    closes, the client reads slowly: the relay's links then have both halves
    closed while it still holds bytes for the client, which is no reset."""
    size = 8 * 1024 * 1024

    def serve(conn):
        while conn.recv(100):
            pass
        block = bytes(range(256)) * 256
        for _ in range(size // len(block)):
            conn.sendall(block)
        return "sent"

    port, join = one_server(serve)
    what = label + " slow reader"
    rec = Recorder(folder, port, "--match", "count", "--client-script", os.devnull,
                   "--server-script", os.devnull, name="slow", program=program, env=env)
    got = 0
    error = None
    try:
        with socket.create_connection(("127.0.0.1", rec.port)) as c:
            c.settimeout(30)
            c.sendall(b"GET\r\n")
            c.shutdown(socket.SHUT_WR)
            time.sleep(0.5)
            try:
                while True:
                    data = c.recv(65536)
                    if not data:
                        break
                    got += len(data)
                    time.sleep(0.004)
            except OSError as e:
                error = e
    finally:
        sent = join()
        status, err = rec.finish()
    checks.expect(f"{what}: the client got all {size} bytes and an orderly close",
                  got == size and error is None and sent == "sent", (got, error, sent))
    checks.expect(f"{what}: recorded (exit 0), no reset", status == 0 and "resetem" not in err,
                  err)


def test_failures(checks, folder):
    closed = free_port()
    rec = Recorder(folder, closed, name="refused")
    with socket.create_connection(("127.0.0.1", rec.port)) as c:
        c.settimeout(10)
        try:
            leftover = c.recv(10)
        except OSError:
            leftover = b""
    status, err = rec.finish()
    checks.expect("refused: status 1 and a message naming the server",
                  status == 1 and f"Nelze se připojit k serveru 127.0.0.1, port {closed}" in err
                  and leftover == b"", (status, err))
    checks.expect("refused: no scripts", not os.path.exists(rec.client))

    start = time.monotonic()
    rec = Recorder(folder, closed, "--timeout", "300", name="noclient")
    status, err = rec.finish()
    checks.expect("no client: status 3 after the time limit",
                  status == 3 and "Klient se nepřipojil do 300 ms." in err and
                  time.monotonic() - start < 5, (status, err))

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        taken = busy.getsockname()[1]
        run = subprocess.run([ARGS.recorder, "-l", f"127.0.0.1:{taken}", "127.0.0.1", "1"],
                             capture_output=True, text=True, timeout=10)
        checks.expect("port in use: status 1 and a message",
                      run.returncode == 1 and f"Port {taken} na adrese 127.0.0.1 nelze použít"
                      in run.stderr, run.stderr)
    # A script that cannot be written is known before the dialogue.
    nowhere = os.path.join(folder, "missing", "c.tvl")
    server_script = os.path.join(folder, "s.tvl")
    run = subprocess.run([ARGS.recorder, "--server-script", server_script, "--client-script",
                          nowhere, "127.0.0.1", "1"], capture_output=True, text=True, timeout=10)
    checks.expect("unwritable script: status 1 before listening",
                  run.returncode == 1 and f"Soubor {nowhere} nelze vytvořit pro zápis." in
                  run.stderr and "Čekám" not in run.stderr, run.stderr)
    run = subprocess.run([ARGS.recorder, "--match", "fuzzy", "h", "1"], capture_output=True,
                         text=True, timeout=10)
    checks.expect("wrong command line: status 2 and the usage",
                  run.returncode == 2 and "Použití: tarvelin-record" in run.stderr, run.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--checker", required=True)
    parser.add_argument("--bulk-mb", type=int, default=100,
                        help="megabytes each way through the relay (default 100)")
    parser.add_argument("--memory-mb", type=int, default=64,
                        help="the recorder's most memory in the bulk part (0: not checked)")
    parser.add_argument("--wine-recorder", help="tarvelin-record.exe, to run under Wine")
    parser.add_argument("--only", help="run the parts whose names contain this")
    ARGS = parser.parse_args()
    for name in ("recorder", "program", "checker", "wine_recorder"):
        if getattr(ARGS, name):
            setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    checks = Checks()
    tests = [test_nginx, test_redis, test_smtp, test_mqtt, test_ipv6, test_resets, test_failures,
             test_bulk, test_wine]
    for test in tests:
        if ARGS.only and ARGS.only not in test.__name__:
            continue
        with tempfile.TemporaryDirectory() as folder:
            try:
                test(checks, folder)
            except Exception as e:  # a broken part fails, the others still run
                import traceback
                checks.expect(f"{test.__name__} ran to its end", False,
                              "".join(traceback.format_exception(e))[-1500:])
    print(f"{checks.failed} failed" if checks.failed else "all passed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
