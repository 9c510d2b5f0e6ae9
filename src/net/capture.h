// The capture file that received data is copied to.
#pragma once

#include "shell/context.h"

namespace tv {

// Writes bytes to the capture file when one is open; errors are ignored.
void WriteCapture(ScriptContext& ctx, const char* data, size_t len);
// After a run: closes a capture file left open, with its log line.
void CloseCaptureAfterRun(ScriptContext& ctx);

}  // namespace tv
