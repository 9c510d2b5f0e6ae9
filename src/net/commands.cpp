// The script commands that drive the connection.
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/commands.h"
#include "engine/expand.h"
#include "engine/numbers.h"
#include "engine/pattern.h"
#include "engine/tokenizer.h"
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

bool Connected(const ScriptContext& ctx) {
  return ctx.connection != kInvalidSocket;
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
  ctx.ReportError("Blok dat nelze v pořádku načíst");
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
Flow BadPattern(ScriptContext& ctx, const Bytes& reason) {
  return MalformedCommand(ctx, kBadPatternBox, reason.c_str());
}

// Reads the condition word and its text from rest; on an error reports it
// and returns false with the flow in failed.
bool ReadCondition(ScriptContext& ctx, Bytes& rest, bool allowEnd, const ConditionTexts& texts,
                   LineCondition& condition, Flow& failed) {
  Bytes word;
  GetNextWord(rest, word, true, false);
  condition.entry = FindCondition(word, allowEnd);
  if (!condition.entry) {
    failed = SyntaxError(ctx, texts.box, texts.syntax);
    return false;
  }
  if (!condition.entry->needsText) return true;
  condition.text = ExpandText(ctx, rest);
  if (condition.text.empty()) {
    const bool newMode =
        condition.entry->mode == WaitMode::Contains || condition.entry->mode == WaitMode::Matching;
    failed = MalformedCommand(ctx, texts.box, texts.missingText[newMode ? 1 : 0]);
    return false;
  }
  if (condition.entry->mode == WaitMode::Matching) {
    Bytes reason;
    if (!condition.pattern.Compile(condition.text, reason)) {
      failed = BadPattern(ctx, reason);
      return false;
    }
  }
  return true;
}

// The check of a condition and its text: what ReadCondition refuses
// whatever the run does.
void CheckCondition(LineCheck& lc, Bytes& rest, bool allowEnd, const char* command,
                    const ConditionTexts& texts) {
  int column = lc.Column(rest);
  Bytes word;
  GetNextWord(rest, word, true, false);
  const WaitModeEntry* entry = FindCondition(word, allowEnd);
  if (!entry) {
    const bool waitFor = allowEnd;
    if (word.empty()) {
      return lc.Error(
          column, Bytes("Za ") + command + (waitFor ? " chybí způsob čtení" : " chybí podmínka"));
    }
    return lc.Error(column,
                    (waitFor ? Bytes("Neznámý způsob čtení za ") : Bytes("Neznámá podmínka za ")) +
                        command + ": " + word);
  }
  if (!entry->needsText) return;
  column = lc.Column(rest);
  Bytes text;
  if (!LiteralText(lc, rest, text)) return;
  const bool newMode = entry->mode == WaitMode::Contains || entry->mode == WaitMode::Matching;
  if (text.empty()) {
    // The run's complaint without its full stop.
    Bytes missing = texts.missingText[newMode ? 1 : 0];
    if (!missing.empty() && missing.back() == '.') missing.pop_back();
    return lc.Error(column, missing);
  }
  Pattern pattern;
  Bytes reason;
  if (entry->mode == WaitMode::Matching && !pattern.Compile(text, reason)) {
    lc.Error(column, Bytes("Nesprávný regulární výraz: ") + reason);
  }
}

// The pattern of ParseLine: one word, its quotes removed.
Bytes PatternWord(Bytes& rest) {
  Bytes word;
  GetNextWord(rest, word, false, false);
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

}  // namespace

Flow CmdConnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes server, portWord;
  GetNextWord(rest, server, false, false);
  if (!GetNextWord(rest, portWord, false, false)) {
    return SyntaxError(ctx, kConnectParamsBox, "Connect <server> <port>");
  }
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

Flow CmdAccept(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes portWord;
  if (!GetNextWord(rest, portWord, false, false)) {
    return SyntaxError(ctx, kAcceptPortBox, "Accept <port>");
  }
  Bytes addressWord;
  IpAddress address;
  const bool oneAddress = GetNextWord(rest, addressWord, false, false);
  if (oneAddress && !ParseIpLiteral(addressWord, address)) {
    return SyntaxError(ctx, kAcceptAddressBox, kAcceptAddressSyntax);
  }
  if (portWord == "?") {
    Profile& profile = ctx.host.profile;
    int askedPort = NumberOrZero(profile.GetString("AcceptPort", "0", kPortChars));
    if (ctx.host.window.AcceptParams(askedPort) != kIdOk) return Flow::Cancel;
    portWord = PortText(askedPort);
    profile.SetString("AcceptPort", portWord);
  }
  ctx.StartTimeLimit();
  const bool accepted =
      AcceptConnection(ctx, NumberOrZero(portWord), oneAddress ? &address : nullptr);
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "Accept", stack);
  if (accepted) return Flow::Next;
  ctx.ReportError(Bytes("Příkaz Accept nelze provést, spojení nenavázáno: ") + ctx.failureReason);
  return Flow::Fail;
}

