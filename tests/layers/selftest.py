#!/usr/bin/env python3
"""The layer check fails on what it is there to catch: copies of src/ with one
include that reaches upwards, sideways or out to the platform."""
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
CHECK = ROOT / "tools" / "check_layers.py"

# (file, line added at its top, what the check must name)
BREAKS = [
    ("net/send.cpp", '#include "app/commands.h"', "net includes app/commands.h"),
    ("shell/log.cpp", '#include "engine/runner.h"', "shell includes engine/runner.h"),
    ("net/capture.cpp", '#include "operator/checkboxes.h"', "net includes operator/checkboxes.h"),
    ("engine/numbers.cpp", "#include <unistd.h>", "system header <unistd.h>"),
    ("engine/pattern.cpp", "#include <regex>", "system header <regex>"),
    ("tlslink/link.cpp", '#include "shell/context.h"', "tlslink includes shell/context.h"),
]


def run(src):
    return subprocess.run([sys.executable, str(CHECK), str(src)], capture_output=True, text=True)


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / "src"
        shutil.copytree(ROOT / "src", src)
        clean = run(src)
        if clean.returncode != 0:
            print("FAIL: the tree as it is does not pass:\n" + clean.stdout)
            return 1
        for name, line, expected in BREAKS:
            path = src / name
            original = path.read_text(encoding="utf-8")
            path.write_text(line + "\n" + original, encoding="utf-8")
            result = run(src)
            path.write_text(original, encoding="utf-8")
            if result.returncode == 0 or expected not in result.stdout:
                failures += 1
                print(f"FAIL: {line} in {name} was not reported ({result.stdout.strip()})")
            else:
                print(f"ok: {line} in {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
