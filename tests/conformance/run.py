#!/usr/bin/env python3
"""Behaviour tests of the headless program: runs case files and compares what
the program leaves behind (log, standard error, exit status, files) with the
expectations written in the case. The case format is described in README.md
beside this file.

    run.py [--program PATH] [--peer PATH] [-j N] [--keep] [CASE | GROUP ...]

Without a case or group every case under cases/ runs. A group is a folder
under cases/ (for example "engine"); a case may be named by its path or as
GROUP/NAME. Exit status 0 when every case passed (or was skipped, with at
least one passed); 77 when every case was skipped because the machine lacks
what it needs (for example an IPv6 loopback).
"""

import argparse
import concurrent.futures
import difflib
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = os.path.join(HERE, "cases")
REPO = os.path.dirname(os.path.dirname(HERE))

DEFAULT_TIMEOUT = 20.0  # seconds for the program and its peer together
READY_TIMEOUT = 10.0  # seconds for the peer to open its listening sockets
POLL = 0.02

SCRIPT_CODEC = "cp1250"
NAME_CODEC = "utf-8"


class CaseError(Exception):
    """The case file itself is wrong."""


# ---------------------------------------------------------------------------
# Case files


class Section:
    def __init__(self, kind, arg, lines, lineno):
        self.kind = kind  # e.g. "args", "file", "expect log"
        self.arg = arg  # file name or "" (may hold blanks)
        self.lines = lines
        self.lineno = lineno


class Case:
    def __init__(self, path, name):
        self.path = path
        self.name = name
        self.args = None
        self.files = []  # sections "file", "file-crlf", "file-utf8" and "file-utf8-crlf"
        self.peer = None
        self.stdin = None
        self.env = {}
        self.timeout = DEFAULT_TIMEOUT
        self.expect_log = None
        self.expect_stderr = None
        self.expect_stdout = None
        self.expect_exit = 0
        self.expect_files = []  # sections "expect file" and "expect file-crlf"
        self.expect_listing = None
        self.expect_absent = []
        self.needs = []  # section "needs": what the machine must offer
        self.hosts = None  # section "hosts": the program's own /etc/hosts


HEADER = re.compile(r"^--- (\S+)(?: (.*))?$")

SINGLE = {"args", "peer", "stdin", "env", "timeout", "needs", "hosts"}
NEEDS = {"ipv6"}
SKIPPED = 77
FILE_KINDS = ("file", "file-crlf", "file-utf8", "file-utf8-crlf")
EXPECT_SINGLE = {"log", "stderr", "stdout", "exit", "files", "absent"}


