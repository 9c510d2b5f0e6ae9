// The script checker. Every file is read once through the host's files, as
// the runner reads it. A first pass over each file runs every line's check
// quietly and learns the files it calls and the counters it creates; the
// second pass, with the whole Call graph known, reports.
//
// A Call that runs whenever its line is reached (no condition in front of
// it, not after a Stop, End, GoTo, Fail or Return with no label between) is
// a sure call. A sure call that leads back to its own file, directly or
// through other sure calls, nests files until the stack of script files
// overflows.
#include <algorithm>
#include <deque>
#include <cstdio>
#include <map>
#include <set>

#include "engine/check.h"
#include "engine/runner.h"
#include "engine/scripttext.h"
#include "engine/tokenizer.h"
#include "shell/context.h"
#include "shell/paths.h"

namespace tv {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

Bytes Number(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", n);
  return text;
}

struct CallSite {
  Bytes path;  // resolved as the runner resolves it
  int target;  // index of the file, -1 when it cannot be opened now
};

struct File {
  Bytes name;      // as the runner names it in its texts
  Bytes fullPath;  // the base of the file's relative names
  std::vector<Bytes> lines;
  bool utf8 = false;                                // it began with the byte-order mark
  bool lastLf = true;                               // its last line ended with an LF
  ScriptText::Read failed = ScriptText::Read::End;  // why the reading stopped
  std::set<Bytes> labels;
  std::vector<int> callees;
  std::vector<int> sureCallees;
  std::vector<int> callers;
  std::set<Bytes> visibleLabels;  // its own and those of every file calling it
  int depth = 0;                  // the deepest nesting it is seen at (main: 1)
};

// Whether the text is valid UTF-8 with at least one multi-byte character;
// first: the index of the first byte above 127.
bool Utf8WithMultiByte(const Bytes& text, size_t& first) {
  bool multi = false;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    unsigned cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (!multi) first = i;
    multi = true;
    i += len;
  }
  return multi;
}

class Checker : public LineCheck {
 public:
  Checker(FileSystem& fs, const CommandTable& commands, const CheckStart& start)
      : fs_(fs), commands_(commands), start_(start) {
    for (const Bytes& name : start.counters) firstKindText_.emplace(name, false);
    for (const Bytes& name : start.texts) firstKindText_.emplace(name, true);
    counters_ = start.counters;
    texts_ = start.texts;
  }

  std::vector<CheckFinding> Run(const Bytes& path) {
    ScriptRefusal why = ScriptRefusal::Unreadable;
    std::unique_ptr<ScriptFile> main = fs_.OpenScript(path, &why);
    if (!main) {
      findings_.push_back({path, 1, 1, true, NotOpened(path, why, false)});
      return findings_;
    }
    Load(path, std::move(main));
    for (size_t f = 0; f < files_.size(); ++f) Pass(static_cast<int>(f));
    Link();
    reporting_ = true;
    for (size_t f = 0; f < files_.size(); ++f) {
      const size_t first = findings_.size();
      FileWarnings(static_cast<int>(f));
      Pass(static_cast<int>(f));
      std::stable_sort(findings_.begin() + static_cast<long>(first), findings_.end(),
                       [](const CheckFinding& a, const CheckFinding& b) {
                         return a.line != b.line ? a.line < b.line : a.column < b.column;
                       });
    }
    return findings_;
  }

  int Column(const Bytes& rest) const override {
    size_t p = 0;
    while (p < rest.size() && IsBlank(rest[p])) ++p;
    const size_t offset = line_->size() >= rest.size() ? line_->size() - rest.size() : 0;
    return static_cast<int>(offset + p + 1);
  }
  void Error(int column, const Bytes& text) override { Report(column, true, text); }
  void Warning(int column, const Bytes& text) override { Report(column, false, text); }

  void CheckConditionalCommand(Bytes& rest) override {
    const int column = Column(rest);
    Bytes word;
    if (!GetNextWord(rest, word, true, false) || word[0] == '/') return;
    ++conditions_;
    CheckCommandWord(word, column, rest);
    --conditions_;
  }
  void EndsFlow(const char* command) override {
    if (conditions_ == 0) endedBy_ = command;
  }

