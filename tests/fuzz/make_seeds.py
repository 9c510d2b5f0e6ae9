#!/usr/bin/env python3
"""Writes the seed corpora under tests/fuzz/corpus/TARGET from hand-picked
inputs and from the scripts and peer dialogues of the conformance cases.
Run it again after adding cases; the seeds are committed."""
import hashlib
import os
import re
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)

here = os.path.dirname(os.path.abspath(__file__))
cases = os.path.join(here, "..", "conformance", "cases")
out = os.path.join(here, "corpus")


def put(target, data):
    if isinstance(data, str):
        data = data.encode("cp1250", "replace")
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def case_sections(path):
    sections, name = {}, None
    for line in open(path, encoding="utf-8"):
        if line.startswith("--- "):
            name = line[4:].strip()
            sections[name] = []
        elif name:
            sections[name].append(line.rstrip("\n"))
    return sections


scripts = []
peers = []
for root, _, files in os.walk(cases):
    for f in sorted(files):
        if not f.endswith(".case"):
            continue
        s = case_sections(os.path.join(root, f))
        main, extra = None, []
        for k, v in s.items():
            if k.startswith("file ") or k.startswith("file-crlf "):
                text = "\n".join(v).replace("${PORT}", "4000").replace("${PORT2}", "4001")
                text = text.replace("${DIR}", "/s")
                (extra if main else extra).append(text)
        if extra:
            main = extra[0]
            scripts.append((main, extra[1:]))
        if "peer" in s:
            sends = []
            for line in s["peer"]:
                m = re.match(r'\s*send "(.*)"', line)
                if m:
                    sends.append(m.group(1).encode().decode("unicode_escape", "replace"))
            peers.append(sends)

# GetNextWord: modes byte, then a line.
for i, line in enumerate([
        'WaitFor LineStarting "220 ok"', '  "a ""b"" c" rest', '"esc \\n\\r\\t\\e\\b\\f\\065\\9 \\\\"',
        'word\tword2', '"unterminated \\', 'Call "dir/a b.tvl"', 'send "x" cr lf 13 10 line', '\t\t']):
    for mode in (0x00, 0x55, 0xAA, 0xFF):
        put("tokenizer", bytes([mode]) + line.encode())

# ExpandText: text NUL last line NUL counter names with values.
for text in ['"A" cr lf', 'nl tab esc LF Cr "q\\"x"', 'line lastline 65 300 -1 0x41', 'cnt "-" cnt2',
             '"\\255\\000\\1999"', 'Line "end']:
    put("expand", text.encode() + b"\0" + "last line".encode() + b"\0cnt\x07\0\0\0\0cnt2\xff\xff\xff\x7f")

# The command line.
for line in ["-dDEBUG -D 'TWO WORDS'\t-n count 5 -n count -7x -pfile.log script.tvl more",
             '-c host 110 -a 99999999999 "my dir\\a b.tvl"', " -a 1 -c\"h 'x\"abc -p - ",
             "-- -odd.tvl -p x", "a.tvl -p x.log", "'a b'c.tvl", "", "-c", "-n", "-p", "-x", "-d"]:
    put("cmdline", line)

# EscapeForLog: all byte values, text, line ends.
put("escape", bytes(range(256)))
put("escape", b"220 ready\r\n")
put("escape", "Příliš žluťoučký kůň\\".encode("cp1250"))

# The receiving path: arrivals (0), reads up to LF (7 10), blocks (8 hi lo),
# reports (9), closes (2), resets (4), interruptions (6).
put("receive", b"\x00\x05ab\r\nc\x07\x0a\x07\x0a\x02")
put("receive", b"\x00\x03abc\x01\x02de\x08\x00\x05\x09\x04")
put("receive", b"\x00\x04x:yz\x07:\x06\x07\x0a")
put("receive", b"\xa8\x01z\x07\x0a\x09\x03\x07\x0a")
put("receive", b"\x05\x21\x00\x02ok\x07\x0a\x08\x10\x00")
# A pattern (0x81, its length, its text), then lines searched with it.
put("receive", b"\x81\x0b^(\\d+) (ok)\x00\x0d250 ok\r\n1 ok\n\x07\x0a\x07\x0a")
put("receive", b"\x81\x0b(?i)(a|b)*c\xa0\x01a\x00\x02\r\n\x07\x0a")