def parse_case(path, name):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise CaseError(f"{path}: not UTF-8 ({e})")
    lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]
    if lines and lines[-1] == "":
        lines.pop()

    sections = []
    current = None
    for number, line in enumerate(lines, 1):
        if line.startswith("--- "):
            m = HEADER.match(line)
            if not m:
                raise CaseError(f"{path}:{number}: bad section header")
            current = Section(m.group(1), (m.group(2) or "").strip(), [], number)
            sections.append(current)
        elif current is not None:
            current.lines.append(line)
    for s in sections:
        while s.lines and s.lines[-1] == "":
            s.lines.pop()

    case = Case(path, name)
    seen = set()

    def once(key, s):
        if key in seen:
            raise CaseError(f"{path}:{s.lineno}: section {key} given twice")
        seen.add(key)

    for s in sections:
        where = f"{path}:{s.lineno}"
        if s.kind in SINGLE:
            once(s.kind, s)
            if s.arg:
                raise CaseError(f"{where}: --- {s.kind} takes no name")
        if s.kind == "args":
            case.args = s.lines
        elif s.kind in FILE_KINDS:
            if not s.arg:
                raise CaseError(f"{where}: --- {s.kind} needs a file name")
            once("file " + s.arg, s)
            case.files.append(s)
        elif s.kind == "peer":
            case.peer = s
        elif s.kind == "stdin":
            case.stdin = s
        elif s.kind == "env":
            for line in s.lines:
                if not line.strip():
                    continue
                if "=" not in line:
                    raise CaseError(f"{where}: env lines are NAME=VALUE")
                key, value = line.split("=", 1)
                case.env[key.strip()] = value
        elif s.kind == "hosts":
            case.hosts = s
        elif s.kind == "needs":
            case.needs = [word for line in s.lines for word in line.split()]
            for word in case.needs:
                if word not in NEEDS:
                    raise CaseError(f"{where}: unknown need {word!r} (known: {', '.join(sorted(NEEDS))})")
        elif s.kind == "timeout":
            try:
                case.timeout = float(" ".join(s.lines).strip())
            except ValueError:
                raise CaseError(f"{where}: --- timeout takes a number of seconds")
        elif s.kind == "expect":
            what, _, arg = s.arg.partition(" ")
            s.arg = arg.strip()
            if what in EXPECT_SINGLE:
                once("expect " + what, s)
            if what == "log":
                case.expect_log = s
            elif what == "stderr":
                case.expect_stderr = s
            elif what == "stdout":
                case.expect_stdout = s
            elif what == "exit":
                try:
                    case.expect_exit = int(" ".join(s.lines).strip())
                except ValueError:
                    raise CaseError(f"{where}: --- expect exit takes a number")
            elif what in ("file", "file-crlf"):
                if not s.arg:
                    raise CaseError(f"{where}: --- expect {what} needs a file name")
                once("expect file " + s.arg, s)
                s.kind = what
                case.expect_files.append(s)
            elif what == "files":
                case.expect_listing = s
            elif what == "absent":
                case.expect_absent = [line.strip() for line in s.lines if line.strip()]
            else:
                raise CaseError(f"{where}: unknown expectation {what!r}")
        else:
            raise CaseError(f"{where}: unknown section {s.kind!r}")
    if case.args is None:
        raise CaseError(f"{path}: no --- args section")
    return case


# ---------------------------------------------------------------------------
# Texts of a case: variables, markers, repeated blocks, code pages

VARIABLE = re.compile(r"\$\{([A-Za-z0-9_]*)\}")
MARKER = re.compile("\u27e8([^\u27e8\u27e9]*)\u27e9")
HEX = re.compile(r"^[0-9A-Fa-f]{2}(?: [0-9A-Fa-f]{2})*$")
REPEAT_INLINE = re.compile(r"^(\d+)\*(.*)$", re.S)
REPEAT_BLOCK = re.compile("^\u27e8repeat (\\d+)\u27e9$")
BLOCK_END = "\u27e8end\u27e9"


def substitute(text, variables, where):
    def one(m):
        if m.group(1) not in variables:
            raise CaseError(f"{where}: unknown variable ${{{m.group(1)}}}")
        return variables[m.group(1)]

    return VARIABLE.sub(one, text)


def expand_blocks(lines, where):
    """Expands the blocks between a line "⟨repeat N⟩" and its line "⟨end⟩"."""
    out = []
    i = 0
    while i < len(lines):
        m = REPEAT_BLOCK.match(lines[i].strip())
        if not m:
            if lines[i].strip() == BLOCK_END:
                raise CaseError(f"{where}: {BLOCK_END} without a repeat")
            out.append(lines[i])
            i += 1
            continue
        depth = 1
        j = i + 1
        while j < len(lines):
            if REPEAT_BLOCK.match(lines[j].strip()):
                depth += 1
            elif lines[j].strip() == BLOCK_END:
                depth -= 1
                if depth == 0:
                    break
            j += 1
        if j >= len(lines):
            raise CaseError(f"{where}: repeat without {BLOCK_END}")
        body = expand_blocks(lines[i + 1 : j], where)
        out.extend(body * int(m.group(1)))
        i = j + 1
    return out


def encode_line(line, codec, where):
    """One line of text with its markers to bytes; also tells whether the line
    ended in the marker that suppresses its line end."""
    out = bytearray()
    noeol = False
    pos = 0
    for m in MARKER.finditer(line):
        out += encode_plain(line[pos : m.start()], codec, where)
        body = m.group(1)
        rep = REPEAT_INLINE.match(body)
        if HEX.match(body):
            out += bytes(int(h, 16) for h in body.split())
        elif rep:
            out += encode_plain(rep.group(2), codec, where) * int(rep.group(1))
        elif body == "":
            pass
        elif body == "noeol":
            if m.end() != len(line):
                raise CaseError(f"{where}: \u27e8noeol\u27e9 must end its line")
            noeol = True
        else:
            raise CaseError(f"{where}: unknown marker \u27e8{body}\u27e9")
        pos = m.end()
    out += encode_plain(line[pos:], codec, where)
    return bytes(out), noeol


