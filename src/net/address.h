// IPv4 and IPv6 addresses as scripts write them and as the log shows them.
#pragma once

#include <vector>

#include "host/host.h"

namespace tv {

IpAddress Ipv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// An IPv6 address in any of its text forms ("::1", "2001:db8::7",
// "::ffff:10.0.0.1"), optionally in brackets ("[::1]"). No zone.
bool ParseIpv6Literal(const Bytes& text, IpAddress& address);

// A numeric address and nothing else: four decimal numbers 0-255 with dots,
// or an IPv6 address as ParseIpv6Literal reads it.
bool ParseIpLiteral(const Bytes& text, IpAddress& address);

// "a.b.c.d", or the IPv6 address in its shortest form (lower-case hex, the
// longest run of zero groups as "::", an IPv4-mapped address with its IPv4
// part dotted), with "%zone" when it has a zone.
Bytes FormatAddress(const IpAddress& address);

bool SameAddress(const IpAddress& a, const IpAddress& b);

// The order in which a name's addresses are tried: its IPv4 addresses first,
// then its IPv6 ones, each in the resolver's order, every address once. A
// name that has an IPv4 address is thus reached as it was before IPv6.
void OrderForConnect(std::vector<IpAddress>& addresses);

}  // namespace tv
