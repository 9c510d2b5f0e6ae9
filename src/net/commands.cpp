// The script commands that drive the connection.
#include <cstring>
#include <string_view>
#include <vector>

#include "net/commands.h"

#include "engine/args.h"
#include "engine/numbers.h"
#include "engine/pattern.h"
#include "net/address.h"
#include "net/connection.h"
#include "net/receive.h"
#include "net/send.h"

namespace tv {

namespace {

constexpr size_t kConnectServerChars = 118;  // a 119-byte buffer
constexpr size_t kPortChars = 31;

constexpr char kReceiveNeedsConnectionBox[] = "Nelze provést Receive, pokud není otevřeno spojení";
constexpr char kWaitForSyntaxBox[] = "Nesprávná syntaxe příkazu WaitFor ve scriptu";
constexpr char kConnectParamsBox[] = "Očekávány 2 parametry příkazu Connect: server a port";
constexpr char kAcceptPortBox[] = "Očekáván parametr příkazu Accept: port";
constexpr char kAcceptAddressBox[] =
    "Parametr příkazu Accept za portem musí být adresa IPv4 nebo IPv6";
constexpr char kAcceptAddressSyntax[] = "Accept <port> [<adresa IPv4 nebo IPv6>]";
constexpr char kNothingToSendBox[] = "Není co odesílat - řetězec je prázdný";
constexpr char kReceiveSyntaxBox[] = "Nesprávná syntaxe příkazu Receive ve scriptu";
constexpr char kSkipToCharBox[] = "Není dobře udán koncový znak pro SkipTo";
constexpr char kParseLineBox[] = "Nesprávná syntaxe příkazu ParseLine ve scriptu";
constexpr char kParseLineSyntax[] = "ParseLine \"<výraz>\" [<cíl> ...]";
constexpr char kParseLineTargets[] = "Výraz příkazu ParseLine má méně skupin, než kolik je cílů.";
constexpr char kParseLineTargetsCheck[] =
    "Výraz příkazu ParseLine má méně skupin, než kolik je cílů";

bool Connected(const ScriptContext& ctx) {
  return ctx.connection != nullptr;
}

// WaitFor, Receive and SkipTo share this check and its texts.
bool CheckReadConnection(ScriptContext& ctx) {
  if (Connected(ctx)) return true;
  ctx.ReportError(kReceiveNeedsConnectionBox);
  ctx.LogPrintf("Příkaz nelze provést, spojení není otevřené.\n");
  return false;
}

Bytes PortText(int port) {
  return FormatText("%d", port);
}

// The end of Receive and SkipTo: one read and its report.
Flow FinishBlockRead(ScriptContext& ctx, bool read, const char* command, ScriptFileStack& stack) {
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, command, stack);
  if (read) {
    ctx.LogPrintf("Blok dat v pořádku načten.\n");
    ctx.SetLowerStatus("Blok dat v pořádku načten.");
    return Flow::Next;
  }
  ctx.LogPrintf("Blok dat nelze načíst: %s\n", ctx.failureReason);
  if (ctx.failureReason == kReasonTlsBroken) {
    ctx.ReportError("Blok dat nelze v pořádku načíst, spojení TLS porušeno: " + ctx.tlsFault);
  } else {
    ctx.ReportError("Blok dat nelze v pořádku načíst");
  }
  return Flow::Fail;
}

enum class WaitMode { End, EmptyLine, LineStarting, ExactMatch, Contains, Matching };

struct WaitModeEntry {
  const char* word;
  WaitMode mode;
  bool needsText;
  const char* description;
};

// The conditions of WaitFor; TestLine takes the same words, except END.
const WaitModeEntry kWaitModes[] = {
    {"END", WaitMode::End, false, " až do ukončení spojení"},
    {"EMPTYLINE", WaitMode::EmptyLine, false, ", dokud nenarazím na prázdnou řádku"},
    {"LINESTARTING", WaitMode::LineStarting, true, ", dokud nenarazím na řádku začínající textem "},
    {"EXACTMATCH", WaitMode::ExactMatch, true, ", dokud nenarazím na řádku se samotným textem "},
    {"CONTAINS", WaitMode::Contains, true, ", dokud nenarazím na řádku obsahující text "},
    {"MATCHING", WaitMode::Matching, true, ", dokud nenarazím na řádku odpovídající výrazu "},
};

constexpr char kBadPatternBox[] = "Nesprávný regulární výraz ve scriptu";

const WaitModeEntry* FindCondition(const Bytes& word, bool allowEnd) {
  for (const WaitModeEntry& e : kWaitModes) {
    if (word == e.word && (allowEnd || e.mode != WaitMode::End)) return &e;
  }
  return nullptr;
}

// A condition on one line, as WaitFor and TestLine read it.
struct LineCondition {
  const WaitModeEntry* entry = nullptr;
  Bytes text;
  Pattern pattern;  // Matching

