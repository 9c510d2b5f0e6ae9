#!/usr/bin/env python3
"""Fails when a source file includes a folder above its own.

Each folder of src/ may include the folders listed for it (and itself); the
portable ones may include only the C and C++ standard headers besides. The
table is the picture of docs/design.md in words:

    host  <-  shell  <-  engine  <-  net, operator  <-  app  <-  posix, win32
    host  <-  tlslink, sysnet  <-  posix, win32
    engine  <-  record  <-  posix, win32
    posix <-  suite

Usage: check_layers.py [SRC_FOLDER]   (default: the src/ beside tools/)
"""
import pathlib
import re
import sys

CORE = ["host", "shell", "engine", "net", "operator", "app"]

# What each folder may include besides itself.
BELOW = {
    "host": [],
    "shell": ["host"],
    "engine": ["host", "shell"],
    "net": ["host", "shell", "engine"],
    "operator": ["host", "shell", "engine"],
    "app": ["host", "shell", "engine", "net", "operator"],
    "record": ["host", "shell", "engine"],
    "tlslink": ["host"],
    "sysnet": ["host"],
    "posix": CORE + ["tlslink", "sysnet", "record"],
    "win32": CORE + ["tlslink", "sysnet", "record"],
    "suite": ["host", "shell", "posix"],
}

# Folders that stay portable: only these system headers. <regex> is left out:
# the program's patterns are its own (engine/pattern*), and std::regex, whose
# matching recurses and differs between standard libraries, must not return.
PORTABLE = set(CORE) | {"tlslink", "record"}
STANDARD = set(
    """algorithm any array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes
    climits clocale cmath condition_variable csetjmp csignal cstdarg cstddef cstdint cstdio
    cstdlib cstring ctime cwchar cwctype deque exception forward_list fstream functional
    initializer_list iomanip ios iosfwd iostream istream iterator limits list locale map memory
    mutex new numeric optional ostream queue random ratio set sstream stack stdexcept
    streambuf string string_view system_error thread tuple type_traits typeindex typeinfo
    unordered_map unordered_set utility valarray variant vector""".split())

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def check(src):
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in BELOW:
            problems.append(f"{path}: folder {folder} is not in the table of layers")
            continue
        allowed = set(BELOW[folder]) | {folder}
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, name = m.groups()
            where = f"{path}:{number}"
            if kind == '"':
                target = name.split("/")[0] if "/" in name else None
                if target is None:
                    problems.append(f"{where}: include \"{name}\" names no folder")
                elif target not in allowed:
                    problems.append(f"{where}: {folder} includes {name}, from a folder above it or "
                                    f"beside it (allowed: {', '.join(sorted(allowed))})")
            elif folder in PORTABLE and name not in STANDARD:
                problems.append(f"{where}: the portable {folder} includes the system header <{name}>")
    return problems


def main():
    src = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "src"
    problems = check(src)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) break the layers", file=sys.stderr)
        return 1
    print(f"layers hold in {src}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
