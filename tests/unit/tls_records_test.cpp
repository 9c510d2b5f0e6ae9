// The clear parts of TLS records: what a session reads from them before (or
// instead of) its library.
#include <gtest/gtest.h>

#include "host/host.h"
#include "tlslink/records.h"

namespace tv::tlslink {
namespace {

int Hello(const Bytes& b) {
  return HelloVersion(b.data(), b.size());
}
int Alert(const Bytes& b) {
  return ClearAlert(b.data(), b.size());
}
bool Begins(const Bytes& b) {
  return CanBeginRecord(b.data(), b.size());
}

// A handshake record with one hello of this type and version, as far as the
// version (what follows it is of no concern here).
Bytes HelloRecord(char type, char minor) {
  return Bytes("\x16\x03\x01\x00\x2a", 5) + type + Bytes("\x00\x00\x26\x03", 4) + minor +
         Bytes(32, 'r');
}

TEST(TlsRecords, BytesThatAreNoRecordAreToldAtOnce) {
  EXPECT_TRUE(Begins(""));
  EXPECT_TRUE(Begins("\x17"));
  EXPECT_TRUE(Begins(Bytes("\x17\x03\x03\x00\x13", 5)));
  EXPECT_TRUE(Begins(Bytes("\x15\x03\x01", 3)));
  EXPECT_FALSE(Begins("HELLO\r\n"));  // plaintext in the stream
  EXPECT_FALSE(Begins(Bytes("\x00", 1)));
  EXPECT_FALSE(Begins("\x19"));
  EXPECT_FALSE(Begins("\x17\x04"));  // a type, but no version 3
}

TEST(TlsRecords, TheHelloNamesTheVersionOfferedOrChosen) {
  EXPECT_EQ(Hello(HelloRecord('\x02', '\x02')), kTls11);  // a server that speaks TLS 1.1
  EXPECT_EQ(Hello(HelloRecord('\x01', '\x03')), kTls12);  // a client's hello
  EXPECT_EQ(Hello(HelloRecord('\x02', '\x01')), 0x0301);
  // Not a hello, not a handshake record, not all there yet.
  EXPECT_EQ(Hello(HelloRecord('\x0b', '\x02')), -1);
  Bytes data = HelloRecord('\x02', '\x02');
  data[0] = '\x17';
  EXPECT_EQ(Hello(data), -1);
  EXPECT_EQ(Hello(HelloRecord('\x02', '\x02').substr(0, 10)), -1);
  EXPECT_EQ(Hello("HELLO, this is no TLS at all"), -1);
}

TEST(TlsRecords, OnlyAnAlertInTheClearIsRead) {
  EXPECT_EQ(Alert(Bytes("\x15\x03\x03\x00\x02\x02\x46", 7)), kProtocolVersionAlert);
  EXPECT_EQ(Alert(Bytes("\x15\x03\x03\x00\x02\x01\x00", 7)), 0);  // a close alert
  // An encrypted one is longer than its two bytes; a short one is not whole.
  EXPECT_EQ(Alert(Bytes("\x15\x03\x03\x00\x1a", 5) + Bytes(26, 'x')), -1);
  EXPECT_EQ(Alert(Bytes("\x15\x03\x03\x00\x02\x02", 6)), -1);
  EXPECT_EQ(Alert(Bytes("\x16\x03\x03\x00\x02\x02\x46", 7)), -1);
}

}  // namespace
}  // namespace tv::tlslink