  // line: len bytes, tested up to its first zero byte.
  bool Holds(const char* line, size_t len) const {
    if (const void* zero = std::memchr(line, 0, len)) {
      len = static_cast<size_t>(static_cast<const char*>(zero) - line);
    }
    switch (entry->mode) {
      case WaitMode::End:
        return false;
      case WaitMode::EmptyLine:
        return len == 0;
      case WaitMode::LineStarting:
        return len >= text.size() && std::memcmp(line, text.data(), text.size()) == 0;
      case WaitMode::ExactMatch:
        return len == text.size() && std::memcmp(line, text.data(), len) == 0;
      case WaitMode::Contains:
        return std::string_view(line, len).find(text) != std::string_view::npos;
      case WaitMode::Matching:
        return pattern.Search(line, len);
    }
    return false;
  }
};

struct ConditionTexts {
  const char* box;
  const char* syntax;
  // What is wrong without the text: after LineStarting/ExactMatch, after
  // Contains/Matching.
  const char* missingText[2];
};

const ConditionTexts kWaitForTexts = {
    kWaitForSyntaxBox,
    "WaitFor [End | LineStarting | ExactMatch | EmptyLine] [<retězec>]",
    {"Za WaitFor LineStarting nebo WaitFor ExactMatch musí být řetězec znaků.",
     "Za WaitFor Contains nebo WaitFor Matching musí být řetězec znaků."},
};

const ConditionTexts kTestLineTexts = {
    "Nesprávná syntaxe příkazu TestLine ve scriptu",
    "TestLine [LineStarting | ExactMatch | EmptyLine | Contains | Matching] [<řetězec>]",
    {"Za TestLine LineStarting nebo TestLine ExactMatch musí být řetězec znaků.",
     "Za TestLine Contains nebo TestLine Matching musí být řetězec znaků."},
};

// A pattern that does not compile: the box, then the reason in the log.
bool BadPattern(Args& in, const Bytes& reason) {
  return in.Malformed(kBadPatternBox, reason.c_str(), "Nesprávný regulární výraz: " + reason);
}

// Reads the condition word and its text. The checker says more than the
// run's box: which word is missing or unknown, or that the pattern does not
// compile.
bool ReadCondition(Args& in, bool allowEnd, const char* command, const ConditionTexts& texts,
                   LineCondition& condition) {
  Bytes word;
  in.Keyword(word);
  condition.entry = FindCondition(word, allowEnd);
  if (!condition.entry) {
    const bool waitFor = allowEnd;
    Bytes check;
    if (word.empty()) {
      check = Bytes("Za ") + command + (waitFor ? " chybí způsob čtení" : " chybí podmínka");
    } else {
      check = (waitFor ? Bytes("Neznámý způsob čtení za ") : Bytes("Neznámá podmínka za ")) +
              command + ": " + word;
    }
    return in.Syntax(texts.box, texts.syntax, check);
  }
  if (!condition.entry->needsText) return true;
  // The checker cannot judge a text that depends on the run.
  bool known = false;
  if (!in.Text(condition.text, &known)) return false;
  if (!known) return true;
  if (condition.text.empty()) {
    const bool newMode =
        condition.entry->mode == WaitMode::Contains || condition.entry->mode == WaitMode::Matching;
    const char* missing = texts.missingText[newMode ? 1 : 0];
    // The checker's complaint is the run's without its full stop.
    Bytes check = missing;
    if (!check.empty() && check.back() == '.') check.pop_back();
    return in.Malformed(texts.box, missing, check);
  }
  if (condition.entry->mode == WaitMode::Matching) {
    Bytes reason;
    if (!condition.pattern.Compile(condition.text, reason)) return BadPattern(in, reason);
  }
  return true;
}

// The pattern of ParseLine: one word, its quotes removed.
Bytes PatternWord(Args& in) {
  Bytes word;
  in.Word(word);
  if (!word.empty() && word[0] == '"') {
    size_t len = word.size() - 1;
    if (len > 0 && word.back() == '"') --len;
    return word.substr(1, len);
  }
  return word;
}

bool IsLineWord(const Bytes& word) {
  Bytes lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower == "line" || lower == "lastline";
}

// WaitFor, Receive and SkipTo read only on an open connection; the run says
// so before it reads the arguments.
bool ReadingConnection(Args& in) {
  ScriptContext* ctx = in.Run();
  return !ctx || CheckReadConnection(*ctx) || in.Failed(Flow::Fail);
}

struct ConnectArgs {
  Bytes server, port;
};

// The server and the port may be named by a text variable or a counter.
bool ReadConnect(Args& in, ConnectArgs& a) {
  in.WordOrValue(a.server, false, true);
  if (!in.WordOrValue(a.port, false, true)) {
    return in.Syntax(kConnectParamsBox, "Connect <server> <port>");
  }
  return true;
}

Flow RunConnect(ScriptContext& ctx, ConnectArgs& a, ScriptFileStack& stack) {
  Bytes& server = a.server;
  Bytes& portWord = a.port;
  if (server == "?" || portWord == "?") {
    Profile& profile = ctx.host.profile;
    Bytes askedServer =
        server != "?" ? server : profile.GetString("ConnectServer", "", kConnectServerChars);
    int askedPort = portWord != "?"
                        ? NumberOrZero(portWord)
                        : NumberOrZero(profile.GetString("ConnectPort", "0", kPortChars));
    if (ctx.host.window.ConnectParams(askedServer, askedPort) != kIdOk) return Flow::Cancel;
    profile.SetString("ConnectServer", askedServer);
    profile.SetString("ConnectPort", PortText(askedPort));
    server = askedServer;
    portWord = PortText(askedPort);
  }
  ctx.StartTimeLimit();
  const bool connected = ConnectToServer(ctx, server, NumberOrZero(portWord));
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "Connect", stack);
  if (connected) return Flow::Next;
  ctx.ReportError(Bytes("Příkaz Connect nelze provést, spojení nenavázáno: ") + ctx.failureReason);
  return Flow::Fail;
}

