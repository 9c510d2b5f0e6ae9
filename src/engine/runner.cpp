#include "engine/runner.h"

#include "engine/tokenizer.h"

namespace tv {

namespace {

void EndOfRun(ScriptContext& ctx, ScriptFileStack& stack) {
  stack.CloseAll();
  stack.Commands().EndOfRun(ctx);
  ctx.LogPrintf("Soubor interpretován a uzavřen.\n");
}

// An interruption (operator, window close, quit) is the cause whatever the
// interrupted command reported afterwards.
RunOutcome OutcomeOf(const ScriptContext& ctx, Flow ended) {
  if (!ctx.running) return RunOutcome::Interrupted;
  switch (ended) {
    case Flow::Fail:
      return ctx.timeLimit.endedRun ? RunOutcome::TimedOut : RunOutcome::Failed;
    case Flow::Cancel:
      return RunOutcome::Cancelled;
    default:
      return RunOutcome::Normal;
  }
}

}  // namespace

Flow CommandError(ScriptContext& ctx, const Bytes& box, const char* logLine) {
  ctx.ReportError(box);
  ctx.LogPrintf("%s", logLine);
  return Flow::Fail;
}

Flow MalformedCommand(ScriptContext& ctx, const Bytes& box, const char* what) {
  ctx.ReportError(box);
  ctx.LogPrintf("Špatný formát příkazu !\n%s\n", what);
  return Flow::Fail;
}

Flow SyntaxError(ScriptContext& ctx, const Bytes& box, const char* syntax) {
  return MalformedCommand(ctx, box, (Bytes("Syntaxe: ") + syntax).c_str());
}

CommandTable::CommandTable(std::vector<Command> commands, std::vector<EndOfRunHook> endOfRun)
    : commands_(std::move(commands)), endOfRun_(std::move(endOfRun)) {
  for (const Command& command : commands_) {
    const Bytes keyword = command.keyword;
    byKeyword_[Bucket(keyword.data(), keyword.size())].emplace_back(keyword, command.def);
  }
}

size_t CommandTable::Bucket(const char* word, size_t len) {
  if (len == 0) return 0;
  const auto first = static_cast<unsigned char>(word[0]);
  const auto last = static_cast<unsigned char>(word[len - 1]);
  return (len * 7 + first * 3 + last) % 128;
}

const CommandDef* CommandTable::Find(const Bytes& word) const {
  for (const auto& entry : byKeyword_[Bucket(word.data(), word.size())]) {
    if (entry.first == word) return entry.second;
  }
  return nullptr;
}

void CommandTable::EndOfRun(ScriptContext& ctx) const {
  for (EndOfRunHook hook : endOfRun_) hook(ctx);
}

Flow DispatchCommand(ScriptContext& ctx, const Bytes& word, Bytes& rest, ScriptFileStack& stack) {
  if (const CommandDef* command = stack.Commands().Find(word)) {
    return command->run(ctx, rest, stack);
  }
  ctx.LogPrintf("Příkaz %s nerozpoznán, předčasně ukončuji interpretaci souboru.\n", word.c_str());
  ctx.SetLowerStatus("Příkaz nebyl rozpoznán");
  ctx.ReportError("Neznámý příkaz scriptu: " + word);
  return Flow::Fail;
}

Flow ReadFailure(ScriptContext& ctx) {
  ctx.ReportError("Chyby čtení souboru, soubor nelze interpretovat až do konce");
  ctx.LogPrintf("Chyby při čtení souboru, soubor nelze dočíst do konce.\n");
  return Flow::Abandon;
}

void ScriptNotOpened(ScriptContext& ctx, const Bytes& path, ScriptRefusal why) {
  switch (why) {
    case ScriptRefusal::NotRegular:
      ctx.ReportError("Soubor " + path + " nelze použít jako script: není to obyčejný soubor");
      ctx.LogPrintf("Soubor %s není obyčejný soubor, nelze jej interpretovat.\n", path.c_str());
      return;
    case ScriptRefusal::TooLarge:
      ctx.ReportError("Soubor " + path + " nelze použít jako script: je větší než 16 MiB");
      ctx.LogPrintf("Soubor %s je větší než 16 MiB, nelze jej interpretovat.\n", path.c_str());
      return;
    case ScriptRefusal::Unreadable:
      break;
  }
  ctx.ReportError("Nelze otevřít pro čtení soubor " + path);
  ctx.LogPrintf("Soubor %s nelze otevřít pro čtení.\n", path.c_str());
}

Flow LineReadFailure(ScriptContext& ctx, ScriptText& file, ScriptText::Read read) {
  const int number = file.LineNumber();
  if (read == ScriptText::Read::TooLarge) {
    ScriptNotOpened(ctx, file.FullPath(), ScriptRefusal::TooLarge);
    return Flow::Fail;
  }
  if (read == ScriptText::Read::NoCp1250Form) {
    ctx.ReportError(FormatText("Znak na řádce %d scriptu nemá podobu ve Windows-1250", number));
    ctx.LogPrintf(
        "Znak na řádce %d souboru %s nemá podobu ve Windows-1250, předčasně ukončuji "
        "interpretaci souboru.\n",
        number, file.FullPath().c_str());
    return Flow::Fail;
  }
  if (read == ScriptText::Read::NotUtf8) {
    ctx.ReportError(FormatText("Řádka %d scriptu není platný text v UTF-8", number));
    ctx.LogPrintf(
        "Řádka %d souboru %s není platný text v UTF-8, předčasně ukončuji interpretaci "
        "souboru.\n",
        number, file.FullPath().c_str());
    return Flow::Fail;
  }
  return ReadFailure(ctx);
}

void RunScript(ScriptContext& ctx, const Bytes& path, const CommandTable& commands) {
  ScriptFileStack stack(commands);
  ctx.lastError = LastError();
  ctx.place = ScriptPlace{path, 0};
  ScriptRefusal why = ScriptRefusal::Unreadable;
  std::unique_ptr<ScriptFile> main = ctx.host.files.OpenScript(path, &why);
  if (!main) {
    ScriptNotOpened(ctx, path, why);
    ctx.lastOutcome = RunOutcome::NotOpened;
    return;
  }
  stack.Push(std::move(main));
  // Every run starts without a time limit.
  ctx.timeLimit = TimeLimit();
  ctx.LogPrintf("Interpretuji soubor %s\n", path.c_str());
  ctx.SetLowerStatus("Zahájena interpretace souboru " + path);

  Flow ended = Flow::Stop;
  Bytes line;
  Bytes word;
  bool testRunning = true;
  for (;;) {
    // After a failed IfDef the next line is read at once: nothing has been
    // dispatched since the last test, so the flag cannot have changed.
    if (testRunning && !ctx.running) break;
    testRunning = true;
    const ScriptText::Read read = stack.Top().ReadLine(line);
    ctx.place.file = stack.Top().FullPath();
    ctx.place.line = stack.Top().LineNumber();
    if (read == ScriptText::Read::Error) {
      ReadFailure(ctx);
      stack.CloseAll();
      ctx.lastOutcome = RunOutcome::Failed;
      return;
    }
    if (read == ScriptText::Read::NotUtf8 || read == ScriptText::Read::NoCp1250Form ||
        read == ScriptText::Read::TooLarge) {
      ended = LineReadFailure(ctx, stack.Top(), read);
      break;
    }
    if (read == ScriptText::Read::End) {
      if (stack.Depth() == 1) break;
      // The caller goes on after its Call line, without a pump.
      stack.Pop();
      continue;
    }
    ctx.SetUpperStatus(line);
    ctx.LogPrintf("$$ %s\n", line.c_str());
    if (!GetNextWord(line, word, true, false) || word[0] == '/') continue;
    const Flow flow = DispatchCommand(ctx, word, line, stack);
    if (flow == Flow::Next) {
      ctx.PumpWindowMessages();
    } else if (flow == Flow::NextNoPump) {
      testRunning = false;
    } else if (flow == Flow::Abandon) {
      // Abrupt return: the files close, nothing else of the end of run.
      stack.CloseAll();
      ctx.lastOutcome = RunOutcome::Failed;
      return;
    } else {
      ended = flow;
      break;
    }
  }
  ctx.lastOutcome = OutcomeOf(ctx, ended);
  EndOfRun(ctx, stack);
}

}  // namespace tv
