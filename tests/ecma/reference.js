// What ECMAScript makes of the corpus: the same output as the probe
// (probe.cpp), from the JavaScript engine's own RegExp. The corpus is JSON:
// [[pattern, [line, ...]], ...], every byte a code unit below 256.
"use strict";
const fs = require("fs");

const corpus = JSON.parse(fs.readFileSync(process.argv[2], "latin1"));
const out = [];
const hex = (s) => Buffer.from(s, "latin1").toString("hex");
for (const [text, lines] of corpus) {
  let source = text;
  let flags = "d";
  if (source.startsWith("(?i)")) {
    source = source.slice(4);
    flags += "i";
  }
  let re = null;
  try {
    re = new RegExp(source, flags);
    out.push("P ok");
  } catch (e) {
    out.push("P refused " + hex(String(e.message)));
  }
  for (const line of lines) {
    if (!re) {
      out.push("L none");
      continue;
    }
    const m = re.exec(line);
    if (!m) {
      out.push("L -");
      continue;
    }
    out.push("L" + m.indices.map((g) => (g ? " " + g[0] + "," + g[1] : " u")).join(""));
  }
}
process.stdout.write(out.join("\n") + "\n");
