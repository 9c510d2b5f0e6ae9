#!/usr/bin/env python3
"""Benchmark of the headless program against reference readers.

A loopback test peer sends N lines of 60 printable bytes + CR LF as fast as it
can, then "DONE" CR LF. Every reader runs as a whole process, interleaved with
the others, for several rounds; the table gives the median wall time, the
median CPU time (user + system), the largest peak RSS and lines per second.

    bench/run.py                       N = 1,000,000, 5 rounds
    bench/run.py -n 100000 -r 3        a quicker run
    bench/run.py --only tarvelin-log,c-log
    bench/run.py --idle                CPU time of the idle waits instead
    bench/run.py --loop                a script loop of 1,000,000 rounds beside tclsh
    bench/run.py --workdir /dev/shm    logs on a tmpfs instead of the temporary folder
    bench/wine.sh build-win64/tarvelin.exe -n 100000 -r 3
                                       adds the Windows program under Wine

Readers: the headless program with a log file and with `-p -`, and with `-p -`
waiting with WaitFor Matching "^DONE$" (matching-nolog: a pattern that is a plain
anchored text is tested without the matcher) and "^(DONE|END)$" (regex-nolog:
the matcher runs on every line); a small C
reader (bench/ref_reader.c) with and without a per-line flushed log; the
headless program with `-p -` over TLS (tls-nolog: StartTls NoVerify) and
over plain TCP from the same Python stream server (plain-py-nolog), beside
`openssl s_client` reading the same TLS stream (s_client); Expect
and pexpect line by line with and without their logs. Expect and pexpect are
installed with apt-get when missing (skipped when that is not possible). With
--windows EXE (see bench/wine.sh, which sets up Wine and an X server) the
Windows program runs the same script, ended by End, under Wine; its CPU time
includes what the Wine server spent meanwhile when TV_WINESERVER_PID names it.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PAYLOAD = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX"
assert len(PAYLOAD) == 60


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def ensure_tools(want_expect, want_pexpect):
    have_expect = shutil.which("expect") is not None
    try:
        import pexpect  # noqa: F401
        have_pexpect = True
    except ImportError:
        have_pexpect = False
    missing = []
    if want_expect and not have_expect:
        missing.append("expect")
    if want_pexpect and not have_pexpect:
        missing.append("python3-pexpect")
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
        print("installing " + " ".join(missing) + " with apt-get", file=sys.stderr)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        ok = subprocess.call(sudo + ["apt-get", "install", "-y", "-q"] + missing, env=env,
                             stdout=subprocess.DEVNULL) == 0
        if not ok:
            subprocess.call(sudo + ["apt-get", "update", "-q"], env=env, stdout=subprocess.DEVNULL)
            subprocess.call(sudo + ["apt-get", "install", "-y", "-q"] + missing, env=env,
                            stdout=subprocess.DEVNULL)
        have_expect = shutil.which("expect") is not None
        have_pexpect = subprocess.call([sys.executable, "-c", "import pexpect"],
                                       stderr=subprocess.DEVNULL) == 0
    return have_expect, have_pexpect


class PeerProcess:
    """A peer program that prints "ready" once it listens on its port."""

    what = "peer"

    def start(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError(self.what + " did not start: " + self.proc.stderr.read())

    def finish(self):
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        if self.proc.returncode != 0:
            raise RuntimeError(self.what + " failed: " + err)


class Peer(PeerProcess):
    """The test peer with a dialogue."""

    what = "test peer"

    def __init__(self, testpeer, workdir, dialogue):
        self.port = free_port()
        path = os.path.join(workdir, "peer.txt")
        with open(path, "w") as f:
            f.write(dialogue.replace("PORT", str(self.port)))
        self.start([testpeer, path])


class StreamPeer(PeerProcess):
    """bench/stream_peer.py: the same lines from Python, with TLS when cert is given."""

    what = "stream peer"

    def __init__(self, lines, cert=None):
        self.port = free_port()
        self.start([sys.executable, os.path.join(HERE, "stream_peer.py"), str(self.port),
                    str(lines), PAYLOAD] + (list(cert) if cert else []))


def make_certificate(into):
    """A self-signed certificate and key for the TLS stream server, or None."""
    if shutil.which("openssl") is None:
        return None
    cert, key = os.path.join(into, "bench.crt"), os.path.join(into, "bench.key")
    subprocess.check_call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                           "-keyout", key, "-out", cert, "-days", "2", "-subj",
                           "/CN=127.0.0.1"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    return cert, key


LAUNCH = None  # the compiled launch.c


def measure(argv, cwd, stdin_lines=None, stdin_delay=0.0, user=None):
    """Runs one process; returns (exit status, wall s, cpu s, peak RSS KiB, stderr).
    Its user time is appended to the list user when one is given."""
    result = os.path.join(cwd, "launch.result")
    proc = subprocess.Popen([LAUNCH, result] + argv, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE,
                            stdin=subprocess.PIPE if stdin_lines is not None else subprocess.DEVNULL)
    if stdin_lines is not None:
        time.sleep(stdin_delay)
        try:
            proc.stdin.write("".join(line + "\n" for line in stdin_lines).encode())
            proc.stdin.close()
        except BrokenPipeError:
            pass
    err = proc.stderr.read().decode("utf-8", "replace")
    proc.stderr.close()
    if proc.wait() != 0:
        raise RuntimeError("launch failed: " + err)
    with open(result) as f:
        status, wall, cpu, rss, user_s = f.read().split()
    os.unlink(result)
    if user is not None:
        user.append(float(user_s))
    return int(status), float(wall), float(cpu), int(rss), err


def build_tools(into):
    global LAUNCH
    for name in ("ref_reader", "launch"):
        subprocess.check_call(["cc", "-O2", "-o", os.path.join(into, name),
                               os.path.join(HERE, name + ".c")])
    LAUNCH = os.path.join(into, "launch")


def readers(args, tools, workdir, have_expect, have_pexpect):
    prog = os.path.abspath(args.program)
    ref = os.path.join(tools, "ref_reader")
    tcl = os.path.join(HERE, "expect_reader.tcl")
    pex = os.path.join(HERE, "pexpect_reader.py")
    script = os.path.join(workdir, "bench.tvl")
    with open(script, "w") as f:
        f.write('Connect 127.0.0.1 PORT\nWaitFor ExactMatch "DONE"\nDisconnect\n')
    limited = os.path.join(workdir, "bench-limit.tvl")
    with open(limited, "w") as f:
        f.write('Connect 127.0.0.1 PORT\nTimeout 600000\nWaitFor ExactMatch "DONE"\nDisconnect\n')
    matching = os.path.join(workdir, "bench-matching.tvl")
    with open(matching, "w") as f:
        f.write('Connect 127.0.0.1 PORT\nWaitFor Matching "^DONE$"\nDisconnect\n')
    regex = os.path.join(workdir, "bench-regex.tvl")
    with open(regex, "w") as f:
        f.write('Connect 127.0.0.1 PORT\nWaitFor Matching "^(DONE|END)$"\nDisconnect\n')
    tls = os.path.join(workdir, "bench-tls.tvl")
    with open(tls, "w") as f:
        f.write('Connect 127.0.0.1 PORT\nStartTls NoVerify\nWaitFor ExactMatch "DONE"\n'
                'Disconnect\n')
    out = {
        "tarvelin-log": lambda port: [prog, "-p", "bench.log", port_script(script, port)],
        "tarvelin-nolog": lambda port: [prog, "-p", "-", port_script(script, port)],
        # The same WaitFor ExactMatch with a Timeout set.
        "tarvelin-timeout-log": lambda port: [prog, "-p", "bench.log", port_script(limited, port)],
        "tarvelin-timeout-nolog": lambda port: [prog, "-p", "-", port_script(limited, port)],
        "matching-nolog": lambda port: [prog, "-p", "-", port_script(matching, port)],
        "regex-nolog": lambda port: [prog, "-p", "-", port_script(regex, port)],
        "c-log": lambda port: [ref, str(port), "ref.log"],
        "c-nolog": lambda port: [ref, str(port)],
    }
    if args.cert:
        out["plain-py-nolog"] = lambda port: [prog, "-p", "-", port_script(script, port)]
        out["tls-nolog"] = lambda port: [prog, "-p", "-", port_script(tls, port)]
        out["s_client"] = lambda port: ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port,
                                        "-quiet"]
    if args.windows:
        exe = os.path.abspath(args.windows)
        wine = shutil.which("wine64") or shutil.which("wine") or "/usr/lib/wine/wine64"
        ended = os.path.join(workdir, "bench-end.tvl")
        with open(ended, "w") as f:
            f.write('Connect 127.0.0.1 PORT\nWaitFor ExactMatch "DONE"\nDisconnect\nEnd\n')
        out["windows-log"] = lambda port: [wine, exe, "-p", "bench.log", port_script(ended, port)]
        out["windows-nolog"] = lambda port: [wine, exe, "-p", "-", port_script(ended, port)]
    if have_expect:
        out["expect-log"] = lambda port: ["expect", tcl, str(port), "expect.log"]
        out["expect-nolog"] = lambda port: ["expect", tcl, str(port)]
    if have_pexpect:
        out["pexpect-log"] = lambda port: [sys.executable, pex, str(port), "pexpect.log"]
        out["pexpect-nolog"] = lambda port: [sys.executable, pex, str(port)]
    return out


def port_script(template, port):
    stem = os.path.splitext(os.path.basename(template))[0]
    path = os.path.join(os.path.dirname(template), "%s-%d.tvl" % (stem, port))
    with open(template) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace("PORT", str(port)))
    return path


def wineserver_cpu():
    """User + system seconds of the Wine server named by TV_WINESERVER_PID, or 0."""
    pid = os.environ.get("TV_WINESERVER_PID")
    if not pid:
        return 0.0
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def count_lines(path):
    n = 0
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                return n
            n += chunk.count(b"\n")


def throughput(args):
    have_expect, have_pexpect = ensure_tools(not args.no_expect, not args.no_expect)
    tools = tempfile.mkdtemp(prefix="tvbench-", dir=args.workdir)
    try:
        build_tools(tools)
        args.cert = make_certificate(tools)
        work = os.path.join(tools, "run")
        os.mkdir(work)
        table = readers(args, tools, work, have_expect, have_pexpect)
        names = list(table)
        if args.only:
            names = [n for n in args.only.split(",") if n in table]
        dialogue = ("wait-ms 900000\nlisten PORT\nlines %d 60 \"%s\"\nsend \"DONE\\r\\n\"\n"
                    "expect-eof\n" % (args.lines, PAYLOAD))
        results = {n: [] for n in names}
        for rnd in range(args.rounds):
            order = names[rnd % len(names):] + names[:rnd % len(names)]
            for name in order:
                if name in ("tls-nolog", "s_client"):
                    peer = StreamPeer(args.lines, args.cert)
                elif name == "plain-py-nolog":
                    peer = StreamPeer(args.lines)
                else:
                    peer = Peer(args.peer, work, dialogue)
                under_wine = name.startswith("windows")
                server_before = wineserver_cpu() if under_wine else 0.0
                status, wall, cpu, rss, err = measure(table[name](peer.port), work)
                if under_wine:
                    cpu += wineserver_cpu() - server_before
                peer.finish()
                if status != 0:
                    raise RuntimeError("%s ended with status %d: %s" % (name, status, err))
                if name.endswith("-log"):
                    log = {"tarvelin": "bench.log", "windows": "bench.log", "c": "ref.log",
                           "expect": "expect.log", "pexpect": "pexpect.log"}[name.split("-")[0]]
                    got = count_lines(os.path.join(work, log))
                    if got < args.lines + 1:
                        raise RuntimeError("%s logged %d lines for %d" % (name, got, args.lines))
                    os.unlink(os.path.join(work, log))
                results[name].append((wall, cpu, rss))
                print("round %d %-15s %7.3f s wall %7.3f s cpu %6.1f MiB" %
                      (rnd + 1, name, wall, cpu, rss / 1024), file=sys.stderr)
        report(args, results)
    finally:
        shutil.rmtree(tools, ignore_errors=True)


def report(args, results):
    print("N = %d lines, %d rounds, medians; logs in %s" %
          (args.lines, args.rounds, args.workdir or tempfile.gettempdir()))
    print()
    print("| reader | wall s | CPU s | peak RSS MiB | lines/s |")
    print("|---|---:|---:|---:|---:|")
    med = {}
    for name, runs in results.items():
        wall = statistics.median(r[0] for r in runs)
        cpu = statistics.median(r[1] for r in runs)
        rss = max(r[2] for r in runs) / 1024
        med[name] = wall
        print("| %s | %.3f | %.3f | %.1f | %.0f |" % (name, wall, cpu, rss, args.lines / wall))
    print()

    def ratio(a, b, limit, better):
        if a in med and b in med:
            r = med[a] / med[b]
            if limit is None:
                print("%s / %s = %.2f" % (a, b, r))
                return
            ok = r <= limit if not better else r >= limit
            print("%s / %s = %.2f (%s %s %g)" % (a, b, r, "ok," if ok else "MISSED,",
                                                "want >=" if better else "want <=", limit))
    ratio("tarvelin-log", "c-log", 1.5, False)
    ratio("tarvelin-nolog", "c-nolog", 3.0, False)
    ratio("tarvelin-timeout-log", "tarvelin-log", 1.05, False)
    ratio("tarvelin-timeout-nolog", "tarvelin-nolog", 1.05, False)
    ratio("expect-log", "tarvelin-log", 10.0, True)
    ratio("expect-nolog", "tarvelin-nolog", 10.0, True)
    ratio("expect-nolog", "matching-nolog", 10.0, True)
    ratio("matching-nolog", "tarvelin-nolog", 3.0, False)
    ratio("expect-nolog", "regex-nolog", None, False)
    ratio("regex-nolog", "tarvelin-nolog", None, False)
    ratio("tls-nolog", "plain-py-nolog", 2.0, False)
    ratio("s_client", "tls-nolog", None, False)
    ratio("windows-log", "tarvelin-log", None, False)
    ratio("windows-nolog", "tarvelin-nolog", None, False)


def idle(args):
    """CPU time of waits that have nothing to do for about 5 s."""
    work = tempfile.mkdtemp(prefix="tvidle-")
    prog = os.path.abspath(args.program)
    try:
        build_tools(work)
        rows = []

        def run(name, script, dialogue=None, stdin_lines=None, delay=0.0):
            with open(os.path.join(work, "idle.tvl"), "w") as f:
                peer = Peer(args.peer, work, dialogue) if dialogue else None
                f.write(script.replace("PORT", str(peer.port) if peer else "0"))
            status, wall, cpu, rss, err = measure([prog, "-p", "-", "idle.tvl"], work,
                                                  stdin_lines, delay)
            if peer:
                peer.finish()
            rows.append((name, wall, cpu, rss, status))

        run("Wait 5000", "Wait 5000\n")
        run("WaitFor, silent peer", 'Connect 127.0.0.1 PORT\nWaitFor ExactMatch "x"\n',
            "listen PORT\nsleep 5000\nclose\n")
        port = free_port()
        run("Accept, no client", "Accept %d\nDisconnect\n" % port,
            "wait-ms 20000\nsleep 5000\nconnect 127.0.0.1 %d\nclose\n" % port)
        run("WaitCheck", 'ShowCheckBox b "Box"\nWaitCheck b\n', None, ["click b"], 5.0)
        print("| idle wait | exit | wall s | CPU s | peak RSS MiB |")
        print("|---|---:|---:|---:|---:|")
        for name, wall, cpu, rss, status in rows:
            print("| %s | %d | %.2f | %.4f | %.1f |" % (name, status, wall, cpu, rss / 1024))
        worst = max(r[2] * 5.0 / max(r[1], 0.001) for r in rows)
        print()
        print("largest CPU per 5 s: %.4f s (%s, want < 0.01)" % (worst, "ok" if worst < 0.01 else "MISSED"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


# The loop of --loop: a counter counted up to N with Calc, tested with
# TestCalc and closed by IfDef TRUE GoTo, first at the top of its file, then
# after 2,000 other lines (comments and SetCounter lines, run once). Each
# GoTo finds its label without reading the lines before it, so the two cost
# the same. tclsh runs the same loop with the same steps, once at its top
# level (variables by name, as counters are) and once inside a proc (local
# variables in slots, Tcl's fastest form).
LOOP = ('SetCounter i 0\nLabel loop\nCalc i i + 1\nTestCalc i < {n}\nIfDef TRUE GoTo loop\n'
        'Message "i = " i\n')
TCL_LOOP = ("set i 0\nwhile 1 {{\n  set i [expr {{$i + 1}}]\n  if {{!($i < {n})}} break\n}}\n"
            "puts stderr \"i = $i\"\n")
TCL_PROC = "proc run {{}} {{\n{body}  return $i\n}}\nset i [run]\nputs stderr \"i = $i\"\n"


def instructions(argv, cwd):
    """The instructions the process executes in user space, counted by
    callgrind; None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    out = os.path.join(cwd, "callgrind.out")
    p = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                       cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if os.path.exists(out):
        os.unlink(out)
    for line in p.stderr.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1])
    raise RuntimeError("callgrind gave no count: " + p.stderr[-2000:])


