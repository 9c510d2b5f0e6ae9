#include "win32/msgbox.h"

#include <vector>

namespace tv::win {

namespace {

struct PendingBox {
  HHOOK hook = nullptr;
  const std::wstring* title = nullptr;
};

// Message boxes are shown on the one window thread only.
PendingBox pending;

std::wstring TitleOf(HWND window) {
  wchar_t text[512] = L"";
  GetWindowTextW(window, text, 512);
  return text;
}

bool IsButton(HWND window) {
  wchar_t className[16] = L"";
  GetClassNameW(window, className, 16);
  return lstrcmpiW(className, L"Button") == 0;
}

void MoveBy(HWND box, HWND child, int dx) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
  SetWindowPos(child, nullptr, r.left + dx, r.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Widens the box, keeps it where it was centred, moves its text and icon
// along and puts the row of buttons in the middle again.
void Widen(HWND box, int width) {
  RECT r;
  GetWindowRect(box, &r);
  const int grow = width - (r.right - r.left);
  if (grow <= 0) return;
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &info);
  int left = r.left - grow / 2;
  if (left + width > info.rcWork.right) left = info.rcWork.right - width;
  if (left < info.rcWork.left) left = info.rcWork.left;
  SetWindowPos(box, nullptr, left, r.top, width, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);

  std::vector<HWND> buttons;
  std::vector<HWND> others;
  RECT row = {};
  for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (!IsButton(c) || !(GetWindowLongW(c, GWL_STYLE) & WS_VISIBLE)) {
      others.push_back(c);
      continue;
    }
    RECT b;
    GetWindowRect(c, &b);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&b), 2);
    if (buttons.empty()) {
      row = b;
    } else {
      UnionRect(&row, &row, &b);
    }
    buttons.push_back(c);
  }
  for (HWND c : others) MoveBy(box, c, grow / 2);
  RECT client;
  GetClientRect(box, &client);
  const int shift = (client.right - (row.right - row.left)) / 2 - row.left;
  for (HWND c : buttons) MoveBy(box, c, shift);
}

// Once the box has laid itself out in WM_INITDIALOG, before it is shown.
LRESULT CALLBACK WatchInitialisation(int code, WPARAM wParam, LPARAM lParam) {
  HHOOK hook = pending.hook;
  const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && pending.title && call->message == WM_INITDIALOG) {
    wchar_t className[16] = L"";
    GetClassNameW(call->hwnd, className, 16);
    if (lstrcmpW(className, L"#32770") == 0 && TitleOf(call->hwnd) == *pending.title) {
      pending.title = nullptr;
      Widen(call->hwnd, CaptionWidthFor(call->hwnd, TitleOf(call->hwnd)));
    }
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

}  // namespace

int CaptionWidthFor(HWND window, const std::wstring& title) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE text = {};
  GetTextExtentPoint32W(dc, title.c_str(), static_cast<int>(title.size()), &text);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  DeleteObject(font);
  RECT outer, inner;
  GetWindowRect(window, &outer);
  GetClientRect(window, &inner);
  const int frame = (outer.right - outer.left) - (inner.right - inner.left);
  // The close button, a gap before it and the room a caption keeps at its
  // left end.
  const int buttons = metrics.iCaptionWidth + 2 * GetSystemMetrics(SM_CXEDGE);
  return text.cx + frame + buttons + 16;
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT type) {
  PendingBox outer = pending;
  pending.title = &title;
  pending.hook =
      SetWindowsHookExW(WH_CALLWNDPROCRET, WatchInitialisation, nullptr, GetCurrentThreadId());
  const int result = MessageBoxW(owner, text.c_str(), title.c_str(), type);
  if (pending.hook) UnhookWindowsHookEx(pending.hook);
  pending = outer;
  return result;
}

}  // namespace tv::win
