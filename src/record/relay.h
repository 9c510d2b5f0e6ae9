// The relay between one client and the server, as each platform builds it
// over its sockets: it listens, takes one client, connects to the server and
// passes the bytes both ways unchanged until both sides have closed, putting
// everything into a Recording on the way.
#pragma once

#include <cstdint>
#include <string>

#include "record/recording.h"

namespace tv::record {

struct RelayPlan {
  std::string listenAddress = "127.0.0.1";  // numeric, IPv4 or IPv6
  uint16_t listenPort = 0;                  // 0: a free port
  std::string server;                       // a name or a numeric address
  uint16_t port = 0;
  int acceptMs = 0;  // how long to wait for the client; 0: no limit
};

enum class RelayEnd {
  Done,            // both sides closed (or one reset): the recording is whole
  CannotListen,    // the port is in use or the address is not local
  NoClient,        // no client within acceptMs
  ServerNotFound,  // the server's name has no address
  ServerRefused,   // no address of the server took the connection
  Failed,          // anything else (detail says what)
};

// What the relay tells on its way; texts are made by the caller.
class RelayReport {
 public:
  virtual ~RelayReport() = default;
  virtual void Listening(const std::string& address, unsigned port) = 0;
  virtual void ClientCame(const std::string& address, unsigned port) = 0;
  virtual void Connected(const std::string& address, unsigned port) = 0;
  virtual void Reset(Side side) = 0;
};

class Relay {
 public:
  virtual ~Relay() = default;
  // detail: the system's reason of a failure, for the message.
  virtual RelayEnd Run(const RelayPlan& plan, Recording& recording, RelayReport& report,
                       std::string& detail) = 0;
};

}  // namespace tv::record