  bool LabelVisible(const Bytes& label) const override {
    return !reporting_ || files_[static_cast<size_t>(file_)].visibleLabels.count(label) > 0;
  }
  void CounterNamed(const Bytes& name, int column) override {
    Named(name, column, counters_, false);
  }
  bool MayBeCounter(const Bytes& name) const override {
    return counters_.count(name) > 0 || (targets_.count(name) > 0 && texts_.count(name) == 0);
  }
  void TargetNamed(const Bytes& name) override {
    if (!reporting_) targets_.insert(name);
  }
  void TextNamed(const Bytes& name, int column) override { Named(name, column, texts_, true); }
  bool MayBeText(const Bytes& name) const override { return texts_.count(name) > 0; }
  bool OnlyText(const Bytes& name) const override {
    return !unseenCall_ && texts_.count(name) > 0 && counters_.count(name) == 0 &&
           targets_.count(name) == 0;
  }

  void Call(const Bytes& name, int column) override {
    File& caller = files_[static_cast<size_t>(file_)];
    const Bytes path = ResolveScriptRelativePath(fs_, name, caller.fullPath);
    const bool sure = conditions_ == 0 && !unreachableAfter_ && !returned_;
    if (!reporting_) {
      const int target = Find(path);
      if (target < 0) unseenCall_ = true;
      if (target >= 0) caller.callees.push_back(target);
      if (target >= 0 && sure) caller.sureCallees.push_back(target);
      return;
    }
    if (sure) SureCallBack(Find(path), column);
    if (caller.depth >= MAX_SCRIPT_FILES) {
      Error(column, "Příliš velká hloubka vnoření příkazů Call (nejvýše " +
                        Number(MAX_SCRIPT_FILES) + " souborů)");
    }
    if (Find(path) < 0) Warning(column, NotOpened(path, refusals_[path], true));
  }
  void CallOfUnknownFile() override { unseenCall_ = true; }
  void FileRead(const Bytes& name, int column) override {
    if (!reporting_) return;
    const Bytes path = ResolvedFromHere(name);
    if (!fs_.FileExists(path)) Warning(column, "Soubor " + path + " nyní neexistuje");
  }
  void FileCreated(const Bytes& name, int column) override {
    if (!reporting_) return;
    const Bytes path = ResolvedFromHere(name);
    if (!fs_.FolderOfExists(path)) {
      Warning(column, "Složka pro soubor " + path + " nyní neexistuje");
    }
  }

 private:
  // Why a file is not read: as the run says it (of the main script), or
  // "now", of a file a Call names.
  static Bytes NotOpened(const Bytes& path, ScriptRefusal why, bool now) {
    const Bytes when = now ? "nyní " : "";
    switch (why) {
      case ScriptRefusal::NotRegular:
        return "Soubor " + path + " " + when + "nelze použít jako script: není to obyčejný soubor";
      case ScriptRefusal::TooLarge:
        return "Soubor " + path + " " + when + "nelze použít jako script: je větší než 16 MiB";
      case ScriptRefusal::Unreadable:
        break;
    }
    return now ? "Soubor " + path + " nyní nelze otevřít pro čtení"
               : "Nelze otevřít pro čtení soubor " + path;
  }

  // The first pass learns the names and the kind each was first set as (the
  // command line's first of all); the second reports every line that sets a
  // name as the other kind.
  void Named(const Bytes& name, int column, std::set<Bytes>& names, bool text) {
    if (!reporting_) {
      names.insert(name);
      firstKindText_.emplace(name, text);
      return;
    }
    const auto first = firstKindText_.find(name);
    if (first == firstKindText_.end() || first->second == text) return;
    if (start_.counters.count(name)) {
      Error(column,
            "Jméno " + name + " patří čítači z příkazové řádky, textová proměnná je mít nemůže");
    } else if (start_.texts.count(name)) {
      Error(column,
            "Jméno " + name + " patří textové proměnné z příkazové řádky, čítač je mít nemůže");
    } else {
      Error(column,
            "Jméno " + name + " je v kontrolovaných souborech čítačem i textovou proměnnou");
    }
  }

