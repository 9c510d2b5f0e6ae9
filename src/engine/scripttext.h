// A script file as the runner reads it. A file that begins with the UTF-8
// byte-order mark is UTF-8 text: the mark is dropped and every line is turned
// into Windows-1250 before anything else sees it. Other files are read as
// they are.
//
// Every line is read from the file once: the lines read are kept, with where
// each label stands, so that a jump back goes to its line at once and a jump
// forward reads on only as far as its label.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace tv {

class ScriptText {
 public:
  enum class Read {
    Line,
    End,
    Error,         // the file cannot be read
    NotUtf8,       // a line of a UTF-8 script is not valid UTF-8
    NoCp1250Form,  // a character of a UTF-8 script is not in Windows-1250
    TooLarge,      // the file has grown past the largest script
  };

  explicit ScriptText(std::unique_ptr<ScriptFile> file) : file_(std::move(file)) {}

  Read ReadLine(Bytes& line);
  bool Rewind();
  // Goes to the line after the first Label line of the file that names
  // label (Line), or finds that none does (End), or meets a line that cannot
  // be read on the way (its Read).
  Read FindLabel(const Bytes& label);
  const Bytes& FullPath() const { return file_->FullPath(); }
  // The number of the line read last, from 1 (counted again after Rewind).
  int LineNumber() const { return lineNumber_; }
  // Whether the file began with the byte-order mark (known after a line).
  bool Utf8() const { return utf8_; }
  // Whether the line the file gave last ended with an LF.
  bool LineEndedWithLf() const { return file_->LineEndedWithLf(); }

 private:
  Read NextRaw(Bytes& line);
  // The next line of the file itself, kept and indexed.
  Read ReadFromFile(Bytes& line);
  Read Convert(Bytes& line);

  std::unique_ptr<ScriptFile> file_;
  bool atStart_ = true;
  bool utf8_ = false;
  int lineNumber_ = 0;
  // A line read ahead (after a first line that is the mark alone).
  bool pending_ = false;
  ScriptFile::Read pendingRead_ = ScriptFile::Read::End;
  Bytes pendingLine_;
  Bytes raw_;

  // The lines read so far, one after another, and where each one ends.
  Bytes kept_;
  std::vector<uint32_t> ends_;
  size_t next_ = 0;  // the index of the line ReadLine gives next
  // What the file gave after the last kept line, once it gave anything else.
  bool ended_ = false;
  Read end_ = Read::End;
  std::unordered_map<Bytes, size_t> labels_;  // the first Label line of each label
};

// Whether line is a Label line; word then holds its label, read as GoTo
// reads its own (the line is consumed).
bool ReadLabelLine(Bytes& line, Bytes& word);

}  // namespace tv