struct AcceptArgs {
  Bytes port;
  bool oneAddress = false;
  IpAddress address;
};

bool ReadAccept(Args& in, AcceptArgs& a) {
  if (!in.Word(a.port)) return in.Syntax(kAcceptPortBox, "Accept <port>");
  Bytes word;
  a.oneAddress = in.Word(word);
  if (a.oneAddress && !ParseIpLiteral(word, a.address)) {
    return in.Syntax(kAcceptAddressBox, kAcceptAddressSyntax);
  }
  return true;
}

Flow RunAccept(ScriptContext& ctx, AcceptArgs& a, ScriptFileStack& stack) {
  Bytes& portWord = a.port;
  if (portWord == "?") {
    Profile& profile = ctx.host.profile;
    int askedPort = NumberOrZero(profile.GetString("AcceptPort", "0", kPortChars));
    if (ctx.host.window.AcceptParams(askedPort) != kIdOk) return Flow::Cancel;
    portWord = PortText(askedPort);
    profile.SetString("AcceptPort", portWord);
  }
  ctx.StartTimeLimit();
  const bool accepted =
      AcceptConnection(ctx, NumberOrZero(portWord), a.oneAddress ? &a.address : nullptr);
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "Accept", stack);
  if (accepted) return Flow::Next;
  ctx.ReportError(Bytes("Příkaz Accept nelze provést, spojení nenavázáno: ") + ctx.failureReason);
  return Flow::Fail;
}

Flow RunDisconnect(ScriptContext& ctx, NoArgs&, ScriptFileStack&) {
  if (!Connected(ctx)) {
    ctx.LogPrintf("Disconnect: Spojení již bylo ukončeno dříve.\n");
    ctx.SetLowerStatus("Spojení již bylo ukončeno dříve.");
    return Flow::Next;
  }
  CloseConnectionLogged(ctx, "Ukončuji spojení.", "Ukončuji spojení.\n");
  return Flow::Next;
}

struct TextArgs {
  Bytes text;
};

bool ReadSend(Args& in, TextArgs& a) {
  if (ScriptContext* ctx = in.Run(); ctx && !Connected(*ctx)) {
    return in.Error("Nelze provést Send, pokud není otevřeno spojení",
                    "Send nelze provést, spojení není otevřené.\n");
  }
  bool known = false;
  if (!in.Text(a.text, &known)) return false;
  if (known && a.text.empty()) return in.Syntax(kNothingToSendBox, "Send <řetězec>");
  return true;
}