# Patterns: flags (bit 0: (?i)), the pattern, then lines after zero bytes.
for flags, pattern, lines in [
        (0, "^(\\d+) (ok)$", ["250 ok", "1 ok "]),
        (1, "content-length: *([0-9]+)", ["Content-Length: 77"]),
        (0, "(?:(a)|b)+", ["ab", "ba"]),
        (0, "(z)((a+)?(b+)?(c))*", ["zaacbbbcac"]),
        (0, "(a|ab)(c|bcd)(d*)", ["abcd"]),
        (0, "()?(a*)*?(x|)+", ["", "aax"]),
        (0, "[a-\x9e\\d\\s-]{2,}?\\b.", ["a\x9e1 b"]),
        (0, "[^[:alpha:]_][[.a.]]", ["1a"]),
        (0, "\\bOK\\b|\\x41\\u0042\\cJ", ["xOK AB\n"]),
        (1, "^(?:a{2,3}?|b{0})[\\]]$", ["AA]"]),
        (0, "(a)\\1(?=b)(?!c)(?<n>d)", ["aab"]),
        (0, "((((((((((((((((((((((((((((((((a))))))))))))))))))))))))))))))))", ["a"]),
        (0, "x{490}|y{2,1}|[z-a]|(|\\", ["x"]),
]:
    put("pattern", bytes([flags]) + b"\0".join(
        [pattern.encode("latin-1")] + [ln.encode("latin-1") for ln in lines]))

# Whole runs: script NUL answers NUL peer NUL inputs NUL more files.
for main, extra in scripts:
    peer = b"\x01".join(b"\x00" + p.encode("cp1250", "replace") for p in (peers.pop(0) if peers else []))
    data = main.encode("cp1250", "replace") + b"\0\x40\x02\x03\0" + peer + b"\0typed\n!\0"
    data += b"\0".join(e.encode("cp1250", "replace") for e in extra)
    put("runner", data)
put("runner", b"OutputFile f1.tvl\nConnect peer 23\nWaitFor ExactMatch \"DONE\"\nCloseOutput\nCall f1.tvl\0\x40\0"
    b"\x00Comment from the peer\x01\x00DONE\0\0")
put("runner", b"Call t.log\0\0\0\0")
put("runner", b"Connect peer 23\nLabel r\nSkipTo lf\nTestLine Matching \"^[45]\\\\d\\\\d \"\n"
    b"IfDef TRUE GoTo e\nParseLine \"^Content-Length: *([0-9]+)\" n\nTestLine Contains \"x\"\n"
    b"ParseLine \"^(?i)set-cookie: ([^;]*)\" line\nGoTo r\nLabel e\nWaitFor Matching \"(a|b)*c\"\n"
    b"\0\x40\0\x00Content-Length: 12\x01\x00Set-Cookie: a=b; x\x01\x00550 no\x01\x00abc\0\0")
# Runs whose command line sets symbols, counters and text variables.
put("runner", b"\x02-d GO -n max 3 -t greet 'hello there'\nSetCounter i 0\nLabel l\n"
    b"IncrementCounter i\nTestCounter i < max\nIfDef TRUE GoTo l\nIfDef GO Message greet\n"
    b"Calc n len(greet) + max\nSetText max \"x\"\n\0\0\0\0")
put("runner", b"\x02-t n abc\nSetCounter n 1\nCall f1.tvl\n\0\0\0\0Send n\nSetText n \"y\"\n")
# A text variable read as a counter; a name that a ParseLine target or a file
# called through a variable may make a counter.
put("runner", b"\x02-t only x\nSetText t \"1\"\nIncrementCounter t\nTestCounter only < 1\n"
    b"IfDef X ParseLine \"(\\d+)\" p\nSetText p \"2\"\nIncrementCounter p\n\0\0\0\0")
put("runner", b"SetText f \"f1.tvl\"\nCall f\nIncrementCounter c\nIfDef X SetText c \"y\"\n"
    b"\0\0\0\0SetCounter c 1\nReturn\n")
print("seeds written to", out, file=sys.stderr)
