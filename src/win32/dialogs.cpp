#include "win32/dialogs.h"

#include <climits>

#include "win32/resource.h"
#include "win32/text.h"

namespace tv::win {

INT_PTR CDialog::DoModal(HWND owner) {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), owner,
                         &CDialog::Procedure, reinterpret_cast<LPARAM>(this));
}

void CDialog::SetItemText(int id, const Bytes& text) {
  SetDlgItemTextW(window_, id, ToWide(text).c_str());
}

Bytes CDialog::GetItemText(int id) const {
  HWND item = GetDlgItem(window_, id);
  int length = GetWindowTextLengthW(item);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  length = GetWindowTextW(item, &text[0], length + 1);
  text.resize(static_cast<size_t>(length < 0 ? 0 : length));
  return FromWide(text);
}

INT_PTR CALLBACK CDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    CentreOnOwner(window);
    return self->OnInitDialog() ? TRUE : FALSE;
  }
  if (!self) return FALSE;
  if (message == WM_COMMAND) {
    const WORD id = LOWORD(wParam);
    if (id == IDOK) {
      if (self->OnOK()) EndDialog(window, IDOK);
      return TRUE;
    }
    if (id == IDCANCEL) {
      EndDialog(window, IDCANCEL);
      return TRUE;
    }
    return self->OnCommand(id, HIWORD(wParam)) ? TRUE : FALSE;
  }
  if (message == WM_DESTROY) self->window_ = nullptr;
  return FALSE;
}

void CentreOnOwner(HWND dialog) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT area = monitor.rcWork;
  // A hidden or minimised owner has no place to centre on: the screen's
  // work area takes its place.
  RECT around = area;
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
  RECT r;
  GetWindowRect(dialog, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  int x = (around.left + around.right - width) / 2;
  int y = (around.top + around.bottom - height) / 2;
  if (x + width > area.right) x = area.right - width;
  if (x < area.left) x = area.left;
  if (y + height > area.bottom) y = area.bottom - height;
  if (y < area.top) y = area.top;
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool ParseDialogInteger(const Bytes& text, int& value) {
  size_t i = 0;
  auto blank = [&](size_t at) { return at < text.size() && (text[at] == ' ' || text[at] == '\t'); };
  while (blank(i)) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  size_t digits = 0;
  long long number = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    number = number * 10 + (text[i++] - '0');
    if (number > static_cast<long long>(INT_MAX) + 1) return false;
    ++digits;
  }
  if (digits == 0) return false;
  while (blank(i)) ++i;
  if (i != text.size()) return false;
  if (negative) number = -number;
  if (number > INT_MAX || number < INT_MIN) return false;
  value = static_cast<int>(number);
  return true;
}

namespace {

// The field stays open with the caret in it until it holds a number.
bool TakeInteger(HWND dialog, int id, const Bytes& text, int& value) {
  if (ParseDialogInteger(text, value)) return true;
  MessageBoxW(dialog, ToWide("Zadejte celé číslo.").c_str(), ToWide("Tarvelin").c_str(),
              MB_OK | MB_ICONEXCLAMATION);
  HWND field = GetDlgItem(dialog, id);
  SetFocus(field);
  SendMessageW(field, EM_SETSEL, 0, -1);
  return false;
}

Bytes Decimal(int value) {
  return std::to_string(value);
}

}  // namespace

bool CConnectParamsDialog::OnInitDialog() {
  SetItemText(IDC_PORT, Decimal(port));
  SetItemText(IDC_SERVER, server);
  return true;
}

bool CConnectParamsDialog::OnOK() {
  int value = 0;
  if (!TakeInteger(Handle(), IDC_PORT, GetItemText(IDC_PORT), value)) return false;
  port = value;
  server = GetItemText(IDC_SERVER);
  return true;
}

bool CAcceptParamsDialog::OnInitDialog() {
  SetItemText(IDC_PORT, Decimal(port));
  return true;
}

bool CAcceptParamsDialog::OnOK() {
  int value = 0;
  if (!TakeInteger(Handle(), IDC_PORT, GetItemText(IDC_PORT), value)) return false;
  port = value;
  return true;
}

bool CInputLineDialog::OnInitDialog() {
  SetItemText(IDC_INPUT_TEXT, text);
  SetWindowTextW(Handle(), ToWide(prompt).c_str());
  return true;
}

bool CInputLineDialog::OnOK() {
  text = GetItemText(IDC_INPUT_TEXT);
  return true;
}

bool CAboutDialog::OnInitDialog() {
  SetItemText(IDC_ABOUT_TEXT, aboutText);
  // The focus on OK: the system would put it into the text and select all
  // of it.
  SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(Handle(), IDOK)), TRUE);
  return false;
}

bool CStateDialog::OnInitDialog() {
  for (const Bytes& line : symbolLines) {
    SendDlgItemMessageW(Handle(), IDC_SYMBOLS, LB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(ToWide(line).c_str()));
  }
  for (const Bytes& line : counterLines) {
    SendDlgItemMessageW(Handle(), IDC_COUNTERS, LB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(ToWide(line).c_str()));
  }
  return true;
}

bool CCheckDialog::OnInitDialog() {
  SetItemText(IDC_CHECK_TEXT, text);
  // As in About: the focus on OK, so the findings open unselected.
  SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(Handle(), IDOK)), TRUE);
  return false;
}

Bytes AboutText() {
  return "\r\n\r\nTarvelin verze 1.10 / 13. července 1997\r\n";
}

}  // namespace tv::win
