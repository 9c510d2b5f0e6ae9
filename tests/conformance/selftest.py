#!/usr/bin/env python3
"""Tests of the conformance harness and of the test peer: a harness or a peer
that let a wrong run pass would make every case worthless.

    selftest.py [--peer PATH] [unittest options]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402

PEER = os.environ.get("TESTPEER", os.path.join(run.REPO, "build", "tools", "testpeer"))


class Text(unittest.TestCase):
    def encode(self, line, codec="cp1250"):
        return run.encode_line(line, codec, "test")

    def test_markers(self):
        self.assertEqual(self.encode("a⟨00⟩b⟨81 ff⟩"), (b"a\x00b\x81\xff", False))
        self.assertEqual(self.encode("⟨3*ab⟩!"), (b"ababab!", False))
        self.assertEqual(self.encode("end⟨noeol⟩"), (b"end", True))
        self.assertEqual(self.encode("⟨⟩"), (b"", False))
        self.assertEqual(self.encode("Příliš"), ("Příliš".encode("cp1250"), False))
        self.assertEqual(self.encode("Příliš", "utf-8"), ("Příliš".encode("utf-8"), False))

    def test_bad_markers(self):
        for line in ("⟨zz⟩", "⟨0⟩", "⟨noeol⟩x", "a⟨00", "a⟩", "日本"):
            with self.subTest(line=line), self.assertRaises(run.CaseError):
                self.encode(line)

    def test_repeat_blocks(self):
        lines = ["a", "⟨repeat 2⟩", "b", "⟨repeat 3⟩", "c", "⟨end⟩", "⟨end⟩", "d"]
        self.assertEqual(run.expand_blocks(lines, "t"),
                         ["a", "b", "c", "c", "c", "b", "c", "c", "c", "d"])
        self.assertEqual(run.expand_blocks(["⟨repeat 0⟩", "x", "⟨end⟩"], "t"), [])
        for lines in (["⟨repeat 2⟩", "x"], ["x", "⟨end⟩"]):
            with self.subTest(lines=lines), self.assertRaises(run.CaseError):
                run.expand_blocks(lines, "t")

    def test_build_text(self):
        s = run.Section("file", "x", ["${PORT} ${DIR}", "two⟨noeol⟩"], 1)
        self.assertEqual(run.build_text(s, {"PORT": "7", "DIR": "/d"}, "cp1250", b"\r\n"),
                         b"7 /d\r\ntwo")
        s = run.Section("file", "x", ["a", "⟨repeat 2⟩", "b", "⟨end⟩"], 1)
        self.assertEqual(run.build_text(s, {}, "cp1250", b"\n"), b"a\nb\nb\n")
        with self.assertRaises(run.CaseError):
            run.build_text(run.Section("file", "x", ["${NOPE}"], 1), {}, "cp1250", b"\n")
        with self.assertRaises(run.CaseError):
            run.build_text(run.Section("file", "x", ["a⟨noeol⟩", "b"], 1), {}, "cp1250", b"\n")

    def test_render_shows_every_byte(self):
        self.assertEqual(run.render(b"a\r\nb\r\n", "cp1250", True), ["a", "b"])
        self.assertEqual(run.render(b"a\nb\rc\r\n", "cp1250", True), ["a⟨0A⟩b⟨0D⟩c"])
        self.assertEqual(run.render(b"a\r\nb", "cp1250", True), ["a", "b⟨noeol⟩"])
        self.assertEqual(run.render(b"x\x81\x00 \r\n", "cp1250", True), ["x⟨81⟩⟨00⟩ ⟨⟩"])
        self.assertEqual(run.render(b"\xc3\xa9\xff\n", "utf-8", False), ["é⟨FF⟩"])
        self.assertEqual(run.render(b"", "cp1250", True), [])

    def test_render_round_trip(self):
        samples = [
            b"Program zah\xe1jen.\r\n$$ \x00\x81\r\n",
            b"lone\rcr and lone\nlf\r\n\r\n\r\nend",
            bytes(range(256)) + b"\r\n",
            b"\t \r\n",
        ]
        for data in samples:
            for crlf in (True, False):
                with self.subTest(data=data, crlf=crlf):
                    lines = run.render(data, "cp1250", crlf)
                    section = run.Section("expect", "", lines, 1)
                    eol = b"\r\n" if crlf else b"\n"
                    self.assertEqual(run.build_text(section, {}, "cp1250", eol), data)

    def test_compare(self):
        self.assertIsNone(run.compare("log", b"a\r\n", b"a\r\n", "cp1250", True))
        report = run.compare("log", b"a\r\nb\r\n", b"a\r\nc\r\n", "cp1250", True)
        self.assertIn("first difference at byte 3", report)
        self.assertIn("-b", report.splitlines())
        self.assertIn("+c", report.splitlines())
        # A difference in the line ends alone still shows in the diff.
        report = run.compare("log", b"a\r\n", b"a\n", "cp1250", True)
        self.assertIn("+a⟨0A⟩⟨noeol⟩", report.splitlines())


class Parsing(unittest.TestCase):
    def parse(self, text):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "x.case")
        with open(path, "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(text))
        return run.parse_case(path, "x")

    def test_sections(self):
        case = self.parse("""\
            Free text before the sections.
            --- args
            a b

            c
            --- file my file.tvl
            line


            --- expect file out/data bin
            x
            --- expect exit
            3
            --- env
            A=1=2
            --- timeout
            2.5
            """)
        self.assertEqual(case.args, ["a b", "", "c"])
        self.assertEqual([(s.kind, s.arg, s.lines) for s in case.files],
                         [("file", "my file.tvl", ["line"])])
        self.assertEqual([(s.kind, s.arg) for s in case.expect_files], [("file", "out/data bin")])
        self.assertEqual(case.expect_exit, 3)
        self.assertEqual(case.env, {"A": "1=2"})
        self.assertEqual(case.timeout, 2.5)
        self.assertIsNone(case.expect_stderr)

    def test_errors(self):
        bad = {
            "no args": "--- file a\nx\n",
            "twice": "--- args\na\n--- args\nb\n",
            "same file twice": "--- args\n--- file a\n--- file a\n",
            "unknown section": "--- args\n--- expext log\n",
            "unknown expectation": "--- args\n--- expect logs\n",
            "exit not a number": "--- args\n--- expect exit\none\n",
            "file without name": "--- args\n--- file\n",
        }
        for label, text in bad.items():
            with self.subTest(label), self.assertRaises(run.CaseError):
                self.parse(text)


FAKE_PROGRAM = r'''
import os, sys, time
args = sys.argv[1:]
log = open("TARVELIN.LOG", "wb")
def out(text):
    log.write(text.encode("cp1250").replace(b"\n", b"\r\n"))
    log.flush()
out("Program zahájen.\n")
for arg in args:
    if arg == "echo-stdin":
        out("ready\n")
        for line in sys.stdin:
            out("got " + line)
    elif arg == "hang":
        time.sleep(60)
    elif arg.startswith("exit="):
        sys.exit(int(arg[5:]))
    elif arg.startswith("stderr="):
        sys.stderr.write(arg[7:] + "\n")
    elif arg.startswith("connect="):
        import socket
        s = socket.create_connection(("127.0.0.1", int(arg[8:])))
        s.sendall(b"hello\r\n")
        s.close()
    else:
        out("arg " + arg + "\n")
out("Konec programu.\n")
'''


class Harness(unittest.TestCase):
    """Whole case runs against a stand-in program: the harness must pass what
    matches and fail every kind of mismatch."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.program = os.path.join(cls.folder, "program")
        with open(cls.program, "w") as f:
            f.write("#!" + sys.executable + " -S\n" + FAKE_PROGRAM)
        os.chmod(cls.program, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def run_case(self, text):
        path = os.path.join(self.folder, "t.case")
        with open(path, "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(text))
        case = run.parse_case(path, "t")
        r = run.Run(case, self.program, PEER, False)
        r.execute()
        return r.problems

    def test_matching_run_passes(self):
        problems = self.run_case("""\
            --- args
            two words
            ${PORT}
            --- file data.txt
            x
            --- file-utf8-crlf u.txt
            ⟨EF BB BF⟩ž
            --- expect file u.txt
            ⟨EF BB BF C5 BE 0D⟩
            --- expect log
            Program zahájen.
            arg two words
            arg ${PORT}
            Konec programu.
            --- expect files
            data.txt
            u.txt
            TARVELIN.LOG
            --- expect absent
            other.log
            """)
        self.assertEqual(problems, [])

    def test_each_mismatch_fails(self):
        cases = {
            "exit status": "--- args\nexit=3\n",
            "stderr": "--- args\nstderr=boo\n",
            "log": "--- args\nx\n--- expect log\nProgram zahájen.\narg y\nKonec programu.\n",
            "missing file": "--- args\n--- expect file none.txt\nx\n",
            "listing": "--- args\n--- expect files\nTARVELIN.LOG\nextra\n",
            "absent": "--- args\n--- expect absent\nTARVELIN.LOG\n",
            "log line ends": "--- args\n--- expect log\nProgram zahájen.\nKonec programu.⟨noeol⟩\n",
        }
        for label, text in cases.items():
            with self.subTest(label):
                self.assertNotEqual(self.run_case(text), [])

    def test_time_limit_kills(self):
        started = time.monotonic()
        problems = self.run_case("--- args\nhang\n--- timeout\n0.5\n")
        self.assertLess(time.monotonic() - started, 5)
        self.assertTrue(any("time limit" in p for p in problems), problems)

    def test_operator_lines_wait_for_the_log(self):
        problems = self.run_case("""\
            --- args
            echo-stdin
            --- stdin
            @after ready
            first ř
            @sleep 50
            @@second
            --- expect log
            Program zahájen.
            ready
            got first ř
            got @second
            Konec programu.
            """)
        self.assertEqual(problems, [])

    def test_idle_waits_until_the_log_stops_growing(self):
        started = time.monotonic()
        problems = self.run_case("""\
            --- args
            echo-stdin
            --- stdin
            @idle 300
            line
            --- expect log
            Program zahájen.
            ready
            got line
            Konec programu.
            """)
        self.assertEqual(problems, [])
        self.assertGreater(time.monotonic() - started, 0.3)

    def test_peer_dialogue(self):
        case = """\
            --- args
            connect=${PORT}
            --- peer
            listen ${PORT}
            expect "%s"
            expect-eof
            """
        self.assertEqual(self.run_case(case % "hello\\r\\n"), [])
        problems = self.run_case(case % "bye\\r\\n")
        self.assertTrue(any("peer" in p for p in problems), problems)


class Peer(unittest.TestCase):
    """Two peers talking to each other over the loopback."""

    def start(self, dialogue, *options):
        process = subprocess.Popen([PEER, *options, "-"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdin.write(textwrap.dedent(dialogue).encode())
        process.stdin.close()
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()

    def finish(self, process, timeout=20):
        process.wait(timeout)
        return process.returncode, process.stderr.read().decode()

    def pair(self, server, client, *options):
        """Runs a listening and a connecting peer; the client's results come
        with the seconds it took."""
        port = run.free_ports(1)[0]
        s = self.start(server.replace("PORT", port), *options)
        self.assertEqual(s.stdout.readline(), b"ready\n")
        started = time.monotonic()
        c = self.start(client.replace("PORT", port), *options)
        client_result = self.finish(c)
        self.client_seconds = time.monotonic() - started
        return self.finish(s), client_result

    def test_every_action_in_a_dialogue(self):
        server, client = self.pair("""\
            listen PORT
            expect "hello\\r\\n" "\\x00\\xff\\e"
            send "wel" "come\\n"
            read-line
            lines 3 5 "ab"
            drip "xyz" 5
            flood 4
            shutdown
            expect-eof
            """, """\
            # a comment, then a blank line

            connect localhost PORT
            send "hello\\r\\n\\x00\\xff\\e"
            expect "welcome\\n"
            send "any line at all\\n"
            expect "ababa\\r\\nababa\\r\\nababa\\r\\nxyzxxxx"
            expect-eof
            close
            """)
        self.assertEqual(server, (0, ""))
        self.assertEqual(client, (0, ""))

    def test_ipv6_listen_and_connect(self):
        if not run.HAVE_IPV6:
            self.skipTest("no IPv6 loopback")
        server, client = self.pair('listen PORT ::1\nsend "six"\nexpect-eof\n',
                                   'connect [::1] PORT\nexpect "six"\nclose\n')
        self.assertEqual(server, (0, ""))
        self.assertEqual(client, (0, ""))
        port = run.free_ports(1)[0]
        code, err = self.finish(self.start(f"listen {port} nowhere\n"))
        self.assertEqual(code, 1)
        self.assertIn("not an address", err)

    def test_mismatch_fails_at_once(self):
        server, client = self.pair('listen PORT\nsend "abcX"\nsleep 2000\n',
                                   'connect 127.0.0.1 PORT\nexpect "abcd"\n')
        self.assertLess(self.client_seconds, 1.9)
        self.assertEqual(client[0], 1)
        self.assertIn("mismatch at byte 3", client[1])

    def test_close_and_reset_during_expect(self):
        for end, why in (("close", "the other side closed"), ("reset", "reset")):
            with self.subTest(end):
                server, client = self.pair(f'listen PORT\nsend "ab"\n{end}\n',
                                           'connect 127.0.0.1 PORT\nexpect "abc"\n')
                self.assertEqual(server[0], 0)
                self.assertEqual(client[0], 1)
                self.assertIn(why, client[1])

    def test_time_limits(self):
        started = time.monotonic()
        server, client = self.pair("listen PORT\nsleep 1500\n",
                                   "connect 127.0.0.1 PORT\nwait-ms 200\nexpect \"x\"\n")
        self.assertEqual(client[0], 1)
        self.assertIn("time-out", client[1])
        port = run.free_ports(1)[0]
        code, err = self.finish(self.start(f"listen {port}\n", "-t", "200"))
        self.assertEqual(code, 1)
        self.assertIn("no client within 200 ms", err)
        self.assertLess(time.monotonic() - started, 5)

    def test_connect_retries_until_the_server_listens(self):
        port = run.free_ports(1)[0]
        client = self.start(f'connect 127.0.0.1 {port}\nexpect "up"\n')
        time.sleep(0.3)
        self.start(f'listen {port}\nsend "up"\nexpect-eof\n')
        self.assertEqual(self.finish(client), (0, ""))

    def test_noread_holds_until_the_other_side_closes(self):
        started = time.monotonic()
        server, client = self.pair('listen PORT\nnoread\nsend "late"\n',
                                   'connect 127.0.0.1 PORT\nsend "unread"\nsleep 300\nclose\n')
        self.assertEqual(server, (0, ""))
        self.assertGreater(time.monotonic() - started, 0.25)

    def test_full_listener_makes_connect_hang(self):
        port = run.free_ports(1)[0]
        holder = self.start(f"listen-full {port}\nsleep 3000\n")
        self.assertEqual(holder.stdout.readline(), b"ready\n")
        code, err = self.finish(self.start(f"wait-ms 500\nconnect 127.0.0.1 {port}\n"))
        self.assertEqual(code, 1)
        self.assertIn("failed within 500 ms", err)

    def test_million_lines(self):
        started = time.monotonic()
        server, client = self.pair("listen PORT\nlines 1000000 30\n",
                                   "connect 127.0.0.1 PORT\nexpect-eof\n", "-v")
        self.assertEqual(server[0], 0)
        self.assertEqual(client[0], 0)
        self.assertIn("end of data after 32000000 bytes", client[1])
        self.assertLess(time.monotonic() - started, 10)

    def test_bad_dialogues(self):
        for dialogue, text in (("bogus 1", "unknown action bogus"),
                               ("send abc", "must be a quoted string"),
                               ('send "\\q"', "unknown escape"),
                               ('expect "open', "string not closed"),
                               ("lines 1", "wrong number of arguments"),
                               ("sleep -5", "must be a number")):
            with self.subTest(dialogue):
                code, err = self.finish(self.start(dialogue + "\n"))
                self.assertEqual(code, 2)
                self.assertIn(text, err)


def main():
    global PEER
    args = sys.argv[1:]
    if len(args) >= 2 and args[0] == "--peer":
        PEER = args[1]
        args = args[2:]
    unittest.main(argv=[sys.argv[0]] + args)


if __name__ == "__main__":
    main()
