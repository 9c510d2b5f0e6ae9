#include "engine/scripttext.h"

#include "engine/tokenizer.h"
#include "shell/charset.h"

namespace tv {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kMarkLength = 3;

ScriptText::Read FromFile(ScriptFile::Read read) {
  switch (read) {
    case ScriptFile::Read::Line:
      return ScriptText::Read::Line;
    case ScriptFile::Read::End:
      return ScriptText::Read::End;
    case ScriptFile::Read::TooLarge:
      return ScriptText::Read::TooLarge;
    case ScriptFile::Read::Error:
      break;
  }
  return ScriptText::Read::Error;
}

}  // namespace

bool ReadLabelLine(Bytes& line, Bytes& word) {
  if (!GetNextWord(line, word, true, false) || word != "LABEL") return false;
  GetNextWord(line, word, false, false);
  return true;
}

ScriptText::Read ScriptText::NextRaw(Bytes& line) {
  if (pending_) {
    pending_ = false;
    line.swap(pendingLine_);
    return FromFile(pendingRead_);
  }
  return FromFile(file_->ReadLine(line));
}

ScriptText::Read ScriptText::Convert(Bytes& line) {
  if (!utf8_ && !atStart_) {
    return FromFile(file_->ReadLine(line));
  }
  if (atStart_) {
    atStart_ = false;
    Read read = FromFile(file_->ReadLine(raw_));
    if (read != Read::Line) return read;
    if (raw_.compare(0, kMarkLength, kByteOrderMark) != 0) {
      line.swap(raw_);
      return read;
    }
    utf8_ = true;
    raw_.erase(0, kMarkLength);
    if (raw_.empty()) {
      // The mark with nothing behind it on the first line: a file that holds
      // only the mark is an empty script, not one empty line. (The host's
      // lines carry no line end, so the mark and one line end read as empty
      // too; an empty line does nothing anyway.)
      pendingRead_ = file_->ReadLine(pendingLine_);
      if (pendingRead_ == ScriptFile::Read::End) return Read::End;
      pending_ = true;
    }
  } else {
    const Read read = NextRaw(raw_);
    if (read != Read::Line) return read;
  }
  switch (Utf8ToCp1250(raw_, line)) {
    case Utf8Conversion::Done:
      return Read::Line;
    case Utf8Conversion::NotUtf8:
      return Read::NotUtf8;
    case Utf8Conversion::NoCp1250Form:
      return Read::NoCp1250Form;
  }
  return Read::NotUtf8;
}

ScriptText::Read ScriptText::ReadFromFile(Bytes& line) {
  const Read read = Convert(line);
  if (read != Read::Line) {
    ended_ = true;
    end_ = read;
    return read;
  }
  if (kept_.size() + line.size() > kMaxScriptBytes) {
    ended_ = true;
    end_ = Read::TooLarge;
    return end_;
  }
  kept_ += line;
  ends_.push_back(static_cast<uint32_t>(kept_.size()));
  Bytes rest = line, word;
  if (ReadLabelLine(rest, word)) labels_.emplace(word, ends_.size() - 1);
  next_ = ends_.size();
  return read;
}

ScriptText::Read ScriptText::ReadLine(Bytes& line) {
  if (next_ < ends_.size()) {
    const size_t start = next_ == 0 ? 0 : ends_[next_ - 1];
    line.assign(kept_, start, ends_[next_] - start);
    lineNumber_ = static_cast<int>(++next_);
    return Read::Line;
  }
  if (ended_) {
    // A line that cannot be read counts as the line after the last one.
    lineNumber_ = static_cast<int>(ends_.size()) + (end_ == Read::End ? 0 : 1);
    return end_;
  }
  const Read read = ReadFromFile(line);
  lineNumber_ = static_cast<int>(ends_.size()) + (read == Read::Line || read == Read::End ? 0 : 1);
  return read;
}

bool ScriptText::Rewind() {
  next_ = 0;
  lineNumber_ = 0;
  return true;
}

ScriptText::Read ScriptText::FindLabel(const Bytes& label) {
  auto found = labels_.find(label);
  Bytes line;
  while (found == labels_.end()) {
    if (ended_) {
      lineNumber_ = static_cast<int>(ends_.size()) + (end_ == Read::End ? 0 : 1);
      return end_;
    }
    const Read read = ReadFromFile(line);
    if (read != Read::Line) {
      lineNumber_ = static_cast<int>(ends_.size()) + (read == Read::End ? 0 : 1);
      return read;
    }
    found = labels_.find(label);
  }
  next_ = found->second + 1;
  lineNumber_ = static_cast<int>(next_);
  return Read::Line;
}

}  // namespace tv
