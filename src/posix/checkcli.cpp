#include "posix/checkcli.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <tarvelin_version.h>

#include "app/commands.h"
#include "app/mainwindow.h"
#include "posix/charset.h"
#include "posix/cmdline.h"
#include "posix/files.h"
#include "shell/charset.h"

namespace tv::posix {

namespace {

const char kUsage[] =
    "Použití: tarvelin-check [--format text|json|github|sarif] [-d symbol]\n"
    "                        [-n čítač hodnota] [-t jméno text] [--] SCRIPT...\n"
    "  -d, -n, -t  co definuje příkazová řádka programu; ke scriptu JMÉNO.tvl\n"
    "              se přidají volby ze souboru JMÉNO.args vedle něj\n";

enum class Format { Text, Json, GitHub, Sarif };

// A text of the program (Windows-1250) for the terminal.
std::string Shown(const char* text) {
  return ToUtf8ForDisplay(text);
}

// Windows-1250 bytes as UTF-8, every byte its character.
std::string Utf8(const Bytes& text) {
  std::string out;
  for (char ch : text) AppendUtf8(out, Cp1250ToUnicode(static_cast<unsigned char>(ch)));
  return out;
}

// A JSON string of UTF-8 text.
std::string JsonUtf8(const std::string& text) {
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
      out.push_back(ch);
    }
  }
  return out + "\"";
}

