// The two scripts made from a recording: the client script, which plays the
// client against the real server, and the server script, which plays the
// server for the real client under "tarvelin -a PORT".
//
// The dialogue is cut into pieces: the bytes one side sent before the other
// side sent anything (with timing, also a pause of more than 100 ms). The side
// that sent a piece sends it in its script; the other side's script waits for
// it. A piece is read as lines (up to LF, at most 4096 bytes, no control bytes
// but tab) and binary runs; a line the piece ends in the middle of is a
// partial line. The sending script writes lines as "Send "..." cr lf" and
// binary bytes as escapes; the waiting script writes lines as WaitFor (exactly,
// by their shape, or SkipTo when only their number counts) and binary bytes as
// Receive. Both scripts are plain ASCII: every byte outside the printable
// ASCII range is written as an escape, so they are Windows-1250 and send
// exactly the recorded bytes whatever the dialogue's character set.
#pragma once

#include <cstdint>
#include <string>

#include "record/recording.h"

namespace tv::record {

enum class Match { Exact, Shape, Count };

struct ScriptSettings {
  Match match = Match::Shape;
  bool timing = false;
  int timeoutMs = 10000;  // 0: no Timeout line
  std::string server;     // what the relay connected to
  std::string port;
  // Where the relay took the client: an IPv6 address is named in the server
  // script's run line, as "tarvelin -a PORT" alone listens on IPv4 only.
  std::string listenAddress = "127.0.0.1";
  std::string when;  // the time of the recording, for the comments
  std::string clientFile = "client.tvl";
  std::string serverFile = "server.tvl";
};

// Where a script's text goes.
class Output {
 public:
  virtual ~Output() = default;
  virtual void Write(const std::string& text) = 0;
};

class StringOutput : public Output {
 public:
  void Write(const std::string& text) override { text_ += text; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// A quoted string of a script that gives exactly these bytes.
std::string Quote(const std::string& bytes);

// The shape of a line: a regular expression (not yet quoted) in which runs of
// digits, hexadecimal identifiers and the names of days and months stand as
// patterns; the literal part before the first of them; whether there was any.
struct Shape {
  std::string pattern;
  std::string prefix;
  bool variable = false;
};
Shape ShapeOf(const std::string& line);

// Writes both scripts from the recording (read from its beginning).
void WriteScripts(Recording& recording, const ScriptSettings& settings, Output& client,
                  Output& server);

}  // namespace tv::record
