// Tests of the Windows program's look and of its queue's order, run under
// Wine with the tests of layer_test.cpp: the dialogs centred on the main
// window, the About text without a selection, the check boxes' edges beside
// their shadows, a message box title that is not cut off, and the message a
// pump dispatches after a peek.
#include "win32/winapi.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "win32/dialogs.h"
#include "win32/files.h"
#include "win32/maindialog.h"
#include "win32/msgbox.h"
#include "win32/queue.h"
#include "win32/resource.h"
#include "win32/sockets.h"
#include "win32/text.h"

using tv::Bytes;
using namespace tv::win;

namespace {

std::wstring TitleOf(HWND window) {
  wchar_t text[512] = L"";
  GetWindowTextW(window, text, 512);
  return text;
}

// Calls body on another thread once a visible dialog with this title is up,
// while the test's thread runs the dialog's modal loop.
class WhenShown {
 public:
  WhenShown(const std::wstring& title, std::function<void(HWND)> body)
      : thread_([title, body] {
          for (int i = 0; i < 400; ++i) {
            HWND window = FindWindowW(L"#32770", title.c_str());
            if (window && IsWindowVisible(window)) {
              Sleep(100);  // done with its first painting
              body(window);
              return;
            }
            Sleep(25);
          }
        }) {}
  ~WhenShown() { thread_.join(); }

