#!/usr/bin/env python3
"""Fault runs of the headless program: things going wrong around it while a
script runs. Each scenario checks that the program neither hangs nor crashes,
what it logs, and that every byte it consumed from the peer reached the
capture file.

    tests/faults/faults.py              every scenario, the drip at 10 ms a byte
    tests/faults/faults.py --quick      the drip at 1 ms a byte (for the test command)
    tests/faults/faults.py drip send    some scenarios

Scenarios:
  send      the peer accepts and never reads while the script sends 10 MB; the
            operator's interrupt ends the Send, the log says how much went
  drip      the peer sends a 4096-byte block one byte at a time
  deleted   the script file is deleted while it runs
  truncated the script file is truncated while it runs
  fulllog   the log file hits a file-size limit and, when this user may mount
            one, a full 64 KiB tmpfs
  capture   the capture file cannot be written (/dev/full, a file-size limit,
            a full tmpfs)
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ENC = "cp1250"


class Failure(Exception):
    pass


def check(cond, text):
    if not cond:
        raise Failure(text)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Run:
    """The program and, optionally, a test peer in a fresh folder."""

    def __init__(self, args, dialogue=None, name="case"):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="tvfault-%s-" % name)
        self.port = free_port()
        self.peer = None
        if dialogue is not None:
            path = os.path.join(self.dir, "..", os.path.basename(self.dir) + ".peer")
            self.peer_file = os.path.abspath(path)
            with open(self.peer_file, "w", encoding=ENC) as f:
                f.write(dialogue.replace("PORT", str(self.port)))
            self.peer = subprocess.Popen([args.peer, self.peer_file], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
            check(self.peer.stdout.readline().strip() == b"ready", "the test peer did not start")
        self.proc = None

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w", encoding=ENC, newline="\n") as f:
            f.write(text.replace("PORT", str(self.port)))

    def start(self, argv, preexec=None):
        self.proc = subprocess.Popen([self.args.program] + argv, cwd=self.dir,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, preexec_fn=preexec)
        self.started = time.monotonic()

    def log(self, name="TARVELIN.LOG"):
        try:
            with open(os.path.join(self.dir, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def wait_log(self, text, name="TARVELIN.LOG", timeout=20):
        want = text.encode(ENC)
        end = time.monotonic() + timeout
        while want not in self.log(name):
            check(self.proc.poll() is None, "the program ended before logging %r" % text)
            check(time.monotonic() < end, "no %r in the log within %d s" % (text, timeout))
            time.sleep(0.02)

    def wait_idle(self, ms, name="TARVELIN.LOG"):
        size, since = -1, time.monotonic()
        while time.monotonic() - since < ms / 1000:
            now = len(self.log(name))
            if now != size:
                size, since = now, time.monotonic()
            time.sleep(0.02)

    def finish(self, stdin=b"", timeout=60):
        """Closes standard input, waits; returns (status, stderr, cpu s)."""
        try:
            self.proc.stdin.write(stdin)
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        end = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > end:
                self.proc.kill()
                self.proc.wait()
                raise Failure("the program hung (killed after %d s)" % timeout)
            time.sleep(0.02)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        check(self.proc.returncode >= 0, "the program died of signal %d" % -self.proc.returncode)
        err = self.proc.stderr.read().decode("utf-8", "replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        if self.peer:
            try:
                _, perr = self.peer.communicate(timeout=20)
            except subprocess.TimeoutExpired:
                self.peer.kill()
                self.peer.communicate()
                raise Failure("the test peer hung")
            check(self.peer.returncode == 0, "the test peer failed: %s" % perr.decode())
        return self.proc.returncode, err, usage.ru_utime + usage.ru_stime

    def close(self):
        for p in (self.proc, self.peer):
            if p and p.poll() is None:
                p.kill()
                p.wait()
        if self.peer:
            os.unlink(self.peer_file)
        shutil.rmtree(self.dir, ignore_errors=True)


def scenario_send(args):
    # 4096 bytes read first give a last line that 2560 "line" words turn into
    # 10 MB; the peer's small receive buffer and its refusal to read block
    # the Send long before.
    # The peer holds the connection past the end of the run, then drops it.
    r = Run(args, "rcvbuf 2048\nlisten PORT\nflood 4096\nnoread 4000\nreset\n", "send")
    try:
        r.write("main.tvl", "Connect 127.0.0.1 PORT\nOutputFile cap.txt\nReceive 4096\n"
                "Send" + " line" * 2560 + "\nComment not reached\n")
        r.start(["main.tvl"])
        r.wait_log("Odesílám řádku")
        r.wait_idle(500)
        status, err, cpu = r.finish(b"interrupt\n")
        log = r.log().decode(ENC)
        m = re.search(r"Akce přerušena, dosud zapsáno (\d+) znaků\.\r\n", log)
        check(m, "no count of bytes written in the log:\n" + log[-600:])
        sent = int(m.group(1))
        check(0 < sent < 10485760, "implausible count %d" % sent)
        check(status == 1, "exit status %d" % status)
        check("Comment not reached" not in log, "the run went on after the interrupt")
        check(r.log("cap.txt") == b"x" * 4096, "the capture file lacks the block read")
        return "interrupted after %d of 10485760 bytes, %.3f s CPU" % (sent, cpu)
    finally:
        r.close()


def scenario_drip(args):
    block = bytes((i * 7 + 33) % 94 + 32 for i in range(4096)).decode("ascii")
    escaped = block.replace("\\", "\\\\").replace('"', '\\"')
    r = Run(args, 'wait-ms 120000\nlisten PORT\ndrip "%s" %d\nexpect-eof\n' % (escaped, args.drip_ms),
            "drip")
    try:
        r.write("main.tvl", "Connect 127.0.0.1 PORT\nOutputFile cap.txt\nReceive 4096\n"
                "CloseOutput\nDisconnect\n")
        r.start(["main.tvl"])
        status, err, cpu = r.finish(timeout=4096 * args.drip_ms / 1000 * 3 + 30)
        wall = time.monotonic() - r.started
        check(status == 0, "exit status %d: %s" % (status, err))
        check(r.log("cap.txt") == block.encode(), "the capture file differs from the block")
        log = r.log().decode(ENC)
        check(("Načten blok dat " + block.replace("\\", "\\\\") + "\r\n") in log,
              "the block is not logged whole")
        check("Blok dat v pořádku načten." in log, "no success line")
        return "4096 bytes at %d ms a byte in %.1f s, %.3f s CPU" % (args.drip_ms, wall, cpu)
    finally:
        r.close()


LONG_SCRIPT = "Wait 700\n" + "".join("Comment line %05d of a long script %s\n" % (i, "." * 30)
                                     for i in range(4000)) + "Comment last line\n"


def script_change(args, change):
    r = Run(args, None, change)
    try:
        r.write("main.tvl", LONG_SCRIPT)
        r.start(["main.tvl"])
        r.wait_log("$$ Wait 700")
        path = os.path.join(r.dir, "main.tvl")
        if change == "deleted":
            os.unlink(path)
        else:
            with open(path, "r+b") as f:
                f.truncate(len(LONG_SCRIPT) // 2 + 17)  # in the middle of a line
        status, err, cpu = r.finish(timeout=30)
        log = r.log().decode(ENC)
        check(log.endswith("Soubor interpretován a uzavřen.\r\nKonec programu.\r\n"),
              "the run did not end properly:\n" + log[-400:])
        lines = log.count("\r\n$$ ")
        return status, err, log, lines
    finally:
        r.close()


def scenario_deleted(args):
    status, err, log, lines = script_change(args, "deleted")
    # An open file outlives its name: the run reads it to the end.
    check(status == 0, "exit status %d: %s" % (status, err))
    check("$$ Comment last line\r\n" in log, "the run did not reach the last line")
    return "ran all %d lines to the end, exit 0" % lines


def scenario_truncated(args):
    status, err, log, lines = script_change(args, "truncated")
    check(status in (0, 1), "exit status %d" % status)
    check(lines <= 4002, "more lines than the file ever held")
    check("$$ Comment last line" not in log or lines == 4002, "impossible log")
    return "interpreted %d lines, exit %d%s" % (lines, status, (", " + err.strip()) if err.strip() else "")


def mount_tiny_tmpfs(into):
    if os.geteuid() != 0 or not shutil.which("mount"):
        return False
    return subprocess.call(["mount", "-t", "tmpfs", "-o", "size=64k", "tvfault", into],
                           stderr=subprocess.DEVNULL) == 0


COMMENTS = "".join("Comment filling the log, line %d\n" % i for i in range(3000))


FSIZE_LIMIT = 16384


def file_size_limit():
    # With the signal's default action, as a shell's ulimit -f leaves it: the
    # program itself must keep the limit from killing it.
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_FSIZE, (FSIZE_LIMIT, FSIZE_LIMIT))


def scenario_fulllog(args):
    results = []

    r = Run(args, None, "fsize")
    try:
        r.write("main.tvl", COMMENTS + "Define REACHED\nIfDef REACHED End\n")
        r.start(["main.tvl"], file_size_limit)
        status, err, cpu = r.finish(timeout=60)
        log = r.log()
        check(status == 0, "exit status %d with a file-size limit: %s" % (status, err))
        # The write that reaches the limit leaves what fits; the rest is dropped.
        want = ("Program zahájen.\r\nInterpretuji soubor main.tvl\r\n" +
                "".join("$$ " + line + "\r\n" for line in COMMENTS.splitlines()))
        check(log == want.encode(ENC)[:FSIZE_LIMIT],
              "the log is not the first %d bytes of the run's log (%d bytes)" % (FSIZE_LIMIT, len(log)))
        results.append("file-size limit: log stopped at %d bytes, exit 0" % len(log))
    finally:
        r.close()

    mnt = tempfile.mkdtemp(prefix="tvfault-tmpfs-")
    try:
        if not mount_tiny_tmpfs(mnt):
            results.append("tiny tmpfs: skipped (cannot mount)")
            return "; ".join(results)
        try:
            r = Run(args, None, "tmpfs")
            r.write("main.tvl", COMMENTS + "End\n")
            r.start(["-p", os.path.join(mnt, "full.log"), "main.tvl"])
            status, err, cpu = r.finish(timeout=60)
            size = os.path.getsize(os.path.join(mnt, "full.log"))
            check(status == 0, "exit status %d on a full tmpfs: %s" % (status, err))
            results.append("64 KiB tmpfs: log stopped at %d bytes, exit 0" % size)
            r.close()
        finally:
            subprocess.call(["umount", mnt])
    finally:
        os.rmdir(mnt)
    return "; ".join(results)


def scenario_capture(args):
    results = []
    # 88 KB: more than the tiny tmpfs holds.
    lines = "".join("line %04d of the peer\r\n" % i for i in range(4000))
    targets = [("/dev/full", None), ("cap.txt", "fsize")]
    mnt = tempfile.mkdtemp(prefix="tvfault-tmpfs-")
    mounted = mount_tiny_tmpfs(mnt)
    if mounted:
        targets.append((os.path.join(mnt, "cap.txt"), mnt))
    try:
        for target, fs in targets:
            r = Run(args, 'listen PORT\nsend "%s"\nsend "DONE\\r\\n"\nexpect-eof\n' %
                    lines.replace("\r\n", "\\r\\n"), "capture")
            try:
                r.write("main.tvl", 'Connect 127.0.0.1 PORT\nOutputFile "%s"\n'
                        'WaitFor ExactMatch "DONE"\nCloseOutput\nDisconnect\n' % target)
                if fs == "fsize":
                    # No log, which would reach the limit first.
                    r.start(["-p", "-", "main.tvl"], file_size_limit)
                    status, err, cpu = r.finish(timeout=60)
                    check(status == 0, "exit status %d with a file-size limit: %s" % (status, err))
                    got = r.log(target)
                    check(got == lines.encode()[:FSIZE_LIMIT],
                          "the capture is not the first %d bytes received (%d bytes)"
                          % (FSIZE_LIMIT, len(got)))
                    results.append("file-size limit: run completed, capture kept the first %d bytes"
                                   % len(got))
                    continue
                r.start(["main.tvl"])
                status, err, cpu = r.finish(timeout=60)
                check(status == 0, "exit status %d with capture %s: %s" % (status, target, err))
                log = r.log().decode(ENC)
                check(log.count("Načtena řádka line ") == 4000, "lines missing from the log")
                check("Spojení ukončeno." in log, "the run did not reach Disconnect")
                if fs:
                    got = open(target, "rb").read()
                    check((lines + "DONE\r\n").encode().startswith(got),
                          "the capture holds other bytes")
                    results.append("full tmpfs: run completed, capture kept the first %d bytes"
                                   % len(got))
                else:
                    results.append("/dev/full: run completed, exit 0")
            finally:
                r.close()
    finally:
        if mounted:
            subprocess.call(["umount", mnt])
        os.rmdir(mnt)
    return "; ".join(results)


SCENARIOS = {
    "send": scenario_send,
    "drip": scenario_drip,
    "deleted": scenario_deleted,
    "truncated": scenario_truncated,
    "fulllog": scenario_fulllog,
    "capture": scenario_capture,
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("scenarios", nargs="*")
    ap.add_argument("--quick", action="store_true", help="drip at 1 ms a byte")
    ap.add_argument("--program", default=os.environ.get("TARVELIN", os.path.join(ROOT, "build", "tarvelin")))
    ap.add_argument("--peer", default=os.environ.get("TESTPEER", os.path.join(ROOT, "build", "tools", "testpeer")))
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.peer = os.path.abspath(args.peer)
    args.drip_ms = 1 if args.quick else 10
    names = args.scenarios or list(SCENARIOS)
    failed = 0
    for name in names:
        start = time.monotonic()
        try:
            note = SCENARIOS[name](args)
            print("PASS %-9s %5.1f s  %s" % (name, time.monotonic() - start, note))
        except Failure as e:
            failed += 1
            print("FAIL %-9s %5.1f s  %s" % (name, time.monotonic() - start, e))
    print("faults: %d passed, %d failed" % (len(names) - failed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
