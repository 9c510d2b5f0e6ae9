#include "net/receive.h"

#include <cstring>

#include "net/capture.h"
#include "net/connection.h"

namespace tv {

namespace {

enum class Wait {
  More,        // go on looking at the buffer
  PeerClosed,  // the peer has closed; what it sent before is in the buffer
  Stopped,     // the interrupt or close path has been taken
};

// An interruption or the end of the time limit: what is unread stays.
bool InterruptPath(ScriptContext& ctx) {
  ctx.failureReason = StoppedWaitReason(ctx);
  ReportUnreadData(ctx);
  return false;
}

// The end of the peer's data. A TLS stream that did not end with the close
// alert is broken, not ended: the read fails, and what was read before it
// stays in the buffer.
bool ClosePath(ScriptContext& ctx) {
  const bool broken = TakeTlsFault(ctx);
  if (!broken) ctx.failureReason = kReasonPeerClosed;
  CloseConnection(ctx);
  if (broken) {
    LogTlsFault(ctx);
  } else {
    ctx.LogPrintf("Ukončení spojení ze strany partnerského počítače.\n");
  }
  ReportUnreadData(ctx);
  return false;
}

const char* TlsFaultText(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::Alert:
      return "partner ohlásil chybu TLS";
    case TlsFailure::Truncated:
      return "spojení skončilo bez zprávy close_notify";
    default:
      break;
  }
  return "přijatý záznam TLS je poškozený nebo neplatný";
}

// A full buffer without the end byte: the read cannot go on. The bytes stay in
// the buffer, but they have been taken from the peer, so they are reported as
// an interruption reports them: nothing consumed is lost unseen.
bool OverlongPath(ScriptContext& ctx) {
  ctx.failureReason = kReasonLineTooLong;
  ReportUnreadData(ctx);
  return false;
}

// One wait for a socket notification. A close whose notification went by
// while nothing waited is noticed here, before waiting for one that will
// never come. On the close notification whatever the socket still holds is
// taken first, so nothing the peer sent before closing is lost.
Wait AwaitData(ScriptContext& ctx) {
  if (!ctx.connection || ctx.connection->PeerHasClosed()) {
    ClosePath(ctx);
    return Wait::Stopped;
  }
  if (!WaitForMessageAbout(ctx, WM_SOCKET_EVENT, ctx.connection->Id())) {
    InterruptPath(ctx);
    return Wait::Stopped;
  }
  const long events = LowWord(ctx.lastMessageLParam);
  if (events & kFdClose) {
    FillReceiveBuffer(ctx);
    return Wait::PeerClosed;
  }
  // A read that fails for good ends the data as a close does: waiting for a
  // notification after it could wait without end.
  if ((events & kFdRead) && !FillReceiveBuffer(ctx)) return Wait::PeerClosed;
  return Wait::More;
}

// Hands the first n bytes of the buffer on: log line, capture file, then
// moves the rest down.
void Consume(ScriptContext& ctx, const char* prefix, int n) {
  ctx.LogData(prefix, ctx.receiveBuffer, static_cast<size_t>(n));
  if (n > ctx.capturedCount) {
    WriteCapture(ctx, ctx.receiveBuffer + ctx.capturedCount,
                 static_cast<size_t>(n - ctx.capturedCount));
  }
  ctx.capturedCount = ctx.capturedCount > n ? ctx.capturedCount - n : 0;
  std::memmove(ctx.receiveBuffer, ctx.receiveBuffer + n, static_cast<size_t>(ctx.fillCount - n));
  ctx.fillCount -= n;
}

}  // namespace

bool FillReceiveBuffer(ScriptContext& ctx) {
  if (!ctx.connection) return true;
  Stream& stream = *ctx.connection;
  unsigned long available = 0;
  if (!stream.Available(available)) return true;
  const unsigned long room = static_cast<unsigned long>(kReceiveBufferSize - ctx.fillCount);
  if (available > room) available = room;
  if (available == 0) return true;
  const int got = stream.Read(ctx.receiveBuffer + ctx.fillCount, static_cast<int>(available));
  if (got > 0) ctx.fillCount += got;
  return got >= 0 || stream.LastError() == kWsaeWouldBlock;
}

