#include "net/address.h"

#include <cstdio>
#include <cstring>

namespace tv {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four decimal numbers 0-255 separated by dots, from p to end exactly.
bool ParseDottedStrict(const char* p, const char* end, uint8_t out[4]) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return false;
      ++p;
    }
    int value = 0, digits = 0;
    while (p != end && *p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return p == end;
}

bool ParseIpv6Range(const char* p, const char* end, uint8_t out[16]) {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, as a group index
  if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
    gap = 0;
    p += 2;
    if (p == end) {
      std::memset(out, 0, 16);
      return true;
    }
  } else if (p != end && *p == ':') {
    return false;
  }
  while (p != end) {
    // A dotted IPv4 part may end the address in place of two groups.
    const char* q = p;
    while (q != end && HexDigit(*q) >= 0) ++q;
    if (q != end && *q == '.') {
      uint8_t v4[4];
      if (count > 6 || !ParseDottedStrict(p, end, v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      p = end;
      break;
    }
    if (q == p || q - p > 4 || count == 8) return false;
    unsigned value = 0;
    for (; p != q; ++p) value = value * 16 + static_cast<unsigned>(HexDigit(*p));
    groups[count++] = static_cast<uint16_t>(value);
    if (p == end) break;
    if (*p != ':') return false;
    ++p;
    if (p != end && *p == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++p;
    } else if (p == end) {
      return false;  // a single colon at the end
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  uint16_t full[8] = {};
  if (gap < 0) {
    std::memcpy(full, groups, sizeof full);
  } else {
    const int tail = count - gap;
    for (int i = 0; i < gap; ++i) full[i] = groups[i];
    for (int i = 0; i < tail; ++i) full[8 - tail + i] = groups[gap + i];
  }
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<uint8_t>(full[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(full[i] & 0xFF);
  }
  return true;
}

}  // namespace

IpAddress Ipv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address;
  address.b[0] = a;
  address.b[1] = b;
  address.b[2] = c;
  address.b[3] = d;
  return address;
}

bool ParseIpv6Literal(const Bytes& text, IpAddress& address) {
  const char* p = text.data();
  const char* end = p + text.size();
  if (p != end && *p == '[') {
    if (end - p < 2 || end[-1] != ']') return false;
    ++p;
    --end;
  }
  IpAddress parsed;
  parsed.family = IpFamily::V6;
  if (!ParseIpv6Range(p, end, parsed.b)) return false;
  address = parsed;
  return true;
}

bool ParseIpLiteral(const Bytes& text, IpAddress& address) {
  IpAddress parsed;
  if (ParseDottedStrict(text.data(), text.data() + text.size(), parsed.b)) {
    address = parsed;
    return true;
  }
  return ParseIpv6Literal(text, address);
}

Bytes FormatAddress(const IpAddress& address) {
  char text[64];
  const uint8_t* b = address.b;
  if (address.family == IpFamily::V4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups (the first of equal ones).
  int bestStart = -1, bestLength = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  const bool mapped = bestStart == 0 && bestLength == 5 && groups[5] == 0xFFFF;
  Bytes out;
  const int last = mapped ? 6 : 8;
  for (int i = 0; i < last; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", groups[i]);
    out += text;
  }
  if (mapped) {
    std::snprintf(text, sizeof text, ":%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
    out += text;
  }
  if (address.zone != 0) {
    std::snprintf(text, sizeof text, "%%%u", static_cast<unsigned>(address.zone));
    out += text;
  }
  return out;
}

bool SameAddress(const IpAddress& a, const IpAddress& b) {
  const size_t length = a.family == IpFamily::V4 ? 4 : 16;
  return a.family == b.family && a.zone == b.zone && std::memcmp(a.b, b.b, length) == 0;
}

void OrderForConnect(std::vector<IpAddress>& addresses) {
  std::vector<IpAddress> ordered;
  for (IpFamily family : {IpFamily::V4, IpFamily::V6}) {
    for (const IpAddress& a : addresses) {
      if (a.family != family) continue;
      bool seen = false;
      for (const IpAddress& o : ordered) seen = seen || SameAddress(a, o);
      if (!seen) ordered.push_back(a);
    }
  }
  addresses.swap(ordered);
}

}  // namespace tv
