// Small modal dialogs over the dialog templates of res/tarvelin.rc.
#pragma once

#include "win32/winapi.h"

#include <string>
#include <vector>

#include "engine/check.h"
#include "host/host.h"
#include "win32/resource.h"

namespace tv::win {

// A modal dialog on a template: OnInitDialog fills the controls from the
// object's fields, OnOK takes them back before the dialog ends with IDOK.
class CDialog {
 public:
  explicit CDialog(int templateId) : templateId_(templateId) {}
  virtual ~CDialog() = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // IDOK, IDCANCEL, or -1 when the dialog could not be shown.
  INT_PTR DoModal(HWND owner);
  HWND Handle() const { return window_; }

 protected:
  // After the controls exist; true lets the system set the focus.
  virtual bool OnInitDialog() { return true; }
  // False keeps the dialog open.
  virtual bool OnOK() { return true; }
  virtual bool OnCommand(WORD /*id*/, WORD /*code*/) { return false; }
  // Any other message; true when handled, with result as the message's
  // result.
  virtual bool OnMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/,
                         LRESULT& /*result*/) {
    return false;
  }

  void SetItemText(int id, const Bytes& text);
  Bytes GetItemText(int id) const;

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  int templateId_;
  HWND window_ = nullptr;
};

// Centres the dialog on its owner, as far as the screen's work area allows
// (on the work area when the owner is hidden or minimised). Every CDialog
// does this before its OnInitDialog.
void CentreOnOwner(HWND dialog);

// Makes a dialog that can be resized small enough to open centred on its
// owner inside the work area with a margin (though never below minimum, and
// never beyond the work area), then centres it.
void FitCentredOnOwner(HWND dialog, SIZE minimum);

// Reads an integer field the way a dialog's data exchange does: blanks
// around a signed decimal number and nothing else. False for anything else,
// including a number outside the int range.
bool ParseDialogInteger(const Bytes& text, int& value);

class CConnectParamsDialog : public CDialog {
 public:
  CConnectParamsDialog() : CDialog(IDD_CONNECT_PARAMS) {}
  int port = 0;
  Bytes server;

 protected:
  bool OnInitDialog() override;
  bool OnOK() override;
};

class CAcceptParamsDialog : public CDialog {
 public:
  CAcceptParamsDialog() : CDialog(IDD_ACCEPT_PARAMS) {}
  int port = 0;

 protected:
  bool OnInitDialog() override;
  bool OnOK() override;
};

class CInputLineDialog : public CDialog {
 public:
  CInputLineDialog() : CDialog(IDD_INPUT_LINE) {}
  Bytes text;
  Bytes prompt;

 protected:
  bool OnInitDialog() override;
  bool OnOK() override;
};

class CAboutDialog : public CDialog {
 public:
  CAboutDialog() : CDialog(IDD_ABOUT) {}
  Bytes aboutText;

 protected:
  bool OnInitDialog() override;
};

// Symbols, counters (NAME=VALUE) and text variables (see StateTextLine),
// each list sorted.
class CStateDialog : public CDialog {
 public:
  CStateDialog() : CDialog(IDD_STATE) {}
  std::vector<Bytes> symbolLines;
  std::vector<Bytes> counterLines;
  std::vector<Bytes> textLines;

 protected:
  bool OnInitDialog() override;
};

// How many characters of a text variable's value the state dialog shows.
constexpr size_t kStateValueChars = 40;

// A text variable as the state dialog lists it: NAME=VALUE, the value's
// bytes escaped as the log escapes them. A value whose escaped form is longer
// than kStateValueChars is cut before the escape that would pass it, and
// "…" and its length in bytes follow; only what is shown is escaped, so a
// value of any size costs the same.
Bytes StateTextLine(const Bytes& name, const Bytes& value);

// The findings of the script checker, centred on the main window: the
// checked script's full path above them, the findings wrapped at the
// dialog's width. The dialog can be resized and maximised; the findings
// grow with it.
class CCheckDialog : public CDialog {
 public:
  CCheckDialog() : CDialog(IDD_CHECK) {}
  Bytes script;  // the full path, or empty when no script is named
  Bytes text;    // lines ended with CR LF

 protected:
  bool OnInitDialog() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  void LayOut(int width, int height, bool maximised);
  bool laidOut_ = false;
  SIZE minimum_ = {};
  // Distances kept from the client area's right and bottom edges.
  int textRight_ = 0, textBottom_ = 0, okRight_ = 0, okBottom_ = 0, scriptRight_ = 0;
  HWND grip_ = nullptr;
};

// The check dialog's findings for the script at scriptPath (a full path):
// one line each, its file and the paths in its text relative to the
// script's folder, then (after an empty line when there are findings) the
// count of errors and warnings; CR LF after each line.
Bytes CheckReportText(const Bytes& scriptPath, const std::vector<CheckFinding>& findings);

// The About dialog's text: the program's name, version and release date.
Bytes AboutText();

}  // namespace tv::win
