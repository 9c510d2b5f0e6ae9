#!/usr/bin/env python3
"""The table of TLS rows that both programs play: each file under table/ is
one row (a peer, the files and command line of a run, the log, standard
error and exit status expected). The headless program plays them here; the
Windows program plays the same rows under Wine in the case tls_table of
tests/win32/tls_cases.sh, which uses the subcommands below. The format of a
row is described in table/README.md.

    tls_table.py --program build/tarvelin [ROW...]   play rows (default: all)
    tls_table.py list                                the rows' names
    tls_table.py certs CERTS                         make the certificates
    tls_table.py prepare ROW DIR CERTS PORT          write the row's files into
                                                     DIR; print its arguments,
                                                     one a line
    tls_table.py peer ROW DIR CERTS PORT             be the row's peer: print
                                                     "ready" once the program
                                                     may start, then what the
                                                     peer told
    tls_table.py scenario ROW DIR                    the driver's lines that
                                                     answer the row's boxes and
                                                     close the window (nothing
                                                     when the run ends the
                                                     program itself)
    tls_table.py check ROW DIR PORT --exit N --peer-exit N --peer-output FILE
                 --backend NAME                      compare what the run left
                                                     in DIR with the row
"""

import argparse
import codecs
import ctypes
import difflib
import os
import re
import shlex
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "table")
sys.path.insert(0, HERE)
import tls_test  # noqa: E402  (the certificate generator)

LIMIT = 30  # seconds for the program, and for the peer after its start
# The files every run finds beside its script.
SHARED_FILES = ("ca.pem", "other-ca.pem", "other-ca.cer", "ascii.p12", "nopass.p12",
                "client.p12")
# Where a row may differ today: all Windows programs, or one Wine.
BACKENDS = ("windows", "wine8", "wine10")


class RowError(Exception):
    """The row file itself is wrong."""


# ---------------------------------------------------------------------------
# Rows

HEADER = re.compile(r"^--- (\S+)(?: (.*))?$")
SECTIONS = {"peer", "peer input", "peer output", "args", "expect exit", "expect stderr",
            "expect log"}


class Row:
    def __init__(self, name):
        self.name = name
        self.peer = None  # the peer's words
        self.peer_input = []
        self.peer_output = []  # patterns the peer's output must match
        self.args = None
        self.files = {}  # name: lines (Windows-1250, CR LF)
        self.exit = 0
        self.stderr = []
        self.log = None
        self.differs = {}  # backend: reason


def row_path(name):
    return os.path.join(TABLE, name + ".row")


def row_names():
    return sorted(f[:-4] for f in os.listdir(TABLE) if f.endswith(".row"))


def parse_row(name):
    path = row_path(name)
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    row = Row(name)
    sections = []
    for number, line in enumerate(lines, 1):
        if line.startswith("--- "):
            m = HEADER.match(line)
            if not m:
                raise RowError("%s:%d: bad section header" % (path, number))
            sections.append((m.group(1), (m.group(2) or "").strip(), [], number))
        elif sections:
            sections[-1][2].append(line)
    seen = set()
    for kind, arg, body, number in sections:
        while body and body[-1] == "":
            body.pop()
        where = "%s:%d" % (path, number)
        key = kind + " " + arg
        if key in seen:
            raise RowError(where + ": section given twice")
        seen.add(key)
        full = (kind + " " + arg).strip()
        if kind == "file":
            if not arg:
                raise RowError(where + ": --- file needs a name")
            row.files[arg] = body
        elif kind == "differs":
            if arg not in BACKENDS:
                raise RowError(where + ": --- differs takes one of " + ", ".join(BACKENDS))
            if not body:
                raise RowError(where + ": --- differs needs its reason")
            row.differs[arg] = " ".join(body)
        elif full not in SECTIONS:
            raise RowError(where + ": unknown section " + full)
        elif full == "peer":
            row.peer = shlex.split(" ".join(body))
        elif full == "peer input":
            row.peer_input = body
        elif full == "peer output":
            row.peer_output = body
        elif full == "args":
            row.args = body
        elif full == "expect exit":
            row.exit = int(" ".join(body))
        elif full == "expect stderr":
            row.stderr = body
        elif full == "expect log":
            row.log = body
    if row.peer is None or row.args is None or row.log is None:
        raise RowError(path + ": a row needs --- peer, --- args and --- expect log")
    if row.peer[0] not in PEERS:
        raise RowError("%s: unknown peer %s" % (path, row.peer[0]))
    return row


