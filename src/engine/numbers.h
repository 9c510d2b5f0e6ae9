// Numbers in scripts and on the command line: an optional sign and decimal
// digits at the start of a word, the rest ignored. Values outside the signed
// 32-bit range clamp to its nearest end.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace tv {

// False when the word does not begin with a number (optional blanks, sign,
// at least one digit), like sscanf with "%ld".
bool ParseNumber(const Bytes& word, int32_t& value);
// The same, and whether the number fits the range without clamping.
bool ParseNumber(const Bytes& word, int32_t& value, bool& fits);

// atoi: the number at the start of the text, 0 when there is none.
int32_t NumberOrZero(const Bytes& text);

// value + step modulo 2^32, as 32-bit two's-complement arithmetic wraps.
int32_t WrappingAdd(int32_t value, int32_t step);

}  // namespace tv
