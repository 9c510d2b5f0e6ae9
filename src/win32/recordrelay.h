// The recording relay over WinSock and select().
#pragma once

#include "record/relay.h"

namespace tv::win32 {

class SocketRelay : public record::Relay {
 public:
  record::RelayEnd Run(const record::RelayPlan& plan, record::Recording& recording,
                       record::RelayReport& report, std::string& detail) override;
};

}  // namespace tv::win32
