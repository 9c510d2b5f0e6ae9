#include "win32/queue.h"

#include <algorithm>

namespace tv::win {

Msg Win32Queue::Convert(const MSG& m) const {
  Msg msg;
  msg.forMainWindow = m.hwnd == main_ && main_ != nullptr;
  msg.id = m.message;
  msg.wParam = m.wParam;
  msg.lParam = m.lParam;
  return msg;
}

bool Win32Queue::Peek(Msg& first) {
  MSG m;
  if (!PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE)) {
    peeked_ = false;
    return false;
  }
  peeked_ = true;
  peekedWindow_ = m.hwnd;
  peekedId_ = m.message;
  first = Convert(m);
  return true;
}

bool Win32Queue::RemoveForMain(uint32_t id, Msg& removed) {
  peeked_ = false;
  if (!main_) return false;
  const UINT wanted = id & 0xFFFF;
  MSG m;
  if (!PeekMessageW(&m, main_, wanted, wanted, PM_REMOVE)) return false;
  removed = Convert(m);
  return true;
}

bool Win32Queue::TakeNext(MSG& m) {
  if (!peeked_ || peekedId_ == 0) {
    peeked_ = false;
    return PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE) != FALSE;
  }
  peeked_ = false;
  // The system hands out posted messages before input, paint and timer
  // messages. A socket notification posted since the peek at a paint would
  // come out first and be dispatched unseen by the caller, who decided about
  // the paint: take exactly the message that was peeked. A thread message
  // has no window, which only the window filter -1 selects.
  HWND window = peekedWindow_ ? peekedWindow_ : reinterpret_cast<HWND>(-1);
  return PeekMessageW(&m, window, peekedId_, peekedId_, PM_REMOVE) != FALSE;
}

bool Win32Queue::DispatchOne() {
  MSG m;
  // When the peeked message has gone meanwhile (a paint validated by a sent
  // message), nothing is dispatched: the caller looks at the queue again.
  if (!TakeNext(m)) return true;
  if (m.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(m.wParam));
    return false;
  }
  if (main_ && IsDialogMessageW(main_, &m)) return true;
  TranslateMessage(&m);
  DispatchMessageW(&m);
  return true;
}

void Win32Queue::WaitForMessage() {
  // Unlike WaitMessage, this also returns for input that an earlier peek has
  // already seen, so a message left in the queue can never put it to sleep.
  MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void Win32Queue::PostToMain(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  PostMessageW(main_, id, wParam, lParam);
}

void Win32Queue::PostQuit(int exitCode) {
  PostQuitMessage(exitCode);
}

void Win32Queue::SetTimer(unsigned id, unsigned periodMs) {
  ::SetTimer(main_, id, periodMs, nullptr);
  if (std::find(timers_.begin(), timers_.end(), id) == timers_.end()) timers_.push_back(id);
}

void Win32Queue::KillTimer(unsigned id) {
  ::KillTimer(main_, id);
  timers_.erase(std::remove(timers_.begin(), timers_.end(), id), timers_.end());
}

void Win32Queue::FireSoon(unsigned id) {
  if (!main_ || std::find(timers_.begin(), timers_.end(), id) == timers_.end()) return;
  ::SetTimer(main_, id, USER_TIMER_MINIMUM, nullptr);
}

}  // namespace tv::win
