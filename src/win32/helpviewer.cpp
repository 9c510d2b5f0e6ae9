#include "win32/helpviewer.h"

#include "win32/text.h"

namespace tv::win {

namespace {

constexpr wchar_t kViewerClass[] = L"TarvelinHelpViewer";
constexpr int kTextId = 100;

HWND g_viewer = nullptr;
HFONT g_font = nullptr;

bool IsFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadWholeFile(const std::wstring& path, Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[16384];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE) && got > 0) {
    bytes.append(chunk, got);
  }
  CloseHandle(file);
  return ok;
}

LRESULT CALLBACK ViewerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      HWND text = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                  WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                      ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                  0, 0, 0, 0, window,
                                  reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kTextId)),
                                  reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance, nullptr);
      if (!g_font) {
        g_font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             FIXED_PITCH | FF_MODERN, L"Courier New");
      }
      SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
      SendMessageW(text, EM_SETLIMITTEXT, 0, 0);
      return 0;
    }
    case WM_SIZE:
      MoveWindow(GetDlgItem(window, kTextId), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_SETFOCUS:
      SetFocus(GetDlgItem(window, kTextId));
      return 0;
    case WM_CTLCOLORSTATIC:
      // Read-only text on the usual white of a document, not on grey.
      SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
      SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_DESTROY:
      g_viewer = nullptr;
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

std::wstring FindHelpFile() {
  if (IsFile(kHelpFileName)) {
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(kHelpFileName, MAX_PATH * 4, full, nullptr);
    if (length > 0 && length < MAX_PATH * 4) return full;
    return kHelpFileName;
  }
  wchar_t program[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return std::wstring();
  std::wstring path(program, length);
  size_t slash = path.find_last_of(L"\\/");
  path = (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + kHelpFileName;
  return IsFile(path) ? path : std::wstring();
}

std::wstring HelpTextForDisplay(const Bytes& fileBytes) {
  std::wstring wide = ToWide(fileBytes);
  std::wstring text;
  text.reserve(wide.size() + wide.size() / 16);
  for (size_t i = 0; i < wide.size(); ++i) {
    wchar_t c = wide[i];
    if (c == L'\r') {
      text += L"\r\n";
      if (i + 1 < wide.size() && wide[i + 1] == L'\n') ++i;
    } else if (c == L'\n') {
      text += L"\r\n";
    } else if (c == L'\0') {
      text += L' ';
    } else {
      text += c;
    }
  }
  return text;
}

bool ShowHelpViewer(HINSTANCE instance, HICON icon) {
  std::wstring path = FindHelpFile();
  if (path.empty()) return false;
  Bytes bytes;
  if (!ReadWholeFile(path, bytes)) return false;

  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW viewerClass = {};
    viewerClass.cbSize = sizeof viewerClass;
    viewerClass.lpfnWndProc = ViewerProcedure;
    viewerClass.hInstance = instance;
    viewerClass.hIcon = icon;
    viewerClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    viewerClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    viewerClass.lpszClassName = kViewerClass;
    if (!RegisterClassExW(&viewerClass)) return false;
    registered = true;
  }
  if (!g_viewer) {
    const std::wstring title = ToWide("Nápověda - TARVELIN.HLP");
    g_viewer = CreateWindowExW(0, kViewerClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                               CW_USEDEFAULT, 700, 520, nullptr, nullptr, instance, nullptr);
    if (!g_viewer) return false;
  }
  SetDlgItemTextW(g_viewer, kTextId, HelpTextForDisplay(bytes).c_str());
  ShowWindow(g_viewer, IsIconic(g_viewer) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(g_viewer);
  return true;
}

}  // namespace tv::win
