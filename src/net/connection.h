// The one TCP connection: opening as a client or a server, closing, the
// start-up connection and the question at the end of a run.
#pragma once

#include "shell/context.h"

namespace tv {

// A host name is looked up and its addresses are tried one after another
// (IPv4 first) until one takes the connection; an IPv6 address may also be
// written in brackets.
// Both open operations leave, on failure, the cause in ctx.failureReason: the
// text of the box the failing step showed, or that the operator interrupted.
bool ConnectToServer(ScriptContext& ctx, const Bytes& server, int port);
// Without an address the server listens on every IPv4 address.
bool AcceptConnection(ScriptContext& ctx, int port, const IpAddress* only = nullptr);
// Shuts the connection down both ways, closes it and marks it closed; no log
// line. Nothing happens when no connection is open.
void CloseConnection(ScriptContext& ctx);
// status on the lower status line, logLine (with its line end) in the log,
// CloseConnection, then "Spojení ukončeno." on both.
void CloseConnectionLogged(ScriptContext& ctx, const char* status, const char* logLine);
void CloseLeftoverConnection(ScriptContext& ctx);
// Handler of WM_STARTUP_CONNECT.
void OnStartupConnect(ScriptContext& ctx);
// Asked by the end of run when a connection is still open.
void EndOfRunConnectionQuestion(ScriptContext& ctx);

// Reads "a.b.c.d" the way sscanf reads "%d.%d.%d.%d": each number may have
// leading white space and a sign; text after the fourth number is ignored.
// False unless all four numbers are there.
bool ParseDottedAddress(const Bytes& text, int numbers[4]);

// Waits for a message about one socket or lookup (its wParam). A message of
// that id about anything else, left over from an earlier socket, is skipped.
// False when the run must stop.
bool WaitForMessageAbout(ScriptContext& ctx, uint32_t id, uintptr_t about);

}  // namespace tv
