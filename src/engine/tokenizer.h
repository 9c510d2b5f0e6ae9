// The one tokenizer for command words, arguments and pieces of text.
#pragma once

#include "host/host.h"

namespace tv {

// Removes the next word or quoted string from the front of line into word.
// upperCase: plain characters a-z become A-Z. fileNameQuotes: a quoted string
// is taken literally ("" inside stands for one quote) and without its quotes;
// otherwise escapes are replaced and the word keeps its quotes.
// Returns whether the word is not empty.
bool GetNextWord(Bytes& line, Bytes& word, bool upperCase, bool fileNameQuotes);

// The same, reading line from pos on and moving pos past the word (and the
// character that ended it) instead of removing it: a long line is taken
// word by word without moving what follows each time.
// wordEnd, when given, is set to where the word ends (after a closing
// quote), before the character that is dropped.
bool GetNextWord(const Bytes& line, size_t& pos, Bytes& word, bool upperCase, bool fileNameQuotes,
                 size_t* wordEnd = nullptr);

}  // namespace tv