 private:
  std::thread thread_;
};

LRESULT CALLBACK PlainProcedure(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  return DefWindowProcW(w, m, wp, lp);
}

// A visible top-level window that stands for the main window.
HWND OwnerWindow(int x, int y) {
  WNDCLASSW c = {};
  c.lpfnWndProc = PlainProcedure;
  c.hInstance = GetModuleHandleW(nullptr);
  c.lpszClassName = L"TarvelinFitOwner";
  RegisterClassW(&c);
  HWND window = CreateWindowW(L"TarvelinFitOwner", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y,
                              640, 400, nullptr, nullptr, c.hInstance, nullptr);
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  return window;
}

POINT CentreOf(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

bool Near(const POINT& a, const POINT& b) {
  return a.x - b.x <= 1 && b.x - a.x <= 1 && a.y - b.y <= 1 && b.y - a.y <= 1;
}

// Opens dialog owned by a window at (x, y) (minimised if asked) and returns
// where its centre was, against the owner's centre and the work area's.
struct Placement {
  POINT dialog = {};
  SIZE size = {};
  POINT owner = {};
  POINT workArea = {};
  bool inside = false;
};

Placement PlaceOf(CDialog& dialog, const std::wstring& title, int x, int y, bool minimised) {
  HWND owner = OwnerWindow(x, y);
  if (minimised) ShowWindow(owner, SW_MINIMIZE);
  Placement p;
  p.owner = CentreOf(owner);
  RECT area;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  p.workArea = POINT{(area.left + area.right) / 2, (area.top + area.bottom) / 2};
  {
    WhenShown shown(title, [&](HWND window) {
      p.dialog = CentreOf(window);
      RECT r;
      GetWindowRect(window, &r);
      p.size = SIZE{r.right - r.left, r.bottom - r.top};
      p.inside = r.left >= area.left && r.top >= area.top && r.right <= area.right &&
                 r.bottom <= area.bottom;
      PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal(owner);
  }
  DestroyWindow(owner);
  return p;
}

TEST(DialogPlacement, DialogsOpenCentredOnTheMainWindow) {
  CAboutDialog about;
  about.aboutText = AboutText();
  CStateDialog state;
  CInputLineDialog input;
  input.prompt = "Zadejte své jméno";
  CConnectParamsDialog connect;
  CAcceptParamsDialog accept;
  CCheckDialog check;
  check.text = "Chyb: 0, varování: 0\r\n";
  struct Case {
    CDialog* dialog;
    const wchar_t* title;
  } cases[] = {
      {&about, L"O verzi programu"},      {&state, L"Zobrazení aktuálního stavu symbolů a čítačů"},
      {&input, L"Zadejte své jméno"},     {&connect, L"Parametry pro Connect"},
      {&accept, L"Parametry pro Accept"}, {&check, L"Kontrola scriptu"},
  };
  for (const Case& c : cases) {
    Placement p = PlaceOf(*c.dialog, c.title, 150, 120, false);
    EXPECT_TRUE(Near(p.dialog, p.owner))
        << "not centred on its owner: " << FromWide(c.title) << " at " << p.dialog.x << ","
        << p.dialog.y << ", owner's centre " << p.owner.x << "," << p.owner.y;
    EXPECT_TRUE(p.inside) << FromWide(c.title);
  }
}

TEST(DialogPlacement, DialogOfAMinimisedOrFarWindowStaysOnTheScreen) {
  CInputLineDialog input;
  input.prompt = "Zadejte číslo";
  Placement minimised = PlaceOf(input, L"Zadejte číslo", 150, 120, true);
  EXPECT_TRUE(Near(minimised.dialog, minimised.workArea));
  EXPECT_TRUE(minimised.inside);
  // An owner mostly beyond the screen's right edge: the dialog is pushed
  // back onto the work area.
  CAcceptParamsDialog accept;
  Placement offside = PlaceOf(accept, L"Parametry pro Accept", 900, 120, false);
  EXPECT_TRUE(offside.inside);
  EXPECT_TRUE(offside.dialog.y - offside.owner.y <= 1 && offside.owner.y - offside.dialog.y <= 1);
}

// The check dialog beside the screen's left edge, where its size would not
// let it centre on the main window: it opens smaller, centred on it, with
// a margin to the edge.
TEST(DialogPlacement, CheckDialogShrinksToOpenCentredOnItsOwner) {
  CCheckDialog check;
  check.text = "Chyb: 0, varování: 0\r\n";
  const Placement free = PlaceOf(check, L"Kontrola scriptu", 150, 120, false);
  const Placement edge = PlaceOf(check, L"Kontrola scriptu", -80, 120, false);
  EXPECT_TRUE(Near(edge.dialog, edge.owner))
      << "at " << edge.dialog.x << "," << edge.dialog.y << ", owner's centre " << edge.owner.x
      << "," << edge.owner.y;
  EXPECT_TRUE(edge.inside);
  EXPECT_LT(edge.size.cx, free.size.cx);
  EXPECT_EQ(edge.size.cy, free.size.cy);
  RECT area;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  EXPECT_GE(edge.dialog.x - edge.size.cx / 2 - area.left, (area.right - area.left) / 20 - 1);
}

// What a dialog shows once it is open: the selection of its text field and
// the control with the focus beside its OK button; it is closed with OK.
struct FirstLook {
  INT_PTR result = 0;
  DWORD selection = 1;
  HWND focus = nullptr;
  HWND ok = nullptr;
};

FirstLook LookAtOpened(CDialog& dialog, const std::wstring& title, int textId) {
  FirstLook look;
  {
    WhenShown shown(title, [&](HWND window) {
      look.selection = static_cast<DWORD>(SendDlgItemMessageW(window, textId, EM_GETSEL, 0, 0));
      look.ok = GetDlgItem(window, IDOK);
      GUITHREADINFO info = {};
      info.cbSize = sizeof info;
      GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
      look.focus = info.hwndFocus;
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    look.result = dialog.DoModal(nullptr);
  }
  return look;
}

TEST(DialogPlacement, AboutTextOpensWithNothingSelected) {
  CAboutDialog about;
  about.aboutText = AboutText();
  const FirstLook look = LookAtOpened(about, L"O verzi programu", IDC_ABOUT_TEXT);
  EXPECT_EQ(look.result, INT_PTR(IDOK));
  EXPECT_EQ(LOWORD(look.selection), HIWORD(look.selection));
  EXPECT_EQ(look.focus, look.ok);
}

TEST(DialogPlacement, CheckFindingsOpenWithNothingSelected) {
  CCheckDialog check;
  check.text = "a.tvl:1:1: chyba: Neznámý příkaz scriptu: SEDN\r\nChyb: 1, varování: 0\r\n";
  const FirstLook look = LookAtOpened(check, L"Kontrola scriptu", IDC_CHECK_TEXT);
  EXPECT_EQ(look.result, INT_PTR(IDOK));
  EXPECT_EQ(LOWORD(look.selection), HIWORD(look.selection));
  EXPECT_EQ(look.focus, look.ok);
}

// ---------------------------------------------------------------- check boxes

std::wstring TempFolder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring folder =
      std::wstring(base) + L"tvfit" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void WriteText(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

RECT RectIn(HWND parent, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct EdgePixels {
  bool found = false;
  COLORREF right = 0, bottom = 0;          // the box's last column and row
  COLORREF rightBand = 0, bottomBand = 0;  // the shadow beside them
  COLORREF corner = 0;                     // the box's bottom right pixel
};

EdgePixels PixelsBesideTheShadow(HWND main, HWND box) {
  EdgePixels p;
  HWND shadow = nullptr;
  const RECT b = RectIn(main, box);
  for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    RECT s = RectIn(main, c);
    if (GetDlgCtrlID(c) == IDC_SHADOW && s.left == b.left + 4 && s.top == b.top + 4) shadow = c;
  }
  if (!shadow) return p;
  p.found = true;
  HDC dc = GetDC(main);
  const int midY = (b.top + b.bottom) / 2;
  const int midX = (b.left + b.right) / 2;
  p.right = GetPixel(dc, b.right - 1, midY);
  p.rightBand = GetPixel(dc, b.right + 1, midY);
  p.bottom = GetPixel(dc, midX, b.bottom - 1);
  p.bottomBand = GetPixel(dc, midX, b.bottom + 1);
  p.corner = GetPixel(dc, b.right - 1, b.bottom - 1);
  ReleaseDC(main, dc);
  return p;
}

TEST(CheckBoxes, CheckBoxEdgesAreNotPaintedOverByTheirShadows) {
  const std::wstring folder = TempFolder();
  const std::wstring script = folder + L"boxy.tvl";
  WriteText(script, "ShowCheckBox A \"První volba\"\r\nWaitCheck A 1\r\n");
  Win32Queue queue;
  WinSockets sockets;
  Win32Profile profile;
  Win32Files files;
  CMainDialog dialog(GetModuleHandleW(nullptr), queue, sockets, profile, files,
                     "-p - \"" + FromWide(script) + "\"");
  EdgePixels first, repainted;
  {
    WhenShown shown(L"Tarvelin - běží script " + script, [&](HWND main) {
      HWND box = nullptr;
      for (int i = 0; i < 200 && !box; ++i) {
        box = FindWindowExW(main, nullptr, L"Button", L"První volba");
        Sleep(25);
      }
      if (!box) return;
      Sleep(300);
      first = PixelsBesideTheShadow(main, box);
      // Everything painted again, the shadow after the box.
      RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW);
      for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(c) == IDC_SHADOW) {
          RedrawWindow(c, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        }
      }
      Sleep(300);
      repainted = PixelsBesideTheShadow(main, box);
      SendMessageW(box, BM_CLICK, 0, 0);
      for (int i = 0; i < 200 && TitleOf(main) != L"Tarvelin 1.10"; ++i) Sleep(25);
      PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    });
    dialog.DoModal();
  }
  const COLORREF edge = GetSysColor(COLOR_BTNHIGHLIGHT);
  for (const EdgePixels* p : {&first, &repainted}) {
    EXPECT_TRUE(p->found);
    EXPECT_EQ(p->right, edge);
    EXPECT_EQ(p->bottom, edge);
    EXPECT_EQ(p->corner, edge);
    EXPECT_NE(p->rightBand, edge);
    EXPECT_NE(p->bottomBand, edge);
  }
  WriteProfileStringA("Tarvelin", "ScriptName", nullptr);
  DeleteFileW(script.c_str());
  RemoveDirectoryW(folder.c_str());
}

// ---------------------------------------------------------------- message box

TEST(MessageBoxes, MessageBoxShowsItsWholeTitle) {
  const std::wstring title = ToWide("Chyba v argumentech programu");
  const std::wstring text = ToWide("Parametr n vyžaduje 2 parametry");
  int width = 0, needed = 0;
  RECT button = {}, box = {};
  {
    WhenShown shown(title, [&](HWND window) {
      GetWindowRect(window, &box);
      width = box.right - box.left;
      needed = CaptionWidthFor(window, title);
      GetWindowRect(GetDlgItem(window, IDOK), &button);
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(ShowMessageBox(nullptr, text, title, MB_OK), IDOK);
  }
  EXPECT_GE(width, needed);
  // The button stays in the middle of the wider box.
  const int left = button.left - box.left;
  const int right = box.right - button.right;
  EXPECT_TRUE(left - right <= 2 && right - left <= 2);
}

TEST(MessageBoxes, MessageBoxWithAShortTitleKeepsItsSize) {
  const std::wstring title = L"Tarvelin";
  const std::wstring text = ToWide("Dlouhý text zprávy, který je mnohem širší než titulek okna");
  int width = 0, plain = 0;
  for (int round = 0; round < 2; ++round) {
    WhenShown shown(title, [&](HWND window) {
      RECT r;
      GetWindowRect(window, &r);
      (round == 0 ? plain : width) = r.right - r.left;
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    if (round == 0) {
      MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK);
    } else {
      ShowMessageBox(nullptr, text, title, MB_OK);
    }
  }
  EXPECT_GT(plain, 0);
  EXPECT_EQ(width, plain);
}

// A missing script with a 311-character path: the box keeps the start of
// the path and its file name around "…" and stays on the screen.
TEST(MessageBoxes, BoxWithALongPathStaysOnTheScreen) {
  const std::wstring title = ToWide("*** CHYBA ***");
  const std::wstring name = ToWide("\\chybějící-script.tvl");
  std::wstring path = L"C:\\Users\\" + std::wstring(311 - 9 - name.size(), L'a') + name;
  ASSERT_EQ(path.size(), size_t(311));
  RECT box = {};
  std::wstring shown;
  {
    WhenShown seen(title, [&](HWND window) {
      GetWindowRect(window, &box);
      for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t text[1024] = L"";
        GetWindowTextW(c, text, 1024);
        if (std::wstring(text).find(L"Nelze") == 0) shown = text;
      }
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    ShowMessageBox(nullptr, ToWide("Nelze otevřít pro čtení soubor ") + path, title, MB_OK);
  }
  RECT area;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  EXPECT_GE(box.left, area.left);
  EXPECT_LE(box.right, area.right);
  EXPECT_EQ(shown.find(ToWide("Nelze otevřít pro čtení soubor C:\\Users\\aaa")), size_t(0));
  EXPECT_NE(shown.find(L"\u2026" + name), std::wstring::npos) << FromWide(shown);
  EXPECT_LT(shown.size(), path.size());
}

// Ten pixels a character: the shortened words' lengths can be told exactly.
int TenEach(const std::wstring& text) {
  return static_cast<int>(text.size()) * 10;
}

TEST(MessageBoxes, LongWordsAreShortenedInTheMiddle) {
  // A path keeps its file name and as much of its start as fits.
  EXPECT_EQ(ShortenInMiddle(L"Z:\\tmp\\aaaaaaaaaaaaaaaaaaaaaaaa\\soubor.tvl", 200, TenEach),
            L"Z:\\tmp\\a\u2026\\soubor.tvl");
  // A file name too long to keep whole, with or without a folder: its
  // start and its end.
  const std::wstring name = std::wstring(30, L'x') + L"-konec.tvl";
  EXPECT_EQ(ShortenInMiddle(name, 200, TenEach), std::wstring(9, L'x') + L"\u2026konec.tvl");
  EXPECT_EQ(ShortenInMiddle(L"C:\\" + name, 200, TenEach).size(), size_t(19));
  // What fits stays as it is.
  EXPECT_EQ(ShortenInMiddle(L"C:\\kratky.tvl", 200, TenEach), L"C:\\kratky.tvl");
  // In a text only the long word changes; blanks and line ends stay.
  EXPECT_EQ(
      ShortenLongWords(L"Soubor Z:\\tmp\\aaaaaaaaaaaaaaaaaaaaaaaa\\soubor.tvl\r\nnelze  otevřít",
                       200, TenEach),
      L"Soubor Z:\\tmp\\a\u2026\\soubor.tvl\r\nnelze  otevřít");
}

// ---------------------------------------------------------------- queue

struct Seen {
  static std::vector<UINT>& Messages() {
    static std::vector<UINT> messages;
    return messages;
  }
  static LRESULT CALLBACK Procedure(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_TIMER || m >= WM_USER) Messages().push_back(m);
    return DefWindowProcW(w, m, wp, lp);
  }
};

HWND QueueWindow() {
  static HWND window = nullptr;
  if (!window) {
    WNDCLASSW c = {};
    c.lpfnWndProc = Seen::Procedure;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"TarvelinFitQueue";
    RegisterClassW(&c);
    window = CreateWindowW(L"TarvelinFitQueue", L"fit queue", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, c.hInstance, nullptr);
  }
  return window;
}

// The core peeks, decides that the first message is not the one it awaits,
// and dispatches it. A socket notification that comes in between goes
// before a timer or a paint in the system's order; it must stay queued for
// the next peek instead of being dispatched unseen.
TEST(Queue, DispatchTakesThePeekedMessageNotOneThatCameLater) {
  HWND window = QueueWindow();
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  Win32Queue queue;
  queue.SetMainWindow(window);
  SetTimer(window, 5, 10, nullptr);
  tv::Msg first;
  bool timer = false;
  for (int i = 0; i < 200 && !timer; ++i) {
    Sleep(5);
    timer = queue.Peek(first) && first.id == WM_TIMER;
  }
  EXPECT_TRUE(timer);
  PostMessageW(window, tv::WM_SOCKET_SETUP, 77, 0);
  Seen::Messages().clear();
  EXPECT_TRUE(queue.DispatchOne());
  KillTimer(window, 5);
  EXPECT_EQ(Seen::Messages(), std::vector<UINT>{WM_TIMER});
  EXPECT_TRUE(queue.Peek(first));
  EXPECT_EQ(first.id, tv::WM_SOCKET_SETUP);
  tv::Msg removed;
  EXPECT_TRUE(queue.RemoveForMain(tv::WM_SOCKET_SETUP, removed));
  EXPECT_EQ(removed.wParam, uintptr_t(77));
  // Without a peek before it, the first message is dispatched.
  PostMessageW(window, WM_USER + 40, 0, 0);
  PostMessageW(window, WM_USER + 41, 0, 0);
  Seen::Messages().clear();
  EXPECT_TRUE(queue.DispatchOne());
  EXPECT_EQ(Seen::Messages(), std::vector<UINT>{WM_USER + 40});
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace
