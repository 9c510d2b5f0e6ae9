#include "win32/dialogs.h"

#include <algorithm>
#include <climits>

#include "shell/context.h"
#include "shell/escape.h"
#include "win32/files.h"
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
  LRESULT result = 0;
  const bool handled = self->OnMessage(message, wParam, lParam, result);
  if (message == WM_DESTROY) self->window_ = nullptr;
  if (!handled) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

namespace {

// The work area of the dialog's screen, and the rectangle to centre it on:
// its owner's, or the work area when the owner is hidden or minimised and so
// has no place to centre on.
void PlaceOfOwner(HWND dialog, RECT& area, RECT& around) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTONEAREST), &monitor);
  area = monitor.rcWork;
  around = area;
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
}

}  // namespace

void FitCentredOnOwner(HWND dialog, SIZE minimum) {
  RECT area, around;
  PlaceOfOwner(dialog, area, around);
  const int cx = (around.left + around.right) / 2;
  const int cy = (around.top + around.bottom) / 2;
  // The widest and highest a window centred there can be on the work area.
  // A margin of a twentieth of the work area stays free around it, so that
  // it does not look pinned to the screen's edges.
  const long marginX = (area.right - area.left) / 20;
  const long marginY = (area.bottom - area.top) / 20;
  long width = 2L * (std::min(cx - area.left, area.right - cx) - marginX);
  long height = 2L * (std::min(cy - area.top, area.bottom - cy) - marginY);
  if (width < minimum.cx) width = area.right - area.left;
  if (height < minimum.cy) height = area.bottom - area.top;
  RECT r;
  GetWindowRect(dialog, &r);
  width = std::min<long>(width, r.right - r.left);
  height = std::min<long>(height, r.bottom - r.top);
  SetWindowPos(dialog, nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CentreOnOwner(dialog);
}

void CentreOnOwner(HWND dialog) {
  RECT area, around;
  PlaceOfOwner(dialog, area, around);
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

namespace {

// Fills the list box and lets it scroll sideways as far as its widest line
// reaches.
void FillList(HWND dialog, int id, const std::vector<Bytes>& lines) {
  HWND list = GetDlgItem(dialog, id);
  HDC dc = GetDC(list);
  HGDIOBJ font = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
  LONG widest = 0;
  for (const Bytes& line : lines) {
    const std::wstring wide = ToWide(line);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    SIZE size = {};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    widest = std::max(widest, size.cx);
  }
  SelectObject(dc, font);
  ReleaseDC(list, dc);
  // The lines stand a few pixels in from the list's edge.
  SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest + 6), 0);
}

}  // namespace

bool CStateDialog::OnInitDialog() {
  FillList(Handle(), IDC_SYMBOLS, symbolLines);
  FillList(Handle(), IDC_COUNTERS, counterLines);
  FillList(Handle(), IDC_TEXTS, textLines);
  return true;
}

Bytes StateTextLine(const Bytes& name, const Bytes& value) {
  Bytes shown;
  Bytes one;
  size_t i = 0;
  for (; i < value.size(); ++i) {
    one.clear();
    EscapeForLog(one, value.data() + i, 1);
    if (shown.size() + one.size() > kStateValueChars) break;
    shown += one;
  }
  Bytes line = name + "=" + shown;
  if (i < value.size()) {
    line += FormatText("… (%lu bytů)", static_cast<unsigned long>(value.size()));
  }
  return line;
}

