#!/usr/bin/env python3
"""Tests of tarvelin-suite: whole suite runs of small scripts (passing,
failing, hanging, interrupted, flaky), with the test peer, the companion
.stdin and .args files, kept folders, shards, filters, retries, repeats, and
the JUnit and TAP reports read by a real XML parser, validated by xmllint
against the Ant and the Jenkins schemas (junit-ant.xsd, junit-jenkins.xsd),
and read by Perl's TAP::Parser, also while the suite runs. The memory of a
suite whose runs print much is measured.

    suite_test.py --suite build/tarvelin-suite --program build/tarvelin \
                  --peer build/tools/testpeer [unittest options]
"""

import argparse
import os
import pty
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
HERE = os.path.dirname(os.path.abspath(__file__))

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
  } elsif ($r->is_bailout) {
    print "bailout ", $r->explanation, "\n";
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


# Runs the command given as its arguments and prints each test as the
# parser reads it from the command's output, at once.
LIVE_TAP_READER = r"""
use strict; use warnings; use TAP::Parser;
$| = 1;
my $p = TAP::Parser->new({ exec => [@ARGV] });
while (my $r = $p->next) {
  print "test ", $r->number, " ", ($r->is_ok ? "ok" : "not-ok"), "\n" if $r->is_test;
}
printf "plan %s good=%d errors=%d exit=%d\n", $p->plan, ($p->is_good_plan ? 1 : 0),
  scalar($p->parse_errors), $p->exit;
"""


def validate_junit(path):
    """xmllint's verdict on the file under both schemas: {schema: (ok, text)}."""
    verdicts = {}
    for schema in ("junit-ant.xsd", "junit-jenkins.xsd"):
        p = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(HERE, schema), path],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        verdicts[schema] = (p.returncode == 0, p.stdout.decode("utf-8", "replace"))
    return verdicts


def testsuites(path):
    """The report's <testsuite> elements by name, in the order written."""
    root = ET.parse(path).getroot()
    assert root.tag == "testsuites", root.tag
    return {s.get("name"): s for s in root.findall("testsuite")}


def properties(testsuite):
    return {p.get("name"): p.get("value") for p in testsuite.find("properties")}


def vm_hwm_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


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


