// The relay between one client and the server: each platform listens, takes
// one client and connects to the server over its sockets; Pass then moves the
// bytes both ways unchanged until both sides have closed, putting everything
// into a Recording on the way.
#pragma once

#include <chrono>
#include <cstddef>
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

// The two connections of a relay, the client's and the server's, as Pass
// drives them: both non-blocking, each named by the side at its far end.
class Links {
 public:
  enum class Io {
    Moved,   // some bytes went (got or put says how many)
    Later,   // nothing now; Wait tells when to try again
    Closed,  // the far end closed its sending half (Receive only)
    Reset,   // the far end reset the connection
    Failed,  // anything else (detail says what)
  };
  struct Want {
    bool read = false;   // wake when this link has bytes or its close
    bool write = false;  // wake when this link takes bytes
    // The far end closed its sending half and the relay has not closed its
    // own towards it: wake when the link is reset.
    bool reset = false;
  };
  struct Ready {
    bool read = false;   // Receive may give something
    bool reset = false;  // a link that wanted reset has been reset
  };

  virtual ~Links() = default;
  // Waits until something wanted may have come (it may come back with
  // nothing ready, too). Index 0 is the client's link, 1 the server's.
  virtual bool Wait(const Want want[2], Ready ready[2], std::string& detail) = 0;
  virtual Io Receive(Side side, char* data, size_t size, size_t& got, std::string& detail) = 0;
  // Gives Moved, Later or Reset.
  virtual Io Send(Side side, const char* data, size_t size, size_t& put) = 0;
  // Closes the sending half towards side.
  virtual void EndSending(Side side) = 0;
  // Ends the link with a reset instead of an orderly close.
  virtual void Reset(Side side) = 0;
};

// Passes the bytes both ways until both sides have closed (each close passed
// on once what came before it has gone) or one resets (passed on as a reset
// after what that side had sent and the other can still take). Times in the
// recording are counted from start. Done or Failed.
RelayEnd Pass(Links& links, Recording& recording, RelayReport& report, std::string& detail,
              std::chrono::steady_clock::time_point start);

}  // namespace tv::record
