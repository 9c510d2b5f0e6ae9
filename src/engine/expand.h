// Turns the rest of a command line into bytes: quoted strings, the words for
// control characters, the last line, counter values and character codes.
#pragma once

#include "shell/context.h"

namespace tv {

Bytes ExpandText(ScriptContext& ctx, const Bytes& text);

}  // namespace tv