  // A sure call of the file target from this one: a warning when sure calls
  // lead from target back here. The shortest such way is named.
  void SureCallBack(int target, int column) {
    if (target < 0) return;
    std::vector<int> from(files_.size(), -1);
    std::deque<int> todo{target};
    from[static_cast<size_t>(target)] = target;
    while (!todo.empty() && from[static_cast<size_t>(file_)] < 0) {
      const int f = todo.front();
      todo.pop_front();
      for (int next : files_[static_cast<size_t>(f)].sureCallees) {
        if (from[static_cast<size_t>(next)] < 0) {
          from[static_cast<size_t>(next)] = f;
          todo.push_back(next);
        }
      }
    }
    if (from[static_cast<size_t>(file_)] < 0) return;
    if (target == file_) {
      Warning(column,
              "Příkaz Call bez podmínky volá znovu tento soubor: vnořování skončí "
              "přetečením zásobníku souborů-scriptů");
      return;
    }
    Bytes way;
    for (int f = from[static_cast<size_t>(file_)];; f = from[static_cast<size_t>(f)]) {
      way = files_[static_cast<size_t>(f)].name + (way.empty() ? "" : " -> ") + way;
      if (f == target) break;
    }
    Warning(column, "Příkaz Call bez podmínky vede zpět do tohoto souboru (přes " + way +
                        "): vnořování skončí přetečením zásobníku souborů-scriptů");
  }

  // The check of the command word (upper-cased) at column with the rest of
  // its line; an unknown word is an error.
  void CheckCommandWord(const Bytes& word, int column, Bytes& rest) {
    if (const CommandDef* command = commands_.Find(word)) return command->check(*this, rest);
    Error(column, "Neznámý příkaz scriptu: " + word);
  }

  void Report(int column, bool error, const Bytes& text) {
    if (!reporting_) return;
    findings_.push_back({files_[static_cast<size_t>(file_)].name, lineNo_, column, error, text});
  }

  Bytes ResolvedFromHere(const Bytes& name) {
    return ResolveScriptRelativePath(fs_, name, files_[static_cast<size_t>(file_)].fullPath);
  }

  // The file of that path, loaded now when it is new; -1 when it cannot be
  // opened.
  int Find(const Bytes& path) {
    auto known = byPath_.find(path);
    if (known != byPath_.end()) return known->second;
    ScriptRefusal why = ScriptRefusal::Unreadable;
    std::unique_ptr<ScriptFile> script = fs_.OpenScript(path, &why);
    if (!script) {
      byPath_[path] = -1;
      refusals_[path] = why;
      return -1;
    }
    return Load(path, std::move(script));
  }

  int Load(const Bytes& name, std::unique_ptr<ScriptFile> opened) {
    ScriptText script(std::move(opened));
    const int index = static_cast<int>(files_.size());
    byPath_[name] = index;
    byPath_.emplace(script.FullPath(), index);
    files_.emplace_back();
    File& file = files_.back();
    file.name = name;
    file.fullPath = script.FullPath();
    Bytes line, word;
    for (;;) {
      const ScriptText::Read read = script.ReadLine(line);
      file.utf8 = script.Utf8();
      if (read != ScriptText::Read::Line) {
        file.failed = read;
        break;
      }
      file.lines.push_back(line);
      file.lastLf = script.LineEndedWithLf();
      if (ReadLabelLine(line, word)) file.labels.insert(word);
    }
    return index;
  }

  // Callers, the labels GoTo can reach from each file and the deepest
  // nesting of each, along chains of distinct files.
  void Link() {
    for (size_t f = 0; f < files_.size(); ++f) {
      for (int callee : files_[f].callees) {
        files_[static_cast<size_t>(callee)].callers.push_back(static_cast<int>(f));
      }
    }
    for (size_t f = 0; f < files_.size(); ++f) {
      std::vector<bool> seen(files_.size(), false);
      std::vector<int> todo{static_cast<int>(f)};
      seen[f] = true;
      while (!todo.empty()) {
        const File& from = files_[static_cast<size_t>(todo.back())];
        todo.pop_back();
        files_[f].visibleLabels.insert(from.labels.begin(), from.labels.end());
        for (int caller : from.callers) {
          if (!seen[static_cast<size_t>(caller)]) {
            seen[static_cast<size_t>(caller)] = true;
            todo.push_back(caller);
          }
        }
      }
    }
    std::vector<bool> onChain(files_.size(), false);
    Deepen(0, 1, onChain);
  }

