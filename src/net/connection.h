// The one TCP connection: opening as a client or a server, closing, the
// start-up connection and the question at the end of a run.
#pragma once

#include "shell/context.h"

namespace tv {

bool ConnectToServer(ScriptContext& ctx, const Bytes& server, int port);
bool AcceptConnection(ScriptContext& ctx, int port);
// shutdown both ways, close, mark closed; no log line.
void CloseConnection(ScriptContext& ctx);
void CloseLeftoverConnection(ScriptContext& ctx);
// Handler of WM_STARTUP_CONNECT.
void OnStartupConnect(ScriptContext& ctx);
// Asked by the end of run when a connection is still open.
void EndOfRunConnectionQuestion(ScriptContext& ctx);

}  // namespace tv
