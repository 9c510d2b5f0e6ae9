#include "tlslink/records.h"

namespace tv::tlslink {

namespace {

unsigned Byte(const char* data, size_t at) {
  return static_cast<unsigned char>(data[at]);
}

}  // namespace

bool CanBeginRecord(const char* data, size_t len) {
  if (len >= 1 && (Byte(data, 0) < kChangeCipherSpecRecord || Byte(data, 0) > kHeartbeatRecord)) {
    return false;
  }
  return len < 2 || Byte(data, 1) == 3;
}

int HelloVersion(const char* data, size_t len) {
  // The record's header, the message's type and length, then the version.
  if (len < kRecordHeader + 6 || !CanBeginRecord(data, len)) return -1;
  if (Byte(data, 0) != kHandshakeRecord) return -1;
  const unsigned type = Byte(data, kRecordHeader);
  if (type != 1 && type != 2) return -1;
  const size_t recordLength = Byte(data, 3) << 8 | Byte(data, 4);
  if (recordLength < 6) return -1;
  return static_cast<int>(Byte(data, kRecordHeader + 4) << 8 | Byte(data, kRecordHeader + 5));
}

int ClearAlert(const char* data, size_t len) {
  if (len < kRecordHeader + 2 || !CanBeginRecord(data, len)) return -1;
  if (Byte(data, 0) != kAlertRecord || Byte(data, 3) != 0 || Byte(data, 4) != 2) return -1;
  return static_cast<int>(Byte(data, kRecordHeader + 1));
}

const char* VersionName(int version) {
  switch (version) {
    case kSsl3:
      return "SSLv3";
    case kTls10:
      return "TLSv1";
    case kTls11:
      return "TLSv1.1";
    case kTls12:
      return "TLSv1.2";
    case 0x0304:
      return "TLSv1.3";
    default:
      break;
  }
  return "?";
}

}  // namespace tv::tlslink