def substitute(text, variables):
    return re.sub(r"\$\{(\w+)\}", lambda m: variables[m.group(1)], text)


# ---------------------------------------------------------------------------
# What differs between the programs by nature: the TLS library's choice of
# protocol and cipher, its words for a failure (in parentheses after the
# program's own), the form of full paths.

REASON_AFTER = ("TLS nelze navázat: ", "Spojení TLS porušeno: ",
                "[*** CHYBA ***] Příkaz StartTls nelze provést, TLS nenavázáno: ",
                "[*** CHYBA ***] Spojení TLS porušeno, ",
                "[*** CHYBA ***] Blok dat nelze v pořádku načíst, spojení TLS porušeno: ")
ESTABLISHED = re.compile(r"^Spojení TLS navázáno: TLSv1\.[23], šifra [A-Za-z0-9_]+$")


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def normalise(text, run_dir, reasons):
    """The lines of a log or of standard error as the table writes them; the
    library's reasons are dropped unless reasons is true (the headless
    program's are written in the rows)."""
    out = []
    for line in text.split("\n"):
        for form in (winpath(run_dir), run_dir) if run_dir else ():
            at = line.find(form)
            if at >= 0:
                # The rest of a full path is written the Linux way.
                line = line[:at] + "${DIR}" + line[at + len(form):].replace("\\", "/")
        if ESTABLISHED.match(line):
            line = "Spojení TLS navázáno: …"
        if not reasons and line.startswith(REASON_AFTER) and line.endswith(")"):
            m = re.match(r"^(.*?) \(.*\)$", line)
            if m:
                line = m.group(1)
        out.append(line)
    return out


# ---------------------------------------------------------------------------
# Certificates and the files of a run


def make_certificates(certs):
    """Those of tests/tls/tls_test.py, server certificates out of their
    dates (expired.pem, future.pem), for *.example.test (wild-whole.pem)
    and f*.example.test (wild-partial.pem), a
    client's file, the other CA in DER, and the server's file under a
    password of plain letters (Wine's import cannot decrypt a password with
    letters beyond ASCII)."""
    os.makedirs(certs, exist_ok=True)
    if not os.path.exists(os.path.join(certs, "server.pem")):
        tls_test.make_certificates(certs)
    tls_test.CERTS = certs
    for name, start, end in (("expired", "20200101000000Z", "20210101000000Z"),
                             ("future", "20400101000000Z", "20410101000000Z")):
        if not os.path.exists(os.path.join(certs, name + ".pem")):
            tls_test.signed_by_ca(name, "subjectAltName=DNS:localhost,IP:127.0.0.1", start, end)
    # Wildcards: one for a whole label, one for part of a label.
    for name, sans in (("wild-whole", "DNS:*.example.test"),
                       ("wild-partial", "DNS:f*.example.test")):
        if not os.path.exists(os.path.join(certs, name + ".pem")):
            tls_test.signed_by_ca(name, "subjectAltName=" + sans)
    run = tls_test.openssl
    if not os.path.exists(os.path.join(certs, "ascii.p12")):
        run("pkcs12", "-export", "-in", "server.pem", "-inkey", "server.key", "-certfile",
            "ca.pem", "-out", "ascii.p12", "-passout", "pass:tajne heslo")
    if not os.path.exists(os.path.join(certs, "other-ca.cer")):
        run("x509", "-in", "other-ca.pem", "-outform", "DER", "-out", "other-ca.cer")
    tls_test.make_client_file("klic")

def prepare(row, run_dir, certs, port):
    """The row's files in run_dir; its arguments."""
    os.makedirs(run_dir, exist_ok=True)
    for name in SHARED_FILES:
        shutil.copy(os.path.join(certs, name), os.path.join(run_dir, name))
    variables = {"PORT": str(port), "DIR": run_dir, "CERTS": certs}
    for name, lines in row.files.items():
        with open(os.path.join(run_dir, name), "wb") as f:
            for line in lines:
                f.write(substitute(line, variables).encode("cp1250") + b"\r\n")
    return [substitute(a, variables) for a in row.args]


# ---------------------------------------------------------------------------
# Peers. Each prints "ready" once the program may start, serves one
# connection and ends; then it prints what it told of the connection. A
# peer that connects waits first until the program's log shows that it
# listens.


