// The commands that drive the connection (net/commands.cpp), TLS on it
// (net/tls.cpp) and the capture file (net/capture.cpp).
#pragma once

#include "engine/runner.h"

namespace tv {

extern const CommandDef kConnect;
extern const CommandDef kAccept;
extern const CommandDef kDisconnect;
extern const CommandDef kSend;
extern const CommandDef kWaitFor;
extern const CommandDef kReceive;
extern const CommandDef kSkipTo;
extern const CommandDef kTestLine;
extern const CommandDef kParseLine;
extern const CommandDef kStartTls;
extern const CommandDef kOutputFile;
extern const CommandDef kCloseOutput;

}  // namespace tv
