#include "tlslink/link.h"

#include <chrono>
#include <utility>

namespace tv::tlslink {

Link::Link(std::unique_ptr<Session> session, StreamState& state, RawSocket& raw,
           const ErrorWords& words)
    : session_(std::move(session)), st_(state), raw_(raw), words_(words) {}

TlsStatus Link::Step(TlsError& error) {
  Session& tls = *session_;
  if (tls.Established()) return TlsStatus::Done;
  Pull(true);
  TlsStatus status = tls.Handshake(error);
  Flush();
  if (status == TlsStatus::Pending && (st_.rawEnded || st_.rawError != 0)) {
    error.failure = TlsFailure::PeerClosed;
    error.reason = st_.rawError != 0 ? raw_.ErrorText(st_.rawError) : Bytes();
    status = TlsStatus::Failed;
  }
  if (status == TlsStatus::Failed) {
    // Nothing more is announced for it; the core closes it.
    st_.rawEnded = true;
    return status;
  }
  if (status == TlsStatus::Done) {
    // What came with the end of the handshake is announced now.
    st_.readArmed = (st_.events & kFdRead) != 0;
    st_.writeArmed = false;
    tls.Decrypt(kPlainLimit);
    Announce();
  }
  return status;
}

void Link::Pull(bool ignoreLimit) {
  Session& tls = *session_;
  // Records taken earlier and not yet decrypted (the limit was reached) first:
  // the socket may have nothing more to tell of them.
  if (tls.Established()) tls.Decrypt(kPlainLimit);
  char buf[kChunk];
  while (!st_.rawEnded && st_.rawError == 0) {
    if (!ignoreLimit && tls.Established() && tls.PlainSize() >= kPlainLimit) return;
    const RawSocket::Result got = raw_.Receive(buf, sizeof buf);
    switch (got.outcome) {
      case RawSocket::Outcome::Moved:
        if (got.count == 0 || got.count > sizeof buf) break;  // a socket that lies is broken
        tls.PutIncoming(buf, got.count);
        if (tls.Established()) tls.Decrypt(kPlainLimit);
        continue;
      case RawSocket::Outcome::Ended:
        st_.rawEnded = true;
        return;
      case RawSocket::Outcome::WouldBlock:
        return;
      case RawSocket::Outcome::Failed:
        break;
    }
    st_.rawError = got.error != 0 ? got.error : words_.reset;
    return;
  }
}

bool Link::Flush() {
  Session& tls = *session_;
  while (tls.OutgoingSize() > 0) {
    if (st_.rawError != 0) return false;
    const RawSocket::Result sent = raw_.Transmit(tls.OutgoingData(), tls.OutgoingSize());
    if (sent.outcome == RawSocket::Outcome::WouldBlock) return false;
    if (sent.outcome == RawSocket::Outcome::Moved && sent.count > 0) {
      tls.TakeOutgoing(sent.count);
      continue;
    }
    st_.rawError =
        sent.outcome == RawSocket::Outcome::Failed && sent.error != 0 ? sent.error : words_.reset;
    return false;
  }
  return true;
}

void Link::OnRoom() {
  if (Flush() && st_.writeArmed) {
    raw_.Notify(kFdWrite, 0);
    st_.writeArmed = false;
  }
}

// A peer that takes nothing holds the end for a bounded time only.
void Link::Finish() {
  session_->Close();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseFlushMs);
  while (!Flush() && st_.rawError == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (!raw_.AwaitRoom(static_cast<int>(left.count()))) return;
  }
}

bool Link::Ended() const {
  return st_.rawEnded || st_.rawError != 0 || session_->InputState() != Session::Input::Open;
}

void Link::Announce() {
  const Session& tls = *session_;
  if (tls.PlainSize() > 0 && st_.readArmed) {
    raw_.Notify(kFdRead, 0);
    st_.readArmed = false;
  }
  if (Ended() && !st_.peerClosed) {
    st_.peerClosed = true;
    if ((st_.events & kFdClose) && !st_.closePosted) {
      int err = st_.rawError;
      if (err == 0 && tls.InputState() == Session::Input::Broken) err = words_.reset;
      raw_.Notify(kFdClose, err);
      st_.closePosted = true;
    }
  }
}

bool Link::Fault(TlsError& error) {
  Session& tls = *session_;
  if (!tls.Established()) return false;
  const bool rawOver = st_.rawEnded || st_.rawError != 0;
  // Every byte the socket gave is with the session already; the close alert
  // may wait behind data not decrypted yet (the limit was reached).
  if (rawOver && tls.InputState() == Session::Input::Open) tls.Decrypt(static_cast<size_t>(-1));
  switch (tls.InputState()) {
    case Session::Input::Closed:
      return false;
    case Session::Input::Broken:
      error.failure = tls.BrokenKind();
      error.reason = tls.BrokenReason();
      return true;
    case Session::Input::Open:
      break;
  }
  if (!rawOver) return false;
  error.failure = TlsFailure::Truncated;
  error.reason = st_.rawError != 0 ? raw_.ErrorText(st_.rawError) : Bytes();
  return true;
}

int Link::Send(const char* data, int len) {
  Session& tls = *session_;
  if (!tls.Established() || st_.rawError != 0) {
    raw_.SetLastError(st_.rawError != 0 ? st_.rawError : words_.notConnected);
    return -1;
  }
  // Bytes of an earlier Send go first; until they are out, nothing more is
  // taken, so that what the peer does not read piles up nowhere.
  if (!Flush()) {
    if (st_.rawError != 0) {
      raw_.SetLastError(st_.rawError);
    } else {
      if (st_.events & kFdWrite) st_.writeArmed = true;
      raw_.SetLastError(words_.wouldBlock);
    }
    return -1;
  }
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len) < kChunk ? static_cast<size_t>(len) : kChunk;
  if (!tls.Write(data, n)) {
    raw_.SetLastError(words_.reset);
    return -1;
  }
  Flush();  // the rest goes when the socket can take it
  if (st_.rawError != 0) {
    raw_.SetLastError(st_.rawError);
    return -1;
  }
  return static_cast<int>(n);
}

int Link::Recv(char* buf, int len) {
  Session& tls = *session_;
  if (!tls.Established()) {
    raw_.SetLastError(words_.notConnected);
    return -1;
  }
  if (tls.PlainSize() == 0) Pull(false);
  const size_t n = tls.TakePlain(buf, len > 0 ? static_cast<size_t>(len) : 0);
  // Any recv enables the next read notification; decrypted bytes still held
  // are announced at once, since the socket will not tell of them, and so is
  // an end this recv has found.
  if (st_.events & kFdRead) st_.readArmed = true;
  Announce();
  if (n > 0) return static_cast<int>(n);
  if (len <= 0) return 0;
  if (st_.rawError != 0 || tls.InputState() == Session::Input::Broken) {
    raw_.SetLastError(st_.rawError != 0 ? st_.rawError : words_.reset);
    return -1;
  }
  if (Ended()) return 0;
  raw_.SetLastError(words_.wouldBlock);
  return -1;
}

size_t Link::Available() {
  if (session_->Established()) Pull(false);
  return session_->PlainSize();
}

bool Link::PeerHasClosed() {
  Session& tls = *session_;
  if (!tls.Established()) return st_.rawEnded || st_.rawError != 0;
  if (tls.PlainSize() > 0) return false;
  Pull(false);
  // What this look took from the socket is announced as the poller would
  // have announced it: the socket itself no longer tells of those bytes, and
  // the core goes on to wait for exactly that notification.
  Announce();
  return tls.PlainSize() == 0 && Ended();
}

}  // namespace tv::tlslink
