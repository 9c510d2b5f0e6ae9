// The script commands that drive the connection.
#include <cstring>

#include "engine/commands.h"
#include "engine/expand.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"
#include "net/connection.h"
#include "net/receive.h"
#include "net/send.h"

namespace tv {

namespace {

constexpr size_t kConnectServerChars = 118;  // a 119-byte buffer
constexpr size_t kPortChars = 31;

constexpr char kReceiveNeedsConnectionBox[] = "Nelze provést Receive, pokud není otevřeno spojení";
constexpr char kWaitForSyntaxBox[] = "Nesprávná syntaxe příkazu WaitFor ve scriptu";

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

enum class WaitMode { End, EmptyLine, LineStarting, ExactMatch };

struct WaitModeEntry {
  const char* word;
  WaitMode mode;
  bool needsText;
  const char* description;
};

const WaitModeEntry kWaitModes[] = {
    {"END", WaitMode::End, false, " až do ukončení spojení"},
    {"EMPTYLINE", WaitMode::EmptyLine, false, ", dokud nenarazím na prázdnou řádku"},
    {"LINESTARTING", WaitMode::LineStarting, true, ", dokud nenarazím na řádku začínající textem "},
    {"EXACTMATCH", WaitMode::ExactMatch, true, ", dokud nenarazím na řádku se samotným textem "},
};

// line: len bytes, compared up to its first zero byte.
bool LineMatches(WaitMode mode, const char* line, size_t len, const Bytes& text) {
  if (const void* zero = std::memchr(line, 0, len)) {
    len = static_cast<size_t>(static_cast<const char*>(zero) - line);
  }
  switch (mode) {
    case WaitMode::End:
      return false;
    case WaitMode::EmptyLine:
      return len == 0;
    case WaitMode::LineStarting:
      return len >= text.size() && std::memcmp(line, text.data(), text.size()) == 0;
    case WaitMode::ExactMatch:
      return len == text.size() && std::memcmp(line, text.data(), len) == 0;
  }
  return false;
}

}  // namespace

Flow CmdConnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes server, portWord;
  GetNextWord(rest, server, false, false);
  if (!GetNextWord(rest, portWord, false, false)) {
    return SyntaxError(ctx, "Očekávány 2 parametry příkazu Connect: server a port",
                       "Connect <server> <port>");
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
    return SyntaxError(ctx, "Očekáván parametr příkazu Accept: port", "Accept <port>");
  }
  if (portWord == "?") {
    Profile& profile = ctx.host.profile;
    int askedPort = NumberOrZero(profile.GetString("AcceptPort", "0", kPortChars));
    if (ctx.host.window.AcceptParams(askedPort) != kIdOk) return Flow::Cancel;
    portWord = PortText(askedPort);
    profile.SetString("AcceptPort", portWord);
  }
  ctx.StartTimeLimit();
  const bool accepted = AcceptConnection(ctx, NumberOrZero(portWord));
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
  ctx.SetLowerStatus("Ukončuji spojení.");
  ctx.LogPrintf("Ukončuji spojení.\n");
  CloseConnection(ctx);
  ctx.SetLowerStatus("Spojení ukončeno.");
  ctx.LogPrintf("Spojení ukončeno.\n");
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
    return SyntaxError(ctx, "Není co odesílat - řetězec je prázdný", "Send <řetězec>");
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
  Bytes word;
  GetNextWord(rest, word, true, false);
  const WaitModeEntry* entry = nullptr;
  for (const WaitModeEntry& e : kWaitModes) {
    if (word == e.word) entry = &e;
  }
  if (!entry) {
    return SyntaxError(ctx, kWaitForSyntaxBox,
                       "WaitFor [End | LineStarting | ExactMatch | EmptyLine] [<retězec>]");
  }
  Bytes text;
  if (entry->needsText) {
    text = ExpandText(ctx, rest);
    if (text.empty()) {
      return CommandError(ctx, kWaitForSyntaxBox,
                          "Špatný formát příkazu !\nZa WaitFor LineStarting nebo WaitFor "
                          "ExactMatch musí být řetězec znaků.\n");
    }
  }
  const Bytes description = entry->description + text;
  ctx.SetLowerStatus("Čtu řádky ze socketu" + description);
  ctx.LogData("Zahájeno čtení řádek ze socketu", description.data(), description.size());

  bool matched = false;
  ctx.StartTimeLimit();
  while (ReadUntil(ctx, '\n')) {
    // The line ends at its first zero byte, as the scratch text does.
    if (LineMatches(entry->mode, ctx.scratch.data(), ctx.scratch.size(), text)) {
      matched = true;
      break;
    }
  }
  if (ctx.EndTimeLimit()) return TimeLimitExpired(ctx, "WaitFor", stack);
  // A line too long for the buffer never counts as the end of the data.
  const bool overlong = !matched && ctx.failureReason == kReasonLineTooLong;
  if (matched || (entry->mode == WaitMode::End && !overlong)) {
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
      return SyntaxError(ctx, "Nesprávná syntaxe příkazu Receive ve scriptu",
                         "Receive <počet-bytů>");
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
    return SyntaxError(ctx, "Není dobře udán koncový znak pro SkipTo", "SkipTo <znak>");
  }
  ctx.SetLowerStatus("Čtu blok dat ze socketu");
  ctx.LogPrintf("Zahájeno čtení bloku až do znaku %d ze socketu\n",
                static_cast<unsigned char>(text[0]));
  ctx.StartTimeLimit();
  return FinishBlockRead(ctx, ReadUntil(ctx, text[0]), "SkipTo", stack);
}

}  // namespace tv