def ends_with_its_peer():
    """For openssl started by a peer: it is killed when the peer ends,
    however the peer ends (a peer killed by its test, say)."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def say(*lines):
    for line in lines:
        print(line, flush=True)


def listen(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    listener.settimeout(LIMIT)
    say("ready")
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(LIMIT)
    return conn


def context(certs):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(certs, "server.pem"), os.path.join(certs, "server.key"))
    return ctx


def until_closed(sock):
    """Reads what comes until the other side closes."""
    try:
        while sock.recv(4096):
            pass
    except OSError:
        pass


def unescape(text):
    return codecs.decode(text, "unicode_escape").encode("cp1250")


def peer_s_server(row, run_dir, certs, port, words):
    """openssl s_server for one connection; it sends every line back
    reversed."""
    proc = subprocess.Popen(
        ["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert",
         os.path.join(certs, "server.pem"), "-key", os.path.join(certs, "server.key"),
         "-naccept", "1", "-rev", *words], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, text=True, errors="replace", preexec_fn=ends_with_its_peer)
    told = []
    for line in proc.stdout:
        told.append(line.rstrip("\n"))
        if line.startswith("ACCEPT"):
            break
    say("ready")
    try:
        rest, _ = proc.communicate(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        rest, _ = proc.communicate()
    say(*told, *rest.split("\n"))


def peer_renegotiate(row, run_dir, certs, port, words):
    """openssl s_server for one connection: once the first line comes, it
    renegotiates and then answers "pong"; it prints what it reads."""
    proc = subprocess.Popen(
        ["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert",
         os.path.join(certs, "server.pem"), "-key", os.path.join(certs, "server.key"),
         "-naccept", "1", "-ign_eof", *words], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, text=True, errors="replace", bufsize=1,
        preexec_fn=ends_with_its_peer)
    told = []

    def until(text):
        for line in proc.stdout:
            told.append(line.rstrip("\n"))
            if text in line:
                return True
        return False

    def send(text):
        proc.stdin.write(text)
        proc.stdin.flush()

    # However the run goes, s_server ends in time.
    watchdog = threading.Timer(2 * LIMIT, proc.kill)
    watchdog.start()
    try:
        if until("ACCEPT"):
            say("ready")
            # s_server's commands: "r" renegotiates, other lines are sent.
            if until("ping"):
                send("r\n")
                if until("SSL_do_handshake -> "):
                    send("pong\n")
    except OSError:  # s_server ended before its input
        pass
    # The rest, until it ends with the connection (the end of its input
    # would end the connection).
    until("\0")
    proc.wait()
    proc.stdin.close()
    watchdog.cancel()
    say(*told)


def wait_until_listening(run_dir):
    log = os.path.join(run_dir, "TARVELIN.LOG")
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        try:
            with open(log, "rb") as f:
                if "Čekám na připojení".encode("cp1250") in f.read():
                    return
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    sys.exit("the program never listened")


def peer_s_client(row, run_dir, certs, port, words):
    """openssl s_client, once the program listens, with the row's input."""
    say("ready")
    wait_until_listening(run_dir)
    data = "".join(line + "\n" for line in row.peer_input).encode("cp1250")
    try:
        done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, *words],
                              input=data, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=LIMIT, preexec_fn=ends_with_its_peer)
        say(*done.stdout.decode("utf-8", "replace").split("\n"))
    except subprocess.TimeoutExpired:
        sys.exit("s_client did not end")


def peer_close_notify(row, run_dir, certs, port, words):
    """Sends the text, then the close alert, and keeps the connection open
    until the other side closes: the alert alone is the end of the data."""
    conn = listen(port)
    t = context(certs).wrap_socket(conn, server_side=True)
    t.sendall(unescape(words[0]))
    raw = t.unwrap()
    until_closed(raw)
    raw.close()
    say("sent the close alert")


def peer_cut(row, run_dir, certs, port, words):
    """Sends the text and closes the socket without the close alert."""
    conn = listen(port)
    t = context(certs).wrap_socket(conn, server_side=True)
    t.sendall(unescape(words[0]))
    time.sleep(0.2)
    t.close()
    say("closed without the alert")


