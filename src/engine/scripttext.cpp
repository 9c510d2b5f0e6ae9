#include "engine/scripttext.h"

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
    case ScriptFile::Read::Error:
      break;
  }
  return ScriptText::Read::Error;
}

}  // namespace

ScriptText::Read ScriptText::NextRaw(Bytes& line) {
  if (pending_) {
    pending_ = false;
    line.swap(pendingLine_);
    return FromFile(pendingRead_);
  }
  return FromFile(file_->ReadLine(line));
}

ScriptText::Read ScriptText::ReadLine(Bytes& line) {
  if (!utf8_ && !atStart_) {
    const Read read = FromFile(file_->ReadLine(line));
    if (read == Read::Line) ++lineNumber_;
    return read;
  }
  if (atStart_) {
    atStart_ = false;
    Read read = FromFile(file_->ReadLine(raw_));
    if (read != Read::Line) return read;
    if (raw_.compare(0, kMarkLength, kByteOrderMark) != 0) {
      ++lineNumber_;
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
  ++lineNumber_;
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

bool ScriptText::Rewind() {
  atStart_ = true;
  utf8_ = false;
  pending_ = false;
  lineNumber_ = 0;
  return file_->Rewind();
}

}  // namespace tv
