#!/usr/bin/env python3
"""Tests of the script checker, tarvelin-check.

1. The corpus: every cases/NAME.tvl that has a cases/NAME.expect is checked
   from the cases folder; the output must equal NAME.expect (UTF-8, the
   cases folder's absolute path written ${DIR}), the exit status must be 1
   when an error is expected and 0 otherwise, and the JSON form must hold
   the same findings. A NAME.args file beside a script gives options the
   checker takes in as the suite runner gives them to the program.
2. The project's own scripts (examples/ and res/examples/) check without
   errors, and every warning they get is listed in known-warnings.txt.
3. The main script of every conformance case whose run ends with status 0
   checks without errors, apart from the cases' trap lines (an unknown
   command CHYBA-... where a run must never go) and the cases listed in
   conformance-errors.txt. The case's -d, -n and -t options go to the
   checker as they go to the program.
4. The annotation formats: for every corpus script, --format github and
   --format sarif hold the same findings as the text; the SARIF logs are
   valid against the SARIF 2.1.0 schema (the subset of it the checker
   writes, sarif-2.1.0-subset.schema.json); file names and messages with
   the characters each format must escape come back whole. The checker's
   own -d, -n and -t and their errors; files the run refuses as scripts.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse

import jsonschema

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


def relative(findings, folder):
    """Findings with the folder's files named from inside it, as the
    annotation formats name them."""
    prefix = folder.rstrip("/") + "/"
    return [(f[len(prefix):] if f.startswith(prefix) else f,) + tuple(rest)
            for f, *rest in findings]


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
        # The text form shows control characters as '?'; JSON keeps them.
        got = [(f["file"], str(f["line"]), str(f["column"]),
                "chyba" if f["severity"] == "error" else "varování",
                re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", "?", f["message"]))
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
        options = program_options(args)
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
            status, out, err = check(checker, options + [mains[0]], folder)
        errors = [line for line in out.splitlines()
                  if ": chyba: " in line and not TRAP.search(line)]
        if errors and name not in allowed:
            failures.append(f"conformance {name}: " + "\n  ".join(errors))
        if not errors and name in allowed:
            failures.append(f"conformance {name}: listed in conformance-errors.txt, has no error")
    return count


def program_options(args):
    """The program's -d, -n and -t options in front of its script, for the
    checker; the options it does not take (-p, -c, -a) left out."""
    params = {"-d": 1, "-D": 1, "-n": 2, "-t": 2, "-p": 1, "-c": 2, "-a": 1}
    options, i = [], 0
    while i < len(args) and args[i] in params:
        count = params[args[i]]
        if args[i] in ("-d", "-D", "-n", "-t"):
            options += args[i:i + 1 + count]
        i += 1 + count
    return options


GITHUB = re.compile(r"^::(error|warning) file=([^,:]*),line=(\d+),col=(\d+),title=([^,:]*)::(.*)$")


def unescape(text):
    return re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), text)


def github_findings(text):
    findings = []
    for line in text.split("\n")[:-1]:
        m = GITHUB.match(line)
        if not m or "\r" in line or m.group(5) != "tarvelin-check":
            raise AssertionError(f"not a workflow command: {line!r}")
        # Only the characters GitHub wants escaped are escaped: a % that
        # stands alone in the text would have been one.
        if re.search(r"%(?![0-9A-F]{2})", m.group(6)) or re.search(r"%(?!25|0D|0A|3A|2C)",
                                                                   m.group(2)):
            raise AssertionError(f"unescaped %: {line!r}")
        severity = "chyba" if m.group(1) == "error" else "varování"
        findings.append((unescape(m.group(2)), m.group(3), m.group(4), severity,
                         unescape(m.group(6))))
    return findings


URI = re.compile(r"^(file://)?([A-Za-z0-9\-._~/]|%[0-9A-F]{2})*$")


def sarif_findings(text, validator):
    log = json.loads(text)
    errors = sorted(validator.iter_errors(log), key=str)
    if errors:
        raise AssertionError("not valid SARIF 2.1.0: " + "; ".join(e.message for e in errors))
    findings = []
    for run in log["runs"]:
        rules = run["tool"]["driver"]["rules"]
        for r in run["results"]:
            if rules[r["ruleIndex"]]["id"] != r["ruleId"]:
                raise AssertionError(f"ruleIndex and ruleId differ: {r}")
            location = r["locations"][0]["physicalLocation"]
            uri = location["artifactLocation"]["uri"]
            if not URI.match(uri):
                raise AssertionError(f"not a URI reference the checker writes: {uri!r}")
            path = urllib.parse.unquote(uri[len("file://"):] if uri.startswith("file://") else uri)
            severity = "chyba" if r["level"] == "error" else "varování"
            findings.append((path, str(location["region"]["startLine"]),
                             str(location["region"]["startColumn"]), severity,
                             r["message"]["text"]))
    return findings


def formats(checker, failures):
    with open(os.path.join(HERE, "sarif-2.1.0-subset.schema.json"), encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft4Validator.check_schema(schema)
    validator = jsonschema.Draft4Validator(schema, format_checker=jsonschema.FormatChecker())
    cases = os.path.join(HERE, "cases")
    count = 0

    def compare(label, args, cwd, want):
        nonlocal count
        count += 1
        for name, parse in (("github", github_findings),
                            ("sarif", lambda t: sarif_findings(t, validator))):
            status, out, err = check(checker, ["--format", name] + args, cwd)
            try:
                got = parse(out)
            except (AssertionError, ValueError, KeyError, IndexError) as e:
                failures.append(f"{label} --format {name}: {e}\n{out}{err}")
                continue
            if got != want or err:
                failures.append(f"{label} --format {name}: {got} (want {want}) {err}")

    def reference(args, cwd):
        _, out, _ = check(checker, ["--format", "json"] + args, cwd)
        found = [(f["file"], str(f["line"]), str(f["column"]),
                  "chyba" if f["severity"] == "error" else "varování", f["message"])
                 for f in json.loads(out)]
        return relative(found, cwd)

    for name in sorted(os.listdir(cases)):
        if name.endswith(".expect"):
            script = name[: -len(".expect")] + ".tvl"
            compare(script, [script], cases, reference([script], cases))

    with tempfile.TemporaryDirectory() as folder:
        # A name with a comma, a colon, a percent sign and a Czech letter;
        # a message with a CR, a percent sign and a Czech letter; a Call
        # that comes out as an absolute name outside the current folder.
        odd = "a,b:c%d čí.tvl"
        with open(os.path.join(folder, odd), "wb") as f:
            f.write(b"Nic%\r\xe8\n")
        want = reference([odd], folder)
        if ("a,b:c%d čí.tvl", "1", "1", "chyba", "Neznámý příkaz scriptu: NIC%\rč") not in want:
            failures.append(f"odd names: {want}")
        compare("odd names", [odd], folder, want)
        elsewhere = tempfile.mkdtemp(dir=folder)
        with open(os.path.join(elsewhere, "main.tvl"), "wb") as f:
            f.write(b'Call "' + os.path.join(folder, odd).encode("cp1250") + b'"\nFoo\n')
        want = reference(["main.tvl"], elsewhere)
        if not any(f[0] == os.path.join(folder, odd) for f in want):
            failures.append(f"absolute names: {want}")
        compare("absolute names", ["main.tvl"], elsewhere, want)

        # The checker's own -d, -n and -t: what they set is known in every
        # script named; a name given both kinds, an unknown format and a
        # missing parameter are a wrong command line.
        with open(os.path.join(folder, "uses.tvl"), "wb") as f:
            f.write(b"TestCounter i < max\nSend greeting\nSetCounter i 0\n")
        count += 1
        status, out, err = check(checker, ["uses.tvl"], folder)
        if status != 1 or out.count(": chyba: ") != 2:
            failures.append(f"options: without them: {status} {out}{err}")
        status, out, err = check(checker, ["-d", "X", "-n", "max", "3", "-t", "greeting",
                                           "a b", "uses.tvl", "uses.tvl"], folder)
        if status != 0 or out or err:
            failures.append(f"options: with them: {status} {out}{err}")
        for args, text in ((["-n", "x", "1", "-t", "x", "y", "uses.tvl"],
                            "Jméno x nemůže patřit čítači i textové proměnné"),
                           (["--format", "xml", "uses.tvl"], "neznámý formát xml"),
                           (["uses.tvl", "-t", "x"], "Parametr t vyžaduje 2 parametry")):
            status, out, err = check(checker, args, folder)
            if status != 2 or text not in err or out:
                failures.append(f"options {args}: {status} {out}{err}")

        # Files the run refuses as scripts: a device and a file one byte over
        # the limit (sparse), as the main script and through a Call.
        count += 1
        big = os.path.join(folder, "big.tvl")
        with open(big, "wb") as f:
            f.truncate(16 * 1024 * 1024 + 1)
        with open(os.path.join(folder, "calls.tvl"), "wb") as f:
            f.write(b"Call big.tvl\nCall /dev/zero\n")
        for args, status_want, want in (
                (["big.tvl"], 1,
                 "big.tvl:1:1: chyba: Soubor big.tvl nelze použít jako script: je větší než 16 MiB\n"),
                (["/dev/zero"], 1, "/dev/zero:1:1: chyba: Soubor /dev/zero nelze použít jako "
                                   "script: není to obyčejný soubor\n"),
                (["calls.tvl"], 0,
                 f"calls.tvl:1:6: varování: Soubor {big} nyní nelze použít jako script: je větší "
                 "než 16 MiB\ncalls.tvl:2:6: varování: Soubor /dev/zero nyní nelze použít jako "
                 "script: není to obyčejný soubor\n")):
            status, out, err = check(checker, args, folder)
            if (status, out, err) != (status_want, want, ""):
                failures.append(f"refused {args}: {status} {out}{err}")
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--checker", default=os.path.join(ROOT, "build", "tarvelin-check"))
    options = parser.parse_args()
    options.checker = os.path.abspath(options.checker)
    failures = []
    counts = [corpus(options.checker, failures), own_scripts(options.checker, failures),
              conformance_scripts(options.checker, failures), formats(options.checker, failures)]
    for failure in failures:
        print("FAIL", failure)
    print(f"{counts[0]} corpus scripts, {counts[1]} example scripts, "
          f"{counts[2]} conformance scripts, {counts[3]} checks of the annotation formats; "
          f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