Flow CmdDisconnect(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  if (!Connected(ctx)) {
    ctx.LogPrintf("Disconnect: Spojení již bylo ukončeno dříve.\n");
    ctx.SetLowerStatus("Spojení již bylo ukončeno dříve.");
    return Flow::Next;
  }
  CloseConnectionLogged(ctx, "Ukončuji spojení.", "Ukončuji spojení.\n");
  return Flow::Next;
}

Flow CmdSend(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (!Connected(ctx)) {
    ctx.ReportError("Nelze provést Send, pokud není otevřeno spojení");
    ctx.LogPrintf("Send nelze provést, spojení není otevřené.\n");
    return Flow::Fail;
  }
  const Bytes text = ExpandText(ctx, rest);
  if (text.empty()) {
    return SyntaxError(ctx, kNothingToSendBox, "Send <řetězec>");
  }
  ctx.StartTimeLimit();
  const bool sent = SendData(ctx, text.data(), static_cast<int>(text.size()));
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "Send", stack);
  if (sent) return Flow::Next;
  ctx.ReportError("Příkaz Send nelze provést, spojení bylo přerušeno");
  ctx.LogPrintf("Send nelze provést: %s\n", ctx.failureReason);
  return Flow::Fail;
}

Flow CmdWaitFor(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (!CheckReadConnection(ctx)) return Flow::Fail;
  LineCondition condition;
  Flow failed = Flow::Fail;
  if (!ReadCondition(ctx, rest, true, kWaitForTexts, condition, failed)) return failed;
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
  // A line too long for the buffer never counts as the end of the data.
  const bool overlong = !matched && ctx.failureReason == kReasonLineTooLong;
  if (matched || (condition.entry->mode == WaitMode::End && !overlong)) {
    ctx.LogPrintf("Koncová podmínka splněna.\n");
    ctx.SetLowerStatus("Dočteno, koncová podmínka splněna.");
    return Flow::Next;
  }
  if (overlong) {
    ctx.LogPrintf("Řádka je delší než vyrovnávací paměť (%d bytů).\n", kReceiveBufferSize);
  }
  ctx.LogPrintf(
      "Předčasné uzavření spojení ze strany partnerského počítače.\n"
      "Koncové podmínky nebylo dosaženo.\n");
  ctx.ReportError("Předčasný pád spojení, koncové podmínky nebylo dosaženo");
  return Flow::Fail;
}

// Tests the last line as WaitFor tests each line it reads.
Flow CmdTestLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  LineCondition condition;
  Flow failed = Flow::Fail;
  if (!ReadCondition(ctx, rest, false, kTestLineTexts, condition, failed)) return failed;
  if (condition.Holds(ctx.lastLine.data(), ctx.lastLine.size())) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

// Matches the last line (up to its first zero byte) and hands group k to
// target k: a counter gets the group's number, the word line gets its text.
// A group that took no part in the match counts as an empty text. When a
// counter's group holds no number the line has not the expected form: the
// command then acts as if there were no match, and changes nothing.
Flow CmdParseLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  const Bytes text = PatternWord(rest);
  if (text.empty()) return SyntaxError(ctx, kParseLineBox, kParseLineSyntax);
  Pattern pattern;
  Bytes reason;
  if (!pattern.Compile(text, reason)) return BadPattern(ctx, reason);
  std::vector<Bytes> targets;
  Bytes word;
  while (GetNextWord(rest, word, false, false)) targets.push_back(word);
  if (targets.size() > pattern.GroupCount()) {
    return MalformedCommand(ctx, kParseLineBox, kParseLineTargets);
  }

  const char* line = ctx.lastLine.data();
  size_t len = ctx.lastLine.size();
  if (const void* zero = std::memchr(line, 0, len)) {
    len = static_cast<size_t>(static_cast<const char*>(zero) - line);
  }
  std::vector<Pattern::Group> groups;
  bool parsed = pattern.Search(line, len, groups);
  std::vector<int32_t> values(targets.size());
  for (size_t k = 0; parsed && k < targets.size(); ++k) {
    if (!IsLineWord(targets[k])) parsed = ParseNumber(groups[k + 1].text, values[k]);
  }
  if (!parsed) {
    ctx.symbols.Undefine("TRUE");
    return Flow::Next;
  }
  Bytes newLine = ctx.lastLine;
  for (size_t k = 0; k < targets.size(); ++k) {
    if (IsLineWord(targets[k])) {
      newLine = groups[k + 1].text;
    } else {
      *ctx.counters.Find(targets[k], true) = values[k];
    }
  }
  ctx.lastLine = newLine;
  ctx.symbols.Define("TRUE");
  return Flow::Next;
}

