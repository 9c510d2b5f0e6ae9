#!/usr/bin/env python3
"""Tests of tarvelin-suite: whole suite runs of small scripts (passing,
failing, hanging, interrupted), with the test peer, the companion .stdin and
.args files, kept folders, and the JUnit and TAP reports read by a real XML
parser and by Perl's TAP::Parser.

    suite_test.py --suite build/tarvelin-suite --program build/tarvelin \
                  --peer build/tools/testpeer [unittest options]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

SUITE = PROGRAM = PEER = None

# Reads TAP from standard input and prints one line per test and the
# parser's verdict, so that the Python side compares plain text.
TAP_READER = r"""
use strict; use warnings; use TAP::Parser; use Encode;
binmode STDOUT, ':utf8';
my $tap = decode('UTF-8', do { local $/; <STDIN> }, Encode::FB_CROAK);
my $p = TAP::Parser->new({ tap => $tap });
while (my $r = $p->next) {
  if ($r->is_test) {
    printf "test %d %s %s%s\n", $r->number, ($r->is_ok ? 'ok' : 'not-ok'), $r->description,
      ($r->has_directive ? ' directive=' . $r->directive : '');
  } elsif ($r->is_yaml) {
    my $d = $r->data;
    printf "yaml %s\n", join(' ', map { "$_=" . $d->{$_} } sort keys %$d);
  } elsif ($r->is_comment) {
    print "comment ", $r->as_string, "\n";
  } elsif ($r->is_unknown) {
    print "unknown ", $r->as_string, "\n";
  }
}
printf "version %d\n", $p->version;
printf "plan %s good=%d\n", $p->plan, ($p->is_good_plan ? 1 : 0);
printf "errors %d\n", scalar($p->parse_errors);
print "error $_\n" for $p->parse_errors;
"""


def parse_tap(text):
    out = subprocess.run(["perl", "-e", TAP_READER], input=text.encode("utf-8"),
                         stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
    return out.splitlines()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def processes_mentioning(text):
    """The processes whose command line holds text (the runs of a test)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


class SuiteTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="suite-test.")
        self.tmp = os.path.join(self.dir, "tmp")  # the suite's TMPDIR
        os.mkdir(self.tmp)
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            if p.poll() is None:
                p.kill()
            p.wait()
        for pid in processes_mentioning(self.dir):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, text, raw=None):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(raw if raw is not None else text.encode("cp1250"))
        return name

    def env(self):
        env = dict(os.environ, TMPDIR=self.tmp)
        env.pop("TARVELIN", None)
        return env

    def suite(self, *args, check_tmp=True):
        p = subprocess.run([SUITE, "--program", PROGRAM] + list(args), cwd=self.dir,
                           env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=60)
        if check_tmp:
            self.assertEqual(os.listdir(self.tmp), [], "run folders left behind")
        return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")

    def start(self, *args):
        return subprocess.Popen([SUITE, "--program", PROGRAM] + list(args), cwd=self.dir,
                                env=self.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def peer(self, dialogue):
        path = os.path.join(self.dir, f"peer{len(self.peers)}.txt")
        with open(path, "w") as f:
            f.write(dialogue)
        p = subprocess.Popen([PEER, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.peers.append(p)
        self.assertEqual(p.stdout.readline(), b"ready\n")
        return p

    # ------------------------------------------------------------------

    def test_results_and_causes(self):
        self.write("pass.tvl", 'Comment ok\nStop\nsendx\n')
        self.write("fail.tvl", "Comment x\nsendx 1\n")
        self.write("stall.tvl", "ShowCheckBox a\nWaitCheck a\n")
        # The operator's own interrupt, from the .stdin file.
        self.write("interrupted.tvl", "Wait 20000\n")
        self.write("interrupted.stdin", "interrupt\n")
        # .stdin answers a question, .args defines a symbol (CR LF lines,
        # a blank line left out).
        self.write("answered.tvl", 'Question "Dál?"\nIfDef CONSENT sendx\n')
        self.write("answered.stdin", "no\n")
        self.write("defined.tvl", "IfNotDef GO sendx\nIfNotDef ALSO sendx\n")
        self.write("defined.args", "-d\r\nGO\r\n\r\n-D\r\nALSO\r\n")
        self.write("badargs.tvl", "Comment x\n")
        self.write("badargs.args", "-x\n")
        status, out, err = self.suite("-j", "3", "pass.tvl", "fail.tvl", "stall.tvl",
                                      "interrupted.tvl", "answered.tvl", "defined.tvl",
                                      "badargs.tvl", "sub/missing.tvl")
        self.assertEqual((status, err), (1, ""))
        lines = out.splitlines()
        self.assertEqual(lines[-1], "3 passed, 5 failed", out)
        causes = {}
        for line in lines[:-1]:
            verdict, rest = line.split(": ", 1)
            name, rest = rest.split(" (", 1)
            seconds, _, cause = rest.partition(" s)")
            float(seconds.replace(",", "."))
            causes[name] = (verdict, cause)
        missing = os.path.join(self.dir, "sub/missing.tvl")
        self.assertEqual(causes, {
            "pass.tvl": ("prošel", ""),
            "fail.tvl": ("selhal", ": Neznámý příkaz scriptu: SENDX"),
            "stall.tvl": ("selhal", ": Čekání, které už nic nemůže ukončit: okno zavřeno."),
            "interrupted.tvl": ("selhal", ": Běh přerušen obsluhou."),
            "answered.tvl": ("prošel", ""),
            "defined.tvl": ("prošel", ""),
            "badargs.tvl": ("selhal", ": Chyba v argumentech programu: Neznámý parametr: x"),
            "sub/missing.tvl": ("selhal", ": Nelze otevřít pro čtení soubor " + missing),
        })

        # Every script passes: status 0.
        status, out, _ = self.suite("pass.tvl", "answered.tvl")
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[-1], "2 passed, 0 failed")

    def test_time_limit_ends_the_whole_run(self):
        # A run past the limit is ended and says so; the other goes on.
        self.write("hang.tvl", "Wait 30000\n")
        self.write("quick.tvl", "Wait 100\n")
        started = time.monotonic()
        status, out, _ = self.suite("--time-limit", "0.5", "-j", "2", "hang.tvl", "quick.tvl")
        elapsed = time.monotonic() - started
        self.assertEqual(status, 1)
        self.assertLess(elapsed, 5)
        lines = sorted(out.splitlines()[:-1])
        self.assertTrue(lines[0].startswith("prošel: quick.tvl ("), lines)
        self.assertRegex(lines[1], r"^selhal: hang\.tvl \(0,[5-9]\d s\): "
                         r"Běh překročil časový limit 0,500 s a byl ukončen\.$")
        self.assertEqual(out.splitlines()[-1], "1 passed, 1 failed")
        self.assertEqual(processes_mentioning(os.path.join(self.dir, "hang.tvl")), [])

    def test_scripts_own_time_limit(self):
        # A Timeout of the script's own that runs out: status 3 from the real
        # program, told apart from other failures.
        port = free_port()
        self.write("own-limit.tvl", f"Timeout 200\nAccept {port}\n")
        status, out, _ = self.suite("own-limit.tvl")
        self.assertEqual(status, 1)
        line = re.sub(r" \(\d+,\d\d s\)", "", out.splitlines()[0])
        self.assertEqual(line, "selhal: own-limit.tvl: Script ukončen svým časovým limitem. "
                         "Vypršel časový limit příkazu Accept")

    def test_stand_in_program(self):
        # A stand-in for the program: status 3 (the script's own time limit)
        # after leaving a child behind that holds the output pipe open, and a
        # run that dies of a signal. Neither may hang the suite, and the child
        # goes with its run.
        fake = os.path.join(self.dir, "fake.sh")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\n"
                    'case "$1" in\n'
                    '  */own-limit.tvl) sleep 31.4159 &\n'
                    '    echo "[*** CHYBA ***] Text, který runner nečte"\n'
                    "    printf 'tarvelin-result 1\\noutcome timed-out\\nbox Limit\\nexit 3\\n'"
                    ' > "$TARVELIN_RESULT"; exit 3;;\n'
                    "  *) kill -SEGV $$;;\n"
                    "esac\n")
        os.chmod(fake, 0o755)
        self.write("own-limit.tvl", "Comment x\n")
        self.write("crash.tvl", "Comment x\n")
        started = time.monotonic()
        p = subprocess.run([SUITE, "--program", fake, "own-limit.tvl", "crash.tvl"],
                           cwd=self.dir, env=self.env(), stdout=subprocess.PIPE, timeout=60)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(p.returncode, 1)
        lines = sorted(re.sub(r" \(\d+,\d\d s\)", "", line)
                       for line in p.stdout.decode().splitlines()[:-1])
        self.assertEqual(lines, ["selhal: crash.tvl: Program ukončen signálem 11.",
                                 "selhal: own-limit.tvl: Script ukončen svým časovým limitem. "
                                 "Limit"])
        self.assertEqual(processes_mentioning("31.4159"), [])

    def test_parallel_runs_against_peers(self):
        # Four clients, each held by its peer for a second before the
        # greeting: four at a time they take about one second, not four.
        names = []
        for i in range(4):
            port = free_port()
            self.peer(f'listen {port}\nsleep 1000\nsend "220 peer{i}\\r\\n"\n'
                      f'expect "HELO {i}\\r\\n"\nsend "250 ok\\r\\n"\nexpect-eof\n')
            self.write(f"c{i}.tvl", f'WaitFor LineStarting "220 peer{i}"\n'
                       f'Send "HELO {i}" cr lf\nWaitFor LineStarting "250"\nDisconnect\n')
            self.write(f"c{i}.args", f"-c\n127.0.0.1\n{port}\n")
            names.append(f"c{i}.tvl")
        started = time.monotonic()
        status, out, err = self.suite("-j", "4", "--junit", "r.xml", *names)
        elapsed = time.monotonic() - started
        self.assertEqual((status, err), (0, ""), out)
        self.assertLess(elapsed, 3.5)
        for p in self.peers:
            self.assertEqual(p.wait(timeout=10), 0, p.stderr.read())
        suite = ET.parse(os.path.join(self.dir, "r.xml")).getroot()
        self.assertEqual(suite.get("tests"), "4")
        self.assertEqual(suite.get("failures"), "0")
        for case in suite.iter("testcase"):
            self.assertGreaterEqual(float(case.get("time")), 0.9)

    def test_junit_report(self):
        self.write("ok.tvl", "Message \"Ahoj, světe\"\n")
        # Control bytes and a byte the code page leaves undefined in the log,
        # and markup characters everywhere.
        self.write("dirty.tvl", None,
                   raw=b"Comment a\x01b\x1bc\x81d <&> \"q\" ]]>\nMessage \"<&>\"\nsendx\n")
        self.write("sub/deep.tvl", "Comment \x9e\xe1\n".encode("latin-1").decode("cp1250")
                   + "nonsense\n")
        status, out, err = self.suite("--junit", "report.xml", "ok.tvl", "dirty.tvl",
                                      "sub/deep.tvl")
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines()[-1], "1 passed, 2 failed")
        suite = ET.parse(os.path.join(self.dir, "report.xml")).getroot()
        self.assertEqual(suite.tag, "testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures"), suite.get("errors")),
                         ("3", "2", "0"))
        self.assertGreaterEqual(float(suite.get("time")), 0)
        cases = {c.get("name"): c for c in suite.findall("testcase")}
        self.assertEqual(list(cases), ["ok.tvl", "dirty.tvl", "sub/deep.tvl"])
        self.assertEqual(cases["ok.tvl"].get("classname"), "tarvelin")
        self.assertEqual(cases["sub/deep.tvl"].get("classname"), "sub")

        ok = cases["ok.tvl"]
        self.assertIsNone(ok.find("failure"))
        self.assertEqual(ok.find("system-out").text,
                         "Program zahájen.\nInterpretuji soubor " +
                         os.path.join(self.dir, "ok.tvl") +
                         '\n$$ Message "Ahoj, světe"\nSoubor interpretován a uzavřen.\n'
                         "Konec programu.\n")
        self.assertEqual(ok.find("system-err").text, "[Zpráva scriptu] Ahoj, světe\n")

        dirty = cases["dirty.tvl"]
        failure = dirty.find("failure")
        self.assertEqual(failure.get("message"), "Neznámý příkaz scriptu: SENDX")
        self.assertEqual(failure.get("type"), "stav 1")
        self.assertEqual(failure.text, "Neznámý příkaz scriptu: SENDX\nStav ukončení: 1")
        log = dirty.find("system-out").text
        self.assertIn('$$ Comment a\ufffdb\ufffdc\ufffdd <&> "q" ]]>\n', log)
        self.assertEqual(dirty.find("system-err").text,
                         "[Zpráva scriptu] <&>\n[*** CHYBA ***] Neznámý příkaz scriptu: SENDX\n")
        self.assertIn("$$ Comment žá\n", cases["sub/deep.tvl"].find("system-out").text)

    def test_tap_report(self):
        self.write("a.tvl", "Comment a\n")
        # A name that would read as a TODO directive unless escaped.
        self.write("b # TODO.tvl", "sendx\n")
        self.write("c.tvl", 'Message "x"\nStop\n')
        status, out, err = self.suite("--tap", "a.tvl", "b # TODO.tvl", "c.tvl")
        self.assertEqual((status, err), (1, ""))
        self.assertTrue(out.startswith("TAP version 13\n1..3\n"), out)
        got = parse_tap(out)
        self.assertEqual(got[:2], ["test 1 ok - a.tvl", "test 2 not-ok - b \\# TODO.tvl"])
        self.assertRegex(got[2], r"^yaml duration_ms=\d+ exit=1 "
                         r"message=Neznámý příkaz scriptu: SENDX severity=fail$")
        self.assertEqual(got[3:], ["test 3 ok - c.tvl", "version 13", "plan 1..3 good=1",
                                   "errors 0"])

    def test_keep_folders(self):
        # Two scripts of one name in two folders, each with a capture file
        # beside it.
        for folder in ("one", "two"):
            self.write(f"{folder}/main.tvl",
                       f"OutputFile cap.txt\nCloseOutput\nComment {folder}\n")
        status, out, err = self.suite("--keep", "kept", "one/main.tvl", "two/main.tvl",
                                      "--junit", "r.xml")
        self.assertEqual((status, err), (0, ""), out)
        kept = os.path.join(self.dir, "kept")
        self.assertEqual(sorted(os.listdir(kept)), ["001-one_main", "002-two_main"])
        for folder, name in (("one", "001-one_main"), ("two", "002-two_main")):
            run = os.path.join(kept, name)
            self.assertEqual(sorted(os.listdir(run)),
                             ["TARVELIN.LOG", "cap.txt", "stderr.txt"])
            with open(os.path.join(run, "TARVELIN.LOG"), "rb") as f:
                self.assertIn(f"$$ Comment {folder}\r\n".encode(), f.read())
            self.assertIn(f"prošel: {folder}/main.tvl (", out)
            self.assertIn(f" s) [{run}]\n", out)
        # A second suite into the same folder keeps the first one's folders.
        status, _, _ = self.suite("--keep", "kept", "one/main.tvl")
        self.assertEqual(status, 0)
        self.assertEqual(sorted(os.listdir(kept)),
                         ["001-one_main", "001-one_main.2", "002-two_main"])

    def test_interrupted_suite_reports_finished_runs(self):
        self.write("quick.tvl", "Comment hotovo\n")
        self.write("slow.tvl", "Wait 30000\n")
        self.write("later.tvl", "Comment nikdy\n")
        for mode in ("junit", "tap"):
            with self.subTest(mode=mode):
                extra = ["--junit", "i.xml"] if mode == "junit" else ["--tap"]
                p = self.start("-j", "2", *extra, "quick.tvl", "slow.tvl", "slow.tvl",
                               "later.tvl")
                if mode == "junit":
                    first = p.stdout.readline().decode()
                    self.assertTrue(first.startswith("prošel: quick.tvl ("), first)
                else:
                    time.sleep(1)
                p.send_signal(signal.SIGINT)
                out, err = p.communicate(timeout=10)
                out, err = out.decode(), err.decode()
                self.assertEqual(p.returncode, 1)
                self.assertEqual(err, "tarvelin-suite: Sada přerušena, nespuštěno scriptů: 1.\n")
                self.assertEqual(processes_mentioning(os.path.join(self.dir, "slow.tvl")), [])
                cause = "Běh ukončen, protože byla přerušena sada."
                if mode == "junit":
                    self.assertEqual(out.splitlines()[-1], "1 passed, 2 failed")
                    suite = ET.parse(os.path.join(self.dir, "i.xml")).getroot()
                    self.assertEqual((suite.get("tests"), suite.get("failures")), ("3", "2"))
                    cases = suite.findall("testcase")
                    self.assertEqual([c.get("name") for c in cases],
                                     ["quick.tvl", "slow.tvl", "slow.tvl"])
                    self.assertIn("$$ Comment hotovo\n", cases[0].find("system-out").text)
                    for c in cases[1:]:
                        self.assertEqual(c.find("failure").get("message"), cause)
                        self.assertEqual(c.find("failure").get("type"), "signál 15")
                else:
                    got = parse_tap(out)
                    self.assertEqual(got[0], "test 1 ok - quick.tvl")
                    self.assertEqual(got[1], "test 2 not-ok - slow.tvl")
                    self.assertRegex(got[2], "message=" + cause)
                    self.assertEqual(got[-4:], ["comment # Sada přerušena, nespuštěno "
                                                "scriptů: 1", "version 13",
                                                "plan 1..3 good=1", "errors 0"])
                self.assertEqual(os.listdir(self.tmp), [])

    def test_wrong_command_line(self):
        self.write("a.tvl", "Comment a\n")
        for args, text in (
                ([], "Není zadán žádný script."),
                (["-j", "0", "a.tvl"], "Počet současných běhů musí být celé číslo od 1 do 1024: 0"),
                (["-j"], "Za volbou -j chybí hodnota."),
                (["--time-limit", "soon", "a.tvl"], "Časový limit musí být kladný počet sekund: soon"),
                (["--time-limit=-1", "a.tvl"], "Časový limit musí být kladný počet sekund: -1"),
                (["--tapp", "a.tvl"], "Neznámá volba: --tapp"),
                (["--program", "nothing-here", "a.tvl"],
                 "Program " + os.path.join(self.dir, "nothing-here") + " nelze spustit.")):
            with self.subTest(args=args):
                status, out, err = self.suite(*args)
                self.assertEqual((status, out), (2, ""))
                first, usage = err.split("\n", 1)
                self.assertEqual(first, "tarvelin-suite: " + text)
                self.assertTrue(usage.startswith("Použití: tarvelin-suite [-j N]"), usage)


def main():
    global SUITE, PROGRAM, PEER
    parser = argparse.ArgumentParser()
    parser.add_argument("--suite", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--peer", required=True)
    args, rest = parser.parse_known_args()
    SUITE, PROGRAM, PEER = (os.path.abspath(p) for p in (args.suite, args.program, args.peer))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