Flow RunSend(ScriptContext& ctx, TextArgs& a, ScriptFileStack& stack) {
  ctx.StartTimeLimit();
  const bool sent = SendData(ctx, a.text.data(), static_cast<int>(a.text.size()));
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "Send", stack);
  if (sent) return Flow::Next;
  ctx.ReportError("Příkaz Send nelze provést, spojení bylo přerušeno");
  ctx.LogPrintf("Send nelze provést: %s\n", ctx.failureReason);
  return Flow::Fail;
}

bool ReadWaitFor(Args& in, LineCondition& condition) {
  return ReadingConnection(in) && ReadCondition(in, true, "WaitFor", kWaitForTexts, condition);
}

Flow RunWaitFor(ScriptContext& ctx, LineCondition& condition, ScriptFileStack& stack) {
  const Bytes description = condition.entry->description + condition.text;
  ctx.SetLowerStatus("Čtu řádky ze socketu" + description);
  ctx.LogData("Zahájeno čtení řádek ze socketu", description.data(), description.size());

  bool matched = false;
  ctx.StartTimeLimit();
  while (ReadUntil(ctx, '\n')) {
    // The line ends at its first zero byte, as the scratch text does.
    if (condition.Holds(ctx.scratch.data(), ctx.scratch.size())) {
      matched = true;
      break;
    }
  }
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "WaitFor", stack);
  // A line too long for the buffer never counts as the end of the data, nor
  // does a TLS stream that broke or was cut.
  const bool overlong = !matched && ctx.failureReason == kReasonLineTooLong;
  const bool tlsBroken = !matched && ctx.failureReason == kReasonTlsBroken;
  if (matched || (condition.entry->mode == WaitMode::End && !overlong && !tlsBroken)) {
    ctx.LogPrintf("Koncová podmínka splněna.\n");
    ctx.SetLowerStatus("Dočteno, koncová podmínka splněna.");
    return Flow::Next;
  }
  // A line too long for the buffer is no close of the peer's: the log says
  // only what happened.
  if (overlong) {
    ctx.LogPrintf(
        "Řádka je delší než vyrovnávací paměť (%d bytů).\n"
        "Koncové podmínky nebylo dosaženo.\n",
        kReceiveBufferSize);
    ctx.ReportError("Řádka je delší než vyrovnávací paměť, koncové podmínky nebylo dosaženo");
    return Flow::Fail;
  }
  if (tlsBroken) {
    ctx.LogPrintf("Koncové podmínky nebylo dosaženo.\n");
    ctx.ReportError("Spojení TLS porušeno, koncové podmínky nebylo dosaženo: " + ctx.tlsFault);
    return Flow::Fail;
  }
  ctx.LogPrintf(
      "Předčasné uzavření spojení ze strany partnerského počítače.\n"
      "Koncové podmínky nebylo dosaženo.\n");
  ctx.ReportError("Předčasný pád spojení, koncové podmínky nebylo dosaženo");
  return Flow::Fail;
}

bool ReadTestLine(Args& in, LineCondition& condition) {
  return ReadCondition(in, false, "TestLine", kTestLineTexts, condition);
}

