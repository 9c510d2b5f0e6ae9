// The program's addresses in the system's socket form and back, for both
// front ends: the structures and their fields are the same in both socket
// libraries, only the headers differ.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

#include "host/host.h"

namespace tv::sysnet {

// The system's form of an address; the length that goes with it.
inline int MakeAddress(const IpAddress& addr, uint16_t port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (addr.family == IpFamily::V6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    std::memcpy(&sa->sin6_addr, addr.b, 16);
    sa->sin6_scope_id = addr.zone;
    return static_cast<int>(sizeof *sa);
  }
  auto* sa = reinterpret_cast<sockaddr_in*>(&out);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  std::memcpy(&sa->sin_addr, addr.b, 4);
  return static_cast<int>(sizeof *sa);
}

// False for a family the program does not speak.
inline bool ReadAddress(const sockaddr* sa, IpAddress& addr) {
  if (sa->sa_family == AF_INET) {
    addr = IpAddress();
    std::memcpy(addr.b, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6) {
    const auto* sa6 = reinterpret_cast<const sockaddr_in6*>(sa);
    addr = IpAddress();
    addr.family = IpFamily::V6;
    std::memcpy(addr.b, &sa6->sin6_addr, 16);
    addr.zone = static_cast<uint32_t>(sa6->sin6_scope_id);
    return true;
  }
  return false;
}

}  // namespace tv::sysnet
