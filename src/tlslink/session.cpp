#include "tlslink/session.h"

#include <cstring>

namespace tv::tlslink {

namespace {

void Drop(Bytes& buffer, size_t& taken) {
  buffer.clear();
  taken = 0;
}

void Append(Bytes& buffer, size_t& taken, const char* data, size_t len) {
  if (taken > 0 && taken * 2 >= buffer.size()) {
    buffer.erase(0, taken);
    taken = 0;
  }
  buffer.append(data, len);
}

}  // namespace

void Session::TakeOutgoing(size_t n) {
  outTaken_ += n;
  if (outTaken_ >= out_.size()) Drop(out_, outTaken_);
}

size_t Session::TakePlain(char* buf, size_t len) {
  const size_t n = PlainSize() < len ? PlainSize() : len;
  if (n > 0) std::memcpy(buf, plain_.data() + plainTaken_, n);
  plainTaken_ += n;
  if (plainTaken_ == plain_.size()) Drop(plain_, plainTaken_);
  return n;
}

void Session::AppendOutgoing(const char* data, size_t len) {
  if (len > 0) Append(out_, outTaken_, data, len);
}

void Session::AppendPlain(const char* data, size_t len) {
  if (len > 0) Append(plain_, plainTaken_, data, len);
}

void Session::EndInput(Input how, const Bytes& reason, TlsFailure kind) {
  input_ = how;
  if (how == Input::Broken) {
    brokenReason_ = reason;
    brokenKind_ = kind;
  }
}

void Session::WipePlain() {
  volatile char* p = plain_.empty() ? nullptr : &plain_[0];
  for (size_t i = 0; i < plain_.size(); ++i) p[i] = 0;
}

}  // namespace tv::tlslink