// The socket is asked for more only when the buffer does not already hold
// what the read needs: the bytes found are the same (the buffer always ends
// up with the first bytes not yet consumed, as many as fit), but a stream of
// short lines costs one receive per buffer instead of one per line.
bool ReadUntil(ScriptContext& ctx, char endByte) {
  if (!std::memchr(ctx.receiveBuffer, endByte, static_cast<size_t>(ctx.fillCount)) &&
      !FillReceiveBuffer(ctx) &&
      !std::memchr(ctx.receiveBuffer, endByte, static_cast<size_t>(ctx.fillCount))) {
    return ClosePath(ctx);
  }
  const void* end;
  while (!(end = std::memchr(ctx.receiveBuffer, endByte, static_cast<size_t>(ctx.fillCount)))) {
    if (ctx.fillCount >= kReceiveBufferSize) return OverlongPath(ctx);
    const Wait wait = AwaitData(ctx);
    if (wait == Wait::Stopped) return false;
    if (wait == Wait::PeerClosed &&
        !std::memchr(ctx.receiveBuffer, endByte, static_cast<size_t>(ctx.fillCount))) {
      return ClosePath(ctx);
    }
  }
  const int k = static_cast<int>(static_cast<const char*>(end) - ctx.receiveBuffer);
  ctx.scratch.clear();
  const char* from = ctx.receiveBuffer;
  const char* const stop = ctx.receiveBuffer + k;
  while (from < stop) {
    const char* run = from;
    while (run < stop && *run != '\r' && *run != '\n') ++run;
    ctx.scratch.append(from, static_cast<size_t>(run - from));
    from = run < stop ? run + 1 : stop;
  }
  Consume(ctx, "Načtena řádka ", k + 1);
  ctx.lastLine = ctx.scratch;
  return true;
}

bool ReadBlock(ScriptContext& ctx, int length) {
  if (static_cast<unsigned>(length) > static_cast<unsigned>(kReceiveBufferSize)) {
    ctx.failureReason = kReasonBlockTooLong;
    return false;
  }
  if (ctx.fillCount < length && !FillReceiveBuffer(ctx) && ctx.fillCount < length) {
    return ClosePath(ctx);
  }
  while (ctx.fillCount < length) {
    const Wait wait = AwaitData(ctx);
    if (wait == Wait::Stopped) return false;
    if (wait == Wait::PeerClosed && ctx.fillCount < length) return ClosePath(ctx);
  }
  ctx.scratch.assign(ctx.receiveBuffer, static_cast<size_t>(length));
  Consume(ctx, "Načten blok dat ", length);
  ctx.lastLine = ctx.scratch;
  return true;
}

bool TakeTlsFault(ScriptContext& ctx) {
  TlsError fault;
  if (!ctx.tls || !ctx.tls->Fault(fault)) return false;
  ctx.tlsFault = TlsFaultText(fault.failure);
  if (!fault.reason.empty()) ctx.tlsFault += " (" + fault.reason + ")";
  ctx.failureReason = kReasonTlsBroken;
  return true;
}

void LogTlsFault(ScriptContext& ctx) {
  ctx.LogPrintf("Spojení TLS porušeno: %s\n", ctx.tlsFault.c_str());
}

void ReportUnreadData(ScriptContext& ctx) {
  if (ctx.fillCount <= 0) return;
  ctx.LogData("V bufferu pro čtení zůstává: ", ctx.receiveBuffer,
              static_cast<size_t>(ctx.fillCount));
  // Only what the capture file does not hold yet: every byte reaches it once.
  if (ctx.capture && ctx.fillCount > ctx.capturedCount) {
    WriteCapture(ctx, ctx.receiveBuffer + ctx.capturedCount,
                 static_cast<size_t>(ctx.fillCount - ctx.capturedCount));
    ctx.capturedCount = ctx.fillCount;
  }
}

}  // namespace tv