def peer_old_protocol(row, run_dir, certs, port, words):
    """A server of TLS 1.0 and 1.1 only. The client's handshake must fail or,
    where its library agrees to the old protocol, the client must refuse it
    itself right after the handshake: an alert or a close, no data."""
    ctx = context(certs)
    ctx.set_ciphers("DEFAULT@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        ctx.maximum_version = ssl.TLSVersion.TLSv1_1
    conn = listen(port)
    try:
        t = ctx.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        say("handshake refused: %s" % e)
        return
    t.settimeout(20)
    try:
        data = t.recv(4096)
    except (ssl.SSLError, OSError) as e:
        say("refused after the handshake: %s" % e)
        return
    if data:
        sys.exit("the client sent data over the old protocol")
    say("closed after the handshake")


def peer_plain(row, run_dir, certs, port, words):
    """No TLS: answers the first bytes with the text, and waits for the
    other side's close."""
    conn = listen(port)
    conn.recv(10)
    conn.sendall(unescape(words[0]))
    until_closed(conn)
    conn.close()
    say("answered in plain text")


PEERS = {"s_server": peer_s_server, "s_client": peer_s_client,
         "close-notify": peer_close_notify, "cut": peer_cut, "old-protocol": peer_old_protocol,
         "plain": peer_plain, "renegotiate": peer_renegotiate}


def run_peer(row, run_dir, certs, port):
    variables = {"PORT": str(port), "DIR": run_dir, "CERTS": certs}
    words = [substitute(w, variables) for w in row.peer[1:]]
    PEERS[row.peer[0]](row, run_dir, certs, port, words)


# ---------------------------------------------------------------------------
# The Windows program's boxes


def boxes(row):
    """The expected boxes: (title, text, whether the text goes on with the
    TLS library's words, which the headless program's has in parentheses)."""
    out = []
    for line in row.stderr:
        plain = normalise(line, "", False)[0]
        m = re.match(r"^\[([^\]]+)\] (.*)$", plain)
        if m:
            out.append((m.group(1), m.group(2), plain != line))
    return out


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def scenario(row):
    """Driver lines: each box answered, the window closed once idle. Nothing
    when the run ends the program itself (its log has no end of program)."""
    if not row.log or row.log[-1] != "Konec programu.":
        return []
    lines = ["timeout 10000", 'window-prefix main "#32770" "Tarvelin"']
    for title, text, more in boxes(row):
        if more:
            lines.append("box-like e %s %s" % (quote(title), quote(text + "*")))
        else:
            lines.append("box e %s %s" % (quote(title), quote(text)))
        lines += ["press e 1", "gone e"]
    lines += ['title main "Tarvelin 1.10"', "close main", "gone main"]
    return lines


# ---------------------------------------------------------------------------
# Comparing a run with its row


def read_log(path):
    """The log's lines, or a reason why it cannot be read as a log."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None, "no log"
    if data and not data.endswith(b"\r\n"):
        return None, "the log's last line has no CR LF"
    lines = data.split(b"\r\n")[:-1] if data else []
    for line in lines:
        if b"\n" in line or b"\r" in line:
            return None, "a line of the log ends other than with CR LF: %r" % line
    try:
        return "\n".join(line.decode("cp1250") for line in lines), None
    except UnicodeDecodeError as e:
        return None, "the log is not Windows-1250: %s" % e


def compare(what, expected, actual, out):
    if actual != expected:
        out.append("%s differs (- expected, + written):" % what)
        out += [line.rstrip("\n") for line in
                difflib.unified_diff(expected, actual, "expected", "written", lineterm="")]


def differences(row, run_dir, port, exit_status, stderr, peer_exit, peer_output, windows):
    """What differs from the row, as lines of text (none: the run is the
    row's). The Windows program's boxes were answered by the driver: it has
    no standard error to compare (stderr None)."""
    variables = {"PORT": str(port), "DIR": "${DIR}", "CERTS": "${CERTS}"}

    def expected(lines):
        lines = [substitute(line, variables) for line in lines]
        return normalise("\n".join(lines), run_dir, False) if windows and lines else lines

    out = []
    log, problem = read_log(os.path.join(run_dir, "TARVELIN.LOG"))
    if problem:
        out.append(problem)
    else:
        compare("the log", expected(row.log), normalise(log, run_dir, not windows), out)
    if exit_status != row.exit:
        out.append("exit status %s, not %d" % (exit_status, row.exit))
    if stderr is not None:
        actual = normalise(stderr.rstrip("\n"), run_dir, not windows) if stderr else []
        compare("standard error", expected(row.stderr), actual, out)
    if peer_exit != 0:
        out.append("the peer ended with status %s" % peer_exit)
    for pattern in row.peer_output:
        if not re.search(pattern, peer_output, re.M):
            out.append("the peer never told: " + pattern)
    if out and peer_output.strip():
        told = peer_output.rstrip("\n").split("\n")
        out.append("the peer told (its last lines):" if len(told) > 30 else "the peer told:")
        out += ["  " + line for line in told[-30:]]
    return out


def verdict(row, backend, found):
    """Prints the outcome; true when the run counts as passed."""
    reason = row.differs.get(backend) or (
        row.differs.get("windows") if backend.startswith("wine") else None)
    if not found:
        if reason:
            print("SAME %s: marked as differing (%s), but the run is the row's now"
                  % (row.name, reason))
        else:
            print("PASS %s" % row.name)
        return True
    if reason:
        print("KNOWN %s: differs as marked (%s)" % (row.name, reason))
    else:
        print("FAIL %s" % row.name)
    for line in found:
        print("    " + line)
    return bool(reason)


# ---------------------------------------------------------------------------
# The headless program


def play_headless(program, name, root, certs):
    row = parse_row(name)
    run_dir = os.path.join(root, name)
    port = tls_test.free_port()
    args = prepare(row, run_dir, certs, port)
    peer = subprocess.Popen([sys.executable, os.path.abspath(__file__), "peer", name, run_dir,
                             certs, str(port)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    program_proc = None
    try:
        first = peer.stdout.readline()
        if first.strip() != "ready":
            peer.wait(LIMIT)
            return verdict(row, "headless", ["the peer did not start: " + first + peer.stdout.read()])
        env = dict(os.environ, HOME=run_dir, XDG_CONFIG_HOME=run_dir)
        env.pop("SSL_CERT_DIR", None)
        # A default store of its own, so that no row depends on the system's.
        env["SSL_CERT_FILE"] = os.path.join(certs, "other-ca.pem")
        program_proc = subprocess.Popen([program, *args], cwd=run_dir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        try:
            _, err = program_proc.communicate(timeout=LIMIT)
            status = program_proc.returncode
        except subprocess.TimeoutExpired:
            program_proc.kill()
            _, err = program_proc.communicate()
            status = "none: it did not end within %d s" % LIMIT
        try:
            told, _ = peer.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            peer.kill()
            told, _ = peer.communicate()
        found = differences(row, run_dir, port, status, err.decode("utf-8", "replace"),
                            peer.returncode, told, False)
        return verdict(row, "headless", found)
    finally:
        for proc in (program_proc, peer):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()


def main():
    commands = {"list", "certs", "prepare", "peer", "scenario", "check"}
    if len(sys.argv) > 1 and sys.argv[1] in commands:
        return subcommand(sys.argv[1], sys.argv[2:])
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/tarvelin")
    parser.add_argument("rows", nargs="*")
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    names = options.rows or row_names()
    for name in names:
        parse_row(name)  # a wrong row fails before anything runs
    root = tempfile.mkdtemp(prefix="tarvelin-tls-table-")
    try:
        certs = os.path.join(root, "certs")
        make_certificates(certs)
        passed = sum(play_headless(program, name, root, certs) for name in names)
    finally:
        shutil.rmtree(root, True)
    print("%d passed, %d failed" % (passed, len(names) - passed))
    return 0 if passed == len(names) else 1


def subcommand(command, args):
    if command == "list":
        print("\n".join(row_names()))
    elif command == "certs":
        make_certificates(os.path.abspath(args[0]))
    elif command == "prepare":
        name, run_dir, certs, port = args
        print("\n".join(prepare(parse_row(name), run_dir, certs, int(port))))
    elif command == "peer":
        name, run_dir, certs, port = args
        run_peer(parse_row(name), run_dir, certs, int(port))
    elif command == "scenario":
        print("\n".join(scenario(parse_row(args[0]))))
    elif command == "check":
        parser = argparse.ArgumentParser(prog="tls_table.py check")
        parser.add_argument("row")
        parser.add_argument("dir")
        parser.add_argument("port")
        parser.add_argument("--exit", type=int, required=True)
        parser.add_argument("--peer-exit", type=int, required=True)
        parser.add_argument("--peer-output", required=True)
        parser.add_argument("--backend", required=True)
        o = parser.parse_args(args)
        row = parse_row(o.row)
        with open(o.peer_output, encoding="utf-8", errors="replace") as f:
            told = f.read()
        found = differences(row, o.dir, o.port, o.exit, None, o.peer_exit, told,
                            o.backend != "headless")
        return 0 if verdict(row, o.backend, found) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