def encode_plain(text, codec, where):
    if "\u27e8" in text or "\u27e9" in text:
        raise CaseError(f"{where}: unbalanced marker in {text!r}")
    try:
        return text.encode(codec)
    except UnicodeEncodeError as e:
        raise CaseError(f"{where}: {text[e.start:e.end]!r} has no {codec} byte")


def build_text(section, variables, codec, eol):
    """A section's lines as bytes, each line followed by eol."""
    where = f"{section_where(section)}"
    lines = expand_blocks([substitute(line, variables, where) for line in section.lines], where)
    out = bytearray()
    for index, line in enumerate(lines):
        data, noeol = encode_line(line, codec, where)
        out += data
        if noeol and index != len(lines) - 1:
            raise CaseError(f"{where}: \u27e8noeol\u27e9 only on the last line")
        if not noeol:
            out += eol
    return bytes(out)


def section_where(section):
    return f"section at line {section.lineno}"


# ---------------------------------------------------------------------------
# Showing bytes readably in a diff, in the same marker notation

CONTROL = re.compile(rb"[\x00-\x08\x0a-\x1f\x7f]")


def render(data, codec, crlf):
    """Text lines for a diff: line ends as the file should have them break
    the lines, every other control byte and every byte the code page cannot
    show is written as a marker."""
    lines = []
    current = []
    pos = 0
    length = len(data)
    while pos < length:
        m = CONTROL.search(data, pos)
        end = m.start() if m else length
        if end > pos:
            current.append(decode_chunk(data[pos:end], codec))
        if not m:
            break
        byte = data[end]
        if crlf and data[end : end + 2] == b"\r\n":
            lines.append("".join(current))
            current = []
            pos = end + 2
            continue
        if byte == 0x0A and not crlf:
            lines.append("".join(current))
            current = []
        else:
            current.append("\u27e8%02X\u27e9" % byte)
        pos = end + 1
    if current or (data and not lines):
        current.append("\u27e8noeol\u27e9")
        lines.append("".join(current))
    # Blanks at the end of a line would not show: mark where the line ends.
    return [line + "\u27e8\u27e9" if line[-1:] in (" ", "\t") else line for line in lines]


def decode_chunk(chunk, codec):
    try:
        return chunk.decode(codec)
    except UnicodeDecodeError:
        pass
    out = []
    if codec == "utf-8":
        text = chunk.decode("utf-8", errors="surrogateescape")
        for ch in text:
            if 0xDC80 <= ord(ch) <= 0xDCFF:
                out.append("\u27e8%02X\u27e9" % (ord(ch) - 0xDC00))
            else:
                out.append(ch)
        return "".join(out)
    for b in chunk:
        try:
            out.append(bytes([b]).decode(codec))
        except UnicodeDecodeError:
            out.append("\u27e8%02X\u27e9" % b)
    return "".join(out)


def show(data, codec):
    return '"' + "\u21b5".join(render(data, codec, False)) + '"'


def compare(label, expected, actual, codec, crlf):
    """None when equal, else a readable report."""
    if expected == actual:
        return None
    diff = difflib.unified_diff(
        render(expected, codec, crlf),
        render(actual, codec, crlf),
        "expected " + label,
        "actual " + label,
        lineterm="",
    )
    first = next(
        (i for i in range(min(len(expected), len(actual))) if expected[i] != actual[i]),
        min(len(expected), len(actual)),
    )
    report = [f"{label} differs (first difference at byte {first}; "
              f"{len(expected)} bytes expected, {len(actual)} bytes found):"]
    report.extend(diff)
    return "\n".join(report)


# ---------------------------------------------------------------------------
# Running one case


def have_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


HAVE_IPV6 = have_ipv6_loopback()

# The program sees a case's own /etc/hosts through a bind mount in a mount
# namespace of its own (a user namespace makes that possible without root).
HOSTS_WRAPPER = ["unshare", "--map-root-user", "--mount", "sh", "-c",
                 'mount --bind "$0" /etc/hosts && exec "$@"']


