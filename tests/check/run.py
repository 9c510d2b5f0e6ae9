#!/usr/bin/env python3
"""Tests of the script checker, tarvelin-check.

1. The corpus: every cases/NAME.tvl that has a cases/NAME.expect is checked
   from the cases folder; the output must equal NAME.expect (UTF-8, the
   cases folder's absolute path written ${DIR}), the exit status must be 1
   when an error is expected and 0 otherwise, and the JSON form must hold
   the same findings.
2. The project's own scripts (examples/ and res/examples/) check without
   errors, and every warning they get is listed in known-warnings.txt.
3. The main script of every conformance case whose run ends with status 0
   checks without errors, apart from the cases' trap lines (an unknown
   command CHYBA-... where a run must never go) and the cases listed in
   conformance-errors.txt.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "conformance"))
import run as conformance  # noqa: E402

# The conformance cases put an unknown command CHYBA-... on each line a run
# must never reach: those are errors on purpose.
TRAP = re.compile(r": chyba: Neznámý příkaz scriptu: CHYBA")
FINDING = re.compile(r"^(.*):(\d+):(\d+): (chyba|varování): (.*)$")


def check(checker, args, cwd):
    p = subprocess.run([checker] + args, cwd=cwd, capture_output=True, timeout=60)
    return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")


def parse(text):
    findings = []
    for line in text.splitlines():
        m = FINDING.match(line)
        if not m:
            raise AssertionError(f"not a finding: {line!r}")
        findings.append(m.groups())
    return findings


def corpus(checker, failures):
    cases = os.path.join(HERE, "cases")
    count = 0
    for name in sorted(os.listdir(cases)):
        if not name.endswith(".expect"):
            continue
        script = name[: -len(".expect")] + ".tvl"
        with open(os.path.join(cases, name), encoding="utf-8") as f:
            expected = f.read().replace("${DIR}", cases)
        count += 1
        status, out, err = check(checker, [script], cases)
        want = 1 if ": chyba: " in expected else 0
        if out != expected or status != want or err:
            failures.append(f"corpus {script}: status {status} (want {want})\n"
                            f"--- expected\n{expected}--- got\n{out}{err}")
            continue
        status, out, err = check(checker, ["--format", "json", script], cases)
        got = [(f["file"], str(f["line"]), str(f["column"]),
                "chyba" if f["severity"] == "error" else "varování", f["message"])
               for f in json.loads(out)]
        if got != [tuple(x) for x in parse(expected)] or status != want:
            failures.append(f"corpus {script}: the JSON form differs: {out}")
    return count


def known_warnings():
    known = set()
    with open(os.path.join(HERE, "known-warnings.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                known.add(line)
    return known


def own_scripts(checker, failures):
    known = known_warnings()
    count = 0
    for folder in ("examples", os.path.join("res", "examples")):
        for dirpath, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(names):
                if not name.endswith(".tvl"):
                    continue
                count += 1
                path = os.path.relpath(os.path.join(dirpath, name), ROOT)
                status, out, err = check(checker, [path], ROOT)
                for file, line, column, severity, message in parse(out):
                    entry = f"{file}:{line}:{column}: {severity}: {message}"
                    if severity == "chyba" or entry not in known:
                        failures.append(f"{path}: {entry}")
                if status != 0 or err:
                    failures.append(f"{path}: status {status} {err}")
    return count


def conformance_scripts(checker, failures):
    with open(os.path.join(HERE, "conformance-errors.txt"), encoding="utf-8") as f:
        allowed = {line.split()[0] for line in f if line.strip() and not line.startswith("#")}
    count = 0
    for path in conformance.find_cases([]):
        name = conformance.case_name(path)
        case = conformance.parse_case(path, name)
        if case.expect_exit != 0 or not case.args:
            continue
        args = [a.strip() for a in case.args]
        files = {s.arg: s for s in case.files}
        mains = [a for a in args if a in files and a.endswith(".tvl")]
        if not mains:
            continue
        with tempfile.TemporaryDirectory() as folder:
            variables = {"DIR": folder, "PORT": "1", "PORT2": "2"}
            for s in case.files:
                target = os.path.join(folder, s.arg)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                eol = b"\r\n" if s.kind.endswith("-crlf") else b"\n"
                codec = "utf-8" if s.kind.startswith("file-utf8") else "cp1250"
                with open(target, "wb") as out:
                    out.write(conformance.build_text(s, variables, codec, eol))
            count += 1
            status, out, err = check(checker, [mains[0]], folder)
        errors = [line for line in out.splitlines()
                  if ": chyba: " in line and not TRAP.search(line)]
        if errors and name not in allowed:
            failures.append(f"conformance {name}: " + "\n  ".join(errors))
        if not errors and name in allowed:
            failures.append(f"conformance {name}: listed in conformance-errors.txt, has no error")
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--checker", default=os.path.join(ROOT, "build", "tarvelin-check"))
    options = parser.parse_args()
    options.checker = os.path.abspath(options.checker)
    failures = []
    counts = [corpus(options.checker, failures), own_scripts(options.checker, failures),
              conformance_scripts(options.checker, failures)]
    for failure in failures:
        print("FAIL", failure)
    print(f"{counts[0]} corpus scripts, {counts[1]} example scripts, "
          f"{counts[2]} conformance scripts; {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
