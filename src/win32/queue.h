// The thread's real message queue for the core's message pumps.
#pragma once

#include "win32/winapi.h"

#include <vector>

#include "host/host.h"

namespace tv::win {

class Win32Queue : public MessageQueue {
 public:
  // The main window: the owner of the timers, the target of posted messages
  // and the dialog whose keyboard handling applies when a message is
  // dispatched.
  void SetMainWindow(HWND window) { main_ = window; }

  bool Peek(Msg& first) override;
  bool RemoveForMain(uint32_t id, Msg& removed) override;
  // After a Peek, the message dispatched is the one that Peek returned, even
  // when the system has since queued a message that it hands out earlier. A
  // quit message that is taken off the queue here is put back, so that the
  // main window's own loop ends on it too.
  bool DispatchOne() override;
  void WaitForMessage() override;
  void PostToMain(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
  void PostQuit(int exitCode) override;
  void SetTimer(unsigned id, unsigned periodMs) override;
  void KillTimer(unsigned id) override;
  // A timer that is still set ticks again at once. Every wait kills its
  // timer after the first tick, so a tick that another loop took (and the
  // wait never saw) is made good this way without waiting a whole period.
  void FireSoon(unsigned id);

 private:
  Msg Convert(const MSG& m) const;
  // Removes the message the last Peek returned, or the first one.
  bool TakeNext(MSG& m);
  HWND main_ = nullptr;
  bool peeked_ = false;
  HWND peekedWindow_ = nullptr;
  UINT peekedId_ = 0;
  std::vector<unsigned> timers_;  // set and not killed
};

}  // namespace tv::win
