// What passed through the recording relay: the bytes each side sent, in the
// order the relay received them, with the time they came, and how each side
// closed. The data goes to a temporary file as it comes, so that a long
// dialogue costs no memory; the events are read back in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tv::record {

enum class Side : unsigned char { Client = 0, Server = 1 };
enum class EventKind : unsigned char { Data = 0, Close = 1, Reset = 2 };

struct Event {
  Side side = Side::Client;
  EventKind kind = EventKind::Data;
  uint64_t ms = 0;  // since the client came
  std::string data;
};

class Recording {
 public:
  // spill: keep the events in a temporary file (memory when none can be made).
  explicit Recording(bool spill = true);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  void Data(Side side, uint64_t ms, const char* data, size_t len);
  void Close(Side side, uint64_t ms, bool reset);

  // Reading back: Rewind, then Next until it gives false.
  void Rewind();
  bool Next(Event& event);

  uint64_t Bytes(Side side) const { return bytes_[static_cast<int>(side)]; }
  // How the side ended: Data while it has not closed.
  EventKind Ending(Side side) const { return ending_[static_cast<int>(side)]; }
  // False when the temporary file could not be written.
  bool Good() const { return good_; }

 private:
  void Put(const Event& event);

  std::FILE* spill_ = nullptr;
  std::vector<Event> memory_;
  size_t next_ = 0;
  bool good_ = true;
  uint64_t bytes_[2] = {0, 0};
  EventKind ending_[2] = {EventKind::Data, EventKind::Data};
};

}  // namespace tv::record