def loop(args):
    n = args.iterations
    work = tempfile.mkdtemp(prefix="tvloop-", dir=args.workdir)
    prog = os.path.abspath(args.program)
    try:
        build_tools(work)
        script = LOOP.format(n=n)
        with open(os.path.join(work, "top.tvl"), "w") as f:
            f.write(script)
        filler = ["// filler line %d" % k if k % 2 == 0 else "SetCounter filler%d %d" % (k % 10, k)
                  for k in range(2000)]
        with open(os.path.join(work, "after.tvl"), "w") as f:
            f.write("\n".join(filler) + "\n" + script)
        tcl = TCL_LOOP.format(n=n)
        with open(os.path.join(work, "loop.tcl"), "w") as f:
            f.write(tcl)
        body = "".join("  " + line + "\n" for line in tcl.splitlines()[:5])
        with open(os.path.join(work, "proc.tcl"), "w") as f:
            f.write(TCL_PROC.format(body=body))
        table = {"tarvelin, loop at the top": [prog, "-p", "-", "top.tvl"],
                 "tarvelin, loop after 2,000 lines": [prog, "-p", "-", "after.tvl"]}
        tclsh = shutil.which("tclsh")
        if tclsh:
            table["tclsh, loop at the top level"] = [tclsh, "loop.tcl"]
            table["tclsh, loop in a proc"] = [tclsh, "proc.tcl"]
        else:
            print("no tclsh: the Tcl rows are left out (apt-get install tcl)", file=sys.stderr)
        names = list(table)
        walls = {name: [] for name in names}
        users = {name: [] for name in names}
        for rnd in range(args.rounds):
            for name in names[rnd % len(names):] + names[:rnd % len(names)]:
                status, wall, cpu, rss, err = measure(table[name], work, user=users[name])
                if status != 0 or "i = %d" % n not in err:
                    raise RuntimeError("%s: status %d, %s" % (name, status, err))
                walls[name].append(wall)
                print("round %d %-34s %7.3f s wall %7.3f s user" %
                      (rnd + 1, name, wall, users[name][-1]), file=sys.stderr)
        counts = {}
        if not args.no_callgrind:
            for name in names:
                counts[name] = instructions(table[name], work)
                if counts[name] is not None:
                    print("callgrind %-34s %d instructions" % (name, counts[name]),
                          file=sys.stderr)
        print("N = %d rounds of the loop, %d runs each, medians; instructions: one run "
              "under callgrind" % (n, args.rounds))
        print()
        print("| loop | wall s | user s | instructions | per round |")
        print("|---|---:|---:|---:|---:|")
        med = {}
        for name in names:
            wall = statistics.median(walls[name])
            user = statistics.median(users[name])
            count = counts.get(name)
            med[name] = (wall, user, count)
            print("| %s | %.3f | %.3f | %s | %s |" % (
                name, wall, user, "{:,}".format(count) if count else "-",
                "%.0f" % (count / n) if count else "-"))
        print()

        def ratio(a, b, limit):
            if a not in med or b not in med:
                return
            parts = ["wall %.2f" % (med[a][0] / med[b][0]), "user %.2f" % (med[a][1] / med[b][1])]
            if med[a][2] and med[b][2]:
                parts.append("instructions %.3f" % (med[a][2] / med[b][2]))
            verdict = ""
            if limit is not None:
                judged = med[a][2] / med[b][2] if med[a][2] and med[b][2] else med[a][1] / med[b][1]
                verdict = " (%s want <= %g)" % ("ok," if judged <= limit else "MISSED,", limit)
            print("%s / %s: %s%s" % (a, b, ", ".join(parts), verdict))
        top, after = names[0], names[1]
        ratio(after, top, 1.1)
        ratio(top, "tclsh, loop at the top level", 2.0)
        ratio(top, "tclsh, loop in a proc", None)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-n", "--lines", type=int, default=1000000)
    ap.add_argument("-r", "--rounds", type=int, default=5)
    ap.add_argument("--program", default=os.environ.get("TARVELIN", os.path.join(ROOT, "build", "tarvelin")))
    ap.add_argument("--peer", default=os.environ.get("TESTPEER", os.path.join(ROOT, "build", "tools", "testpeer")))
    ap.add_argument("--only", help="comma-separated reader names")
    ap.add_argument("--workdir", help="where the logs are written (default: the temporary "
                    "folder); the file system decides the cost of a flushed line")
    ap.add_argument("--no-expect", action="store_true", help="leave Expect and pexpect out")
    ap.add_argument("--idle", action="store_true", help="measure the idle waits instead")
    ap.add_argument("--loop", action="store_true", help="measure a script loop beside tclsh "
                    "instead (rounds: -r)")
    ap.add_argument("--iterations", type=int, default=1000000, help="rounds of the --loop loop")
    ap.add_argument("--no-callgrind", action="store_true", help="--loop without the "
                    "instruction counts of valgrind's callgrind")
    ap.add_argument("--windows", metavar="EXE", help="also run the Windows program under Wine "
                    "(WINEPREFIX and DISPLAY must be set up: see bench/wine.sh)")
    args = ap.parse_args()
    for path in (args.program, args.peer):
        if not os.access(path, os.X_OK):
            sys.exit("not built: %s (cmake --preset linux && cmake --build build)" % path)
    if args.idle:
        idle(args)
    elif args.loop:
        loop(args)
    else:
        throughput(args)


if __name__ == "__main__":
    main()
