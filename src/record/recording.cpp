#include "record/recording.h"

namespace tv::record {

namespace {

// An event in the file: side, kind, 8 bytes of time, 4 bytes of length
// (all little-endian), then the data.
constexpr size_t kHeader = 14;

void PutNumber(unsigned char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetNumber(const unsigned char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

}  // namespace

Recording::Recording(bool spill) {
  if (spill) spill_ = std::tmpfile();
}

Recording::~Recording() {
  if (spill_) std::fclose(spill_);
}

void Recording::Put(const Event& event) {
  if (!spill_) {
    memory_.push_back(event);
    return;
  }
  unsigned char header[kHeader];
  header[0] = static_cast<unsigned char>(event.side);
  header[1] = static_cast<unsigned char>(event.kind);
  PutNumber(header + 2, event.ms, 8);
  PutNumber(header + 10, event.data.size(), 4);
  if (std::fwrite(header, 1, kHeader, spill_) != kHeader ||
      std::fwrite(event.data.data(), 1, event.data.size(), spill_) != event.data.size())
    good_ = false;
}

void Recording::Data(Side side, uint64_t ms, const char* data, size_t len) {
  if (len == 0) return;
  bytes_[static_cast<int>(side)] += len;
  Event event;
  event.side = side;
  event.kind = EventKind::Data;
  event.ms = ms;
  // One event holds at most 1 MiB, so that reading one back stays small.
  constexpr size_t kMost = 1 << 20;
  for (size_t at = 0; at < len; at += kMost) {
    event.data.assign(data + at, len - at < kMost ? len - at : kMost);
    Put(event);
  }
}

void Recording::Close(Side side, uint64_t ms, bool reset) {
  if (ending_[static_cast<int>(side)] != EventKind::Data) return;
  Event event;
  event.side = side;
  event.kind = reset ? EventKind::Reset : EventKind::Close;
  event.ms = ms;
  ending_[static_cast<int>(side)] = event.kind;
  Put(event);
}

void Recording::Rewind() {
  next_ = 0;
  if (spill_) {
    std::fflush(spill_);
    std::rewind(spill_);
  }
}

bool Recording::Next(Event& event) {
  if (!spill_) {
    if (next_ >= memory_.size()) return false;
    event = memory_[next_++];
    return true;
  }
  unsigned char header[kHeader];
  if (std::fread(header, 1, kHeader, spill_) != kHeader) return false;
  event.side = header[0] ? Side::Server : Side::Client;
  event.kind = static_cast<EventKind>(header[1] <= 2 ? header[1] : 0);
  event.ms = GetNumber(header + 2, 8);
  event.data.resize(static_cast<size_t>(GetNumber(header + 10, 4)));
  if (!event.data.empty() &&
      std::fread(&event.data[0], 1, event.data.size(), spill_) != event.data.size()) {
    good_ = false;
    return false;
  }
  return true;
}

}  // namespace tv::record