  // Every depth recorded is that of a real chain; a file is walked again only
  // when it is reached deeper, at most once per level.
  void Deepen(int f, int depth, std::vector<bool>& onChain) {
    File& file = files_[static_cast<size_t>(f)];
    if (depth <= file.depth) return;
    file.depth = depth;
    if (depth > MAX_SCRIPT_FILES) return;
    onChain[static_cast<size_t>(f)] = true;
    for (int callee : file.callees) {
      if (!onChain[static_cast<size_t>(callee)]) Deepen(callee, depth + 1, onChain);
    }
    onChain[static_cast<size_t>(f)] = false;
  }

  // Lines end at an LF, and one CR right before it goes with it: any other
  // CR stays in its line. Each way a file holds such CRs is told once, at
  // its first place.
  void CrWarnings(const File& file) {
    size_t lfCr = 0;  // lines after the first that begin with a CR
    for (size_t i = 1; i < file.lines.size(); ++i) {
      if (!file.lines[i].empty() && file.lines[i][0] == '\r') ++lfCr;
    }
    bool toldLfCr = false, toldInside = false, toldCrCrLf = false;
    for (size_t i = 0; i < file.lines.size(); ++i) {
      const Bytes& line = file.lines[i];
      const bool last = i + 1 == file.lines.size();
      line_ = &line;
      lineNo_ = static_cast<int>(i + 1);
      // A CR that begins a line after another was left behind by its LF.
      const size_t from = i > 0 && !line.empty() && line[0] == '\r' ? 1 : 0;
      if (from == 1 && !toldLfCr) {
        toldLfCr = true;
        Warning(1, lfCr > 1 ? "Řádky končí znaky LF CR: znak CR za každým LF připadne na začátek "
                              "další řádky"
                            : "Řádka začíná znakem CR za koncem předchozí řádky: znak CR je "
                              "součástí řádky");
      }
      const bool trailing = line.size() > from && line.back() == '\r';
      const size_t inside = line.find('\r', from);
      if (inside != Bytes::npos && inside + 1 < line.size()) {
        if (toldInside) continue;
        toldInside = true;
        const bool more = line.find('\r', inside + 1) != Bytes::npos;
        const int column = static_cast<int>(inside + 1);
        if (!more) {
          Warning(column, "Znak CR uprostřed řádky ji neukončí: text za ním patří k téže řádce");
        } else if (last) {
          Warning(column,
                  "Řádky končí samotným znakem CR: celý zbytek souboru se čte jako jediná řádka");
        } else {
          Warning(column,
                  "Řádky končí samotným znakem CR: vše až do dalšího znaku LF se čte "
                  "jako jediná řádka");
        }
      } else if (trailing && last && !file.lastLf) {
        Warning(static_cast<int>(line.size()),
                "Soubor končí znakem CR bez LF: znak CR zůstává součástí poslední řádky");
      } else if (trailing && !toldCrCrLf && !toldInside) {
        toldCrCrLf = true;
        Warning(static_cast<int>(line.size()),
                "Řádka končí znaky CR CR LF: jeden znak CR zůstává součástí řádky");
      }
    }
  }

