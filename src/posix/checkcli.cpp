#include "posix/checkcli.h"

#include <tarvelin_version.h>

#include "app/commands.h"
#include "posix/charset.h"
#include "posix/files.h"
#include "shell/charset.h"

namespace tv::posix {

namespace {

const char kUsage[] = "Použití: tarvelin-check [--format text|json] SCRIPT...\n";

// A text of the program (Windows-1250) for the terminal.
std::string Shown(const char* text) {
  return ToUtf8ForDisplay(text);
}

// A JSON string of Windows-1250 bytes, in UTF-8.
std::string JsonString(const Bytes& text) {
  std::string out = "\"";
  for (char ch : text) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b == '"' || b == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (b < 0x20 || b == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    } else {
      AppendUtf8(out, Cp1250ToUnicode(b));
    }
  }
  return out + "\"";
}

std::string Json(const std::vector<CheckFinding>& findings) {
  std::string out = "[";
  for (size_t i = 0; i < findings.size(); ++i) {
    const CheckFinding& f = findings[i];
    out += i ? ",\n  {" : "\n  {";
    out += "\"file\": " + JsonString(f.file);
    out += ", \"line\": " + std::to_string(f.line);
    out += ", \"column\": " + std::to_string(f.column);
    out += std::string(", \"severity\": ") + (f.error ? "\"error\"" : "\"warning\"");
    out += ", \"message\": " + JsonString(f.message) + "}";
  }
  return out + (findings.empty() ? "]\n" : "\n]\n");
}

}  // namespace

int RunChecker(const std::vector<std::string>& args, std::string& out, std::string& err) {
  bool json = false;
  bool options = true;
  std::vector<Bytes> scripts;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--format" || arg.compare(0, 9, "--format=") == 0)) {
      std::string format;
      if (arg == "--format") {
        if (i + 1 >= args.size()) {
          err = Shown("tarvelin-check: za --format chybí text nebo json\n") + Shown(kUsage);
          return 2;
        }
        format = args[++i];
      } else {
        format = arg.substr(9);
      }
      if (format != "text" && format != "json") {
        err = Shown("tarvelin-check: neznámý formát ") + format + Shown(" (text nebo json)\n") +
              Shown(kUsage);
        return 2;
      }
      json = format == "json";
    } else if (options && (arg == "-h" || arg == "--help")) {
      out = Shown(kUsage);
      return 0;
    } else if (options && arg == "--version") {
      out = "tarvelin-check " TARVELIN_VERSION_TEXT "\n";
      return 0;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      err = Shown("tarvelin-check: neznámá volba ") + arg + "\n" + Shown(kUsage);
      return 2;
    } else {
      scripts.push_back(FromUtf8(arg));
    }
  }
  if (scripts.empty()) {
    err = Shown(kUsage);
    return 2;
  }
  PosixFileSystem files;
  std::vector<CheckFinding> findings;
  for (const Bytes& script : scripts) {
    std::vector<CheckFinding> more = CheckScript(files, script);
    findings.insert(findings.end(), more.begin(), more.end());
  }
  if (json) {
    out = Json(findings);
  } else {
    for (const CheckFinding& f : findings) out += ToUtf8ForDisplay(FormatFinding(f)) + "\n";
  }
  return HasErrors(findings) ? 1 : 0;
}

}  // namespace tv::posix