def wait_until_none_mentioning(text, seconds):
    """The processes still mentioning text once none do or seconds have passed."""
    deadline = time.monotonic() + seconds
    found = processes_mentioning(text)
    while found and time.monotonic() < deadline:
        time.sleep(0.05)
        found = processes_mentioning(text)
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

    def executable(self, name, text):
        """A program of the test (a stand-in, a player), by its absolute path."""
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)
        return path

    def env(self):
        env = dict(os.environ, TMPDIR=self.tmp)
        env.pop("TARVELIN", None)
        return env

    def suite(self, *args, check_tmp=True, cwd=None, env=None):
        p = subprocess.run([SUITE, "--program", PROGRAM] + list(args), cwd=cwd or self.dir,
                           env=env or self.env(), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
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
        # The window closed by the operator, and a dialog's Cancel.
        self.write("closed.tvl", "Wait 20000\n")
        self.write("closed.stdin", "close\n")
        self.write("cancelled.tvl", 'Input "Jméno?"\n')
        self.write("cancelled.stdin", "cancel\n")
        # The script's own Fail: its text (expanded) is the cause; without
        # one, the default text is.
        self.write("failed.tvl", 'SetText code "500"\nFail "Server odpověděl " code\nsendx\n')
        self.write("failedbare.tvl", "Fail\nsendx\n")
        status, out, err = self.suite("-j", "3", "pass.tvl", "fail.tvl", "stall.tvl",
                                      "interrupted.tvl", "answered.tvl", "defined.tvl",
                                      "badargs.tvl", "sub/missing.tvl", "closed.tvl",
                                      "cancelled.tvl", "failed.tvl", "failedbare.tvl")
        self.assertEqual((status, err), (1, ""))
        lines = out.splitlines()
        self.assertEqual(lines[-1], "3 passed, 9 failed", out)
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
            "closed.tvl": ("selhal", ": Běh ukončen zavřením okna."),
            "cancelled.tvl": ("selhal", ": Běh ukončen volbou Storno v dialogu."),
            "failed.tvl": ("selhal", ": Server odpověděl 500"),
            "failedbare.tvl": ("selhal", ": Script ohlásil chybu"),
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
        self.assertEqual(wait_until_none_mentioning(os.path.join(self.dir, "hang.tvl"), 5), [])

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
        # A stand-in for the program: status 3 (the script's own time limit,
        # which its result file tells) after leaving a child behind, and a run
        # that dies of a signal. Neither may hang the suite, the child goes
        # with its run, and what the stand-in prints is not read for a cause.
        fake = self.executable(
            "fake.sh",
            "#!/bin/sh\n"
            'case "$1" in\n'
            '  */own-limit.tvl) sleep 31.4159 &\n'
            '    echo "[*** CHYBA ***] Text, který runner nečte"\n'
            "    printf 'tarvelin-result 1\\noutcome timed-out\\nbox Limit\\nexit 3\\n'"
            ' > "$TARVELIN_RESULT"; exit 3;;\n'
            "  *) kill -SEGV $$;;\n"
            "esac\n")
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
        # A SIGKILL sent to the group takes effect when its members next run,
        # which on a loaded machine may be after the suite has ended.
        self.assertEqual(wait_until_none_mentioning("31.4159", 5), [])

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
        suites = testsuites(os.path.join(self.dir, "r.xml"))
        self.assertEqual(sorted(suites), names)
        for suite in suites.values():
            self.assertEqual((suite.get("tests"), suite.get("failures")), ("1", "0"))
            self.assertGreaterEqual(float(suite.find("testcase").get("time")), 0.9)

    def test_junit_report(self):
        self.write("ok.tvl", "Message \"Ahoj, světe\"\n")
        # Control bytes and a byte the code page leaves undefined in the log,
        # and markup characters everywhere.
        self.write("dirty.tvl", None,
                   raw=b"Comment a\x01b\x1bc\x81d <&> \"q\" ]]>\nMessage \"<&>\"\nsendx\n")
        self.write("sub/deep.tvl", "Comment \x9e\xe1\n".encode("latin-1").decode("cp1250")
                   + "Call inner.tvl\n")
        self.write("sub/inner.tvl", "Comment vnořený\n\nnonsense\n")
        # Given by its absolute path and twice; and a script that is missing.
        status, out, err = self.suite("--junit", "report.xml", "ok.tvl", "dirty.tvl",
                                      os.path.join(self.dir, "sub/deep.tvl"), "ok.tvl",
                                      "missing.tvl")
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines()[-1], "2 passed, 3 failed")
        path = os.path.join(self.dir, "report.xml")
        self.assertEqual(validate_junit(path), {"junit-ant.xsd": (True, path + " validates\n"),
                                                "junit-jenkins.xsd": (True, path + " validates\n")})
        suites = testsuites(path)
        # Names relative to the current folder, made unique.
        self.assertEqual(sorted(suites), ["dirty.tvl", "missing.tvl", "ok.tvl", "ok.tvl (2)",
                                          "sub/deep.tvl"])
        ids = sorted(int(s.get("id")) for s in suites.values())
        self.assertEqual(ids, [0, 1, 2, 3, 4])
        for name, suite in suites.items():
            case = suite.find("testcase")
            self.assertEqual(case.get("name"), name)
            self.assertEqual(suite.get("package"), case.get("classname"))
            self.assertTrue(suite.get("hostname"))
        self.assertEqual(suites["ok.tvl"].find("testcase").get("classname"), "tarvelin")
        self.assertEqual(suites["sub/deep.tvl"].find("testcase").get("classname"), "sub")

        ok = suites["ok.tvl"]
        self.assertEqual(list(ok.find("testcase")), [])
        self.assertEqual(properties(ok), {})
        self.assertEqual(ok.find("system-out").text,
                         "Program zahájen.\nInterpretuji soubor " +
                         os.path.join(self.dir, "ok.tvl") +
                         '\n$$ Message "Ahoj, světe"\nSoubor interpretován a uzavřen.\n'
                         "Konec programu.\n")
        self.assertEqual(ok.find("system-err").text, "[Zpráva scriptu] Ahoj, světe\n")

        dirty = suites["dirty.tvl"]
        self.assertEqual((dirty.get("tests"), dirty.get("failures"), dirty.get("errors")),
                         ("1", "1", "0"))
        failure = dirty.find("testcase/failure")
        self.assertEqual(failure.get("message"), "Neznámý příkaz scriptu: SENDX")
        self.assertEqual(failure.get("type"), "stav 1")
        self.assertEqual(failure.text, "Neznámý příkaz scriptu: SENDX\nMísto: dirty.tvl, řádka 3\n"
                         "Stav ukončení: 1")
        self.assertEqual(properties(dirty), {"tarvelin.file": "dirty.tvl", "tarvelin.line": "3"})
        log = dirty.find("system-out").text
        self.assertIn('$$ Comment a\ufffdb\ufffdc\ufffdd <&> "q" ]]>\n', log)
        self.assertEqual(dirty.find("system-err").text,
                         "[Zpráva scriptu] <&>\n[*** CHYBA ***] Neznámý příkaz scriptu: SENDX\n")

        # The line of the called file where the run failed.
        deep = suites["sub/deep.tvl"]
        self.assertIn("$$ Comment žá\n", deep.find("system-out").text)
        self.assertEqual(properties(deep), {"tarvelin.file": "sub/inner.tvl", "tarvelin.line": "3"})

        # A missing script could not be run as a test: an error.
        missing = suites["missing.tvl"]
        self.assertEqual((missing.get("failures"), missing.get("errors")), ("0", "1"))
        self.assertIsNone(missing.find("testcase/failure"))
        self.assertEqual(missing.find("testcase/error").get("message"),
                         "Nelze otevřít pro čtení soubor " + os.path.join(self.dir, "missing.tvl"))

        # --root: names and class names from there, from another folder.
        other = os.path.join(self.dir, "elsewhere")
        os.mkdir(other)
        status, _, _ = self.suite("--root", "..", "--junit", "r2.xml", "../sub/deep.tvl",
                                  cwd=other)
        self.assertEqual(status, 1)
        suites = testsuites(os.path.join(other, "r2.xml"))
        self.assertEqual(list(suites), ["sub/deep.tvl"])

    def test_the_schemas_are_strict(self):
        # The report as it used to be written (one testsuite, a testcase's own
        # output, no hostname or properties) is refused by the Ant schema, and a
        # testsuite without its counts by Jenkins'; so a report that both accept
        # says something.
        path = os.path.join(self.dir, "old.xml")
        with open(path, "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                    '<testsuite name="s" tests="1" failures="0" errors="0" skipped="0" '
                    'time="0.1" timestamp="2024-01-01T00:00:00"><testcase name="a" '
                    'classname="c" time="0.1"><system-out>x</system-out></testcase>'
                    '</testsuite>\n')
        verdicts = validate_junit(path)
        self.assertFalse(verdicts["junit-ant.xsd"][0])
        self.assertTrue(verdicts["junit-jenkins.xsd"][0], verdicts)
        with open(path, "w") as f:
            f.write('<testsuites><testsuite name="s"><testcase name="a"/></testsuite>'
                    '</testsuites>\n')
        self.assertFalse(validate_junit(path)["junit-jenkins.xsd"][0])

    def test_tap_report(self):
        self.write("a.tvl", "Comment a\n")
        # A name that would read as a TODO directive unless escaped.
        self.write("b # TODO.tvl", "sendx\n")
        self.write("c.tvl", 'Message "x"\nStop\n')
        # One at a time: lines come in the order the scripts end.
        status, out, err = self.suite("-j", "1", "--tap", "a.tvl", "b # TODO.tvl", "c.tvl")
        self.assertEqual((status, err), (1, ""))
        self.assertTrue(out.startswith("TAP version 13\n1..3\n"), out)
        got = parse_tap(out)
        self.assertEqual(got[:2], ["test 1 ok - a.tvl", "test 2 not-ok - b \\# TODO.tvl"])
        self.assertRegex(got[2], r"^yaml duration_ms=\d+ exit=1 file=b # TODO\.tvl line=1 "
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

    def test_interrupted_suite_reports_every_script(self):
        self.write("quick.tvl", "Comment hotovo\n")
        self.write("slow.tvl", "Wait 30000\n")
        self.write("later.tvl", "Comment nikdy\n")
        for mode in ("junit", "tap"):
            with self.subTest(mode=mode):
                extra = ["--junit", "i.xml"] if mode == "junit" else ["--tap"]
                p = self.start("-j", "2", *extra, "quick.tvl", "slow.tvl", "slow.tvl",
                               "later.tvl")
                # The first script's report comes as soon as it ends.
                first = p.stdout.readline().decode()
                if mode == "junit":
                    self.assertTrue(first.startswith("prošel: quick.tvl ("), first)
                else:
                    self.assertEqual(first, "TAP version 13\n")
                    for expected in ("1..4\n", "ok 1 - quick.tvl\n"):
                        first += p.stdout.readline().decode()
                        self.assertTrue(first.endswith(expected), first)
                # Both slow runs are under way (on a loaded machine the
                # second may take a while to start) before the interruption.
                slow = os.path.join(self.dir, "slow.tvl")
                deadline = time.monotonic() + 20
                while len(processes_mentioning(slow)) < 2 and time.monotonic() < deadline:
                    time.sleep(0.05)
                time.sleep(0.1)
                p.send_signal(signal.SIGINT)
                out, err = p.communicate(timeout=10)
                out, err = first + out.decode(), err.decode()
                self.assertEqual(p.returncode, 130)
                self.assertEqual(err, "tarvelin-suite: Sada přerušena, nespuštěno scriptů: 1.\n")
                self.assertEqual(wait_until_none_mentioning(os.path.join(self.dir, "slow.tvl"), 5), [])
                cause = "Běh ukončen, protože byla přerušena sada."
                skipped = "Nespuštěn: sada byla přerušena."
                if mode == "junit":
                    self.assertEqual(out.splitlines()[-1], "1 passed, 2 failed, 1 skipped")
                    path = os.path.join(self.dir, "i.xml")
                    self.assertTrue(all(ok for ok, _ in validate_junit(path).values()))
                    suites = testsuites(path)
                    # Written as they end: the two ended ones in either order.
                    names = list(suites)
                    self.assertEqual((names[0], sorted(names[1:3]), names[3]),
                                     ("quick.tvl", ["slow.tvl", "slow.tvl (2)"], "later.tvl"))
                    self.assertIn("$$ Comment hotovo\n", suites["quick.tvl"].find("system-out").text)
                    for name in ("slow.tvl", "slow.tvl (2)"):
                        failure = suites[name].find("testcase/failure")
                        self.assertEqual(failure.get("message"), cause)
                        self.assertEqual(failure.get("type"), "signál 15")
                    later = suites["later.tvl"]
                    self.assertEqual((later.get("tests"), later.get("skipped")), ("1", "1"))
                    self.assertEqual(later.find("testcase/skipped").get("message"), skipped)
                else:
                    got = parse_tap(out)
                    self.assertEqual(got[0], "test 1 ok - quick.tvl")
                    tests = [g for g in got if g.startswith("test ")]
                    # Numbered as they end.
                    self.assertEqual(sorted(t.split(" ", 2)[2] for t in tests[1:3]),
                                     ["not-ok - slow.tvl", "not-ok - slow.tvl (2)"])
                    self.assertEqual(tests[3], "test 4 ok - later.tvl directive=SKIP")
                    self.assertRegex(got[2], "message=" + cause)
                    self.assertEqual(got[-4:], ["bailout Sada přerušena, nespuštěno scriptů: 1",
                                                "version 13", "plan 1..4 good=1", "errors 0"])
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
                 "Program " + os.path.join(self.dir, "nothing-here") + " nelze spustit."),
                (["--shard", "3/2", "a.tvl"], "Část sady musí mít tvar K/N, kde 1 <= K <= N: 3/2"),
                (["--shard=1", "a.tvl"], "Část sady musí mít tvar K/N, kde 1 <= K <= N: 1"),
                (["--retries", "-1", "a.tvl"], "Volba --retries potřebuje celé číslo od 0 do 100: -1"),
                (["--repeat", "0", "a.tvl"], "Volba --repeat potřebuje celé číslo od 1 do 100000: 0"),
                (["--re", "1", "a.tvl"], "Nejednoznačná volba: --re"),
                (["--list=yes", "a.tvl"], "Volba --list nemá hodnotu."),
                (["--fail-fast", "--max-failures", "2", "a.tvl"],
                 "Volby --fail-fast a --max-failures nelze zadat spolu."),
                (["--max-failures=1", "a.tvl", "--fail-fast"],
                 "Volby --fail-fast a --max-failures nelze zadat spolu."),
                (["--filter=", "a.tvl"], "Volba --filter potřebuje neprázdnou hodnotu."),
                (["--root", "nowhere", "a.tvl"],
                 "Složka " + os.path.join(self.dir, "nowhere") + " neexistuje.")):
            with self.subTest(args=args):
                status, out, err = self.suite(*args)
                self.assertEqual((status, out), (2, ""))
                first, usage = err.split("\n", 1)
                self.assertEqual(first, "tarvelin-suite: " + text)
                self.assertTrue(usage.startswith("Použití: tarvelin-suite [-j N]"), usage)

    def test_unwritable_report_is_found_before_any_run(self):
        self.write("writes.tvl", "OutputFile ran.txt\nCloseOutput\n")
        status, out, err = self.suite("--junit", "no/such/folder/r.xml", "writes.tvl")
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(err, "tarvelin-suite: Nelze zapsat zprávu no/such/folder/r.xml: "
                         "No such file or directory\n")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "ran.txt")))

    def test_shards_filters_and_list(self):
        names = []
        for i in range(30):
            names.append(self.write(f"{('smtp', 'http', 'misc')[i % 3]}/t{i:02d}.tvl",
                                    "Comment x\n"))
        self.write("http/slow-big.tvl", "Comment x\n")
        names.append("http/slow-big.tvl")
        status, out, err = self.suite("--list", *names)
        self.assertEqual((status, out.splitlines(), err), (0, names, ""))

        # Every script in exactly one shard; the same split from another
        # folder, the scripts given in another order, with --root.
        shards = []
        for k in (1, 2, 3):
            status, out, _ = self.suite("--list", "--shard", f"{k}/3", *names)
            self.assertEqual(status, 0)
            shards.append(out.splitlines())
            self.assertTrue(shards[-1], "an empty shard out of 31 scripts")
        self.assertEqual(sorted(sum(shards, [])), sorted(names))
        other = os.path.join(self.dir, "misc")
        for k in (1, 2, 3):
            _, out, _ = self.suite("--list", "--root", "..", "--shard", f"{k}/3",
                                   *("../" + n for n in reversed(names)), cwd=other)
            self.assertEqual(sorted(n[3:] for n in out.splitlines()), sorted(shards[k - 1]))

        # The shards' JUnit files together hold every script once.
        reported = []
        for k in (1, 2, 3):
            status, out, _ = self.suite("--shard", f"{k}/3", "--junit", f"s{k}.xml", *names)
            self.assertEqual(status, 0, out)
            reported += list(testsuites(os.path.join(self.dir, f"s{k}.xml")))
        self.assertEqual(sorted(reported), sorted(names))

        # A pattern without a slash is matched with the file name, one with a
        # slash with the whole name; filters add up, exclusions take away.
        _, out, _ = self.suite("--list", "--filter", "smtp/*", "--filter", "slow-*",
                               "--exclude", "t0*", *names)
        self.assertEqual(out.splitlines(),
                         [n for n in names if (n.startswith("smtp/") or "slow-" in n)
                          and not os.path.basename(n).startswith("t0")])
        status, out, _ = self.suite("--filter", "nothing*", "--tap", *names)
        self.assertEqual((status, out), (0, "TAP version 13\n1..0\n"))

    def test_retries_report_a_flaky_script(self):
        # The first run defines FAILED from state.tvl and empties that file
        # before it fails; the second passes.
        self.write("flaky.tvl", "Call state.tvl\nCall empty-state.tvl\nIfDef FAILED sendx\n")
        self.write("state.tvl", "Define FAILED\n")
        self.write("empty-state.tvl", "OutputFile state.tvl\nCloseOutput\n")
        self.write("bad.tvl", "sendx\n")
        self.write("good.tvl", "Comment x\n")
        status, out, _ = self.suite("-j", "1", "--retries", "2", "--junit", "r.xml", "flaky.tvl",
                                    "bad.tvl", "good.tvl")
        self.assertEqual(status, 1)
        lines = [re.sub(r" \(\d+,\d\d s(, \d\. pokus)?\)", "", line) for line in out.splitlines()]
        self.assertEqual(lines, [
            "opakuji: flaky.tvl: Neznámý příkaz scriptu: SENDX",
            "nestabilní: flaky.tvl: prošel na 2. pokus, předtím: Neznámý příkaz scriptu: SENDX",
            "opakuji: bad.tvl: Neznámý příkaz scriptu: SENDX",
            "opakuji: bad.tvl: Neznámý příkaz scriptu: SENDX",
            "selhal: bad.tvl: Neznámý příkaz scriptu: SENDX",
            "prošel: good.tvl",
            "1 passed, 1 failed, 1 flaky"])
        path = os.path.join(self.dir, "r.xml")
        self.assertTrue(all(ok for ok, _ in validate_junit(path).values()))
        suites = testsuites(path)
        self.assertEqual(properties(suites["flaky.tvl"]), {
            "tarvelin.attempts": "2", "tarvelin.flaky": "1",
            "tarvelin.flaky.cause": "Neznámý příkaz scriptu: SENDX"})
        self.assertEqual(suites["flaky.tvl"].get("failures"), "0")
        self.assertEqual(properties(suites["bad.tvl"])["tarvelin.attempts"], "3")

        self.write("state.tvl", "Define FAILED\n")
        status, out, _ = self.suite("-j", "1", "--retries", "1", "--tap", "flaky.tvl")
        self.assertEqual(status, 0)
        got = parse_tap(out)
        self.assertEqual(got[:3], ["test 1 ok - flaky.tvl",
                                   "comment # nestabilní: flaky.tvl prošel na 2. pokus, předtím: "
                                   "Neznámý příkaz scriptu: SENDX",
                                   got[2]])
        self.assertRegex(got[2], r"^yaml attempts=2 duration_ms=\d+$")

    def test_fail_fast_and_max_failures(self):
        for name, text in (("ok1", "Comment x\n"), ("bad1", "sendx\n"), ("ok2", "Comment x\n"),
                           ("bad2", "sendx\n"), ("ok3", "Comment x\n")):
            self.write(f"{name}.tvl", text)
        order = ["ok1.tvl", "bad1.tvl", "ok2.tvl", "bad2.tvl", "ok3.tvl"]
        status, out, _ = self.suite("-j", "1", "--fail-fast", "--junit", "f.xml", *order)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines()[-1], "1 passed, 1 failed, 3 skipped")
        path = os.path.join(self.dir, "f.xml")
        self.assertTrue(all(ok for ok, _ in validate_junit(path).values()))
        suites = testsuites(path)
        self.assertEqual(list(suites), order)
        for name in order[2:]:
            self.assertEqual(suites[name].find("testcase/skipped").get("message"),
                             "Nespuštěn: sada skončila po prvním selhání.")
            self.assertIsNone(suites[name].find("system-out").text)

        status, out, _ = self.suite("-j", "1", "--max-failures", "2", "--tap", *order)
        self.assertEqual(status, 1)
        got = parse_tap(out)
        tests = [g for g in got if g.startswith("test ")]
        self.assertEqual(tests, ["test 1 ok - ok1.tvl", "test 2 not-ok - bad1.tvl",
                                 "test 3 ok - ok2.tvl", "test 4 not-ok - bad2.tvl",
                                 "test 5 ok - ok3.tvl directive=SKIP"])
        self.assertIn("plan 1..5 good=1", got)
        self.assertNotIn("bailout", " ".join(got))

    def test_repeat_summarizes_times(self):
        self.write("load.tvl", "Wait 100\n")
        status, out, _ = self.suite("-j", "2", "--repeat", "4", "--junit", "r.xml", "--tap",
                                    "load.tvl")
        self.assertEqual(status, 0)
        got = parse_tap(out)
        self.assertEqual(got[0], "test 1 ok - load.tvl")
        fields = dict(kv.split("=") for kv in got[1].split()[1:])
        self.assertEqual((fields["runs"], fields["failed_runs"]), ("4", "0"))
        times = [int(fields[k]) for k in ("min_ms", "median_ms", "p95_ms", "max_ms")]
        self.assertEqual(times, sorted(times))
        self.assertGreaterEqual(times[0], 100)
        self.assertGreaterEqual(int(fields["duration_ms"]), 4 * 100)
        props = properties(testsuites(os.path.join(self.dir, "r.xml"))["load.tvl"])
        self.assertEqual((props["tarvelin.runs"], props["tarvelin.runs.failed"]), ("4", "0"))
        self.assertGreaterEqual(float(props["tarvelin.time.min"]), 0.1)
        self.assertLessEqual(float(props["tarvelin.time.median"]),
                             float(props["tarvelin.time.max"]))

        # One of the runs fails: the script fails, the first failure is shown.
        self.write("sometimes.tvl", "Call state.tvl\nCall empty-state.tvl\nIfDef FAILED sendx\n")
        self.write("state.tvl", "Define FAILED\n")
        self.write("empty-state.tvl", "OutputFile state.tvl\nCloseOutput\n")
        status, out, _ = self.suite("-j", "1", "--repeat", "3", "--keep", "kept",
                                    "sometimes.tvl")
        self.assertEqual(status, 1)
        self.assertRegex(out.splitlines()[0],
                         r"^selhal: sometimes\.tvl \(běhů: 3, selhalo: 1; min \d+,\d\d s, "
                         r"medián \d+,\d\d s, p95 \d+,\d\d s, max \d+,\d\d s\): "
                         r"Neznámý příkaz scriptu: SENDX \[.*/kept/001\.1-sometimes\]$")
        self.assertEqual(sorted(os.listdir(os.path.join(self.dir, "kept"))),
                         ["001.1-sometimes", "001.2-sometimes", "001.3-sometimes"])

    def test_live_tap_while_the_suite_runs(self):
        # TAP::Parser reads the suite's output as it comes: the first script's
        # line arrives while the second still runs.
        self.write("quick.tvl", "Comment x\n")
        self.write("slow.tvl", "Wait 1500\n")
        p = subprocess.Popen(["perl", "-e", LIVE_TAP_READER, SUITE, "--program", PROGRAM,
                              "--tap", "-j", "1", "quick.tvl", "slow.tvl", "quick.tvl"],
                             cwd=self.dir, env=self.env(), stdout=subprocess.PIPE)
        arrived = []
        with p.stdout:
            for line in p.stdout:
                arrived.append((time.monotonic(), line.decode().strip()))
        self.assertEqual(p.wait(timeout=30), 0)
        self.assertEqual([text for _, text in arrived],
                         ["test 1 ok", "test 2 ok", "test 3 ok",
                          "plan 1..3 good=1 errors=0 exit=0"])
        self.assertGreater(arrived[1][0] - arrived[0][0], 1.0)

    def test_progress_on_a_terminal(self):
        for i in range(3):
            self.write(f"p{i}.tvl", "Comment x\n" if i != 1 else "sendx\n")
        master, slave = pty.openpty()
        p = subprocess.Popen([SUITE, "--program", PROGRAM, "-j", "1", "p0.tvl", "p1.tvl",
                              "p2.tvl"], cwd=self.dir, env=self.env(), stdout=subprocess.PIPE,
                             stderr=slave)
        os.close(slave)
        with p.stdout:
            out = p.stdout.read().decode()
        p.wait(timeout=30)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        shown = shown.decode()
        for k, text in enumerate(("0/3", "1/3", "2/3 (neúspěšných: 1)", "3/3 (neúspěšných: 1)")):
            self.assertIn(text, shown)
        # Cleared before each line and at the end; nothing of it on standard
        # output.
        self.assertTrue(shown.endswith("\r\x1b[K"), repr(shown))
        self.assertEqual(out.splitlines()[-1], "2 passed, 1 failed")
        self.assertNotIn("/3", out)

    def test_failed_start_names_its_reason(self):
        self.write("long.tvl", "Comment x\n")
        self.write("long.args", "-d\n" + "X" * 200000 + "\n")
        status, out, _ = self.suite("--junit", "r.xml", "long.tvl")
        self.assertEqual(status, 1)
        self.assertRegex(out.splitlines()[0], r"^selhal: long\.tvl \(0,00 s\): Nelze spustit "
                         r"program .*: argumenty a proměnné prostředí jsou příliš dlouhé \(E2BIG\)$")
        error = testsuites(os.path.join(self.dir, "r.xml"))["long.tvl"].find("testcase/error")
        self.assertEqual(error.get("type"), "běh nespuštěn")
        # A program whose interpreter is missing, and one whose interpreter
        # may not be run.
        self.write("x.tvl", "Comment x\n")
        interpreter = os.path.join(self.dir, "not-executable")
        self.write("not-executable", "#!/bin/sh\n")
        for name, first_line, reason in (
                ("missing.sh", "#!/no/such/interpreter\n",
                 "soubor nebo jeho interpret neexistuje (ENOENT)"),
                ("denied.sh", f"#!{interpreter}\n", "chybí oprávnění ke spuštění (EACCES)")):
            program = self.executable(name, first_line)
            p = subprocess.run([SUITE, "--program", program, "x.tvl"], cwd=self.dir,
                               env=self.env(), stdout=subprocess.PIPE, timeout=30)
            self.assertEqual(p.returncode, 1)
            self.assertEqual(p.stdout.decode().splitlines()[0],
                             f"selhal: x.tvl (0,00 s): Nelze spustit program {program}: {reason}")

    def test_sound_player_ends_with_its_run(self):
        # A player that hands the sound to a child of its own: neither may
        # outlive the run, whether the run ends by itself or by the suite's
        # time limit.
        bin_dir = os.path.join(self.dir, "bin")
        self.addCleanup(lambda: [os.kill(pid, signal.SIGKILL)
                                 for pid in processes_mentioning("27.1828")])
        self.executable("bin/paplay",
                        f"#!/bin/sh\necho \"$1\" >> {self.dir}/played\nsleep 27.1828 &\nwait\n")
        env = dict(self.env(), PATH=bin_dir + ":" + os.environ["PATH"])
        self.write("bell.wav", "RIFF")
        self.write("ends.tvl", "Signalize bell.wav\nWait 300\n")
        self.write("hangs.tvl", "Signalize bell.wav\nWait 30000\n")
        for script, limit, verdict in (("ends.tvl", "60", "prošel"),
                                       ("hangs.tvl", "1", "selhal")):
            with self.subTest(script=script):
                status, out, _ = self.suite("--time-limit", limit, script, env=env)
                self.assertTrue(out.startswith(verdict + ": " + script), out)
                # Killed with the run's group, the player's child is gone as
                # soon as the kernel has ended it: a busy machine may take a
                # moment, a child outside the group would stay for 27 s.
                self.assertEqual(wait_until_none_mentioning("27.1828", 5), [])
        with open(os.path.join(self.dir, "played")) as f:
            self.assertEqual(f.read(), 2 * (os.path.join(self.dir, "bell.wav") + "\n"))

    def test_result_file_of_the_headless_program(self):
        # The headless program writes its result only when asked, and behaves
        # the same either way.
        self.write("main.tvl", "OutputFile cap.txt\nCloseOutput\nCall sub/inner.tvl\n")
        self.write("sub/inner.tvl", "Comment a\nMessage \"x\\y\"\nsendx\n")
        runs = []
        for result in (None, os.path.join(self.dir, "result.txt")):
            folder = os.path.join(self.dir, f"run{len(runs)}")
            os.mkdir(folder)
            env = self.env()
            if result:
                env["TARVELIN_RESULT"] = result
            p = subprocess.run([PROGRAM, os.path.join(self.dir, "main.tvl")], cwd=folder,
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, timeout=30)
            with open(os.path.join(folder, "TARVELIN.LOG"), "rb") as f:
                runs.append((p.returncode, p.stdout, p.stderr, f.read()))
        self.assertEqual(runs[0], runs[1])
        with open(os.path.join(self.dir, "result.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "tarvelin-result 1\n"
                             f"log {self.dir}/run1/TARVELIN.LOG\n"
                             f"capture {self.dir}/cap.txt\n"
                             "outcome failed\n"
                             "box Neznámý příkaz scriptu: SENDX\n"
                             f"file {self.dir}/sub/inner.tvl\n"
                             "line 3\n"
                             "exit 1\n")
        # A wrong command line, with a text that needs escapes.
        p = subprocess.run([PROGRAM, "-x", "a"], cwd=self.dir,
                           env=dict(self.env(), TARVELIN_RESULT="r2.txt"),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        self.assertEqual(p.returncode, 2)
        with open(os.path.join(self.dir, "r2.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "tarvelin-result 1\noutcome arguments\n"
                             "box Neznámý parametr: x\nexit 2\n")

    def test_junit_carries_long_output_whole(self):
        # Output read back in pieces: characters of several bytes, bytes that
        # are no UTF-8 and markup, across every piece's edge.
        unit = "žluťoučký <kůň> & \U0001F600\x01 ".encode() + b"\xff\xc5"
        data = unit * 20000
        log = b"$$ \x9e\r\n" * 30000
        self.write("out.bin", None, raw=data)
        self.write("log.bin", None, raw=log)
        fake = self.executable("fake.sh", f"#!/bin/sh\ncat {self.dir}/out.bin\n"
                               f"cp {self.dir}/log.bin TARVELIN.LOG\n")
        self.write("big.tvl", "Comment x\n")
        p = subprocess.run([SUITE, "--program", fake, "--junit", "r.xml", "big.tvl"],
                           cwd=self.dir, env=self.env(), stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 0)
        suite = testsuites(os.path.join(self.dir, "r.xml"))["big.tvl"]
        expected = data.decode("utf-8", "replace").replace("\x01", "\ufffd")
        self.assertEqual(suite.find("system-err").text, expected)
        self.assertEqual(suite.find("system-out").text, "$$ ž\n" * 30000)

    def test_memory_does_not_grow_with_output(self):
        # 200 runs of a stand-in that prints 10 MB each, four at a time, with
        # a JUnit report (thrown away) and TAP: the suite's peak stays small.
        # A sanitizer build runs 20 of them (the thread sanitizer's makes
        # each copy of the output several times slower), with the address
        # sanitizer's quarantine of freed memory (256 MB unless told) kept
        # small so that the peak is the suite's own.
        with open(SUITE, "rb") as f:
            binary = f.read()
        sanitized = b"__asan_init" in binary or b"__tsan_init" in binary
        runs = 20 if sanitized else 200
        env = self.env()
        if sanitized:
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                         "quarantine_size_mb=1"]))
        corpus = os.path.join(self.dir, "corpus")
        os.mkdir(corpus)
        line = "Řádek výstupu číslo 12345 <&> \"q\" ]]> a trochu ASCII textu kolem něj.\n"
        unit = line.encode()
        with open(os.path.join(corpus, "out.bin"), "wb") as f:
            f.write((unit * (10_000_000 // len(unit) + 1))[:10_000_000])
        with open(os.path.join(corpus, "log.bin"), "wb") as f:
            f.write("$$ Message \"x\"\r\n".encode("cp1250") * 20000)
        fake = self.executable("corpus/fake.sh", f"#!/bin/sh\ncat {corpus}/out.bin\n"
                               f"cp {corpus}/log.bin TARVELIN.LOG\n")
        names = []
        for i in range(runs):
            names.append(f"corpus/s{i:03d}.tvl")
            self.write(names[-1], "Comment x\n")
        p = subprocess.Popen([SUITE, "--program", fake, "-j", "4", "--junit", "/dev/null",
                              "--tap"] + names, cwd=self.dir, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        peak = 0
        lines = 0
        # The peak so far is read after each line of TAP, and once more after
        # the last.
        with p.stdout, p.stderr:
            for _ in p.stdout:
                lines += 1
                peak = max(peak, vm_hwm_kib(p.pid))
            peak = max(peak, vm_hwm_kib(p.pid))
            err = p.stderr.read()
        self.assertEqual(p.wait(timeout=120), 0, err)
        self.assertEqual(lines, runs + 2)
        print(f"\n  peak RSS of the suite: {peak} KiB over {runs} runs of 10 MB output",
              file=sys.stderr)
        self.assertGreater(peak, 0)
        self.assertLess(peak, 64 * 1024)


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
