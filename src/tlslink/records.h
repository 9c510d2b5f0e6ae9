// What the clear parts of TLS records tell before a library reads them: the
// header of every record, and the hellos and alerts of the handshake that are
// sent unencrypted. A session whose library does not say what went wrong in
// terms of the protocol looks here.
#pragma once

#include <cstddef>

namespace tv::tlslink {

// The record types.
constexpr unsigned char kChangeCipherSpecRecord = 20;
constexpr unsigned char kAlertRecord = 21;
constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kApplicationDataRecord = 23;
constexpr unsigned char kHeartbeatRecord = 24;
constexpr size_t kRecordHeader = 5;

// The versions as the protocol writes them.
constexpr int kSsl3 = 0x0300;
constexpr int kTls10 = 0x0301;
constexpr int kTls11 = 0x0302;
constexpr int kTls12 = 0x0303;

// The fatal alert a peer sends for a protocol it does not speak.
constexpr int kProtocolVersionAlert = 70;

// Whether the bytes can begin a record: a known type and the major version 3
// (as far as the bytes go; none can begin one).
bool CanBeginRecord(const char* data, size_t len);

// The version a ClientHello or ServerHello at the start of the bytes offers or
// chooses (its legacy field: a TLS 1.3 hello names TLS 1.2 there); -1 when
// the bytes do not begin with a whole header of such a hello.
int HelloVersion(const char* data, size_t len);

// The description of the alert at the start of the bytes when it is sent in
// the clear (a whole record of two bytes); -1 otherwise.
int ClearAlert(const char* data, size_t len);

// The name of a version as the log names it ("TLSv1.1"), "?" for one unknown.
const char* VersionName(int version);

}  // namespace tv::tlslink
