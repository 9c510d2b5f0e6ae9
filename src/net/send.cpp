#include "net/send.h"

#include "net/connection.h"
#include "net/receive.h"

namespace tv {

namespace {

bool PeerGone(ScriptContext& ctx, int progress) {
  const bool broken = TakeTlsFault(ctx);
  if (!broken) ctx.failureReason = kReasonPeerClosed;
  CloseConnection(ctx);
  if (broken) {
    LogTlsFault(ctx);
  } else {
    ctx.LogPrintf("Předčasné ukončení spojení ze strany partnerského počítače.\n");
  }
  ctx.LogPrintf("Dosud zapsáno %d znaků.\n", progress);
  return false;
}

enum class Room { Ready, PeerGone, Interrupted };

// Waits until the socket takes data again. A close that nobody saw is noticed
// before the wait, so that a dead connection cannot hold the send forever.
Room AwaitRoom(ScriptContext& ctx) {
  for (;;) {
    if (!ctx.connection || ctx.connection->PeerHasClosed()) return Room::PeerGone;
    if (!WaitForMessageAbout(ctx, WM_SOCKET_EVENT, ctx.connection->Id())) {
      return Room::Interrupted;
    }
    const long events = LowWord(ctx.lastMessageLParam);
    if (events & kFdClose) return Room::PeerGone;
    if (events & kFdWrite) return Room::Ready;
  }
}

}  // namespace

bool SendData(ScriptContext& ctx, const char* data, int count) {
  ctx.LogData("Odesílám řádku ", data, count > 0 ? static_cast<size_t>(count) : 0);
  int progress = 0;
  while (count > 0) {
    const int sent = ctx.connection->Write(data, count);
    if (sent < 0) {
      // Only a full socket is worth waiting for; a reset or a broken pipe
      // means the peer is gone.
      if (ctx.connection->LastError() != kWsaeWouldBlock) return PeerGone(ctx, progress);
      const Room room = AwaitRoom(ctx);
      if (room == Room::PeerGone) return PeerGone(ctx, progress);
      if (room == Room::Interrupted) {
        ctx.failureReason = StoppedWaitReason(ctx);
        if (ctx.timeLimit.expired) {
          ctx.LogPrintf("Dosud zapsáno %d znaků.\n", progress);
        } else {
          ctx.LogPrintf("Akce přerušena, dosud zapsáno %d znaků.\n", progress);
        }
        return false;
      }
      continue;
    }
    data += sent;
    count -= sent;
    progress += sent;
  }
  return true;
}

}  // namespace tv