def have_private_hosts():
    if not os.path.exists("/etc/hosts"):
        return False
    with tempfile.NamedTemporaryFile("w", suffix=".hosts") as f:
        f.write("::1 tarvelin-probe.test\n")
        f.flush()
        try:
            out = subprocess.run(HOSTS_WRAPPER + [f.name, "getent", "hosts",
                                                  "tarvelin-probe.test"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            return False
        return out.returncode == 0 and out.stdout.startswith(b"::1")


HAVE_PRIVATE_HOSTS = None  # probed once, when a case first needs it


def unmet_needs(case):
    """Why the machine cannot run the case; None when it can."""
    global HAVE_PRIVATE_HOSTS
    if "ipv6" in case.needs and not HAVE_IPV6:
        return "no IPv6 loopback (::1 cannot be bound)"
    if case.hosts is not None:
        if HAVE_PRIVATE_HOSTS is None:
            HAVE_PRIVATE_HOSTS = have_private_hosts()
        if not HAVE_PRIVATE_HOSTS:
            return "no private /etc/hosts (unshare cannot bind-mount one)"
    return None


def free_ports(count):
    """Ports free on 127.0.0.1 and, where there is an IPv6 loopback, on ::1."""
    held = []  # kept open until the end, so that no port is found twice
    found = []
    try:
        while len(found) < count:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            held.append(s)
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            if HAVE_IPV6:
                try:
                    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s6:
                        s6.bind(("::1", port))
                except OSError:
                    continue
            found.append(str(port))
        return found
    finally:
        for s in held:
            s.close()


class Output:
    """Collects a pipe's bytes on a thread."""

    def __init__(self, pipe):
        self.data = bytearray()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        while True:
            chunk = os.read(pipe.fileno(), 65536)
            if not chunk:
                break
            with self.lock:
                self.data += chunk
        pipe.close()

    def snapshot(self):
        with self.lock:
            return bytes(self.data)

    def finish(self, timeout=5.0):
        self.thread.join(timeout)
        return self.snapshot()


def kill_group(process):
    if process is None:
        return
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        pass


class Run:
    def __init__(self, case, program, peer, keep):
        self.case = case
        self.program = program
        self.peer_program = peer
        self.keep = keep
        self.problems = []
        self.notes = []
        self.open_files = []

    def fail(self, text):
        self.problems.append(text)

    def execute(self):
        case = self.case
        # The real path: the program's own idea of its folder (getcwd) has no
        # symbolic links in it.
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="tarvelin-case-"))
        self.dir = os.path.join(self.root, "work")
        os.mkdir(self.dir)
        port, port2 = free_ports(2)
        self.vars = {"PORT": port, "PORT2": port2, "DIR": self.dir}
        program = peer = None
        try:
            self.prepare()
            peer = self.start_peer()
            if peer is None and case.peer is not None:
                return
            program = self.start_program()
            self.supervise(program, peer)
            # Whatever the program left running goes before its output is read.
            kill_group(program)
            self.check(program)
        except CaseError as e:
            self.fail(f"bad case: {e}")
        finally:
            kill_group(program)
            kill_group(peer)
            for f in self.open_files:
                f.close()
            if self.keep:
                self.notes.append(f"files kept in {self.root}")
            else:
                shutil.rmtree(self.root, ignore_errors=True)

    def text(self, section, codec, eol):
        return build_text(section, self.vars, codec, eol)

    def prepare(self):
        case = self.case
        for s in case.files:
            eol = b"\r\n" if s.kind.endswith("-crlf") else b"\n"
            codec = "utf-8" if s.kind.startswith("file-utf8") else SCRIPT_CODEC
            data = self.text(s, codec, eol)
            name = self.file_name(s.arg)
            parent = os.path.dirname(name)
            if parent:
                os.makedirs(parent, exist_ok=True)
            with open(name, "wb") as f:
                f.write(data)
        self.argv = [os.fsencode(self.program)]
        if case.hosts is not None:
            hosts = os.path.join(self.root, "hosts")
            with open(hosts, "wb") as f:
                f.write(self.text(case.hosts, "utf-8", b"\n"))
            self.argv = [os.fsencode(a) for a in HOSTS_WRAPPER + [hosts]] + self.argv
        where = "--- args"
        for line in case.args:
            # Arguments and file names are UTF-8, as a shell on Linux passes them.
            data, _ = encode_line(substitute(line, self.vars, where), NAME_CODEC, where)
            self.argv.append(data)
        self.stdin_lines = self.operator_lines() if case.stdin is not None else None
        self.env = dict(os.environ)
        self.env["HOME"] = self.dir
        self.env["XDG_CONFIG_HOME"] = self.dir
        self.env.pop("PWD", None)
        for key, value in case.env.items():
            self.env[key] = substitute(value, self.vars, "--- env")

    def file_name(self, name):
        name = substitute(name, self.vars, "file name")
        data, _ = encode_line(name, NAME_CODEC, "file name")
        return os.path.join(os.fsencode(self.dir), data)

    def start_peer(self):
        case = self.case
        if case.peer is None:
            return None
        script = os.path.join(self.root, "peer.script")
        with open(script, "wb") as f:
            f.write(self.text(case.peer, SCRIPT_CODEC, b"\n"))
        self.peer_err = open(os.path.join(self.root, "peer.stderr"), "wb+")
        self.open_files.append(self.peer_err)
        peer = subprocess.Popen(
            [self.peer_program, script],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=self.peer_err,
            cwd=self.root,
            start_new_session=True,
        )
        self.open_files.append(peer.stdout)
        deadline = time.monotonic() + READY_TIMEOUT
        got = b""
        while b"\n" not in got:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([peer.stdout], [], [], left)
            if not ready:
                break
            chunk = os.read(peer.stdout.fileno(), 256)
            if not chunk:
                break
            got += chunk
        if got.startswith(b"ready\n"):
            return peer
        kill_group(peer)
        self.fail("the peer did not get ready" + self.peer_report())
        return None

    def peer_report(self):
        if not hasattr(self, "peer_err"):
            return ""
        self.peer_err.seek(0)
        text = self.peer_err.read().decode("utf-8", errors="replace").rstrip()
        return "\npeer's standard error:\n" + text if text else ""

    def start_program(self):
        case = self.case
        program = subprocess.Popen(
            self.argv,
            stdin=subprocess.PIPE if case.stdin is not None else subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=self.dir,
            env=self.env,
            start_new_session=True,
        )
        self.stdout = Output(program.stdout)
        self.stderr = Output(program.stderr)
        self.feeder_state = "not started"
        if case.stdin is not None:
            threading.Thread(target=self.feed, args=(program, self.stdin_lines),
                             daemon=True).start()
        return program

    def log_name(self):
        if self.case.expect_log is not None and self.case.expect_log.arg:
            return self.file_name(self.case.expect_log.arg)
        return self.file_name("TARVELIN.LOG")

    def operator_lines(self):
        """The stdin section as (directive, argument) pairs, checked before the
        program starts; a plain line is ("", its bytes)."""
        section = self.case.stdin
        where = section_where(section)
        lines = expand_blocks([substitute(l, self.vars, where) for l in section.lines], where)
        out = []
        for line in lines:
            if line.startswith("@") and not line.startswith("@@"):
                word, _, arg = line[1:].partition(" ")
                if word == "sleep":
                    try:
                        out.append((word, float(arg) / 1000.0))
                    except ValueError:
                        raise CaseError(f"{where}: @sleep takes milliseconds")
                elif word == "after":
                    out.append((word, encode_line(arg, SCRIPT_CODEC, where)[0]))
                elif word == "after-stderr":
                    out.append((word, encode_line(arg, "utf-8", where)[0]))
                elif word == "idle":
                    try:
                        out.append((word, float(arg) / 1000.0))
                    except ValueError:
                        raise CaseError(f"{where}: @idle takes milliseconds")
                elif word == "keep-open":
                    out.append((word, None))
                else:
                    raise CaseError(f"{where}: unknown directive {line!r}")
            else:
                if line.startswith("@@"):
                    line = line[1:]
                out.append(("", encode_line(line, "utf-8", where)[0] + b"\n"))
        return out

    def feed(self, program, lines):
        """Writes the operator's lines, obeying the @ directives."""
        keep_open = any(word == "keep-open" for word, _ in lines)
        pipe = program.stdin
        try:
            for word, arg in lines:
                if word == "sleep":
                    self.feeder_state = f"sleeping {arg:g} s"
                    time.sleep(arg)
                elif word == "after":
                    self.feeder_state = f"waiting for the log to hold {show(arg, SCRIPT_CODEC)}"
                    self.wait_for(program, self.read_log, arg)
                elif word == "after-stderr":
                    self.feeder_state = f"waiting for standard error to hold {show(arg, 'utf-8')}"
                    self.wait_for(program, self.stderr.snapshot, arg)
                elif word == "idle":
                    self.feeder_state = f"waiting for the log to stay unchanged {arg:g} s"
                    self.wait_idle(program, arg)
                elif word == "":
                    self.feeder_state = f"writing {show(arg, 'utf-8')}"
                    pipe.write(arg)
                    pipe.flush()
            self.feeder_state = "all lines written" + (", kept open" if keep_open else "")
        except (BrokenPipeError, OSError, ValueError):
            self.feeder_state += " when the program stopped reading"
        finally:
            if not keep_open:
                try:
                    pipe.close()
                except OSError:
                    pass

    def read_log(self):
        try:
            with open(self.log_name(), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def wait_idle(self, program, seconds):
        """Until the log has not grown for that long (a command is waiting)."""
        size = -1
        changed = time.monotonic()
        while True:
            try:
                now_size = os.stat(self.log_name()).st_size
            except OSError:
                now_size = -1
            if now_size != size:
                size = now_size
                changed = time.monotonic()
            elif time.monotonic() - changed >= seconds:
                return
            if program.poll() is not None:
                raise BrokenPipeError()
            time.sleep(POLL)

    @staticmethod
    def wait_for(program, read, want):
        while want not in read():
            if program.poll() is not None:
                raise BrokenPipeError()
            time.sleep(POLL)

    def supervise(self, program, peer):
        deadline = time.monotonic() + self.case.timeout
        peer_done = peer is None
        while True:
            if program.poll() is not None:
                break
            if not peer_done and peer.poll() is not None:
                peer_done = True
                if peer.returncode != 0:
                    self.fail("the peer failed while the program was running" + self.peer_report())
                    kill_group(program)
                    return
            if time.monotonic() > deadline:
                self.fail(f"time limit of {self.case.timeout:g} s: program killed; "
                          f"operator channel: {self.feeder_state}" + self.stderr_tail())
                kill_group(program)
                return
            time.sleep(POLL)
        if peer is not None:
            while peer.poll() is None and time.monotonic() < deadline:
                time.sleep(POLL)
            if peer.poll() is None:
                self.fail("the peer had not finished when the time limit ran out" +
                          self.peer_report())
                kill_group(peer)
            elif peer.returncode != 0:
                self.fail(f"the peer failed (status {peer.returncode})" + self.peer_report())

    def stderr_tail(self):
        data = self.stderr.snapshot().decode("utf-8", errors="replace").rstrip()
        return "\nprogram's standard error so far:\n" + data[-3000:] if data else ""

    def check(self, program):
        if self.problems:
            return
        case = self.case
        code = program.returncode
        stderr = self.stderr.finish()
        stdout = self.stdout.finish()
        if code != case.expect_exit:
            how = f"killed by signal {-code}" if code < 0 else f"{code}"
            self.fail(f"exit status {how}, expected {case.expect_exit}")
        streams = (("standard error", case.expect_stderr, stderr),
                   ("standard output", case.expect_stdout, stdout))
        for label, section, actual in streams:
            expected = b"" if section is None else self.text(section, "utf-8", b"\n")
            report = compare(label, expected, actual, "utf-8", False)
            if report:
                self.fail(report)
        if case.expect_log is not None:
            expected = self.text(case.expect_log, SCRIPT_CODEC, b"\r\n")
            label = "log " + (case.expect_log.arg or "TARVELIN.LOG")
            actual = self.read_file(self.log_name(), label)
            if actual is not None:
                report = compare(label, expected, actual, SCRIPT_CODEC, True)
                if report:
                    self.fail(report)
        for s in case.expect_files:
            crlf = s.kind == "file-crlf"
            expected = self.text(s, SCRIPT_CODEC, b"\r\n" if crlf else b"\n")
            actual = self.read_file(self.file_name(s.arg), "file " + s.arg)
            if actual is not None:
                report = compare("file " + s.arg, expected, actual, SCRIPT_CODEC, crlf)
                if report:
                    self.fail(report)
        for name in case.expect_absent:
            if os.path.lexists(self.file_name(name)):
                self.fail(f"file {name} exists but should not")
        if case.expect_listing is not None:
            want = sorted(line.strip() for line in case.expect_listing.lines if line.strip())
            have = sorted(self.listing())
            if want != have:
                diff = difflib.unified_diff(want, have, "expected files", "actual files",
                                            lineterm="")
                self.fail("the files in the case folder differ:\n" + "\n".join(diff))

    def read_file(self, name, label):
        try:
            with open(name, "rb") as f:
                return f.read()
        except FileNotFoundError:
            self.fail(f"{label}: no such file")
        except OSError as e:
            self.fail(f"{label}: {e}")
        return None

    def listing(self):
        top = os.fsencode(self.dir)
        for folder, _, files in os.walk(top):
            for name in files:
                rel = os.path.relpath(os.path.join(folder, name), top)
                yield decode_chunk(rel, SCRIPT_CODEC)


# ---------------------------------------------------------------------------
# Command line


def find_cases(names):
    if not names:
        names = [CASES]
    found = []
    for name in names:
        candidates = [name, os.path.join(CASES, name), os.path.join(CASES, name + ".case")]
        path = next((c for c in candidates if os.path.exists(c)), None)
        if path is None:
            raise CaseError(f"no case or group {name!r}")
        if os.path.isdir(path):
            for folder, _, files in os.walk(path):
                found.extend(os.path.join(folder, f) for f in files if f.endswith(".case"))
        else:
            found.append(path)
    return sorted(set(os.path.abspath(p) for p in found))


def case_name(path):
    rel = os.path.relpath(path, CASES)
    if rel.startswith(".."):
        rel = os.path.basename(path)
    return rel[: -len(".case")] if rel.endswith(".case") else rel


def run_one(path, options):
    name = case_name(path)
    started = time.monotonic()
    try:
        case = parse_case(path, name)
    except CaseError as e:
        return name, [f"bad case: {e}"], [], 0.0
    why = unmet_needs(case)
    if why:
        return name, None, [f"skipped: {why}"], 0.0
    run = Run(case, options.program, options.peer, options.keep)
    try:
        run.execute()
    except Exception:  # a fault of the harness or the machine: report it, go on
        run.fail("the harness failed:\n" + traceback.format_exc().rstrip())
    return name, run.problems, run.notes, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", help="case files, GROUP/NAME or groups")
    parser.add_argument("--program", default=os.environ.get(
        "TARVELIN", os.path.join(REPO, "build", "tarvelin")))
    parser.add_argument("--peer", default=os.environ.get(
        "TESTPEER", os.path.join(REPO, "build", "tools", "testpeer")))
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--keep", action="store_true", help="keep every case's folder")
    options = parser.parse_args()
    options.program = os.path.abspath(options.program)
    options.peer = os.path.abspath(options.peer)
    for label, path in (("program", options.program), ("peer", options.peer)):
        if not os.access(path, os.X_OK):
            print(f"run.py: the {label} {path} is not there (build first)", file=sys.stderr)
            return 2
    try:
        paths = find_cases(options.cases)
    except CaseError as e:
        print(f"run.py: {e}", file=sys.stderr)
        return 2
    passed = failed = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = [pool.submit(run_one, p, options) for p in paths]
        for future in concurrent.futures.as_completed(futures):
            name, problems, notes, seconds = future.result()
            if problems is None:
                skipped += 1
                print(f"SKIP {name}")
            elif problems:
                failed += 1
                print(f"FAIL {name} ({seconds:.2f} s)")
                for problem in problems:
                    print("  " + problem.replace("\n", "\n  "))
            else:
                passed += 1
                print(f"PASS {name} ({seconds:.2f} s)")
            for note in notes:
                print("  " + note)
            sys.stdout.flush()
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    if failed == 0 and passed == 0 and skipped > 0:
        return SKIPPED
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
