#!/usr/bin/env python3
"""Soak runs of the headless program.

1. Cycles: one run of CYCLES Connect / Send / WaitFor / Disconnect cycles
   against a peer of this script. The peer looks at the program's
   /proc/PID/fd and VmRSS during cycle WARM (after the start-up allocations
   have settled) and during the last cycle, at the same point of the dialogue:
   the open descriptors must be the same and the resident memory must not
   have grown by more than SLACK KiB. The log must hold every cycle.
2. Runs: RUNS program runs in a row against the test peer
   (build/tools/testpeer), each a short dialogue; each must end with status 0
   and the expected log, and the peak RSS of the last runs must not exceed
   that of the first.

With an ASan build (--program build-asan/tarvelin) LeakSanitizer checks every
exit: a leak makes the run's status non-zero and the soak fail.

    tests/soak/soak.py                      10,000 cycles and 200 runs
    tests/soak/soak.py --cycles 1000 --runs 20
    tests/soak/soak.py --program build-asan/tarvelin --peer build-asan/tools/testpeer
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def proc_state(pid):
    fds = sorted(os.readlink("/proc/%d/fd/%s" % (pid, fd)).split(":")[0]
                 for fd in os.listdir("/proc/%d/fd" % pid))
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, rss


class CyclePeer(threading.Thread):
    """Accepts one client per cycle: greets it, answers its PING, waits for
    its close."""

    def __init__(self, cycles, warm):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.cycles, self.warm = cycles, warm
        self.pid = None
        self.samples = {}
        self.error = None
        self.served = 0

    def run(self):
        try:
            for n in range(1, self.cycles + 1):
                conn, _ = self.listener.accept()
                conn.settimeout(30)
                with conn:
                    conn.sendall(b"HELLO %d\r\n" % n)
                    data = b""
                    while not data.endswith(b"\r\n"):
                        chunk = conn.recv(256)
                        if not chunk:
                            raise RuntimeError("cycle %d: closed before PING" % n)
                        data += chunk
                    if data != b"PING %d\r\n" % (n - 1):
                        raise RuntimeError("cycle %d: got %r" % (n, data))
                    if n in (self.warm, self.cycles) and self.pid:
                        self.samples[n] = proc_state(self.pid)
                    conn.sendall(b"PONG\r\n")
                    while conn.recv(256):
                        pass
                self.served = n
        except Exception as e:  # reported by the main thread
            self.error = e
        finally:
            self.listener.close()


CYCLE_SCRIPT = """SetCounter n 0
Label loop
Connect 127.0.0.1 PORT
WaitFor LineStarting "HELLO"
Send "PING " n cr lf
WaitFor ExactMatch "PONG"
Disconnect
IncrementCounter n
TestCounter n < CYCLES
IfDef TRUE Goto loop
"""


def cycles(args, work):
    warm = min(1000, max(1, args.cycles // 10))
    peer = CyclePeer(args.cycles, warm)
    with open(os.path.join(work, "cycles.tvl"), "w") as f:
        f.write(CYCLE_SCRIPT.replace("PORT", str(peer.port)).replace("CYCLES", str(args.cycles)))
    proc = subprocess.Popen([args.program, "-p", "cycles.log", "cycles.tvl"], cwd=work,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    peer.pid = proc.pid
    start = time.monotonic()
    peer.start()
    try:
        _, err = proc.communicate(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return fail("cycles: the program did not end within %d s (peer served %d cycles)" %
                    (args.timeout, peer.served))
    peer.join(10)
    took = time.monotonic() - start
    if peer.error:
        return fail("cycles: peer: %s" % peer.error)
    if proc.returncode != 0:
        return fail("cycles: exit status %d: %s" % (proc.returncode, err.decode("utf-8", "replace")))
    with open(os.path.join(work, "cycles.log"), "rb") as f:
        log = f.read()
    done = log.count("Spojení ukončeno.\r\n".encode("cp1250"))
    if done != args.cycles:
        return fail("cycles: the log shows %d disconnects for %d cycles" % (done, args.cycles))
    if warm not in peer.samples or args.cycles not in peer.samples:
        return fail("cycles: the program's state could not be sampled")
    fds0, rss0 = peer.samples[warm]
    fds1, rss1 = peer.samples[args.cycles]
    print("cycles: %d in %.1f s; at cycle %d: %d descriptors, %d KiB; at cycle %d: %d descriptors, "
          "%d KiB" % (args.cycles, took, warm, len(fds0), rss0, args.cycles, len(fds1), rss1))
    if fds0 != fds1:
        return fail("cycles: open descriptors changed: %s -> %s" % (fds0, fds1))
    if args.sanitized:
        print("cycles: sanitizer build, memory growth not judged (its allocator keeps freed "
              "blocks); LeakSanitizer checked the exit")
    elif rss1 - rss0 > args.slack:
        return fail("cycles: resident memory grew by %d KiB" % (rss1 - rss0))
    return True


RUN_PEER = """listen PORT
send "220 ready\\r\\n"
expect "HELO soak\\r\\n"
send "250 ok\\r\\n"
expect-eof
"""

RUN_SCRIPT = """Connect 127.0.0.1 PORT
WaitFor LineStarting "220"
Send "HELO soak" cr lf
WaitFor ExactMatch "250 ok"
Disconnect
"""


def runs(args, work):
    rss = []
    start = time.monotonic()
    for i in range(args.runs):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        with open(os.path.join(work, "peer.txt"), "w") as f:
            f.write(RUN_PEER.replace("PORT", str(port)))
        with open(os.path.join(work, "run.tvl"), "w") as f:
            f.write(RUN_SCRIPT.replace("PORT", str(port)))
        peer = subprocess.Popen([args.peer, "peer.txt"], cwd=work, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        if peer.stdout.readline().strip() != b"ready":
            return fail("runs: the test peer did not start: %s" % peer.stderr.read())
        # A small launcher forks the program, so that its peak RSS is the
        # program's own and not this interpreter's copied by fork.
        proc = subprocess.Popen([args.launch, "launch.result", args.program, "-p", "run.log",
                                 "run.tvl"], cwd=work, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = proc.stderr.read()
        proc.stderr.close()
        if proc.wait() != 0:
            return fail("runs: the launcher failed: %s" % err)
        with open(os.path.join(work, "launch.result")) as f:
            status, _, _, maxrss = f.read().split()[:4]
        proc.returncode = int(status)
        try:
            _, perr = peer.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            peer.kill()
            peer.communicate()
            return fail("runs: run %d: the peer did not end" % (i + 1))
        if proc.returncode != 0 or peer.returncode != 0:
            return fail("runs: run %d: status %d, peer %d: %s %s" %
                        (i + 1, proc.returncode, peer.returncode, err.decode("utf-8", "replace"),
                         perr.decode("utf-8", "replace")))
        with open(os.path.join(work, "run.log"), "rb") as f:
            log = f.read()
        if not log.endswith("Soubor interpretován a uzavřen.\r\nKonec programu.\r\n".encode("cp1250")):
            return fail("runs: run %d: the log ends wrongly: %r" % (i + 1, log[-200:]))
        rss.append(int(maxrss))
    tenth = max(1, args.runs // 10)
    first, last = max(rss[:tenth]), max(rss[-tenth:])
    print("runs: %d in %.1f s; peak RSS of the first %d: %d KiB, of the last %d: %d KiB" %
          (args.runs, time.monotonic() - start, tenth, first, tenth, last))
    if last - first > args.slack and not args.sanitized:
        return fail("runs: peak memory grew by %d KiB" % (last - first))
    return True


def fail(text):
    print("FAIL " + text, file=sys.stderr)
    return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cycles", type=int, default=10000)
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--slack", type=int, default=256, help="KiB of growth allowed")
    ap.add_argument("--timeout", type=int, default=900)
    ap.add_argument("--program", default=os.environ.get("TARVELIN", os.path.join(ROOT, "build", "tarvelin")))
    ap.add_argument("--peer", default=os.environ.get("TESTPEER", os.path.join(ROOT, "build", "tools", "testpeer")))
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.peer = os.path.abspath(args.peer)
    with open(args.program, "rb") as f:
        args.sanitized = b"__asan_init" in f.read()
    if args.sanitized:
        os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    work = tempfile.mkdtemp(prefix="tvsoak-")
    try:
        args.launch = os.path.join(work, "launch")
        subprocess.check_call(["cc", "-O2", "-o", args.launch, os.path.join(ROOT, "bench", "launch.c")])
        ok = True
        if args.cycles > 0:
            ok = cycles(args, work) and ok
        if args.runs > 0:
            ok = runs(args, work) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("soak: " + ("passed" if ok else "FAILED"))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