// Tests the last line as WaitFor tests each line it reads.
Flow RunTestLine(ScriptContext& ctx, LineCondition& condition, ScriptFileStack&) {
  if (condition.Holds(ctx.lastLine.data(), ctx.lastLine.size())) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

struct ParseLineArgs {
  Pattern pattern;
  std::vector<Bytes> targets;
};

// The checker names every target past the groups, and learns every counter.
bool ReadParseLine(Args& in, ParseLineArgs& a) {
  const Bytes text = PatternWord(in);
  if (text.empty()) return in.Syntax(kParseLineBox, kParseLineSyntax);
  Bytes reason;
  if (!a.pattern.Compile(text, reason)) return BadPattern(in, reason);
  bool ok = true;
  Bytes word;
  while (in.Word(word)) {
    a.targets.push_back(word);
    if (a.targets.size() == a.pattern.GroupCount() + 1) {
      ok = in.Malformed(kParseLineBox, kParseLineTargets, kParseLineTargetsCheck);
      if (in.Run()) return false;
    }
    if (!IsLineWord(word)) in.TargetNamed(word);
  }
  return ok;
}

// Matches the last line (up to its first zero byte) and hands group k to
// target k: the word line and a text variable get the group's text, a
// counter (created when missing) its number. A group that took no part in
// the match counts as an empty text. When a counter's group holds no number
// the line has not the expected form: the command then acts as if there were
// no match, and changes nothing. A number too large for a counter is an
// error.
Flow RunParseLine(ScriptContext& ctx, ParseLineArgs& a, ScriptFileStack&) {
  const std::vector<Bytes>& targets = a.targets;
  const char* line = ctx.lastLine.data();
  size_t len = ctx.lastLine.size();
  if (const void* zero = std::memchr(line, 0, len)) {
    len = static_cast<size_t>(static_cast<const char*>(zero) - line);
  }
  std::vector<Pattern::Group> groups;
  bool parsed = a.pattern.Search(line, len, groups);
  std::vector<int32_t> values(targets.size());
  std::vector<Bytes*> texts(targets.size(), nullptr);
  for (size_t k = 0; parsed && k < targets.size(); ++k) {
    if (IsLineWord(targets[k])) continue;
    texts[k] = ctx.texts.Find(targets[k], false);
    if (texts[k]) continue;
    bool fits = true;
    parsed = ParseNumber(groups[k + 1].text, values[k], fits);
    if (parsed && !fits) {
      ctx.ReportError("Číslo ve skupině výrazu se nevejde do čítače");
      ctx.LogData(FormatText("ParseLine: číslo pro čítač %s se nevejde do rozsahu -2147483648 až "
                             "2147483647: ",
                             targets[k].c_str())
                      .c_str(),
                  groups[k + 1].text.data(), groups[k + 1].text.size());
      return Flow::Fail;
    }
  }
  if (!parsed) {
    ctx.symbols.Undefine("TRUE");
    return Flow::Next;
  }
  Bytes newLine = ctx.lastLine;
  for (size_t k = 0; k < targets.size(); ++k) {
    if (IsLineWord(targets[k])) {
      newLine = groups[k + 1].text;
    } else if (texts[k]) {
      *texts[k] = groups[k + 1].text;
    } else {
      *ctx.counters.Find(targets[k], true) = values[k];
    }
  }
  ctx.lastLine = newLine;
  ctx.symbols.Define("TRUE");
  return Flow::Next;
}

struct ReceiveArgs {
  int32_t length = 0;
};

// The word is read as written: upper-casing changes no number, and a
// counter's name is compared exactly.
bool ReadReceive(Args& in, ReceiveArgs& a) {
  if (!ReadingConnection(in)) return false;
  Bytes word;
  in.Word(word);
  if (!in.NumberOrCounter(word, a.length)) {
    return in.Syntax(kReceiveSyntaxBox, "Receive <počet-bytů>");
  }
  return true;
}

Flow RunReceive(ScriptContext& ctx, ReceiveArgs& a, ScriptFileStack& stack) {
  ctx.SetLowerStatus("Čtu blok dat ze socketu");
  ctx.LogPrintf("Zahájeno čtení bloku o délce %d ze socketu\n", static_cast<int>(a.length));
  ctx.StartTimeLimit();
  return FinishBlockRead(ctx, ReadBlock(ctx, a.length), "Receive", stack);
}

bool ReadSkipTo(Args& in, TextArgs& a) {
  if (!ReadingConnection(in)) return false;
  bool known = false;
  if (!in.Text(a.text, &known)) return false;
  if (known && a.text.size() != 1) return in.Syntax(kSkipToCharBox, "SkipTo <znak>");
  return true;
}

Flow RunSkipTo(ScriptContext& ctx, TextArgs& a, ScriptFileStack& stack) {
  ctx.SetLowerStatus("Čtu blok dat ze socketu");
  ctx.LogPrintf("Zahájeno čtení bloku až do znaku %d ze socketu\n",
                static_cast<unsigned char>(a.text[0]));
  ctx.StartTimeLimit();
  return FinishBlockRead(ctx, ReadUntil(ctx, a.text[0]), "SkipTo", stack);
}

}  // namespace

const CommandDef kConnect = DefineCommand<ConnectArgs, ReadConnect, RunConnect>();
const CommandDef kAccept = DefineCommand<AcceptArgs, ReadAccept, RunAccept>();
const CommandDef kDisconnect = DefineCommand<NoArgs, ReadNoArgs, RunDisconnect>();
const CommandDef kSend = DefineCommand<TextArgs, ReadSend, RunSend>();
const CommandDef kWaitFor = DefineCommand<LineCondition, ReadWaitFor, RunWaitFor>();
const CommandDef kReceive = DefineCommand<ReceiveArgs, ReadReceive, RunReceive>();
const CommandDef kSkipTo = DefineCommand<TextArgs, ReadSkipTo, RunSkipTo>();
const CommandDef kTestLine = DefineCommand<LineCondition, ReadTestLine, RunTestLine>();
const CommandDef kParseLine = DefineCommand<ParseLineArgs, ReadParseLine, RunParseLine>();

}  // namespace tv
