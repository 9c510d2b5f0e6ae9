// tvdriver: drives the Windows program from outside, as an operator would,
// for the end-to-end tests under Wine. It plays a scenario file: one action a
// line, words separated by blanks, "..." strings with the escapes \" \\ \r \n
// \t, blank lines and lines beginning with # ignored. Every action that waits
// gives up after the time limit (default 30000 ms, see "timeout"); the first
// failing action is reported on standard error with a list of the open
// windows, and the driver ends with status 1 (2: a bad scenario).
//
//   tvdriver SCENARIO
//
// Windows are bound to names by the actions that find them:
//
//   window NAME CLASS TITLE      wait for a visible top-level window of the
//                                class ("*": any) with exactly this title
//   window-prefix NAME CLASS TEXT   the same for a title that begins with TEXT
//   window-new NAME CLASS TITLE  the same, for a window not yet bound to a name
//   box NAME TITLE TEXT          wait for a message box with this title that
//                                shows exactly this text
//   box-like NAME TITLE PATTERN  the same for a text that matches PATTERN, in
//                                which * stands for any characters
//   gone NAME                    wait until the window no longer exists
//   title NAME TEXT              wait until the window's title is TEXT
//   text NAME ID TEXT            wait until the text of control ID is TEXT
//   text-contains NAME ID TEXT   wait until the text of control ID holds TEXT
//   iconic NAME 0|1              the window is minimised or not
//   enabled NAME ID 0|1          the control is disabled or enabled
//   visible NAME ID 0|1          the control is hidden or shown
//   hscroll NAME ID 0|1          control ID shows no horizontal scroll bar,
//                                or shows one (its lines are too wide)
//   click NAME ID                click the button ID (BM_CLICK, posted)
//   mouse NAME ID                a real mouse click at the centre of control ID
//   mouse-box NAME CAPTION       a real mouse click on the check box CAPTION
//   press NAME ID                the dialog's command ID (a button of a box)
//   settext NAME ID TEXT         put TEXT into control ID (into the edit
//                                field of a combo box)
//   syscommand NAME COMMAND      a system-menu command (posted WM_SYSCOMMAND)
//   close NAME                   the close box (WM_SYSCOMMAND SC_CLOSE, sent)
//   post-close NAME              a close request from outside (WM_CLOSE, posted)
//   taskkill NAME                the system's taskkill without /f on the
//                                window's process (it asks the process's
//                                windows to close)
//   chord NAME VK...             real key presses: NAME is brought to the
//                                front, the keys go down in order and up in
//                                the reverse order (0x12 0x73: Alt+F4)
//   key NAME VK                  a key pressed and released while NAME has
//                                the focus (posted WM_KEYDOWN/WM_KEYUP)
//   list NAME ID LINE...         list box ID holds exactly these lines
//   checkbox NAME CAPTION L T R B   a check box with this caption stands at
//                                this rectangle of the client area
//   checkbox-slot NAME CAPTION SLOT   the check box stands where the layout
//                                puts the box of this slot, in two columns
//                                of five rows below the Run button (1002)
//   checkboxes NAME N            the window shows exactly N check boxes
//   checkstate NAME CAPTION 0|1  the check box's state
//   rect NAME ID L T R B         control ID stands at this client rectangle
//   window-rect NAME L T R B     the window's own screen rectangle
//   on-screen NAME               the window lies inside its screen's work area
//   centred-on NAME OWNER        the window's centre is the centre of OWNER
//                                (give or take 2 pixels)
//   resize NAME DW DH            make the window DW wider and DH higher
//   grown NAME ID DW DH          control ID is DW wider and DH higher than at
//                                the last resize of NAME
//   moved NAME ID DX DY          control ID stands DX right and DY lower than
//                                at the last resize of NAME
//   wrapped NAME ID              the edit control ID shows more lines than its
//                                text has: its long lines are wrapped
//   idle-cpu NAME MS PERCENT     the window's process uses at most PERCENT of
//                                one processor during the next MS milliseconds
//   foreground NAME              NAME is the foreground window
//   dump NAME                    list the window's controls (for writing
//                                scenarios)
//   windows                      list the visible top-level windows
//   sleep MS                     pause
//   timeout MS                   time limit of the following actions
//   echo TEXT                    print TEXT on standard output

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

