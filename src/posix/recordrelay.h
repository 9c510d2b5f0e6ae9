// The recording relay over the system's sockets and poll().
#pragma once

#include "record/relay.h"

namespace tv::posix {

class SocketRelay : public record::Relay {
 public:
  record::RelayEnd Run(const record::RelayPlan& plan, record::Recording& recording,
                       record::RelayReport& report, std::string& detail) override;
};

}  // namespace tv::posix