namespace {

RECT ChildRect(HWND dialog, int id) {
  RECT r = {};
  GetWindowRect(GetDlgItem(dialog, id), &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

bool CCheckDialog::OnInitDialog() {
  HWND dialog = Handle();
  if (!script.empty()) SetItemText(IDC_CHECK_SCRIPT, "Soubor: " + script);
  SetItemText(IDC_CHECK_TEXT, text);

  // The template's layout, kept as the distances from the right and bottom
  // edges while the dialog is resized.
  RECT client;
  GetClientRect(dialog, &client);
  const RECT findings = ChildRect(dialog, IDC_CHECK_TEXT);
  const RECT ok = ChildRect(dialog, IDOK);
  const RECT label = ChildRect(dialog, IDC_CHECK_SCRIPT);
  textRight_ = client.right - findings.right;
  textBottom_ = client.bottom - findings.bottom;
  okRight_ = client.right - ok.left;
  okBottom_ = client.bottom - ok.top;
  scriptRight_ = client.right - label.right;
  const int gripWidth = GetSystemMetrics(SM_CXVSCROLL);
  const int gripHeight = GetSystemMetrics(SM_CYHSCROLL);
  grip_ = CreateWindowExW(0, L"SCROLLBAR", L"",
                          WS_CHILD | WS_VISIBLE | SBS_SIZEGRIP | SBS_SIZEBOXBOTTOMRIGHTALIGN,
                          client.right - gripWidth, client.bottom - gripHeight, gripWidth,
                          gripHeight, dialog, nullptr, GetModuleHandleW(nullptr), nullptr);
  // Its frame can be resized, so its caption shows an icon: the program's.
  SendMessageW(dialog, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(
                   LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINICON))));
  RECT window;
  GetWindowRect(dialog, &window);
  // Room for the OK button and a few lines of findings.
  minimum_.cx = (window.right - window.left) / 2;
  minimum_.cy = (window.bottom - window.top) / 2;
  laidOut_ = true;
  FitCentredOnOwner(dialog, minimum_);
  GetClientRect(dialog, &client);
  LayOut(client.right, client.bottom, false);

  // As in About: the focus on OK, so the findings open unselected.
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDOK)), TRUE);
  return false;
}

bool CCheckDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (!laidOut_) return false;
  if (message == WM_SIZE) {
    LayOut(LOWORD(lParam), HIWORD(lParam), wParam == SIZE_MAXIMIZED);
    result = 0;
    return true;
  }
  if (message == WM_GETMINMAXINFO) {
    reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{minimum_.cx, minimum_.cy};
    result = 0;
    return true;
  }
  return false;
}

void CCheckDialog::LayOut(int width, int height, bool maximised) {
  HWND dialog = Handle();
  const RECT findings = ChildRect(dialog, IDC_CHECK_TEXT);
  const RECT label = ChildRect(dialog, IDC_CHECK_SCRIPT);
  const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  SetWindowPos(GetDlgItem(dialog, IDC_CHECK_SCRIPT), nullptr, 0, 0,
               std::max(0L, width - scriptRight_ - label.left), label.bottom - label.top,
               flags | SWP_NOMOVE);
  SetWindowPos(GetDlgItem(dialog, IDC_CHECK_TEXT), nullptr, 0, 0,
               std::max(0L, width - textRight_ - findings.left),
               std::max(0L, height - textBottom_ - findings.top), flags | SWP_NOMOVE);
  SetWindowPos(GetDlgItem(dialog, IDOK), nullptr, width - okRight_, height - okBottom_, 0, 0,
               flags | SWP_NOSIZE);
  if (grip_) {
    RECT grip;
    GetWindowRect(grip_, &grip);
    SetWindowPos(grip_, nullptr, width - (grip.right - grip.left),
                 height - (grip.bottom - grip.top), 0, 0, flags | SWP_NOSIZE);
    // A maximised window cannot be resized by its corner.
    ShowWindow(grip_, maximised ? SW_HIDE : SW_SHOW);
  }
  // Everything painted anew: the label shortens its path to the new
  // width, and what moved must show where it went.
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

Bytes CheckReportText(const Bytes& scriptPath, const std::vector<CheckFinding>& findings) {
  const size_t cut = scriptPath.find_last_of("\\/");
  const Bytes folder = cut == Bytes::npos ? Bytes() : scriptPath.substr(0, cut + 1);
  Bytes text;
  int errors = 0, warnings = 0;
  for (CheckFinding f : findings) {
    f.file = RelativeToFolder(FullPathOf(f.file), folder);
    // The checker names the files a script reads or calls by their paths
    // resolved against its folder.
    if (!folder.empty()) {
      for (size_t at = f.message.find(folder); at != Bytes::npos; at = f.message.find(folder, at)) {
        f.message.erase(at, folder.size());
      }
    }
    text += FormatFinding(f) + "\r\n";
    ++(f.error ? errors : warnings);
  }
  // The count stands apart from the findings.
  if (!findings.empty()) text += "\r\n";
  return text + "Chyb: " + std::to_string(errors) + ", varování: " + std::to_string(warnings) +
         "\r\n";
}

Bytes AboutText() {
  return "\r\n\r\nTarvelin verze 1.10 / 13. července 1997\r\n";
}

}  // namespace tv::win