struct Failure {
  std::string text;
};

struct ScenarioError {
  std::string text;
};

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n, nullptr,
                      nullptr);
  return utf8;
}

// "a\r\nb" for messages: control characters made visible.
std::string Shown(const std::wstring& text) {
  std::string out = "\"";
  for (char c : Narrow(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::wstring TextOf(HWND window) {
  // WM_GETTEXT is carried across processes by the system.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return std::wstring();
  }
  std::vector<wchar_t> buffer(length + 2, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(),
                           reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                           &copied)) {
    return std::wstring();
  }
  return std::wstring(buffer.data(), copied < buffer.size() ? copied : buffer.size() - 1);
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = L"";
  GetClassNameW(window, name, 256);
  return name;
}

struct Search {
  std::wstring className;
  std::wstring title;
  bool prefix = false;
  std::vector<HWND> exclude;
  HWND found = nullptr;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM data) {
  Search& search = *reinterpret_cast<Search*>(data);
  if (!IsWindowVisible(window)) return TRUE;
  for (HWND taken : search.exclude) {
    if (taken == window) return TRUE;
  }
  if (search.className != L"*" && ClassOf(window) != search.className) return TRUE;
  std::wstring title = TextOf(window);
  bool match = search.prefix ? title.compare(0, search.title.size(), search.title) == 0
                             : title == search.title;
  if (!match) return TRUE;
  search.found = window;
  return FALSE;
}

BOOL CALLBACK ListTopLevel(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  std::fprintf(stderr, "  window %p class %s title %s\n", static_cast<void*>(window),
               Narrow(ClassOf(window)).c_str(), Shown(TextOf(window)).c_str());
  return TRUE;
}

struct ChildList {
  std::vector<HWND> children;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM data) {
  reinterpret_cast<ChildList*>(data)->children.push_back(window);
  return TRUE;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  ChildList list;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&list));
  return list.children;
}

bool IsCheckBox(HWND window) {
  if (ClassOf(window) != L"Button") {
    if (lstrcmpiW(ClassOf(window).c_str(), L"Button") != 0) return false;
  }
  LONG style = GetWindowLongW(window, GWL_STYLE) & 0x0F;
  return style == BS_AUTOCHECKBOX || style == BS_CHECKBOX;
}

RECT ClientRectOf(HWND parent, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string RectText(const RECT& r) {
  char text[96];
  std::snprintf(text, sizeof text, "(%ld, %ld, %ld, %ld)", r.left, r.top, r.right, r.bottom);
  return text;
}

void ClickAt(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  // Away from the right edge, where a check box's shadow lies.
  const int x = r.left + 12;
  const int y = (r.top + r.bottom) / 2;
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN) - 1;
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN) - 1;
  INPUT input[3] = {};
  input[0].type = INPUT_MOUSE;
  input[0].mi.dx = static_cast<LONG>(x * 65535LL / (width > 0 ? width : 1));
  input[0].mi.dy = static_cast<LONG>(y * 65535LL / (height > 0 ? height : 1));
  input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  input[1].type = INPUT_MOUSE;
  input[1].mi.dx = input[0].mi.dx;
  input[1].mi.dy = input[0].mi.dy;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  input[2] = input[1];
  input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  SetCursorPos(x, y);
  SendInput(3, input, sizeof(INPUT));
}

