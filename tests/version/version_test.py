#!/usr/bin/env python3
"""--version of the headless tools: one line with the name and the project's
version on standard output, exit status 0, nothing else done (no log, no
profile, no result file). Where --version is no option (after "--", or for
the headless program beside other words) the command line keeps its old
meaning.

    version_test.py --version 1.10 --program build/tarvelin
                    --checker build/tarvelin-check --suite build/tarvelin-suite
                    --recorder build/tarvelin-record
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def run(program, *args, files=None):
    """Runs PROGRAM in a fresh folder (also HOME and XDG_CONFIG_HOME); gives
    (status, stdout, stderr, the files left in the folder)."""
    with tempfile.TemporaryDirectory() as folder:
        for name, text in (files or {}).items():
            with open(os.path.join(folder, name), "w", encoding="cp1250") as f:
                f.write(text)
        before = set(os.listdir(folder))
        env = dict(os.environ, HOME=folder, XDG_CONFIG_HOME=folder,
                   TARVELIN_RESULT=os.path.join(folder, "result.txt"))
        p = subprocess.run([program, *args], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=30)
        left = sorted(set(os.listdir(folder)) - before)
        return p.returncode, p.stdout.decode(), p.stderr.decode("utf-8", "replace"), left


class Version(unittest.TestCase):
    def test_each_tool_prints_its_name_and_version(self):
        for program, name in ((ARGS.program, "tarvelin"), (ARGS.checker, "tarvelin-check"),
                              (ARGS.suite, "tarvelin-suite"),
                              (ARGS.recorder, "tarvelin-record")):
            with self.subTest(name):
                status, out, err, left = run(program, "--version")
                self.assertEqual(out, f"{name} {ARGS.version}\n")
                self.assertEqual((status, err, left), (0, "", []))

    def test_checker_and_suite_take_it_among_other_options(self):
        status, out, _, _ = run(ARGS.checker, "--format", "json", "--version", "a.tvl")
        self.assertEqual((status, out), (0, f"tarvelin-check {ARGS.version}\n"))
        status, out, _, _ = run(ARGS.suite, "-j", "2", "--version", "a.tvl")
        self.assertEqual((status, out), (0, f"tarvelin-suite {ARGS.version}\n"))
        # The recorder neither listens nor writes its scripts; a wrong
        # option before it is still wrong, and a value is no option.
        status, out, err, left = run(ARGS.recorder, "--timing", "--version", "127.0.0.1", "1")
        self.assertEqual((status, out, err, left), (0, f"tarvelin-record {ARGS.version}\n", "",
                                                    []))
        status, out, err, _ = run(ARGS.recorder, "--match", "fuzzy", "--version")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("--match", err)
        status, out, err, left = run(ARGS.recorder, "--client-script", "--version",
                                     "--timeout", "100", "127.0.0.1", "1")
        self.assertEqual((status, out, left), (3, "", []))
        self.assertIn("Klient se nepřipojil do 100 ms.", err)

    def test_after_double_dash_it_is_a_script_name(self):
        # The headless program: "--" ends the options, the word after it is
        # the script, which runs and leaves its log.
        status, out, err, left = run(ARGS.program, "--", "--version",
                                     files={"--version": "Comment pokus\n"})
        self.assertEqual((status, out, err), (0, "", ""))
        self.assertIn("TARVELIN.LOG", left)
        # The checker checks a file of that name (here a missing one).
        status, out, err, _ = run(ARGS.checker, "--", "--version")
        self.assertNotEqual(status, 0)
        self.assertNotIn("tarvelin-check " + ARGS.version, out)
        self.assertIn("--version", out + err)
        # The suite lists it as a script.
        status, out, err, _ = run(ARGS.suite, "--list", "--", "--version",
                                  files={"--version": "Comment pokus\n"})
        self.assertEqual((status, out), (0, "--version\n"))

    def test_headless_program_beside_other_words_keeps_the_old_meaning(self):
        # "--version x.tvl" is "--" and the script "version" (x.tvl is an
        # ignored word), as it always was.
        status, out, err, left = run(ARGS.program, "--version", "x.tvl",
                                     files={"version": "Comment stará cesta\n"})
        self.assertEqual((status, out, err), (0, "", ""))
        self.assertIn("TARVELIN.LOG", left)
        status, out, err, _ = run(ARGS.program, "--version", "x.tvl")
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        self.assertIn("version", err)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--version", "--program", "--checker", "--suite", "--recorder"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
