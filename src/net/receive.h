// Reading from the peer through the fixed receive buffer: lines or pieces up
// to an end byte, and blocks of an exact length.
#pragma once

#include "shell/context.h"

namespace tv {

// Failure reasons, logged by the command handlers.
inline constexpr char kReasonUnknown[] = "???";
inline constexpr char kReasonLineTooLong[] = "Příliš dlouhý blok dat od serveru neobsahující EOLN";
inline constexpr char kReasonBlockTooLong[] = "Nelze načítat tak dlouhé bloky dat.";
inline constexpr char kReasonInterrupted[] = "Obsluha přerušila akci.";
inline constexpr char kReasonTimeLimit[] = "Vypršel časový limit.";
inline constexpr char kReasonPeerClosed[] =
    "Předčasné ukončení spojení ze strany partnerského počítače.";
// The TLS stream ended otherwise than with the close alert; ctx.tlsFault says
// how.
inline constexpr char kReasonTlsBroken[] = "Spojení TLS porušeno.";

// Why a wait ended without its message: the time limit ran out or the run
// must stop.
inline const char* StoppedWaitReason(const ScriptContext& ctx) {
  return ctx.timeLimit.expired ? kReasonTimeLimit : kReasonInterrupted;
}

// Takes what the socket holds (as FIONREAD reports it, at most the free
// space) into the receive buffer. Never blocks. False when the stream said
// bytes were there but failed the read for good (a reset, on some systems,
// leaves the count of bytes it dropped): nothing more will come from it.
bool FillReceiveBuffer(ScriptContext& ctx);
// Consumes everything up to and including the first end byte. The bytes kept
// (without CR and LF and the end byte) go to ctx.scratch and ctx.lastLine.
bool ReadUntil(ScriptContext& ctx, char endByte);
// Consumes exactly length bytes into ctx.scratch and ctx.lastLine.
bool ReadBlock(ScriptContext& ctx, int length);
// Logs and captures what is left in the receive buffer, leaving it there.
void ReportUnreadData(ScriptContext& ctx);
// Before the connection is closed: whether its TLS stream ended otherwise
// than with the peer's close alert. If so, ctx.tlsFault tells how (in Czech,
// with the library's words) and the failure reason is kReasonTlsBroken.
bool TakeTlsFault(ScriptContext& ctx);
// The log line of such an end, after the connection is closed.
void LogTlsFault(ScriptContext& ctx);

}  // namespace tv
