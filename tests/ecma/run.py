#!/usr/bin/env python3
"""The program's patterns against a real ECMAScript engine (node).

A generated corpus of patterns (nesting, alternatives, greedy, lazy and
counted repetitions, classes, anchors, \\b, groups inside repetitions) and of
lines for each is run through the program's matcher (the probe, linked with
the pattern code) and through JavaScript's RegExp with the same bytes as
Latin-1 code units. A second part repeats, inside repetitions, things that may match
nothing. Every pattern must compile on both sides, and every line
must give the same match: the same positions of the whole match and of each
group, and the same groups left out.

The corpus stays off the places where the program keeps a rule of its own
(see the regular expressions in docs/design.md): byte A0 (a space for \\s in
JavaScript), letters above 127 in patterns with (?i) (JavaScript folds
Latin-1 letters), a literal { or }, [[:name:]], \\c with anything but a
letter, \\0 before a digit, and what the program refuses (back-references,
lookahead, named groups).

The generator is seeded: the corpus is the same on every run.

  run.py --probe build/tests/ecma/pattern_probe [--node node] [--keep DIR]

Exit status 0 when both agree, 1 on a difference, 77 (skipped) when node is
not installed, except in CI (the variable CI set), where a missing node is a
failure (1).
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

SEED = 20250518
PATTERNS = 3000
EMPTY_LOOP_PATTERNS = 1500
LINES_PER_PATTERN = 8

# The bytes lines are made of: printable ASCII, tab, CR, LF and a few bytes
# above 127 (never A0).
HIGH = [0x80, 0x8E, 0x9E, 0xC8, 0xE8, 0xE9, 0xFF]
LINE_BYTES = list(range(32, 127)) + [9, 10, 13] + HIGH
# Characters that stand for themselves in patterns, each rendered in several
# ways (plain, escaped, \xHH, \uHHHH, \cX).
PLAIN = b"abcxyzAB01 _-.,:/"
SPECIAL = b"^$\\.*+?()[]{}|"


def word(b):
    return chr(b).isascii() and (chr(b).isalnum() or b == ord("_"))


CLASSES = {
    "d": {b for b in range(256) if 48 <= b <= 57},
    "w": {b for b in range(256) if word(b)},
    "s": {9, 10, 11, 12, 13, 32},
}
for _k in list(CLASSES):
    CLASSES[_k.upper()] = set(range(256)) - CLASSES[_k]


class Gen:
    """Random patterns as small trees, each rendered as text and able to give
    lines it might match."""

    def __init__(self, rnd, icase):
        self.rnd = rnd
        self.icase = icase

    # ---- characters

    def char_byte(self):
        r = self.rnd.random()
        if r < 0.65:
            return self.rnd.choice(PLAIN)
        if r < 0.75:
            return self.rnd.choice(SPECIAL)
        if r < 0.85:
            return self.rnd.choice([9, 10, 13])
        if self.icase:
            return self.rnd.choice(b"abcXYZ")
        return self.rnd.choice(HIGH)

    def render_char(self, b, in_set):
        r = self.rnd.random()
        named = {9: "\\t", 10: "\\n", 13: "\\r", 11: "\\v", 12: "\\f"}
        if b in named and r < 0.6:
            return named[b]
        if 1 <= b <= 26 and r < 0.7:
            return "\\c" + chr(64 + b if self.rnd.random() < 0.5 else 96 + b)
        if r < 0.1:
            return "\\x%02x" % b
        if r < 0.15:
            return "\\u%04X" % b
        special = b"\\]-^[" if in_set else SPECIAL
        if b in special:
            return "\\" + chr(b)
        if b < 32:
            return "\\x%02X" % b
        return chr(b)

    # ---- nodes: (text, sampler) where sampler() gives a list of bytes

    def leaf(self):
        r = self.rnd.random()
        if r < 0.55:
            b = self.char_byte()
            return self.render_char(b, False), lambda: [self.fold(b)]
        if r < 0.65:
            return ".", lambda: [self.pick(set(range(256)) - {10, 13})]
        if r < 0.8:
            k = self.rnd.choice("dDwWsS")
            return "\\" + k, lambda: [self.pick(CLASSES[k])]
        return self.bracket()

    def fold(self, b):
        c = chr(b)
        if self.icase and c.isascii() and c.isalpha() and self.rnd.random() < 0.5:
            return ord(c.swapcase())
        return b

    def pick(self, members):
        usable = [b for b in LINE_BYTES if b in members]
        if not usable:
            return self.rnd.choice(LINE_BYTES)
        return self.fold(self.rnd.choice(usable))

    def bracket(self):
        members = set()
        parts = []
        for _ in range(self.rnd.randint(1, 4)):
            r = self.rnd.random()
            if r < 0.2:
                k = self.rnd.choice("dDwWsS")
                parts.append("\\" + k)
                members |= CLASSES[k]
            elif r < 0.55:
                lo, hi = sorted([self.char_byte(), self.char_byte()])
                if not self.icase and self.rnd.random() < 0.3:
                    lo, hi = sorted([self.rnd.choice(b"abcx0"), self.rnd.choice(HIGH)])
                parts.append(self.render_char(lo, True) + "-" + self.render_char(hi, True))
                members |= set(range(lo, hi + 1))
            elif r < 0.6:
                parts.append("\\b")
                members.add(8)
            else:
                b = self.char_byte()
                parts.append(self.render_char(b, True))
                members.add(b)
        if self.icase:
            members |= {ord(chr(b).swapcase()) for b in members if chr(b).isascii()}
        negated = self.rnd.random() < 0.3
        if negated:
            members = set(range(256)) - members
        text = "[" + ("^" if negated else "") + "".join(parts) + "]"
        return text, lambda: [self.pick(members)]

    def node(self, depth):
        r = self.rnd.random()
        if depth <= 0 or r < 0.3:
            return self.leaf()
        if r < 0.5:
            return self.concat(depth - 1)
        if r < 0.62:
            return self.alternation(depth - 1)
        if r < 0.75:
            return self.group(depth - 1)
        return self.repeat(depth - 1)

    def concat(self, depth, count=None):
        items = []
        for _ in range(count if count is not None else self.rnd.randint(2, 4)):
            if self.rnd.random() < 0.1:
                items.append(self.assertion())
            else:
                items.append(self.node(depth))
        text = "".join(t for t, _ in items)
        return text, lambda: [b for _, s in items for b in s()]

    def assertion(self):
        text = self.rnd.choice(["^", "$", "\\b", "\\B", "\\b", "\\B"])
        return text, lambda: []

    def alternation(self, depth):
        alts = []
        for _ in range(self.rnd.randint(2, 3)):
            if self.rnd.random() < 0.12:
                alts.append(("", lambda: []))
            else:
                alts.append(self.node(depth))
        text = "|".join(t for t, _ in alts)
        return "(?:" + text + ")" if self.rnd.random() < 0.5 else "(" + text + ")", (
            lambda: self.rnd.choice(alts)[1]()
        )

    def group(self, depth):
        inner = self.node(depth) if self.rnd.random() < 0.9 else ("", lambda: [])
        opener = "(" if self.rnd.random() < 0.7 else "(?:"
        return opener + inner[0] + ")", inner[1]

    def repeat(self, depth):
        r = self.rnd.random()
        if r < 0.5:
            atom = self.group(depth) if self.rnd.random() < 0.6 else self.leaf()
        elif r < 0.75:
            atom = self.alternation(depth)
        else:
            atom = self.leaf()
        lo, hi, q = self.rnd.choice(
            [(0, None, "*"), (1, None, "+"), (0, 1, "?"), (2, 2, "{2}"), (0, 2, "{0,2}"),
             (1, 3, "{1,3}"), (2, None, "{2,}"), (0, 0, "{0}"), (3, 3, "{3}")]
        )
        if self.rnd.random() < 0.35:
            q += "?"
        sampler = atom[1]

        def sample():
            top = hi if hi is not None else lo + 3
            return [b for _ in range(self.rnd.randint(lo, top)) for b in sampler()]

        return atom[0] + q, sample

    def pattern(self):
        text, sampler = self.concat(self.rnd.randint(1, 4), self.rnd.randint(1, 3))
        if self.rnd.random() < 0.15:
            text = "^" + text
        if self.rnd.random() < 0.15:
            text += "$"
        return text, sampler


# Repetitions inside repetitions of things that may match nothing, over a
# small alphabet: where an iteration that consumes nothing ends the path and
# where the groups of earlier iterations are dropped.
EMPTY_ATOMS = ["a", "b", "c", "", "a?", "b?", "a*", "b*", "(a)", "(b?)", "()", "(a|)", "(?:a|b)",
               "\\b", "ab"]
EMPTY_QUANTIFIERS = ["*", "+", "?", "{0,2}", "*?", "+?", "??", "{2}", "{1,2}?"]


def empty_loops(rnd, depth):
    if depth == 0:
        return rnd.choice(EMPTY_ATOMS)
    r = rnd.random()
    opener = "(?:" if rnd.random() < 0.5 else "("
    if r < 0.3:
        return empty_loops(rnd, depth - 1) + empty_loops(rnd, depth - 1)
    if r < 0.5:
        return opener + empty_loops(rnd, depth - 1) + "|" + empty_loops(rnd, depth - 1) + ")"
    return opener + empty_loops(rnd, depth - 1) + ")" + rnd.choice(EMPTY_QUANTIFIERS)


def lines_for(rnd, sampler, text):
    alphabet = sorted({b for b in text.encode("latin-1") if b in LINE_BYTES} | {ord("a"), ord(" ")})
    lines = []
    for k in range(LINES_PER_PATTERN):
        if k < 5:
            line = sampler()
            if rnd.random() < 0.5:
                line = [rnd.choice(alphabet) for _ in range(rnd.randint(0, 3))] + line
            if rnd.random() < 0.5:
                line += [rnd.choice(alphabet) for _ in range(rnd.randint(0, 3))]
            if k >= 3 and line:
                at = rnd.randrange(len(line))
                kind = rnd.random()
                if kind < 0.33:
                    del line[at]
                elif kind < 0.66:
                    line[at] = rnd.choice(alphabet)
                else:
                    line.insert(at, rnd.choice(LINE_BYTES))
        else:
            line = [rnd.choice(alphabet) for _ in range(rnd.randint(0, 12))]
        lines.append(bytes(line[:40]).decode("latin-1"))
    return lines


# Cases written out: the two groups inside repetitions that started this
# test, empty iterations, priorities, and bytes above 127 in ranges.
FIXED = [
    ("(?:(a)|b)+", ["ab", "ba", "aab"]),
    ("(z)((a+)?(b+)?(c))*", ["zaacbbbcac", "zcc", "z"]),
    ("()?", ["", "a"]),
    ("(a*)*", ["b", "aab"]),
    ("(a*)+", ["b", "aab"]),
    ("(a|)+b", ["ab", "b", "aab"]),
    ("(?:a|())*x", ["aax", "x"]),
    ("(a|ab)(c|bcd)(d*)", ["abcd"]),
    ("(a*?)(a*)", ["aaa"]),
    ("((a)|b)*?c", ["abac"]),
    ("(?:(a)|(b))*", ["abab", "ba"]),
    ("(.*?)x(.*)", ["axbxc"]),
    ("\\b(\\w+)\\b", ["  hello world"]),
    ("(?i)^(HeLLo)\\s+(W\\w+)$", ["hello World", "HELLO   wide"]),
    ("[a-\xfe]+", ["ab\xe8\xff\xfe"]),
    ("[\x01-\xff]+", ["abc\xe8"]),
    ("[\\x80-\\xff]{2}", ["a\x80\xe8b"]),
    ("(x{2,3}?)(x*)", ["xxxxx"]),
    ("(?:(x)|y){2}", ["xy", "yx"]),
    ("(a?)*?b", ["aab"]),
]


def build_corpus():
    rnd = random.Random(SEED)
    corpus = [(p, lines) for p, lines in FIXED]
    for n in range(PATTERNS):
        icase = n % 6 == 5
        text, sampler = Gen(rnd, icase).pattern()
        if icase:
            text = "(?i)" + text
        corpus.append((text, lines_for(rnd, sampler, text)))
    for _ in range(EMPTY_LOOP_PATTERNS):
        text = empty_loops(rnd, rnd.randint(1, 4))
        lines = ["".join(rnd.choice("abc") for _ in range(rnd.randint(0, 7)))
                 for _ in range(LINES_PER_PATTERN)]
        corpus.append((text, lines))
    return corpus


def show(s):
    return repr(s.encode("latin-1"))[1:]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--node", default=None, help="the node program (default: node or nodejs)")
    ap.add_argument("--keep", default=None, help="write the corpus and both outputs here")
    args = ap.parse_args()

    node = args.node or shutil.which("node") or shutil.which("nodejs")
    if not node:
        # CI installs node through tools/deps.sh: there a missing one is a fault.
        if os.environ.get("CI"):
            print("FAIL: node is not installed (Debian's nodejs), and CI must compare with it")
            return 1
        print("SKIP: node is not installed (Debian's nodejs): no ECMAScript engine to compare with")
        return 77

    corpus = build_corpus()
    work = args.keep or tempfile.mkdtemp(prefix="tarvelin-ecma-")
    os.makedirs(work, exist_ok=True)
    try:
        corpus_json = os.path.join(work, "corpus.json")
        with open(corpus_json, "w", encoding="ascii") as f:
            json.dump(corpus, f, ensure_ascii=True)
        probe_input = "".join(
            "P " + p.encode("latin-1").hex() + "\n"
            + "".join("L " + line.encode("latin-1").hex() + "\n" for line in lines)
            for p, lines in corpus
        )
        js = subprocess.run([node, os.path.join(HERE, "reference.js"), corpus_json],
                            capture_output=True, text=True, check=True).stdout.splitlines()
        ours = subprocess.run([args.probe], input=probe_input, capture_output=True, text=True,
                              check=True).stdout.splitlines()
        if args.keep:
            for name, out in (("node.txt", js), ("probe.txt", ours)):
                with open(os.path.join(work, name), "w") as f:
                    f.write("\n".join(out) + "\n")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    expected = sum(1 + len(lines) for _, lines in corpus)
    if len(js) != expected or len(ours) != expected:
        print(f"FAIL: {expected} results expected, node gave {len(js)}, the probe {len(ours)}")
        return 1

    differences = []
    stats = {"lines": 0, "matched": 0, "groups set": 0, "groups unset": 0}
    k = 0
    for pattern, lines in corpus:
        if js[k] != "P ok" or ours[k] != "P ok":
            differences.append(f"pattern {show(pattern)}: node {js[k]!r}, program {ours[k]!r}")
        k += 1
        for line in lines:
            stats["lines"] += 1
            if js[k] != ours[k]:
                differences.append(
                    f"pattern {show(pattern)} line {show(line)}: node {js[k]!r}, program {ours[k]!r}")
            elif js[k] != "L -":
                stats["matched"] += 1
                groups = js[k].split()[2:]
                stats["groups unset"] += groups.count("u")
                stats["groups set"] += len(groups) - groups.count("u")
            k += 1

    print(f"{len(corpus)} patterns, {stats['lines']} lines: {stats['matched']} matched, "
          f"{stats['groups set']} groups set and {stats['groups unset']} left out in the matches")
    if differences:
        for d in differences[:30]:
            print("DIFFERENCE " + d)
        print(f"FAIL: {len(differences)} differences")
        return 1
    # A corpus that hardly matches (or always does) would prove little.
    if not (0.3 * stats["lines"] < stats["matched"] < 0.95 * stats["lines"]
            and stats["groups unset"] > 500 and stats["groups set"] > 5000):
        print("FAIL: the corpus does not exercise the matcher enough")
        return 1
    print("OK: no differences")
    return 0


if __name__ == "__main__":
    sys.exit(main())