// Whether text matches pattern, where * stands for any characters.
bool Matches(const std::wstring& text, const std::wstring& pattern) {
  size_t t = 0, p = 0, star = std::wstring::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::wstring::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

void PressKeys(const std::vector<WORD>& keys) {
  std::vector<INPUT> input;
  for (WORD key : keys) {
    INPUT down = {};
    down.type = INPUT_KEYBOARD;
    down.ki.wVk = key;
    input.push_back(down);
  }
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
    INPUT up = {};
    up.type = INPUT_KEYBOARD;
    up.ki.wVk = *it;
    up.ki.dwFlags = KEYEVENTF_KEYUP;
    input.push_back(up);
  }
  SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

using Words = std::vector<std::string>;

class Driver {
 public:
  int Play(const std::vector<std::vector<std::string>>& actions,
           const std::vector<int>& lineNumbers) {
    for (size_t i = 0; i < actions.size(); ++i) {
      line_ = lineNumbers[i];
      try {
        Do(actions[i]);
      } catch (const Failure& failure) {
        std::fprintf(stderr, "tvdriver: line %d: %s\n", line_, failure.text.c_str());
        std::fprintf(stderr, "tvdriver: windows open:\n");
        EnumWindows(ListTopLevel, 0);
        return 1;
      } catch (const ScenarioError& error) {
        std::fprintf(stderr, "tvdriver: line %d: bad scenario: %s\n", line_, error.text.c_str());
        return 2;
      }
    }
    return 0;
  }

 private:
  struct Verb {
    const char* name;
    size_t words;
    void (Driver::*act)(const Words&);
  };
  static const Verb kVerbs[];

  void Need(const Words& a, size_t count) {
    if (a.size() < count)
      throw ScenarioError{a[0] + " needs " + std::to_string(count - 1) + " arguments"};
  }
  static long Number(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end) throw ScenarioError{"not a number: " + text};
    return value;
  }
  HWND Named(const std::string& name) {
    auto it = windows_.find(name);
    if (it == windows_.end()) throw ScenarioError{"no window named " + name};
    return it->second;
  }
  HWND Control(const std::string& name, const std::string& id) {
    HWND parent = Named(name);
    HWND control = GetDlgItem(parent, static_cast<int>(Number(id)));
    if (!control) throw Failure{"window " + name + " has no control " + id};
    return control;
  }
  HWND CheckBoxNamed(const std::string& name, const std::wstring& caption) {
    for (HWND child : ChildrenOf(Named(name))) {
      if (IsWindowVisible(child) && IsCheckBox(child) && TextOf(child) == caption) return child;
    }
    return nullptr;
  }

  // Repeats test until it is true or the time limit has passed; why() says
  // what was seen instead.
  template <typename Test, typename Why>
  void WaitFor(Test test, Why why) {
    const DWORD start = GetTickCount();
    for (;;) {
      if (test()) return;
      if (GetTickCount() - start > limitMs_) throw Failure{why()};
      Sleep(50);
    }
  }

  // One action: the verb's handler, once the line has the words it needs.
  void Do(const Words& a);

  // The verbs' handlers; a holds the words of the action's line, the verb
  // first.
  void BindWindow(const Words& a) {
    const std::string& verb = a[0];
    Search search;
    search.className = Widen(a[2]);
    search.title = Widen(a[3]);
    search.prefix = verb == "window-prefix";
    if (verb == "window-new") {
      for (const auto& bound : windows_) search.exclude.push_back(bound.second);
    }
    WaitFor(
        [&] {
          search.found = nullptr;
          EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
          return search.found != nullptr;
        },
        [&] { return "no window " + a[2] + " titled " + Shown(search.title); });
    windows_[a[1]] = search.found;
  }

  void BindBox(const Words& a) {
    Search search;
    search.className = L"#32770";
    search.title = Widen(a[2]);
    const std::wstring text = Widen(a[3]);
    const bool like = a[0] == "box-like";
    std::wstring seen;
    WaitFor(
        [&] {
          search.found = nullptr;
          EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
          if (!search.found) return false;
          for (HWND child : ChildrenOf(search.found)) {
            if (lstrcmpiW(ClassOf(child).c_str(), L"Static") != 0) continue;
            std::wstring shown = TextOf(child);
            if (shown.empty()) continue;
            seen = shown;
            if (like ? Matches(shown, text) : shown == text) return true;
          }
          return false;
        },
        [&] {
          return search.found ? "box " + Shown(search.title) + " shows " + Shown(seen) + ", not " +
                                    Shown(text)
                              : "no box titled " + Shown(search.title);
        });
    windows_[a[1]] = search.found;
  }

  void Gone(const Words& a) {
    HWND window = Named(a[1]);
    WaitFor([&] { return !IsWindow(window) || !IsWindowVisible(window); },
            [&] { return "window " + a[1] + " is still there"; });
  }

  void Title(const Words& a) {
    HWND window = Named(a[1]);
    const std::wstring want = Widen(a[2]);
    WaitFor([&] { return TextOf(window) == want; },
            [&] { return "title is " + Shown(TextOf(window)) + ", not " + Shown(want); });
  }

  void Text(const Words& a) {
    HWND control = Control(a[1], a[2]);
    const std::wstring want = Widen(a[3]);
    WaitFor([&] { return TextOf(control) == want; },
            [&] {
              return "control " + a[2] + " shows " + Shown(TextOf(control)) + ", not " +
                     Shown(want);
            });
  }

  void TextContains(const Words& a) {
    HWND control = Control(a[1], a[2]);
    const std::wstring want = Widen(a[3]);
    WaitFor([&] { return TextOf(control).find(want) != std::wstring::npos; },
            [&] {
              return "control " + a[2] + " shows " + Shown(TextOf(control).substr(0, 200)) +
                     ", without " + Shown(want);
            });
  }

  void Iconic(const Words& a) {
    HWND window = Named(a[1]);
    const bool want = Number(a[2]) != 0;
    WaitFor([&] { return (IsIconic(window) != FALSE) == want; },
            [&] { return "window " + a[1] + (want ? " is not" : " is") + " minimised"; });
  }

  void EnabledOrVisible(const Words& a) {
    const std::string& verb = a[0];
    HWND control = Control(a[1], a[2]);
    const bool want = Number(a[3]) != 0;
    WaitFor(
        [&] {
          return (verb == "enabled" ? IsWindowEnabled(control) : IsWindowVisible(control)) ==
                 (want ? TRUE : FALSE);
        },
        [&] { return "control " + a[2] + " is not " + (want ? "" : "un") + verb; });
  }

  void HorizontalScroll(const Words& a) {
    HWND control = Control(a[1], a[2]);
    const bool want = Number(a[3]) != 0;
    WaitFor([&] { return ((GetWindowLongW(control, GWL_STYLE) & WS_HSCROLL) != 0) == want; },
            [&] {
              return "control " + a[2] + (want ? " shows no" : " shows a") +
                     " horizontal scroll bar";
            });
  }

  void Click(const Words& a) { PostMessageW(Control(a[1], a[2]), BM_CLICK, 0, 0); }

  void Mouse(const Words& a) {
    HWND control = Control(a[1], a[2]);
    SetForegroundWindow(Named(a[1]));
    ClickAt(control);
  }

  void MouseBox(const Words& a) {
    HWND box = nullptr;
    WaitFor([&] { return (box = CheckBoxNamed(a[1], Widen(a[2]))) != nullptr; },
            [&] { return "no check box " + a[2]; });
    SetForegroundWindow(Named(a[1]));
    ClickAt(box);
  }

  void Press(const Words& a) {
    HWND dialog = Named(a[1]);
    const int id = static_cast<int>(Number(a[2]));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  }

  void SetText(const Words& a) {
    const std::wstring text = Widen(a[3]);
    HWND control = Control(a[1], a[2]);
    // A combo box takes the text into its edit field.
    for (HWND inner : ChildrenOf(control)) {
      if (lstrcmpiW(ClassOf(inner).c_str(), L"Edit") == 0) {
        control = inner;
        break;
      }
    }
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }

  void PostClose(const Words& a) { PostMessageW(Named(a[1]), WM_CLOSE, 0, 0); }

  void TaskKill(const Words& a) {
    DWORD pid = 0;
    GetWindowThreadProcessId(Named(a[1]), &pid);
    std::wstring command = L"taskkill.exe /pid " + std::to_wstring(pid);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      throw Failure{"taskkill cannot be started"};
    }
    WaitForSingleObject(process.hProcess, limitMs_);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }

  void Chord(const Words& a) {
    std::vector<WORD> keys;
    for (size_t i = 2; i < a.size(); ++i) keys.push_back(static_cast<WORD>(Number(a[i])));
    HWND window = Named(a[1]);
    SetForegroundWindow(window);
    WaitFor([&] { return GetForegroundWindow() == window; },
            [&] { return "window " + a[1] + " does not come to the front"; });
    PressKeys(keys);
  }

  void SysCommand(const Words& a) {
    PostMessageW(Named(a[1]), WM_SYSCOMMAND, static_cast<WPARAM>(Number(a[2])), 0);
  }

  void Close(const Words& a) {
    // Sent, like the close box does it, so that the pumps never see it queued.
    DWORD_PTR result;
    SendMessageTimeoutW(Named(a[1]), WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 100, &result);
  }

  void Key(const Words& a) {
    HWND window = Named(a[1]);
    const WPARAM key = static_cast<WPARAM>(Number(a[2]));
    HWND focus = window;
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus) {
      focus = info.hwndFocus;
    }
    PostMessageW(focus, WM_KEYDOWN, key, 1);
    PostMessageW(focus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
  }

  void List(const Words& a) {
    HWND control = Control(a[1], a[2]);
    std::vector<std::wstring> want;
    for (size_t i = 3; i < a.size(); ++i) want.push_back(Widen(a[i]));
    std::vector<std::wstring> seen;
    WaitFor(
        [&] {
          seen.clear();
          LRESULT count = SendMessageW(control, LB_GETCOUNT, 0, 0);
          for (LRESULT i = 0; i < count; ++i) {
            wchar_t item[1024] = L"";
            if (SendMessageW(control, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) >= 1023) continue;
            SendMessageW(control, LB_GETTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(item));
            seen.push_back(item);
          }
          return seen == want;
        },
        [&] {
          std::string text = "list " + a[2] + " holds";
          for (const std::wstring& item : seen) text += " " + Shown(item);
          return text;
        });
  }

  void CheckBox(const Words& a) {
    const std::wstring caption = Widen(a[2]);
    RECT want = {Number(a[3]), Number(a[4]), Number(a[5]), Number(a[6])};
    HWND box = nullptr;
    WaitFor([&] { return (box = CheckBoxNamed(a[1], caption)) != nullptr; },
            [&] { return "no check box " + Shown(caption); });
    RECT r = ClientRectOf(Named(a[1]), box);
    if (!EqualRect(&r, &want)) {
      throw Failure{"check box " + Shown(caption) + " stands at " + RectText(r) + ", not " +
                    RectText(want)};
    }
  }

  void CheckBoxSlot(const Words& a) {
    const std::wstring caption = Widen(a[2]);
    const long slot = Number(a[3]);
    HWND box = nullptr;
    WaitFor([&] { return (box = CheckBoxNamed(a[1], caption)) != nullptr; },
            [&] { return "no check box " + Shown(caption); });
    RECT run = ClientRectOf(Named(a[1]), Control(a[1], "1002"));
    const long height = run.bottom - run.top;
    RECT want;
    want.left = 26 + 300 * (slot % 2);
    want.right = want.left + 280;
    want.top = run.bottom + 32 + (slot / 2) * (height + 8);
    want.bottom = want.top + height;
    RECT r = ClientRectOf(Named(a[1]), box);
    if (!EqualRect(&r, &want)) {
      throw Failure{"check box " + Shown(caption) + " stands at " + RectText(r) + ", not " +
                    RectText(want) + " of slot " + a[3]};
    }
    if (GetDlgCtrlID(box) != 2001) {
      throw Failure{"check box " + Shown(caption) + " has the id " +
                    std::to_string(GetDlgCtrlID(box))};
    }
  }

  void CheckBoxes(const Words& a) {
    const long want = Number(a[2]);
    long count = 0;
    WaitFor(
        [&] {
          count = 0;
          for (HWND child : ChildrenOf(Named(a[1]))) {
            if (IsWindowVisible(child) && IsCheckBox(child)) ++count;
          }
          return count == want;
        },
        [&] { return std::to_string(count) + " check boxes, not " + a[2]; });
  }

  void CheckState(const Words& a) {
    const std::wstring caption = Widen(a[2]);
    const LRESULT want = Number(a[3]);
    HWND box = nullptr;
    WaitFor(
        [&] {
          box = CheckBoxNamed(a[1], caption);
          return box && SendMessageW(box, BM_GETCHECK, 0, 0) == want;
        },
        [&] { return "check box " + Shown(caption) + " is not in state " + a[3]; });
  }

  void Rect(const Words& a) {
    HWND control = Control(a[1], a[2]);
    RECT want = {Number(a[3]), Number(a[4]), Number(a[5]), Number(a[6])};
    RECT r = {};
    WaitFor(
        [&] {
          r = ClientRectOf(Named(a[1]), control);
          return EqualRect(&r, &want) != FALSE;
        },
        [&] {
          return "control " + a[2] + " stands at " + RectText(r) + ", not " + RectText(want);
        });
  }

  void WindowRect(const Words& a) {
    RECT want = {Number(a[2]), Number(a[3]), Number(a[4]), Number(a[5])};
    RECT r;
    GetWindowRect(Named(a[1]), &r);
    if (!EqualRect(&r, &want)) {
      throw Failure{"window stands at " + RectText(r) + ", not " + RectText(want)};
    }
  }

  void OnScreen(const Words& a) {
    HWND window = Named(a[1]);
    RECT r;
    GetWindowRect(window, &r);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    const RECT& area = info.rcWork;
    if (r.left < area.left || r.top < area.top || r.right > area.right || r.bottom > area.bottom) {
      throw Failure{"window " + a[1] + " stands at " + RectText(r) + ", beyond the work area " +
                    RectText(area)};
    }
  }

  void CentredOn(const Words& a) {
    RECT r, owner;
    GetWindowRect(Named(a[1]), &r);
    GetWindowRect(Named(a[2]), &owner);
    const long dx = (r.left + r.right) / 2 - (owner.left + owner.right) / 2;
    const long dy = (r.top + r.bottom) / 2 - (owner.top + owner.bottom) / 2;
    if (dx < -2 || dx > 2 || dy < -2 || dy > 2) {
      throw Failure{"window " + a[1] + " at " + RectText(r) + " is not centred on " + a[2] +
                    " at " + RectText(owner)};
    }
  }

  void Resize(const Words& a) {
    HWND window = Named(a[1]);
    auto& before = resized_[a[1]];
    before.clear();
    for (HWND child : ChildrenOf(window)) before[child] = ClientRectOf(window, child);
    RECT r;
    GetWindowRect(window, &r);
    SetWindowPos(window, nullptr, 0, 0, r.right - r.left + Number(a[2]),
                 r.bottom - r.top + Number(a[3]), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // Control ID's rectangle now and at the last resize of its window.
  void BeforeAndNow(const Words& a, RECT& before, RECT& now) {
    HWND control = Control(a[1], a[2]);
    auto it = resized_.find(a[1]);
    if (it == resized_.end() || !it->second.count(control)) {
      throw ScenarioError{a[0] + " without an earlier resize of " + a[1]};
    }
    before = it->second[control];
    now = ClientRectOf(Named(a[1]), control);
  }

  void Grown(const Words& a) {
    RECT before, now;
    WaitFor(
        [&] {
          BeforeAndNow(a, before, now);
          return (now.right - now.left) - (before.right - before.left) == Number(a[3]) &&
                 (now.bottom - now.top) - (before.bottom - before.top) == Number(a[4]);
        },
        [&] {
          return "control " + a[2] + " was " + RectText(before) + " and is " + RectText(now);
        });
  }

  void Moved(const Words& a) {
    RECT before, now;
    WaitFor(
        [&] {
          BeforeAndNow(a, before, now);
          return now.left - before.left == Number(a[3]) && now.top - before.top == Number(a[4]);
        },
        [&] {
          return "control " + a[2] + " was " + RectText(before) + " and is " + RectText(now);
        });
  }

  void Wrapped(const Words& a) {
    HWND control = Control(a[1], a[2]);
    const std::wstring text = TextOf(control);
    long lines = 1;
    for (wchar_t c : text) lines += c == L'\n';
    if (!text.empty() && text.back() == L'\n') --lines;
    const long shown = static_cast<long>(SendMessageW(control, EM_GETLINECOUNT, 0, 0));
    std::printf("tvdriver: control %s shows %ld lines for %ld lines of text\n", a[2].c_str(), shown,
                lines);
    if (shown <= lines) {
      throw Failure{"control " + a[2] + " shows " + std::to_string(shown) + " lines for " +
                    std::to_string(lines) + " lines of text"};
    }
  }

  void IdleCpu(const Words& a) {
    DWORD pid = 0;
    GetWindowThreadProcessId(Named(a[1]), &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) throw Failure{"cannot open the window's process"};
    auto used = [&] {
      FILETIME created, ended, kernel, user;
      GetProcessTimes(process, &created, &ended, &kernel, &user);
      ULARGE_INTEGER k, u;
      k.LowPart = kernel.dwLowDateTime;
      k.HighPart = kernel.dwHighDateTime;
      u.LowPart = user.dwLowDateTime;
      u.HighPart = user.dwHighDateTime;
      return (k.QuadPart + u.QuadPart) / 10000;  // milliseconds
    };
    const long period = Number(a[2]);
    const unsigned long long before = used();
    Sleep(static_cast<DWORD>(period));
    const unsigned long long after = used();
    CloseHandle(process);
    const double percent = 100.0 * static_cast<double>(after - before) / period;
    std::printf("tvdriver: %s used %.1f%% of a processor for %ld ms\n", a[1].c_str(), percent,
                period);
    if (percent > static_cast<double>(Number(a[3]))) {
      throw Failure{"the process used " + std::to_string(after - before) + " ms of processor in " +
                    a[2] + " ms"};
    }
  }

  void Foreground(const Words& a) {
    HWND window = Named(a[1]);
    WaitFor([&] { return GetForegroundWindow() == window; },
            [&] { return "the foreground window is " + Shown(TextOf(GetForegroundWindow())); });
  }

  void Dump(const Words& a) {
    HWND window = Named(a[1]);
    for (HWND child : ChildrenOf(window)) {
      RECT r = ClientRectOf(window, child);
      std::printf("  id %d class %s text %s at %s%s\n", GetDlgCtrlID(child),
                  Narrow(ClassOf(child)).c_str(), Shown(TextOf(child)).c_str(), RectText(r).c_str(),
                  IsWindowVisible(child) ? "" : " hidden");
    }
    std::fflush(stdout);
  }

  void Windows(const Words&) {
    EnumWindows(ListTopLevel, 0);
    std::fflush(stderr);
  }

  void Pause(const Words& a) { Sleep(static_cast<DWORD>(Number(a[1]))); }

  void Timeout(const Words& a) { limitMs_ = static_cast<DWORD>(Number(a[1])); }

  void Echo(const Words& a) {
    std::printf("%s\n", a[1].c_str());
    std::fflush(stdout);
  }

  std::map<std::string, HWND> windows_;
  // The children's rectangles of each window at its last resize.
  std::map<std::string, std::map<HWND, RECT>> resized_;
  DWORD limitMs_ = 30000;
  int line_ = 0;
};

// Every verb of a scenario with its handler and the words its line needs at
// least, the verb included.
const Driver::Verb Driver::kVerbs[] = {
    {"window", 4, &Driver::BindWindow},
    {"window-prefix", 4, &Driver::BindWindow},
    {"window-new", 4, &Driver::BindWindow},
    {"box", 4, &Driver::BindBox},
    {"box-like", 4, &Driver::BindBox},
    {"gone", 2, &Driver::Gone},
    {"title", 3, &Driver::Title},
    {"text", 4, &Driver::Text},
    {"text-contains", 4, &Driver::TextContains},
    {"iconic", 3, &Driver::Iconic},
    {"enabled", 4, &Driver::EnabledOrVisible},
    {"visible", 4, &Driver::EnabledOrVisible},
    {"hscroll", 4, &Driver::HorizontalScroll},
    {"click", 3, &Driver::Click},
    {"mouse", 3, &Driver::Mouse},
    {"mouse-box", 3, &Driver::MouseBox},
    {"press", 3, &Driver::Press},
    {"settext", 4, &Driver::SetText},
    {"syscommand", 3, &Driver::SysCommand},
    {"close", 2, &Driver::Close},
    {"post-close", 2, &Driver::PostClose},
    {"taskkill", 2, &Driver::TaskKill},
    {"chord", 3, &Driver::Chord},
    {"key", 3, &Driver::Key},
    {"list", 3, &Driver::List},
    {"checkbox", 7, &Driver::CheckBox},
    {"checkbox-slot", 4, &Driver::CheckBoxSlot},
    {"checkboxes", 3, &Driver::CheckBoxes},
    {"checkstate", 4, &Driver::CheckState},
    {"rect", 7, &Driver::Rect},
    {"window-rect", 6, &Driver::WindowRect},
    {"on-screen", 2, &Driver::OnScreen},
    {"centred-on", 3, &Driver::CentredOn},
    {"resize", 4, &Driver::Resize},
    {"grown", 5, &Driver::Grown},
    {"moved", 5, &Driver::Moved},
    {"wrapped", 3, &Driver::Wrapped},
    {"idle-cpu", 4, &Driver::IdleCpu},
    {"foreground", 2, &Driver::Foreground},
    {"dump", 2, &Driver::Dump},
    {"windows", 1, &Driver::Windows},
    {"sleep", 2, &Driver::Pause},
    {"timeout", 2, &Driver::Timeout},
    {"echo", 2, &Driver::Echo},
};

void Driver::Do(const Words& a) {
  for (const Verb& verb : kVerbs) {
    if (a[0] != verb.name) continue;
    Need(a, verb.words);
    (this->*verb.act)(a);
    return;
  }
  throw ScenarioError{"unknown action " + a[0]};
}

bool SplitLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size()) {
          char e = line[i++];
          switch (e) {
            case 'r':
              word += '\r';
              break;
            case 'n':
              word += '\n';
              break;
            case 't':
              word += '\t';
              break;
            default:
              word += e;
          }
        } else {
          word += c;
        }
      }
      if (!closed) {
        error = "string without its closing quote";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
        word += line[i++];
      }
    }
    words.push_back(word);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tvdriver SCENARIO\n");
    return 2;
  }
  FILE* file = std::fopen(argv[1], "rb");
  if (!file) {
    std::fprintf(stderr, "tvdriver: cannot open %s\n", argv[1]);
    return 2;
  }
  std::vector<std::vector<std::string>> actions;
  std::vector<int> lineNumbers;
  std::string line;
  int number = 0;
  int c;
  bool more = true;
  while (more) {
    c = std::fgetc(file);
    if (c != EOF && c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    more = c != EOF;
    ++number;
    std::vector<std::string> words;
    std::string error;
    if (!SplitLine(line, words, error)) {
      std::fprintf(stderr, "tvdriver: line %d: %s\n", number, error.c_str());
      return 2;
    }
    line.clear();
    if (words.empty() || words[0][0] == '#') continue;
    actions.push_back(words);
    lineNumbers.push_back(number);
  }
  std::fclose(file);
  Driver driver;
  return driver.Play(actions, lineNumbers);
}
