#include "win32/msgbox.h"

#include <algorithm>
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

// Widths of texts in one of the system's fonts for captions and boxes.
class Measure {
 public:
  Measure(HWND window, LOGFONTW NONCLIENTMETRICSW::*font) : window_(window) {
    metrics_.cbSize = sizeof metrics_;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics_, &metrics_, 0);
    font_ = CreateFontIndirectW(&(metrics_.*font));
    dc_ = GetDC(window_);
    old_ = SelectObject(dc_, font_);
  }
  ~Measure() {
    SelectObject(dc_, old_);
    ReleaseDC(window_, dc_);
    DeleteObject(font_);
  }
  Measure(const Measure&) = delete;
  Measure& operator=(const Measure&) = delete;

  int Width(const std::wstring& text) const {
    SIZE size = {};
    GetTextExtentPoint32W(dc_, text.c_str(), static_cast<int>(text.size()), &size);
    return static_cast<int>(size.cx);
  }
  const NONCLIENTMETRICSW& Metrics() const { return metrics_; }

 private:
  HWND window_;
  NONCLIENTMETRICSW metrics_ = {};
  HFONT font_ = nullptr;
  HDC dc_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

}  // namespace

int CaptionWidthFor(HWND window, const std::wstring& title) {
  const Measure caption(window, &NONCLIENTMETRICSW::lfCaptionFont);
  const int text = caption.Width(title);
  RECT outer, inner;
  GetWindowRect(window, &outer);
  GetClientRect(window, &inner);
  const int frame = (outer.right - outer.left) - (inner.right - inner.left);
  // The close button, a gap before it and the room a caption keeps at its
  // left end.
  const int buttons = caption.Metrics().iCaptionWidth + 2 * GetSystemMetrics(SM_CXEDGE);
  return text + frame + buttons + 16;
}

std::wstring ShortenInMiddle(const std::wstring& word, int limit, const TextWidth& width) {
  if (word.size() < 3 || width(word) <= limit) return word;
  const std::wstring ellipsis = L"\u2026";
  // The longest prefix of head for which make(prefix) fits; 0 when none
  // does. Shorter texts are never wider, so a binary search finds it.
  auto longest = [&](size_t most, const std::function<std::wstring(size_t)>& make) {
    size_t low = 0, high = most;
    while (low < high) {
      const size_t mid = (low + high + 1) / 2;
      if (width(make(mid)) <= limit) {
        low = mid;
      } else {
        high = mid - 1;
      }
    }
    return low;
  };
  const size_t name = word.find_last_of(L"\\/");
  if (name != std::wstring::npos && name > 0 && name + 1 < word.size()) {
    const std::wstring tail = word.substr(name);
    const size_t head =
        longest(name, [&](size_t n) { return word.substr(0, n) + ellipsis + tail; });
    if (head > 0) return word.substr(0, head) + ellipsis + tail;
  }
  // Even the file name is too wide: its start and its end stay, as many
  // characters of each.
  const size_t keep = longest((word.size() - 1) / 2, [&](size_t n) {
    return word.substr(0, n) + ellipsis + word.substr(word.size() - n);
  });
  return word.substr(0, std::max<size_t>(keep, 1)) + ellipsis +
         word.substr(word.size() - std::max<size_t>(keep, 1));
}

std::wstring ShortenLongWords(const std::wstring& text, int limit, const TextWidth& width) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = text.find_first_of(L" \t\r\n", i);
    const size_t stop = end == std::wstring::npos ? text.size() : end;
    out += ShortenInMiddle(text.substr(i, stop - i), limit, width);
    if (stop < text.size()) out += text[stop];
    i = stop + 1;
  }
  return out;
}

namespace {

// Two thirds of the work area: with its icon, margins and frame the box
// still fits the screen.
int TextLimitFor(HWND owner) {
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &info);
  return (info.rcWork.right - info.rcWork.left) * 2 / 3;
}

// The text as the box shows it, measured in the font of message boxes.
std::wstring FittedText(HWND owner, const std::wstring& text) {
  const Measure message(nullptr, &NONCLIENTMETRICSW::lfMessageFont);
  return ShortenLongWords(text, TextLimitFor(owner),
                          [&message](const std::wstring& s) { return message.Width(s); });
}

}  // namespace

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT type) {
  const std::wstring shown = FittedText(owner, text);
  PendingBox outer = pending;
  pending.title = &title;
  pending.hook =
      SetWindowsHookExW(WH_CALLWNDPROCRET, WatchInitialisation, nullptr, GetCurrentThreadId());
  const int result = MessageBoxW(owner, shown.c_str(), title.c_str(), type);
  if (pending.hook) UnhookWindowsHookEx(pending.hook);
  pending = outer;
  return result;
}

}  // namespace tv::win
