// Not built yet.
#include "net/connection.h"

namespace tv {

bool ConnectToServer(ScriptContext&, const Bytes&, int) {
  return false;
}
bool AcceptConnection(ScriptContext&, int) {
  return false;
}
void CloseConnection(ScriptContext& ctx) {
  ctx.connection = kInvalidSocket;
}
void CloseLeftoverConnection(ScriptContext&) {}
void OnStartupConnect(ScriptContext& ctx) {
  ctx.startupFailed = true;
}
void EndOfRunConnectionQuestion(ScriptContext&) {}

}  // namespace tv
