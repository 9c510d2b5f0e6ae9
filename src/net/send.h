// Sending bytes to the peer, waiting for room while the socket refuses data.
#pragma once

#include "shell/context.h"

namespace tv {

// True when every byte has been handed to the socket. On false the failure
// reason says why; after the peer's close the connection is closed.
bool SendData(ScriptContext& ctx, const char* data, int count);

}  // namespace tv