  void FileWarnings(int f) {
    file_ = f;
    const File& file = files_[static_cast<size_t>(f)];
    CrWarnings(file);
    Bytes all;
    for (const Bytes& line : file.lines) {
      all += line;
      all.push_back('\n');
    }
    size_t first = 0;
    if (!file.utf8 && Utf8WithMultiByte(all, first)) {
      size_t lineStart = 0;
      int lineNo = 1;
      for (size_t i = 0; i < first; ++i) {
        if (all[i] == '\n') ++lineNo, lineStart = i + 1;
      }
      line_ = &file.lines[static_cast<size_t>(lineNo - 1)];
      lineNo_ = lineNo;
      Warning(static_cast<int>(first - lineStart + 1),
              "Soubor je v UTF-8 bez značky pořadí bajtů (BOM): poběží jako Windows-1250");
    }
    // The run stops at a line it cannot read.
    lineNo_ = static_cast<int>(file.lines.size() + 1);
    if (file.failed == ScriptText::Read::Error) {
      Error(1, "Chyby při čtení souboru, soubor nelze dočíst do konce");
    } else if (file.failed == ScriptText::Read::NotUtf8) {
      Error(1, "Řádka " + Number(lineNo_) + " scriptu není platný text v UTF-8");
    } else if (file.failed == ScriptText::Read::NoCp1250Form) {
      Error(1, "Znak na řádce " + Number(lineNo_) + " scriptu nemá podobu ve Windows-1250");
    } else if (file.failed == ScriptText::Read::TooLarge) {
      Error(1, NotOpened(file.fullPath, ScriptRefusal::TooLarge, false));
    }
  }

  void Pass(int f) {
    file_ = f;
    const std::vector<Bytes>& lines = files_[static_cast<size_t>(f)].lines;
    unreachableAfter_ = nullptr;
    returned_ = false;
    int endLine = 0;
    bool warned = false;
    Bytes rest, word, label;
    for (size_t i = 0; i < lines.size(); ++i) {
      line_ = &lines[i];
      lineNo_ = static_cast<int>(i + 1);
      rest = lines[i];
      const int column = Column(rest);
      if (!GetNextWord(rest, word, true, false) || word[0] == '/') continue;
      if (word == "LABEL") {
        unreachableAfter_ = nullptr;
        returned_ = false;
      } else if (unreachableAfter_ && !warned && word != "COMMENT") {
        warned = true;
        Warning(column, Bytes("Řádka je nedosažitelná: za příkazem ") + unreachableAfter_ +
                            " na řádce " + Number(endLine) + " není žádné návěští");
      }
      endedBy_ = nullptr;
      conditions_ = 0;
      CheckCommandWord(word, column, rest);
      if (word == "RETURN") returned_ = true;
      if (endedBy_ && !unreachableAfter_) {
        unreachableAfter_ = endedBy_;
        endLine = lineNo_;
        warned = false;
      }
    }
  }

  FileSystem& fs_;
  const CommandTable& commands_;
  const CheckStart& start_;
  std::deque<File> files_;  // a file stays where it is while others are loaded
  std::map<Bytes, int> byPath_;
  std::map<Bytes, ScriptRefusal> refusals_;
  std::set<Bytes> counters_;
  std::set<Bytes> texts_;
  std::set<Bytes> targets_;
  bool unseenCall_ = false;              // a Call may open a file that was not checked
  std::map<Bytes, bool> firstKindText_;  // the kind a name was first set as: a text?
  std::vector<CheckFinding> findings_;
  bool reporting_ = false;
  int file_ = 0;
  int lineNo_ = 0;
  const Bytes* line_ = nullptr;
  int conditions_ = 0;
  const char* endedBy_ = nullptr;
  // Where the pass is: after a Stop, End, GoTo or Fail (the command), after
  // a Return, with no Label since.
  const char* unreachableAfter_ = nullptr;
  bool returned_ = false;
};

}  // namespace

std::vector<CheckFinding> CheckScript(FileSystem& files, const Bytes& path,
                                      const CommandTable& commands, const CheckStart& start) {
  Checker checker(files, commands, start);
  return checker.Run(path);
}

bool HasErrors(const std::vector<CheckFinding>& findings) {
  for (const CheckFinding& f : findings) {
    if (f.error) return true;
  }
  return false;
}

Bytes FormatFinding(const CheckFinding& f) {
  return f.file + ":" + Number(f.line) + ":" + Number(f.column) +
         (f.error ? ": chyba: " : ": varování: ") + f.message;
}

}  // namespace tv
