#include "record/generate.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/pattern.h"

namespace tv::record {

namespace {

// A line must end within the program's receive buffer to be read as a line.
constexpr size_t kLineMost = 4096;
// The most one Receive reads.
constexpr uint64_t kReceiveMost = 4096;
// Binary bytes per Send line.
constexpr size_t kSendSlice = 32;
// With timing: pauses longer than this become Wait.
constexpr uint64_t kPauseMs = 100;

bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool IsHex(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsAlnum(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDayOrMonth(const std::string& word) {
  static const char* const kNames[] = {
      "Mon",     "Tue",       "Wed",      "Thu",      "Fri",      "Sat",    "Sun",  "Monday",
      "Tuesday", "Wednesday", "Thursday", "Friday",   "Saturday", "Sunday", "Jan",  "Feb",
      "Mar",     "Apr",       "May",      "Jun",      "Jul",      "Aug",    "Sep",  "Oct",
      "Nov",     "Dec",       "January",  "February", "March",    "April",  "June", "July",
      "August",  "September", "October",  "November", "December"};
  for (const char* name : kNames)
    if (word == name) return true;
  return false;
}

// The bytes of a line without its LF and the CR before it; false when they
// are not text (a control byte other than tab, DEL, a CR inside).
bool TextBody(const std::string& bytes, size_t len, std::string& body) {
  body.assign(bytes, 0, len);
  for (unsigned char c : body)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  return true;
}

std::string Number(uint64_t n) {
  return std::to_string(n);
}

// One script being written: its lines, and the binary bytes on their way
// into Send lines or a Receive.
struct Script {
  explicit Script(Output& o) : out(o) {}
  void Line(const std::string& text) {
    buffer += text;
    buffer += "\r\n";
    if (buffer.size() >= (1 << 16)) Flush();
  }
  void Flush() {
    if (!buffer.empty()) out.Write(buffer);
    buffer.clear();
  }

  Output& out;
  std::string buffer;
  std::string sendCarry;   // binary bytes not yet in a Send line
  uint64_t toReceive = 0;  // binary bytes not yet in a Receive
};

class Generator {
 public:
  Generator(const ScriptSettings& settings, Output& client, Output& server)
      : settings_(settings), client_(client), server_(server) {}

  void Header(const Recording& recording);
  void Add(const Event& event);
  void Finish();

 private:
  Script& Sender(Side side) { return side == Side::Client ? client_ : server_; }
  Script& Reader(Side side) { return side == Side::Client ? server_ : client_; }
  void EndPiece();
  void Classify(bool atEnd);
  void TextLine(const std::string& body, bool crlf);
  void Partial(const std::string& text);
  void Binary(const char* data, size_t len);
  void FlushBinary();
  void Ending(Script& script, Side own, const char* ownName, const char* otherName);

  const ScriptSettings& settings_;
  Script client_;
  Script server_;
  bool inPiece_ = false;
  Side side_ = Side::Client;
  std::string pending_;
  bool inLongLine_ = false;  // the bytes so far had no line end within a line's length
  uint64_t lastMs_ = 0;
  struct Closing {
    Side side;
    EventKind kind;
    uint64_t pause;
  };
  std::vector<Closing> closings_;
};

// How the other side's lines are waited for: two comment lines; whose is the
// other side in the genitive (serveru, klienta).
std::pair<std::string, std::string> MatchWords(Match match, const std::string& whose) {
  switch (match) {
    case Match::Exact:
      return {"// Na řádky " + whose + " se čeká přesně tak, jak byly zaznamenány",
              "// (--match exact)."};
    case Match::Count:
      return {"// Řádky " + whose + " se jen počítají (--match count): stejný počet",
              "// řádek a bytů."};
    case Match::Shape:
      break;
  }
  return {"// Na řádky " + whose + " se čeká podle jejich tvaru (--match shape): číslice,",
          "// šestnáctkové identifikátory a jména dnů a měsíců se smějí lišit."};
}

void Generator::Header(const Recording& recording) {
  const std::string what = "// Záznam programu tarvelin-record z " + settings_.when +
                           ": rozhovor se serverem " + settings_.server + ", port " +
                           settings_.port + ";";
  const std::string sizes = "// " + Number(recording.Bytes(Side::Client)) + " bytů od klienta a " +
                            Number(recording.Bytes(Side::Server)) + " bytů od serveru.";
  const std::string runClient = "tarvelin " + settings_.clientFile;
  const bool ipv6 = settings_.listenAddress.find(':') != std::string::npos;
  const std::string runServer = "tarvelin -a " + settings_.port +
                                (ipv6 ? " " + settings_.listenAddress : "") + " " +
                                settings_.serverFile;

  client_.Line("Connect " + settings_.server + " " + settings_.port);
  client_.Line(what);
  client_.Line(sizes);
  client_.Line("// Tento script hraje klienta proti serveru:  " + runClient);
  client_.Line("// " + settings_.serverFile + " hraje server pro klienta:  " + runServer);
  const auto serverWords = MatchWords(settings_.match, "serveru");
  client_.Line(serverWords.first);
  client_.Line(serverWords.second);

  server_.Line(what);
  server_.Line(sizes);
  server_.Line("// Tento script hraje server pro jednoho klienta:  " + runServer);
  server_.Line("// (na kterémkoli volném portu, klienta pak připojte k němu). " +
               settings_.clientFile + " hraje klienta.");
  const auto clientWords = MatchWords(settings_.match, "klienta");
  server_.Line(clientWords.first);
  server_.Line(clientWords.second);
  server_.Line("// Tento script posílá přesně to, co poslal server.");
  if (settings_.timeoutMs > 0) {
    client_.Line("Timeout " + Number(static_cast<uint64_t>(settings_.timeoutMs)));
    server_.Line("Timeout " + Number(static_cast<uint64_t>(settings_.timeoutMs)));
  }
}

void Generator::Add(const Event& event) {
  const uint64_t pause = event.ms > lastMs_ ? event.ms - lastMs_ : 0;
  lastMs_ = event.ms > lastMs_ ? event.ms : lastMs_;
  const bool paused = settings_.timing && pause > kPauseMs;
  if (event.kind != EventKind::Data) {
    EndPiece();
    closings_.push_back({event.side, event.kind, paused ? pause : 0});
    return;
  }
  if (!inPiece_ || side_ != event.side || paused) {
    EndPiece();
    inPiece_ = true;
    side_ = event.side;
    if (paused) Sender(side_).Line("Wait " + Number(pause));
  }
  pending_ += event.data;
  Classify(false);
}

void Generator::Classify(bool atEnd) {
  size_t at = 0;
  std::string body;
  while (at < pending_.size()) {
    const size_t window = std::min(pending_.size() - at, kLineMost);
    const void* lf = std::memchr(pending_.data() + at, '\n', window);
    if (lf) {
      const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - pending_.data());
      const bool crlf = end > at && pending_[end - 1] == '\r';
      const size_t len = end - at - (crlf ? 1 : 0);
      if (!inLongLine_ && TextBody(pending_.substr(at, len), len, body)) {
        TextLine(body, crlf);
      } else {
        Binary(pending_.data() + at, end + 1 - at);
      }
      at = end + 1;
      inLongLine_ = false;
      continue;
    }
    if (window == kLineMost) {  // no line end where a line could end: binary
      Binary(pending_.data() + at, window);
      inLongLine_ = true;
      at += window;
      continue;
    }
    if (!atEnd) break;
    const std::string rest = pending_.substr(at);
    if (!inLongLine_ && TextBody(rest, rest.size(), body)) {
      Partial(body);
    } else {
      Binary(rest.data(), rest.size());
    }
    at = pending_.size();
  }
  pending_.erase(0, at);
}

void Generator::EndPiece() {
  if (!inPiece_) return;
  Classify(true);
  FlushBinary();
  inPiece_ = false;
  inLongLine_ = false;
}

void Generator::TextLine(const std::string& body, bool crlf) {
  FlushBinary();
  Script& sender = Sender(side_);
  Script& reader = Reader(side_);
  const char* end = crlf ? "cr lf" : "lf";
  sender.Line(body.empty() ? std::string("Send ") + end : "Send " + Quote(body) + " " + end);
  if (settings_.match == Match::Count) {
    reader.Line("SkipTo lf");
    return;
  }
  if (body.empty()) {
    reader.Line("WaitFor EmptyLine");
    return;
  }
  if (settings_.match == Match::Exact) {
    reader.Line("WaitFor ExactMatch " + Quote(body));
    return;
  }
  const Shape shape = ShapeOf(body);
  if (!shape.variable) {
    reader.Line("WaitFor ExactMatch " + Quote(body));
    return;
  }
  // The pattern must be one the program runs and must match the line itself;
  // a line too long for a pattern is waited for by its literal start.
  Pattern pattern;
  Bytes reason;
  if (pattern.Compile(shape.pattern, reason) && pattern.Search(body.data(), body.size())) {
    reader.Line("WaitFor Matching " + Quote(shape.pattern));
  } else if (!shape.prefix.empty()) {
    reader.Line("WaitFor LineStarting " + Quote(shape.prefix));
  } else {
    reader.Line("SkipTo lf");
  }
}

void Generator::Partial(const std::string& text) {
  FlushBinary();
  Sender(side_).Line("Send " + Quote(text));
  Script& reader = Reader(side_);
  reader.Line("Receive " + Number(text.size()));
  if (settings_.match == Match::Count) return;
  std::string test = "TestLine ExactMatch " + Quote(text);
  if (settings_.match == Match::Shape) {
    const Shape shape = ShapeOf(text);
    Pattern pattern;
    Bytes reason;
    if (shape.variable && pattern.Compile(shape.pattern, reason) &&
        pattern.Search(text.data(), text.size()))
      test = "TestLine Matching " + Quote(shape.pattern);
    else if (shape.variable)
      return;
  }
  reader.Line(test);
  reader.Line("IfNotDef TRUE Fail");
}

void Generator::Binary(const char* data, size_t len) {
  Script& sender = Sender(side_);
  sender.sendCarry.append(data, len);
  size_t at = 0;
  for (; sender.sendCarry.size() - at >= kSendSlice; at += kSendSlice)
    sender.Line("Send " + Quote(sender.sendCarry.substr(at, kSendSlice)));
  sender.sendCarry.erase(0, at);
  Script& reader = Reader(side_);
  reader.toReceive += len;
  for (; reader.toReceive >= kReceiveMost; reader.toReceive -= kReceiveMost)
    reader.Line("Receive " + Number(kReceiveMost));
}

void Generator::FlushBinary() {
  for (Script* script : {&client_, &server_}) {
    if (!script->sendCarry.empty()) script->Line("Send " + Quote(script->sendCarry));
    script->sendCarry.clear();
    if (script->toReceive > 0) script->Line("Receive " + Number(script->toReceive));
    script->toReceive = 0;
  }
}

// How a script ends: when the other side closed first it waits for that
// close; otherwise it closes (a reset cannot be played, it is noted). The
// sides' names as the comment has them: server, klient.
void Generator::Ending(Script& script, Side own, const char* ownName, const char* otherName) {
  const Closing* first = closings_.empty() ? nullptr : &closings_.front();
  const Closing* mine = nullptr;
  for (const Closing& c : closings_)
    if (c.side == own) mine = &c;
  if (first && first->side != own) {
    if (first->kind == EventKind::Reset)
      script.Line(std::string("// Zde ") + otherName + " ukončil spojení resetem.");
    script.Line("WaitFor End");
    return;
  }
  if (mine && mine->pause > 0) script.Line("Wait " + Number(mine->pause));
  if (mine && mine->kind == EventKind::Reset)
    script.Line(std::string("// Zde ") + ownName + " ukončil spojení resetem.");
  script.Line("Disconnect");
}

void Generator::Finish() {
  EndPiece();
  Ending(client_, Side::Client, "klient", "server");
  Ending(server_, Side::Server, "server", "klient");
  client_.Flush();
  server_.Flush();
}

}  // namespace

std::string Quote(const std::string& bytes) {
  std::string q = "\"";
  for (unsigned char c : bytes) {
    switch (c) {
      case '"':
        q += "\\\"";
        break;
      case '\\':
        q += "\\\\";
        break;
      case '\t':
        q += "\\t";
        break;
      case '\n':
        q += "\\n";
        break;
      case '\r':
        q += "\\r";
        break;
      case 27:
        q += "\\e";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          q += static_cast<char>(c);
        } else {
          char code[8];
          std::snprintf(code, sizeof code, "\\%03u", static_cast<unsigned>(c));
          q += code;
        }
    }
  }
  q += '"';
  return q;
}

Shape ShapeOf(const std::string& line) {
  Shape shape;
  shape.pattern = "^";
  auto literal = [&shape](char c) {
    if (c != 0 && std::strchr("\\^$.|?*+()[]{}", c)) shape.pattern += '\\';
    shape.pattern += c;
    if (!shape.variable) shape.prefix += c;
  };
  auto variable = [&shape](const char* pattern) {
    shape.pattern += pattern;
    shape.variable = true;
  };
  size_t i = 0;
  while (i < line.size()) {
    if (!IsAlnum(static_cast<unsigned char>(line[i]))) {
      literal(line[i++]);
      continue;
    }
    size_t j = i;
    size_t digits = 0;
    bool hex = true;
    for (; j < line.size() && IsAlnum(static_cast<unsigned char>(line[j])); ++j) {
      digits += IsDigit(static_cast<unsigned char>(line[j]));
      hex = hex && IsHex(static_cast<unsigned char>(line[j]));
    }
    const std::string word = line.substr(i, j - i);
    const bool hex0x = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    bool hexRest = hex0x;
    for (size_t k = 2; hex0x && k < word.size(); ++k)
      hexRest = hexRest && IsHex(static_cast<unsigned char>(word[k]));
    if (hexRest) {
      literal('0');
      literal(word[1]);
      variable("[0-9A-Fa-f]+");
    } else if (hex && digits > 0 && (digits < word.size() || word.size() >= 8)) {
      variable("[0-9A-Fa-f]+");
    } else if (IsDayOrMonth(word)) {
      variable("[A-Z][a-z]+");
    } else if (digits > 0) {
      for (size_t k = 0; k < word.size();) {
        if (IsDigit(static_cast<unsigned char>(word[k]))) {
          while (k < word.size() && IsDigit(static_cast<unsigned char>(word[k]))) ++k;
          variable("[0-9]+");
        } else {
          literal(word[k++]);
        }
      }
    } else {
      for (char c : word) literal(c);
    }
    i = j;
  }
  shape.pattern += '$';
  return shape;
}

void WriteScripts(Recording& recording, const ScriptSettings& settings, Output& client,
                  Output& server) {
  Generator generator(settings, client, server);
  generator.Header(recording);
  recording.Rewind();
  Event event;
  while (recording.Next(event)) generator.Add(event);
  generator.Finish();
}

}  // namespace tv::record