// A JSON string of Windows-1250 bytes, in UTF-8.
std::string JsonString(const Bytes& text) {
  return JsonUtf8(Utf8(text));
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

// A file below the current folder by its name from there: code hosts place
// annotations by paths from the root of the checked-out tree, and the files
// a Call names come out absolute.
Bytes FromHere(const Bytes& file) {
  Bytes here = AbsolutePath("");
  if (here.empty() || here.back() != '/') return file;
  if (file.size() > here.size() && file.compare(0, here.size(), here) == 0) {
    return file.substr(here.size());
  }
  return file;
}

// A workflow command's text: % and line ends escaped; in a property also
// the characters that end it.
std::string GitHubEscaped(const std::string& text, bool property) {
  std::string out;
  for (char ch : text) {
    if (ch == '%') {
      out += "%25";
    } else if (ch == '\r') {
      out += "%0D";
    } else if (ch == '\n') {
      out += "%0A";
    } else if (property && ch == ':') {
      out += "%3A";
    } else if (property && ch == ',') {
      out += "%2C";
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string GitHub(const std::vector<CheckFinding>& findings) {
  std::string out;
  for (const CheckFinding& f : findings) {
    out += f.error ? "::error " : "::warning ";
    out += "file=" + GitHubEscaped(FileNameToUtf8(FromHere(f.file)), true);
    out += ",line=" + std::to_string(f.line) + ",col=" + std::to_string(f.column);
    out += ",title=" + GitHubEscaped("tarvelin-check", true);
    out += "::" + GitHubEscaped(Utf8(f.message), false) + "\n";
  }
  return out;
}

// A file name as a URI reference: a name below the current folder relative,
// any other a file: URI; every byte but the unreserved ones and the slash
// percent-encoded (of the name in UTF-8).
std::string FileUri(const Bytes& file) {
  const Bytes relative = FromHere(file);
  const std::string name = FileNameToUtf8(relative);
  std::string out = !relative.empty() && relative[0] == '/' ? "file://" : "";
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : name) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~' || b == '/') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

// One run of the checker as a SARIF 2.1.0 log. The findings carry no rule
// of their own: each is an error or a warning of the script, two rules.
// Columns count characters of the line as the runner reads it, a byte of
// Windows-1250 each, which are also its UTF-16 code units.
std::string Sarif(const std::vector<CheckFinding>& findings) {
  std::string out =
      "{\n"
      "  \"$schema\": \"https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/"
      "sarif-schema-2.1.0.json\",\n"
      "  \"version\": \"2.1.0\",\n"
      "  \"runs\": [\n"
      "    {\n"
      "      \"tool\": {\n"
      "        \"driver\": {\n"
      "          \"name\": \"tarvelin-check\",\n"
      "          \"rules\": [\n"
      "            {\"id\": \"script-error\", \"shortDescription\": {\"text\": " +
      JsonString("Chyba ve scriptu") +
      "}, \"defaultConfiguration\": {\"level\": \"error\"}},\n"
      "            {\"id\": \"script-warning\", \"shortDescription\": {\"text\": " +
      JsonString("Varování ke scriptu") +
      "}, \"defaultConfiguration\": {\"level\": \"warning\"}}\n"
      "          ]\n"
      "        }\n"
      "      },\n"
      "      \"columnKind\": \"utf16CodeUnits\",\n"
      "      \"results\": [";
  for (size_t i = 0; i < findings.size(); ++i) {
    const CheckFinding& f = findings[i];
    out += i ? ",\n" : "\n";
    out += "        {\"ruleId\": ";
    out += f.error ? "\"script-error\", \"ruleIndex\": 0, \"level\": \"error\""
                   : "\"script-warning\", \"ruleIndex\": 1, \"level\": \"warning\"";
    out += ", \"message\": {\"text\": " + JsonString(f.message) + "}";
    out += ", \"locations\": [{\"physicalLocation\": {\"artifactLocation\": {\"uri\": " +
           JsonUtf8(FileUri(f.file)) + "}";
    out += ", \"region\": {\"startLine\": " + std::to_string(f.line) +
           ", \"startColumn\": " + std::to_string(f.column) + "}}}]}";
  }
  out += findings.empty() ? "]\n" : "\n      ]\n";
  out += "    }\n  ]\n}\n";
  return out;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// dir/NAME.tvl with the ending .args, as the suite runner finds it.
std::string ArgsFileOf(const std::string& script) {
  const size_t slash = script.rfind('/');
  const size_t dot = script.rfind('.');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string stem = script;
  if (dot != std::string::npos && dot > start) stem = script.substr(0, dot);
  return stem + ".args";
}

// What a command line sets: it must parse; false with the error's text.
bool StartOf(const std::vector<std::string>& args, CheckStart& start, Bytes& error,
             StartupOptions* options = nullptr) {
  StartupOptions parsed;
  SymbolList symbols;
  CounterList counters;
  TextList texts;
  try {
    ParseCommandLine(RebuildCommandLine(args), parsed, symbols, counters, texts);
  } catch (const CommandLineError& e) {
    error = e.text;
    return false;
  }
  for (const CounterList::Counter& c : counters.Items()) start.counters.insert(c.name);
  for (const TextList::Text& t : texts.Items()) start.texts.insert(t.name);
  if (options) *options = parsed;
  return true;
}

std::vector<std::string> WithScript(std::vector<std::string> args, const std::string& script) {
  args.push_back(script);
  return args;
}

// The script with the checker's options and the options of its NAME.args
// file, which the suite runner puts before the script's name.
std::vector<CheckFinding> CheckOne(FileSystem& files, const std::string& script,
                                   const std::vector<std::string>& options) {
  CheckStart start;
  Bytes error;
  StartOf(options, start, error);
  std::vector<CheckFinding> argsFindings;
  const std::string argsFile = ArgsFileOf(script);
  if (IsRegularFile(argsFile)) {
    const Bytes name = FromUtf8(argsFile);
    std::vector<std::string> args = options;
    CheckStart withArgs;
    StartupOptions parsed;
    if (!ReadArgsFile(argsFile, args)) {
      argsFindings.push_back(
          {name, 1, 1, true, "Nelze přečíst soubor " + name + ": " + FromUtf8(strerror(errno))});
    } else if (!StartOf(WithScript(args, script), withArgs, error, &parsed)) {
      argsFindings.push_back({name, 1, 1, true, "Chyba v argumentech programu: " + error});
    } else if (parsed.scriptName != FromUtf8(script)) {
      argsFindings.push_back(
          {name, 1, 1, true, "S parametry z tohoto souboru program script nespustí"});
    } else {
      start = withArgs;
    }
  }
  std::vector<CheckFinding> findings = CheckScript(files, FromUtf8(script), start);
  argsFindings.insert(argsFindings.end(), findings.begin(), findings.end());
  return argsFindings;
}

}  // namespace

int RunChecker(const std::vector<std::string>& args, std::string& out, std::string& err) {
  Format format = Format::Text;
  bool options = true;
  std::vector<std::string> scripts;
  std::vector<std::string> defines;  // -d, -n and -t with their parameters
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--format" || arg.compare(0, 9, "--format=") == 0)) {
      std::string name;
      if (arg == "--format") {
        if (i + 1 >= args.size()) {
          err = Shown("tarvelin-check: za --format chybí text, json, github nebo sarif\n") +
                Shown(kUsage);
          return 2;
        }
        name = args[++i];
      } else {
        name = arg.substr(9);
      }
      if (name == "text") {
        format = Format::Text;
      } else if (name == "json") {
        format = Format::Json;
      } else if (name == "github") {
        format = Format::GitHub;
      } else if (name == "sarif") {
        format = Format::Sarif;
      } else {
        err = Shown("tarvelin-check: neznámý formát ") + name +
              Shown(" (text, json, github nebo sarif)\n") + Shown(kUsage);
        return 2;
      }
    } else if (options && (arg == "-h" || arg == "--help")) {
      out = Shown(kUsage);
      return 0;
    } else if (options && arg == "--version") {
      out = "tarvelin-check " TARVELIN_VERSION_TEXT "\n";
      return 0;
    } else if (options && (arg == "-d" || arg == "-D" || arg == "-n" || arg == "-t")) {
      // The parameters as the program takes them; one that is missing is
      // reported as the program reports it.
      const size_t count = arg == "-d" || arg == "-D" ? 1 : 2;
      defines.push_back(arg);
      for (size_t k = 0; k < count && i + 1 < args.size(); ++k) defines.push_back(args[++i]);
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      err = Shown("tarvelin-check: neznámá volba ") + arg + "\n" + Shown(kUsage);
      return 2;
    } else {
      scripts.push_back(arg);
    }
  }
  CheckStart start;
  Bytes error;
  if (!StartOf(defines, start, error)) {
    err = Shown("tarvelin-check: ") + ToUtf8ForDisplay(error) + "\n" + Shown(kUsage);
    return 2;
  }
  if (scripts.empty()) {
    err = Shown(kUsage);
    return 2;
  }
  PosixFileSystem files;
  std::vector<CheckFinding> findings;
  for (const std::string& script : scripts) {
    std::vector<CheckFinding> more = CheckOne(files, script, defines);
    findings.insert(findings.end(), more.begin(), more.end());
  }
  switch (format) {
    case Format::Json:
      out = Json(findings);
      break;
    case Format::GitHub:
      out = GitHub(findings);
      break;
    case Format::Sarif:
      out = Sarif(findings);
      break;
    case Format::Text:
      for (const CheckFinding& f : findings) out += ToUtf8ForDisplay(FormatFinding(f)) + "\n";
      break;
  }
  return HasErrors(findings) ? 1 : 0;
}

}  // namespace tv::posix
