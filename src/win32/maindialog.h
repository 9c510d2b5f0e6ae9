// The main window: the script-name edit, the file button, the Run button and
// the two status lines on the background picture. It carries the one script
// context and is the operator's side of the core (tv::Window).
#pragma once

#include "win32/winapi.h"

#include <vector>

#include "shell/context.h"
#include "win32/dialogs.h"
#include "win32/files.h"
#include "win32/queue.h"
#include "win32/sockets.h"

namespace tv::win {

class CMainDialog : public Window {
 public:
  CMainDialog(HINSTANCE instance, Win32Queue& queue, WinSockets& sockets, Win32Profile& profile,
              Win32Files& files, Bytes commandLine);
  ~CMainDialog() override;
  CMainDialog(const CMainDialog&) = delete;
  CMainDialog& operator=(const CMainDialog&) = delete;

  // Runs the window modally; returns when it has ended (IDCANCEL, or 0 when a
  // quit message ended it).
  INT_PTR DoModal();
  ScriptContext& Context() { return ctx_; }
  // The command line could not be read: its box has been shown and the
  // window ended at once.
  bool CommandLineFailed() const { return commandLineFailed_; }

  // tv::Window
  int MessageBox(const Bytes& text, const Bytes& title, unsigned type) override;
  void SetUpperStatus(const Bytes& text) override;
  void SetLowerStatus(const Bytes& text) override;
  void SetTitle(const Bytes& text) override;
  Bytes GetScriptName() override;
  void SetScriptName(const Bytes& name) override;
  void EnableScriptChoice(bool enable) override;
  void SetRunButtonCaption(const Bytes& caption) override;
  void FocusRunButton() override;
  int PrepareSlideUp() override;
  void PrepareSlide() override;
  void MoveRunButton(int dy) override;
  void FinishSlide(bool down) override;
  void ShowMain(int command) override;
  uintptr_t GetForeground() override;
  void SetForeground(uintptr_t window) override;
  void BringMainToFront() override;
  int InputLine(const Bytes& prompt, Bytes& text) override;
  int ConnectParams(Bytes& server, int& port) override;
  int AcceptParams(int& port) override;
  Rect RunButtonRect() override;
  void CreateCheckBox(int slot, const Bytes& mark, const Bytes& caption, const Rect& box) override;
  void DestroyCheckBox(int slot) override;
  int GetCheck(int slot) override;
  void SetCheck(int slot, int state) override;
  void PlaySound(const Bytes& path) override;
  void StopSound() override;

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  BOOL OnInitDialog();
  void LayOut();
  void OnCommand(WORD id, WORD code);
  bool OnSysCommand(WPARAM command);
  INT_PTR OnCtlColor(UINT message, HDC dc, HWND control);
  bool OnPaintIconic();
  void PaintBackground(HDC dc);

  void ChooseScriptClicked();
  void ShowHelpFile();
  void ShowAboutDialog();
  void ShowStateDialog();
  void ShowCheckDialog();
  // Every dialog of the program over the main window: its loop is a nested
  // one (see NestedLoop).
  INT_PTR ShowModal(CDialog& dialog);

  // The Run button's command and the start-up connection, the two ways a
  // run begins. A close request during either (close box, Alt+F4, a close
  // message from outside) stops the run at once, as the interrupt does, and
  // once the run has ended, its question included, the program ends.
  void RunFromButton();
  void RunStartupConnection();
  bool RequestCloseDuringRun();
  void EndProgramAfterRun();

  // A loop other than the core's waits is running (a dialog, a message
  // box, the system menu, a move of the window): it dispatches the socket
  // and host-lookup notifications and the timer ticks a wait of the core is
  // after. The notifications are kept until it ends and then posted again;
  // a timer that ticked meanwhile fires again at once.
  void EnterNestedLoop();
  void LeaveNestedLoop();
  bool DeferNotification(UINT message, WPARAM wParam, LPARAM lParam);
  struct NestedLoop {
    explicit NestedLoop(CMainDialog& owner) : dialog(owner) { dialog.EnterNestedLoop(); }
    ~NestedLoop() { dialog.LeaveNestedLoop(); }
    NestedLoop(const NestedLoop&) = delete;
    NestedLoop& operator=(const NestedLoop&) = delete;
    CMainDialog& dialog;
  };

  HWND Item(int id) const { return GetDlgItem(window_, id); }
  RECT ClientRectOf(HWND control) const;
  // A shadow 4 pixels right of and below the control's rectangle; with
  // under, it lies below that control and never paints over it.
  HWND CreateShadow(const RECT& control, HWND under = nullptr);

  HINSTANCE instance_;
  Win32Queue& queue_;
  WinSockets& sockets_;
  Bytes commandLine_;
  HWND window_ = nullptr;
  HICON icon_ = nullptr;
  HBITMAP background_ = nullptr;
  COLORREF editColour_ = RGB(33, 173, 222);
  HBRUSH backgroundBrush_ = nullptr;
  // Shadows of the file button, the edit and the Run button, in this order.
  HWND shadows_[3] = {};
  RECT runShadowRect_ = {};
  struct CheckBoxWindows {
    HWND box = nullptr;
    HWND shadow = nullptr;
  };
  CheckBoxWindows checkBoxes_[MAX_CHECKBOXES];
  int nestedLoops_ = 0;
  std::vector<MSG> deferred_;
  std::vector<unsigned> deferredTicks_;
  // A run (or the start-up connection) is going on, and a close request
  // came during it.
  int runs_ = 0;
  bool closeRequested_ = false;
  bool commandLineFailed_ = false;
  ScriptContext ctx_;
};

}  // namespace tv::win
