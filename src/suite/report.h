// Texts of the suite runner's reports: the program's Windows-1250 log and its
// UTF-8 standard error made fit for a JUnit XML file and a TAP stream.
#pragma once

#include <string>

namespace tv::suite {

// A Windows-1250 log as UTF-8: CR LF becomes LF; a control byte other than
// TAB, LF and CR and a byte the code page leaves undefined become U+FFFD.
std::string LogToUtf8(const std::string& cp1250);

// Well-formed UTF-8 that XML 1.0 can hold: every malformed sequence, control
// character other than TAB, LF and CR, surrogate and U+FFFE/U+FFFF becomes
// U+FFFD.
std::string CleanUtf8(const std::string& text);

// Text for XML character data or a quoted attribute value: CleanUtf8, then
// & < > " ' written as references; in an attribute TAB, LF and CR too, so a
// parser gives them back as they were.
std::string XmlEscape(const std::string& text, bool attribute);

// A YAML scalar in double quotes (CleanUtf8 first; \ " and control
// characters escaped).
std::string YamlQuote(const std::string& text);

// Seconds with a fixed number of decimals; comma: the Czech decimal comma.
std::string FormatSeconds(double seconds, int decimals, bool comma);

// XML character data made in parts: the parts together give what XmlEscape
// gives for the whole text (of a log: for LogToUtf8 of it). A character cut
// between two parts, and a log's CR that may stand before an LF, wait for
// the next part.
class XmlTextStream {
 public:
  explicit XmlTextStream(bool cp1250Log) : log_(cp1250Log) {}
  std::string Put(const char* data, size_t size);
  std::string End();

 private:
  bool log_;
  std::string held_;
};

}  // namespace tv::suite