Flow CmdReceive(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (!CheckReadConnection(ctx)) return Flow::Fail;
  // The word is read as written: upper-casing changes no number, and a
  // counter's name is compared exactly.
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t length = 0;
  if (!ParseNumber(word, length)) {
    const int32_t* counter = ctx.counters.Find(word, false);
    if (!counter) {
      return SyntaxError(ctx, kReceiveSyntaxBox, "Receive <počet-bytů>");
    }
    length = *counter;
  }
  ctx.SetLowerStatus("Čtu blok dat ze socketu");
  ctx.LogPrintf("Zahájeno čtení bloku o délce %d ze socketu\n", static_cast<int>(length));
  ctx.StartTimeLimit();
  return FinishBlockRead(ctx, ReadBlock(ctx, length), "Receive", stack);
}

Flow CmdSkipTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (!CheckReadConnection(ctx)) return Flow::Fail;
  const Bytes text = ExpandText(ctx, rest);
  if (text.size() != 1) {
    return SyntaxError(ctx, kSkipToCharBox, "SkipTo <znak>");
  }
  ctx.SetLowerStatus("Čtu blok dat ze socketu");
  ctx.LogPrintf("Zahájeno čtení bloku až do znaku %d ze socketu\n",
                static_cast<unsigned char>(text[0]));
  ctx.StartTimeLimit();
  return FinishBlockRead(ctx, ReadUntil(ctx, text[0]), "SkipTo", stack);
}

void CheckConnect(LineCheck& lc, Bytes& rest) {
  Bytes server, portWord;
  GetNextWord(rest, server, false, false);
  const int column = lc.Column(rest);
  if (!GetNextWord(rest, portWord, false, false)) lc.Error(column, kConnectParamsBox);
}

void CheckAccept(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes portWord;
  if (!GetNextWord(rest, portWord, false, false)) {
    lc.Error(column, kAcceptPortBox);
    return;
  }
  const int addressColumn = lc.Column(rest);
  Bytes addressWord;
  IpAddress address;
  if (GetNextWord(rest, addressWord, false, false) && !ParseIpLiteral(addressWord, address)) {
    lc.Error(addressColumn, kAcceptAddressBox);
  }
}

void CheckSend(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes text;
  if (LiteralText(lc, rest, text) && text.empty()) lc.Error(column, kNothingToSendBox);
}

void CheckWaitFor(LineCheck& lc, Bytes& rest) {
  CheckCondition(lc, rest, true, "WaitFor", kWaitForTexts);
}

void CheckTestLine(LineCheck& lc, Bytes& rest) {
  CheckCondition(lc, rest, false, "TestLine", kTestLineTexts);
}

void CheckParseLine(LineCheck& lc, Bytes& rest) {
  int column = lc.Column(rest);
  const Bytes text = PatternWord(rest);
  if (text.empty()) return lc.Error(column, kParseLineBox);
  Pattern pattern;
  Bytes reason;
  if (!pattern.Compile(text, reason)) {
    return lc.Error(column, Bytes("Nesprávný regulární výraz: ") + reason);
  }
  size_t targets = 0;
  Bytes word;
  for (;;) {
    column = lc.Column(rest);
    if (!GetNextWord(rest, word, false, false)) break;
    if (++targets == pattern.GroupCount() + 1) {
      lc.Error(column, "Výraz příkazu ParseLine má méně skupin, než kolik je cílů");
    }
    if (!IsLineWord(word)) lc.CounterNamed(word);
  }
}

void CheckReceive(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t length = 0;
  if (!ParseNumber(word, length) && !lc.MayBeCounter(word)) lc.Error(column, kReceiveSyntaxBox);
}

void CheckSkipTo(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes text;
  if (LiteralText(lc, rest, text) && text.size() != 1) lc.Error(column, kSkipToCharBox);
}

}  // namespace tv
