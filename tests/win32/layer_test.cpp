// Tests of the Windows front end's own pieces, run under Wine: text
// conversion, files and their sharing, the profile, the message queue under
// the core's pumps, the sockets over the loopback, the dialogs and the
// resources.
#include "win32/winapi.h"

#include <ws2tcpip.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "check.h"
#include "engine/pattern.h"
#include "shell/context.h"
#include "win32/dialogs.h"
#include "win32/files.h"
#include "win32/helpviewer.h"
#include "win32/maindialog.h"
#include "net/connection.h"
#include <atomic>
#include "win32/queue.h"
#include "win32/resource.h"
#include "win32/sockets.h"
#include "win32/text.h"

using tv::Bytes;
using namespace tv::win;

namespace {

// Czech letters as Windows-1250 bytes (this file's narrow literals) and as
// UTF-16 (its wide literals).
const char kCzechBytes[] = "Příliš žluťoučký kůň úpěl ďábelské ódy ĚŠČŘŽÝÁÍÉŮÚŤĎŇÓ";
const wchar_t kCzechWide[] = L"Příliš žluťoučký kůň úpěl ďábelské ódy ĚŠČŘŽÝÁÍÉŮÚŤĎŇÓ";

std::wstring TempFolder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring folder =
      std::wstring(base) + L"tvtest" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

Bytes InTemp(const char* name) {
  return FromWide(TempFolder()) + name;
}

Bytes ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
  Bytes bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void WriteAll(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

bool CanOpen(const Bytes& name, DWORD access) {
  HANDLE file = CreateFileW(ToWide(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// ---------------------------------------------------------------- texts

TEST(CzechLettersBecomeTheirUnicodeCharacters) {
  CHECK_EQ(ToWide(kCzechBytes), std::wstring(kCzechWide));
  CHECK_EQ(FromWide(kCzechWide), Bytes(kCzechBytes));
}

TEST(EveryDefinedWindows1250ByteSurvivesTheRoundTrip) {
  int undefined = 0;
  for (int b = 1; b < 256; ++b) {
    Bytes one(1, static_cast<char>(b));
    std::wstring wide = ToWide(one);
    CHECK_EQ(wide.size(), size_t(1));
    if (wide.size() != 1) continue;
    if (FromWide(wide) != one) {
      ++undefined;  // the few bytes the code page leaves unassigned
      continue;
    }
  }
  CHECK(undefined <= 5);
}

TEST(ZeroBytesAndUnknownCharactersKeepTheLength) {
  Bytes withZero("a\0b", 3);
  CHECK_EQ(ToWide(withZero), std::wstring(L"a\0b", 3));
  CHECK_EQ(FromWide(std::wstring(L"x\u4E2Dy")), Bytes("x?y"));
  CHECK_EQ(ToWide(""), std::wstring());
}

TEST(CommandLineIsTheTextAfterTheProgramName) {
  CHECK_EQ(ArgumentsAfterProgramName(L"\"C:\\Program Files\\tarvelin.exe\"  -p x.log a.tvl"),
           std::wstring(L"-p x.log a.tvl"));
  CHECK_EQ(ArgumentsAfterProgramName(L"tarvelin.exe\t script.tvl "), std::wstring(L"script.tvl "));
  CHECK_EQ(ArgumentsAfterProgramName(L"tarvelin.exe"), std::wstring());
  CHECK_EQ(ArgumentsAfterProgramName(L"\"t.exe\"x y"), std::wstring(L"x y"));
  CHECK_EQ(ArgumentsAfterProgramName(L"\"unclosed name"), std::wstring());
  CHECK_EQ(ArgumentsAfterProgramName(L"t.exe \"two words.tvl\""),
           std::wstring(L"\"two words.tvl\""));
}

TEST(HelpTextGetsWindowsLineEnds) {
  CHECK_EQ(HelpTextForDisplay(Bytes("a\nb\r\nc\rd\r\n")), std::wstring(L"a\r\nb\r\nc\r\nd\r\n"));
  CHECK_EQ(HelpTextForDisplay(Bytes("ř\0x", 3)), std::wstring(L"ř x"));
}

// ---------------------------------------------------------------- dialogs

TEST(DialogIntegerFieldsAcceptOnlyWholeNumbers) {
  int value = 0;
  CHECK(ParseDialogInteger("80", value));
  CHECK_EQ(value, 80);
  CHECK(ParseDialogInteger("  -5 ", value));
  CHECK_EQ(value, -5);
  CHECK(ParseDialogInteger("+7", value));
  CHECK_EQ(value, 7);
  CHECK(ParseDialogInteger("2147483647", value));
  CHECK_EQ(value, 2147483647);
  CHECK(ParseDialogInteger("-2147483648", value));
  CHECK_EQ(value, -2147483647 - 1);
  value = 99;
  CHECK(!ParseDialogInteger("", value));
  CHECK(!ParseDialogInteger("   ", value));
  CHECK(!ParseDialogInteger("12a", value));
  CHECK(!ParseDialogInteger("1 2", value));
  CHECK(!ParseDialogInteger("-", value));
  CHECK(!ParseDialogInteger("2147483648", value));
  CHECK(!ParseDialogInteger("99999999999999999999", value));
  CHECK_EQ(value, 99);
}

TEST(AboutTextNamesTheVersionAndDate) {
  CHECK_EQ(AboutText(), Bytes("\r\n\r\nTarvelin verze 1.10 / 13. července 1997\r\n"));
}

// Runs body on another thread once a window titled title is up, so that a
// modal dialog can be answered while DoModal runs here.
class DialogHelper {
 public:
  DialogHelper(const std::wstring& title, std::function<void(HWND)> body)
      : thread_([title, body] {
          for (int i = 0; i < 200; ++i) {
            HWND window = FindWindowW(L"#32770", title.c_str());
            if (window && IsWindowVisible(window)) {
              body(window);
              return;
            }
            Sleep(25);
          }
        }) {}
  ~DialogHelper() { thread_.join(); }

 private:
  std::thread thread_;
};

std::wstring ItemText(HWND dialog, int id) {
  wchar_t text[512] = L"";
  GetDlgItemTextW(dialog, id, text, 512);
  return text;
}

TEST(ConnectDialogShowsAndReturnsItsFields) {
  CConnectParamsDialog dialog;
  dialog.server = "server.example";
  dialog.port = 110;
  std::wstring shownServer, shownPort;
  {
    DialogHelper helper(L"Parametry pro Connect", [&](HWND window) {
      shownServer = ItemText(window, IDC_SERVER);
      shownPort = ItemText(window, IDC_PORT);
      SetDlgItemTextW(window, IDC_SERVER, L"pošta");
      SetDlgItemTextW(window, IDC_PORT, L"25");
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    CHECK_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  CHECK_EQ(shownServer, std::wstring(L"server.example"));
  CHECK_EQ(shownPort, std::wstring(L"110"));
  CHECK_EQ(dialog.server, Bytes("pošta"));
  CHECK_EQ(dialog.port, 25);
}

TEST(ConnectDialogRefusesAPortThatIsNoNumber) {
  CConnectParamsDialog dialog;
  dialog.port = 7;
  bool boxSeen = false;
  bool stayedOpen = false;
  {
    DialogHelper helper(L"Parametry pro Connect", [&](HWND window) {
      SetDlgItemTextW(window, IDC_PORT, L"");
      PostMessageW(window, WM_COMMAND, IDOK, 0);
      for (int i = 0; i < 200 && !boxSeen; ++i) {
        Sleep(25);
        HWND box = FindWindowW(L"#32770", L"Tarvelin");
        if (box && IsWindowVisible(box)) {
          boxSeen = true;
          PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
      }
      Sleep(200);
      stayedOpen = IsWindowVisible(window) != FALSE;
      SetDlgItemTextW(window, IDC_PORT, L"23");
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    CHECK_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  CHECK(boxSeen);
  CHECK(stayedOpen);
  CHECK_EQ(dialog.port, 23);
}

TEST(CancelledDialogKeepsItsFields) {
  CAcceptParamsDialog dialog;
  dialog.port = 4000;
  {
    DialogHelper helper(L"Parametry pro Accept", [&](HWND window) {
      SetDlgItemTextW(window, IDC_PORT, L"5000");
      PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    });
    CHECK_EQ(dialog.DoModal(nullptr), INT_PTR(IDCANCEL));
  }
  CHECK_EQ(dialog.port, 4000);
}

TEST(InputDialogIsTitledWithThePromptAndTakesTheText) {
  CInputLineDialog dialog;
  dialog.prompt = "Zadejte číslo účtu";
  {
    DialogHelper helper(L"Zadejte číslo účtu", [&](HWND window) {
      SetDlgItemTextW(window, IDC_INPUT_TEXT, L"Řádka s háčky");
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    CHECK_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  CHECK_EQ(dialog.text, Bytes("Řádka s háčky"));
}

TEST(StateDialogListsAreSorted) {
  CStateDialog dialog;
  dialog.symbolLines = {"b", "A", "c"};
  dialog.counterLines = {"zeta=1", "alfa=-5"};
  std::vector<std::wstring> symbols, counters;
  {
    DialogHelper helper(L"Zobrazení aktuálního stavu symbolů a čítačů", [&](HWND window) {
      for (int id : {IDC_SYMBOLS, IDC_COUNTERS}) {
        HWND list = GetDlgItem(window, id);
        LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
          wchar_t line[256] = L"";
          SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line));
          (id == IDC_SYMBOLS ? symbols : counters).push_back(line);
        }
      }
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    CHECK_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  CHECK(symbols == (std::vector<std::wstring>{L"A", L"b", L"c"}));
  CHECK(counters == (std::vector<std::wstring>{L"alfa=-5", L"zeta=1"}));
}

// ---------------------------------------------------------------- files

TEST(LogIsCreatedEmptyAndDeniesOtherWriters) {
  Bytes name = InTemp("log-sharing.log");
  WriteAll(ToWide(name), "old contents");
  Win32Files files;
  std::unique_ptr<tv::OutFile> log = files.CreateLog(name);
  CHECK(log != nullptr);
  if (!log) return;
  CHECK(log->Write("abc", 3));
  CHECK(log->Flush());
  CHECK_EQ(ReadAll(ToWide(name)), Bytes("abc"));
  CHECK(files.CreateLog(name) == nullptr);  // a second program cannot take it
  CHECK(CanOpen(name, GENERIC_READ));
  CHECK(!CanOpen(name, GENERIC_WRITE));
  log.reset();
  CHECK(CanOpen(name, GENERIC_WRITE));
}

TEST(FilesWithCzechNamesGetTheirRealNames) {
  Bytes name = InTemp("Žluťoučký kůň.log");
  Win32Files files;
  std::unique_ptr<tv::OutFile> log = files.CreateLog(name);
  CHECK(log != nullptr);
  log.reset();
  std::wstring wide = TempFolder() + L"Žluťoučký kůň.log";
  CHECK(GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES);
  DeleteFileW(wide.c_str());
}

TEST(LogCannotBeCreatedInAMissingFolder) {
  Win32Files files;
  CHECK(files.CreateLog(InTemp("no-such-folder\\x.log")) == nullptr);
  CHECK(files.CreateLog("") == nullptr);
}

TEST(ScriptLinesEndAtLineFeed) {
  Bytes name = InTemp("lines.tvl");
  const char text[] = "first\r\nsecond\n\r\nfo\0ur\rx\nlast";
  WriteAll(ToWide(name), Bytes(text, sizeof text - 1));
  Win32Files files;
  std::unique_ptr<tv::ScriptFile> script = files.OpenScript(name);
  CHECK(script != nullptr);
  if (!script) return;
  Bytes line;
  const Bytes expected[] = {"first", "second", "", Bytes("fo\0ur\rx", 7), "last"};
  for (const Bytes& want : expected) {
    CHECK(script->ReadLine(line) == tv::ScriptFile::Read::Line);
    CHECK_EQ(line, want);
  }
  CHECK(script->ReadLine(line) == tv::ScriptFile::Read::End);
  CHECK(script->Rewind());
  CHECK(script->ReadLine(line) == tv::ScriptFile::Read::Line);
  CHECK_EQ(line, Bytes("first"));
}

TEST(ScriptKnowsItsFullPathAndDeniesWriters) {
  std::wstring folder = TempFolder();
  SetCurrentDirectoryW(folder.c_str());
  WriteAll(folder + L"relative.tvl", "Stop\r\n");
  Win32Files files;
  std::unique_ptr<tv::ScriptFile> script = files.OpenScript("relative.tvl");
  CHECK(script != nullptr);
  if (!script) return;
  CHECK_EQ(script->FullPath(), FromWide(folder) + "relative.tvl");
  CHECK(CanOpen(FromWide(folder) + "relative.tvl", GENERIC_READ));
  CHECK(!CanOpen(FromWide(folder) + "relative.tvl", GENERIC_WRITE));
  CHECK(files.OpenScript("no such script.tvl") == nullptr);
  CHECK(files.OpenScript(FromWide(folder)) == nullptr);  // a folder
}

TEST(CaptureFileIsEmptiedAndReadableWhileOpen) {
  Bytes name = InTemp("capture.dat");
  WriteAll(ToWide(name), "earlier capture that must go");
  Win32Files files;
  std::unique_ptr<tv::OutFile> capture = files.CreateCapture(name);
  CHECK(capture != nullptr);
  if (!capture) return;
  CHECK(capture->Write("a\0b", 3));
  CHECK_EQ(ReadAll(ToWide(name)), Bytes("a\0b", 3));
  CHECK(!CanOpen(name, GENERIC_WRITE));
  capture.reset();
  DWORD attributes = GetFileAttributesW(ToWide(name).c_str());
  CHECK((attributes & FILE_ATTRIBUTE_ARCHIVE) != 0);
}

TEST(ScriptRelativeNamesUseTheWindowsRules) {
  Win32Files files;
  CHECK_EQ(files.ResolveScriptRelativePath("zvuk.wav", "C:\\scripty\\hlavni.tvl"),
           Bytes("C:\\scripty\\zvuk.wav"));
  CHECK_EQ(files.ResolveScriptRelativePath("\\x.wav", "C:\\scripty\\hlavni.tvl"),
           Bytes("C:\\x.wav"));
  CHECK_EQ(files.ResolveScriptRelativePath("D:y.wav", "C:\\scripty\\hlavni.tvl"), Bytes("D:y.wav"));
}

// ---------------------------------------------------------------- profile

TEST(ProfileKeepsBytesAndCutsLongValues) {
  Win32Profile profile;
  profile.SetString("TestValue", "C:\\scripty\\ověření.tvl");
  CHECK_EQ(profile.GetString("TestValue", "", 253), Bytes("C:\\scripty\\ověření.tvl"));
  CHECK_EQ(profile.GetString("TestMissing", "výchozí", 253), Bytes("výchozí"));
  profile.SetString("TestValue", Bytes(300, 'x'));
  CHECK_EQ(profile.GetString("TestValue", "", 253), Bytes(253, 'x'));
  char raw[64] = "";
  WriteProfileStringA("Tarvelin", "TestValue", "raw");
  GetProfileStringA("Tarvelin", "TestValue", "", raw, sizeof raw);
  CHECK_EQ(std::string(raw), std::string("raw"));
  WriteProfileStringA("Tarvelin", "TestValue", nullptr);
}

// ---------------------------------------------------------------- queue

struct Recorder {
  static std::vector<UINT>& Seen() {
    static std::vector<UINT> seen;
    return seen;
  }
  static LRESULT CALLBACK Procedure(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m >= WM_USER) Seen().push_back(m);
    if (m == WM_CLOSE) return 0;  // the test windows live as long as the tests
    return DefWindowProcW(w, m, wp, lp);
  }
};

HWND TestWindow() {
  static HWND window = nullptr;
  if (!window) {
    WNDCLASSW c = {};
    c.lpfnWndProc = Recorder::Procedure;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"TarvelinQueueTest";
    RegisterClassW(&c);
    window = CreateWindowW(L"TarvelinQueueTest", L"queue test", WS_OVERLAPPED, 0, 0, 10, 10,
                           nullptr, nullptr, c.hInstance, nullptr);
  }
  return window;
}

HWND OtherWindow() {
  static HWND window = CreateWindowW(L"TarvelinQueueTest", L"other", WS_OVERLAPPED, 0, 0, 10, 10,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  return window;
}

void EmptyQueue() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

unsigned long long ProcessorMs() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  ULARGE_INTEGER k, u;
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  return (k.QuadPart + u.QuadPart) / 10000;
}

TEST(PeekSeesTheFirstMessageAndWhoseItIs) {
  TestWindow();
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  tv::Msg first;
  CHECK(!queue.Peek(first));
  PostMessageW(OtherWindow(), WM_USER + 7, 1, 2);
  queue.PostToMain(WM_USER + 8, 3, 4);
  CHECK(queue.Peek(first));
  CHECK(!first.forMainWindow);
  CHECK_EQ(first.id, uint32_t(WM_USER + 7));
  CHECK(queue.Peek(first));  // still there
  tv::Msg removed;
  CHECK(queue.RemoveForMain(WM_USER + 8, removed));
  CHECK(removed.forMainWindow);
  CHECK_EQ(removed.wParam, uintptr_t(3));
  CHECK_EQ(removed.lParam, intptr_t(4));
  CHECK(!queue.RemoveForMain(WM_USER + 8, removed));
  Recorder::Seen().clear();
  CHECK(queue.DispatchOne());
  CHECK(Recorder::Seen() == std::vector<UINT>{WM_USER + 7});
  CHECK(!queue.Peek(first));
}

TEST(QuitMessageIsReportedAndLeftForTheOuterLoop) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  queue.PostQuit(0);
  tv::Msg first;
  CHECK(queue.Peek(first));
  CHECK_EQ(first.id, uint32_t(WM_QUIT));
  CHECK(!queue.DispatchOne());
  CHECK(queue.Peek(first));
  CHECK_EQ(first.id, uint32_t(WM_QUIT));
  MSG m;
  CHECK(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE) && m.message == WM_QUIT);
  EmptyQueue();
}

TEST(WaitReturnsForAMessageThatWasAlreadySeen) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  queue.PostToMain(WM_USER + 9, 0, 0);
  tv::Msg first;
  CHECK(queue.Peek(first));
  // Should the wait sleep anyway, this thread wakes it after three seconds.
  HWND window = TestWindow();
  std::thread rescue([window] {
    Sleep(3000);
    PostMessageW(window, WM_USER + 10, 0, 0);
  });
  DWORD start = GetTickCount();
  queue.WaitForMessage();
  CHECK(GetTickCount() - start < 1000);
  rescue.join();
  EmptyQueue();
}

TEST(WaitSleepsUntilAMessageComesFromAnotherThread) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  HWND window = TestWindow();
  std::thread poster([window] {
    Sleep(300);
    PostMessageW(window, WM_USER + 11, 0, 0);
  });
  DWORD start = GetTickCount();
  unsigned long long before = ProcessorMs();
  queue.WaitForMessage();
  DWORD waited = GetTickCount() - start;
  unsigned long long used = ProcessorMs() - before;
  poster.join();
  CHECK(waited >= 200);
  CHECK(used < 100);
  tv::Msg first;
  CHECK(queue.Peek(first) && first.id == WM_USER + 11);
  EmptyQueue();
}

// The rest of a host for the core's pumps, which touch only the queue here.
class QuietWindow : public tv::WindowBase {
 public:
  int MessageBox(const Bytes&, const Bytes&, unsigned) override { return tv::kIdOk; }
  int InputLine(const Bytes&, Bytes&) override { return tv::kIdCancel; }
  int ConnectParams(Bytes&, int&) override { return tv::kIdCancel; }
  int AcceptParams(int&) override { return tv::kIdCancel; }
};

struct PumpHost {
  Win32Queue queue;
  WinSockets sockets;
  QuietWindow window;
  Win32Profile profile;
  Win32Files files;
  tv::ScriptContext ctx{tv::Host{queue, sockets, window, profile, files}};
  PumpHost() {
    EmptyQueue();
    queue.SetMainWindow(TestWindow());
    sockets.SetWindow(TestWindow());
  }
};

TEST(TimedStepWaitsOnTheTimerWithoutSpinning) {
  PumpHost host;
  host.ctx.running = true;
  DWORD start = GetTickCount();
  unsigned long long before = ProcessorMs();
  CHECK(host.ctx.TimedStep(700));
  DWORD waited = GetTickCount() - start;
  unsigned long long used = ProcessorMs() - before;
  CHECK(waited >= 600);
  CHECK(waited < 3000);
  CHECK(used < 150);
  MSG m;
  CHECK(!PeekMessageW(&m, TestWindow(), WM_TIMER, WM_TIMER, PM_NOREMOVE));  // timer killed
}

TEST(PumpStopsOnACloseRequestAndDispatchesIt) {
  PumpHost host;
  host.ctx.running = true;
  PostMessageW(OtherWindow(), WM_USER + 12, 0, 0);
  CHECK(host.ctx.PumpWindowMessages());
  CHECK(host.ctx.running);
  PostMessageW(TestWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
  CHECK(!host.ctx.PumpWindowMessages());
  CHECK(!host.ctx.running);
  MSG m;
  CHECK(!PeekMessageW(&m, TestWindow(), WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE));
}

TEST(WaitLeavesACloseRequestQueued) {
  PumpHost host;
  host.ctx.running = true;
  PostMessageW(TestWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
  CHECK(!host.ctx.TimedStep(5000));
  CHECK(!host.ctx.running);
  MSG m;
  CHECK(PeekMessageW(&m, TestWindow(), WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE));
  EmptyQueue();
}

TEST(WaitEndsWhenAnotherThreadPostsTheQuitMessage) {
  PumpHost host;
  host.ctx.running = true;
  DWORD thread = GetCurrentThreadId();
  std::thread quitter([thread] {
    Sleep(200);
    PostThreadMessageW(thread, WM_QUIT, 0, 0);
  });
  CHECK(!host.ctx.WaitForWindowMessage(WM_USER + 99));
  CHECK(!host.ctx.running);
  quitter.join();
  EmptyQueue();
}

// ---------------------------------------------------------------- sockets

constexpr UINT kEvent = WM_USER + 1;
constexpr UINT kSetup = WM_USER + 2;
constexpr UINT kLookup = WM_USER + 3;

// The next message with this id for the test window, within a time limit.
bool NextMessage(UINT id, MSG& m, DWORD limitMs = 5000) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < limitMs) {
    if (PeekMessageW(&m, TestWindow(), id, id, PM_REMOVE)) return true;
    MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return false;
}

uint16_t LocalPort(tv::Socket s) {
  sockaddr_storage a = {};
  int length = sizeof a;
  getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &length);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

const tv::IpAddress kLoopback = {tv::IpFamily::V4, {127, 0, 0, 1}, 0};
const tv::IpAddress kLoopback6 = {tv::IpFamily::V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};

TEST(LoopbackConnectionNotifiesEveryStep) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V4);
  CHECK(listener != tv::kInvalidSocket);
  CHECK(sockets.Bind(listener, kLoopback, 0));
  CHECK(sockets.AsyncSelect(listener, kSetup, tv::kFdAccept));
  CHECK(sockets.Listen(listener, 1));
  const uint16_t port = LocalPort(listener);

  tv::Socket client = sockets.Create(tv::IpFamily::V4);
  CHECK(sockets.AsyncSelect(client, kSetup, tv::kFdConnect));
  bool connected = sockets.Connect(client, kLoopback, port);
  CHECK(connected || sockets.LastError() == tv::kWsaeWouldBlock);
  MSG m;
  bool sawConnect = false, sawAccept = false;
  for (int i = 0; i < 2 && NextMessage(kSetup, m); ++i) {
    if (WSAGETSELECTEVENT(m.lParam) == FD_CONNECT) {
      sawConnect = WSAGETSELECTERROR(m.lParam) == 0;
    }
    if (WSAGETSELECTEVENT(m.lParam) == FD_ACCEPT) sawAccept = true;
  }
  CHECK(sawConnect);
  CHECK(sawAccept);
  tv::IpAddress peer;
  tv::Socket server = sockets.Accept(listener, peer);
  CHECK(server != tv::kInvalidSocket);
  CHECK_EQ(int(peer.b[0]), 127);
  CHECK_EQ(int(peer.b[3]), 1);
  sockets.Shutdown(listener);
  sockets.Close(listener);
  CHECK(sockets.AsyncSelect(server, kEvent, tv::kFdRead | tv::kFdWrite | tv::kFdClose));
  CHECK(sockets.AsyncSelect(client, kEvent, tv::kFdRead | tv::kFdWrite | tv::kFdClose));

  CHECK_EQ(sockets.Send(client, "ahoj\n", 5), 5);
  bool readable = false;
  for (int i = 0; i < 4 && !readable && NextMessage(kEvent, m); ++i) {
    readable = m.wParam == static_cast<WPARAM>(server) && (WSAGETSELECTEVENT(m.lParam) & FD_READ);
  }
  CHECK(readable);
  unsigned long available = 0;
  CHECK(sockets.BytesAvailable(server, available));
  CHECK_EQ(available, 5ul);
  CHECK(!sockets.PeerHasClosed(server));
  char buffer[16] = {};
  CHECK_EQ(sockets.Recv(server, buffer, sizeof buffer), 5);
  CHECK_EQ(std::string(buffer, 5), std::string("ahoj\n"));
  CHECK(!sockets.PeerHasClosed(server));  // nothing to read, but still open

  sockets.Shutdown(client);
  sockets.Close(client);
  bool closed = false;
  for (int i = 0; i < 6 && !closed && NextMessage(kEvent, m); ++i) {
    closed = m.wParam == static_cast<WPARAM>(server) && (WSAGETSELECTEVENT(m.lParam) & FD_CLOSE);
  }
  CHECK(closed);
  CHECK(sockets.PeerHasClosed(server));
  sockets.Close(server);
  EmptyQueue();
}

// IPv6 on the loopback: a listener on ::1 takes a client of ::1 and names
// it; a listener on "::" takes no IPv4 client.
TEST(Ipv6LoopbackConnectsAndStaysApartFromIpv4) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V6);
  if (listener == tv::kInvalidSocket || !sockets.Bind(listener, kLoopback6, 0)) {
    std::printf("  (skipped: no IPv6 loopback)\n");
    if (listener != tv::kInvalidSocket) sockets.Close(listener);
    return;
  }
  CHECK(sockets.AsyncSelect(listener, kSetup, tv::kFdAccept));
  CHECK(sockets.Listen(listener, 1));
  const uint16_t port = LocalPort(listener);
  tv::Socket client = sockets.Create(tv::IpFamily::V6);
  CHECK(sockets.AsyncSelect(client, kSetup, tv::kFdConnect));
  bool connected = sockets.Connect(client, kLoopback6, port);
  CHECK(connected || sockets.LastError() == tv::kWsaeWouldBlock);
  MSG m;
  bool sawConnect = connected, sawAccept = false;
  for (int i = 0; i < 2 && !(sawConnect && sawAccept) && NextMessage(kSetup, m); ++i) {
    if (WSAGETSELECTEVENT(m.lParam) == FD_CONNECT) sawConnect = WSAGETSELECTERROR(m.lParam) == 0;
    if (WSAGETSELECTEVENT(m.lParam) == FD_ACCEPT) sawAccept = true;
  }
  CHECK(sawConnect);
  CHECK(sawAccept);
  tv::IpAddress peer;
  tv::Socket server = sockets.Accept(listener, peer);
  CHECK(server != tv::kInvalidSocket);
  CHECK(peer.family == tv::IpFamily::V6);
  CHECK(std::memcmp(peer.b, kLoopback6.b, 16) == 0);
  for (tv::Socket s : {server, client, listener}) sockets.Close(s);
  EmptyQueue();

  tv::Socket every6 = sockets.Create(tv::IpFamily::V6);
  CHECK(sockets.Bind(every6, tv::IpAddress{tv::IpFamily::V6, {}, 0}, 0));
  CHECK(sockets.Listen(every6, 1));
  tv::Socket v4 = sockets.Create(tv::IpFamily::V4);
  CHECK(sockets.AsyncSelect(v4, kSetup, tv::kFdConnect));
  if (!sockets.Connect(v4, kLoopback, LocalPort(every6))) {
    CHECK_EQ(sockets.LastError(), tv::kWsaeWouldBlock);
    CHECK(NextMessage(kSetup, m));
    CHECK(WSAGETSELECTERROR(m.lParam) != 0);
  } else {
    CHECK(!"an IPv4 client reached a listener on ::");
  }
  sockets.Close(v4);
  sockets.Close(every6);
  EmptyQueue();
}

TEST(EveryConnectIsNotified) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V4);
  sockets.Bind(listener, kLoopback, 0);
  sockets.Listen(listener, 50);
  const uint16_t port = LocalPort(listener);
  int lost = 0;
  for (int i = 0; i < 100; ++i) {
    tv::Socket client = sockets.Create(tv::IpFamily::V4);
    sockets.AsyncSelect(client, kSetup, tv::kFdConnect);
    bool connected = sockets.Connect(client, kLoopback, port);
    MSG m;
    if (!connected && !NextMessage(kSetup, m, 2000)) ++lost;
    tv::IpAddress peer;
    tv::Socket server = sockets.Accept(listener, peer);
    if (server != tv::kInvalidSocket) sockets.Close(server);
    sockets.Close(client);
  }
  CHECK_EQ(lost, 0);
  sockets.Close(listener);
  EmptyQueue();
}

TEST(CoreConnectsRepeatedlyThroughItsWaits) {
  PumpHost host;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 20);
  const uint16_t port = LocalPort(static_cast<tv::Socket>(listener));
  std::atomic<bool> stop{false};
  std::thread acceptor([&] {
    while (!stop) {
      SOCKET s = accept(listener, nullptr, nullptr);
      if (s != INVALID_SOCKET) closesocket(s);
    }
  });
  DWORD thread = GetCurrentThreadId();
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 600 && !done; ++i) Sleep(50);
    if (!done) PostThreadMessageW(thread, WM_QUIT, 0, 0);
  });
  int failures = 0;
  for (int i = 0; i < 150 && failures == 0; ++i) {
    host.ctx.running = true;
    if (!tv::ConnectToServer(host.ctx, "127.0.0.1", port)) ++failures;
    if (host.ctx.connection != tv::kInvalidSocket) tv::CloseConnection(host.ctx);
    host.ctx.PumpWindowMessages();
  }
  done = true;
  watchdog.join();
  CHECK_EQ(failures, 0);
  stop = true;
  closesocket(listener);
  acceptor.join();
  EmptyQueue();
}

TEST(DataLeftToReadIsNotAClose) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V4);
  sockets.Bind(listener, kLoopback, 0);
  sockets.Listen(listener, 1);
  tv::Socket client = sockets.Create(tv::IpFamily::V4);
  CHECK(sockets.Connect(client, kLoopback, LocalPort(listener)));  // blocking socket
  tv::IpAddress peer;
  tv::Socket server = sockets.Accept(listener, peer);
  sockets.Send(client, "x", 1);
  sockets.Close(client);
  Sleep(200);
  CHECK(!sockets.PeerHasClosed(server));
  char byte;
  CHECK_EQ(sockets.Recv(server, &byte, 1), 1);
  CHECK(sockets.PeerHasClosed(server));
  sockets.Close(server);
  sockets.Close(listener);
}

TEST(ConnectToAClosedPortReportsTheError) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket probe = sockets.Create(tv::IpFamily::V4);
  sockets.Bind(probe, kLoopback, 0);
  const uint16_t port = LocalPort(probe);
  sockets.Close(probe);  // nobody listens there now
  tv::Socket client = sockets.Create(tv::IpFamily::V4);
  CHECK(sockets.AsyncSelect(client, kSetup, tv::kFdConnect));
  if (!sockets.Connect(client, kLoopback, port)) {
    CHECK_EQ(sockets.LastError(), tv::kWsaeWouldBlock);
    MSG m;
    CHECK(NextMessage(kSetup, m));
    CHECK(WSAGETSELECTERROR(m.lParam) != 0);
  }
  sockets.Close(client);
  EmptyQueue();
}

TEST(HostLookupFindsLocalhost) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  uintptr_t handle = sockets.StartHostLookup("localhost", kLookup);
  CHECK(handle != 0);
  MSG m;
  CHECK(NextMessage(kLookup, m, 15000));
  CHECK_EQ(m.wParam, static_cast<WPARAM>(handle));
  CHECK_EQ(int(WSAGETASYNCERROR(m.lParam)), 0);
  std::vector<tv::IpAddress> found;
  CHECK(sockets.HostLookupAddresses(handle, found));
  bool loopback = false;
  for (const tv::IpAddress& a : found) {
    loopback = loopback || (a.family == tv::IpFamily::V4 && a.b[0] == 127) ||
               (a.family == tv::IpFamily::V6 && a.b[15] == 1);
  }
  CHECK(loopback);
  CHECK(!sockets.HostLookupAddresses(handle + 1, found));
  EmptyQueue();
}

TEST(CancelledLookupPostsNothingLater) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  uintptr_t handle = sockets.StartHostLookup("localhost", kLookup);
  CHECK(handle != 0);
  sockets.CancelAsyncRequest(handle);
  Sleep(300);
  MSG m;
  // A lookup that had finished already may have posted its answer; a later
  // lookup must still work.
  PeekMessageW(&m, TestWindow(), kLookup, kLookup, PM_REMOVE);
  uintptr_t again = sockets.StartHostLookup("localhost", kLookup);
  CHECK(again != 0);
  CHECK(NextMessage(kLookup, m, 15000));
  EmptyQueue();
}

// ---------------------------------------------------------------- main window

std::wstring MenuText(HMENU menu, UINT id) {
  wchar_t text[128] = L"";
  GetMenuStringW(menu, id, text, 128, MF_BYCOMMAND);
  return text;
}

TEST(MainWindowIsLaidOutAtStartUp) {
  EmptyQueue();
  Win32Queue queue;
  WinSockets sockets;
  Win32Profile profile;
  Win32Files files;
  // No script on the command line: the edit shows the remembered one and
  // nothing starts by itself.
  WriteProfileStringA("Tarvelin", "ScriptName", "C:\\scripty\\z profilu.tvl");
  CMainDialog dialog(GetModuleHandleW(nullptr), queue, sockets, profile, files, "-p - -d X");
  RECT window = {}, client = {}, file = {}, edit = {}, run = {}, upper = {}, lower = {};
  std::vector<RECT> shadows;
  std::wstring title, script, sysMenu[3];
  bool maximize = true, size = true, restore = true;
  int items = 0;
  HWND main = nullptr;
  {
    DialogHelper helper(L"Tarvelin 1.10", [&](HWND w) {
      main = w;
      GetWindowRect(w, &window);
      GetClientRect(w, &client);
      auto at = [&](HWND c) {
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, w, reinterpret_cast<POINT*>(&r), 2);
        return r;
      };
      file = at(GetDlgItem(w, IDC_CHOOSE_SCRIPT));
      edit = at(GetDlgItem(w, IDC_SCRIPT_NAME));
      run = at(GetDlgItem(w, IDC_RUN));
      upper = at(GetDlgItem(w, IDC_UPPER_STATUS));
      lower = at(GetDlgItem(w, IDC_LOWER_STATUS));
      for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(c) == IDC_SHADOW) shadows.push_back(at(c));
      }
      wchar_t text[256] = L"";
      GetWindowTextW(w, text, 256);
      title = text;
      GetDlgItemTextW(w, IDC_SCRIPT_NAME, text, 256);
      script = text;
      HMENU menu = GetSystemMenu(w, FALSE);
      maximize = GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND) != UINT(-1);
      size = GetMenuState(menu, SC_SIZE, MF_BYCOMMAND) != UINT(-1);
      restore = GetMenuState(menu, SC_RESTORE, MF_BYCOMMAND) != UINT(-1);
      items = GetMenuItemCount(menu);
      sysMenu[0] = MenuText(menu, IDM_HELPFILE);
      sysMenu[1] = MenuText(menu, IDM_STATE);
      sysMenu[2] = MenuText(menu, IDM_ABOUT);
      PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
    });
    CHECK_EQ(dialog.DoModal(), INT_PTR(IDCANCEL));
  }
  CHECK(main != nullptr);
  CHECK(!dialog.Context().running);
  CHECK(dialog.Context().symbols.IsDefined("X"));
  CHECK_EQ(title, std::wstring(L"Tarvelin 1.10"));
  CHECK_EQ(script, std::wstring(L"C:\\scripty\\z profilu.tvl"));
  const long x = GetSystemMetrics(SM_CXSCREEN) > 680 ? 40 : 0;
  CHECK_EQ(window.left, x);
  CHECK_EQ(window.top, 40L);
  CHECK_EQ(window.right - window.left, 640L);
  CHECK_EQ(window.bottom - window.top, 400L);
  CHECK_EQ(file.left, 26L);
  CHECK_EQ(run.left, 26L);
  CHECK_EQ(run.right, 26L + 580 + 2);  // widened by its shadow's 2 pixels
  CHECK_EQ(edit.right, 606L);
  CHECK(file.right < edit.left);
  CHECK_EQ(lower.left, 10L);
  CHECK_EQ(lower.right, client.right - 10);
  CHECK_EQ(lower.bottom, client.bottom - 10);
  CHECK_EQ(upper.left, 10L);
  CHECK_EQ(upper.right, client.right - 10);
  CHECK_EQ(upper.bottom, lower.top - 6);
  // Three shadows, 4 pixels right of and below the controls' first places.
  CHECK_EQ(shadows.size(), size_t(3));
  auto shadowOf = [&](const RECT& control, bool widened) {
    RECT s = control;
    if (widened) {
      s.right -= 2;
      s.bottom -= 2;
    }
    OffsetRect(&s, 4, 4);
    for (const RECT& r : shadows) {
      if (EqualRect(&r, &s)) return true;
    }
    return false;
  };
  CHECK(shadowOf(file, true));
  CHECK(shadowOf(edit, false));
  CHECK(shadowOf(run, true));
  CHECK(!maximize);
  CHECK(!size);
  CHECK(!restore);
  CHECK_EQ(sysMenu[0], std::wstring(L"Soubor nápovědy"));
  CHECK_EQ(sysMenu[1], std::wstring(L"Zobrazení stavu"));
  CHECK_EQ(sysMenu[2], std::wstring(L"O verzi programu"));
  CHECK(items > 3);
  WriteProfileStringA("Tarvelin", "ScriptName", nullptr);
  EmptyQueue();
}

TEST(HelpFileIsFoundBesideTheProgram) {
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring beside(program);
  beside = beside.substr(0, beside.find_last_of(L'\\') + 1) + L"TARVELIN.HLP";
  std::wstring folder = TempFolder() + L"help\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  SetCurrentDirectoryW(folder.c_str());
  DeleteFileW((folder + L"TARVELIN.HLP").c_str());
  const bool hadOne = GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!hadOne) {
    CHECK_EQ(FindHelpFile(), std::wstring());
    WriteAll(beside, "beside");
  }
  CHECK_EQ(lstrcmpiW(FindHelpFile().c_str(), beside.c_str()), 0);
  WriteAll(folder + L"TARVELIN.HLP", "here");
  CHECK_EQ(lstrcmpiW(FindHelpFile().c_str(), (folder + L"TARVELIN.HLP").c_str()), 0);
  if (!hadOne) DeleteFileW(beside.c_str());
  DeleteFileW((folder + L"TARVELIN.HLP").c_str());
}

// ---------------------------------------------------------------- resources

TEST(BackgroundIsA256ColourPictureOnTheFieldColour) {
  HBITMAP bitmap = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BACKGROUND));
  CHECK(bitmap != nullptr);
  if (!bitmap) return;
  BITMAP info = {};
  GetObjectW(bitmap, sizeof info, &info);
  CHECK_EQ(info.bmWidth, 640L);
  CHECK_EQ(info.bmHeight, 400L);
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDB_BACKGROUND), MAKEINTRESOURCEW(2));
  const BITMAPINFOHEADER* header =
      static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, found)));
  CHECK(header && header->biBitCount == 8);
  HDC dc = CreateCompatibleDC(nullptr);
  HDC screen = GetDC(nullptr);
  HBITMAP canvas = CreateCompatibleBitmap(screen, 640, 400);
  ReleaseDC(nullptr, screen);
  HGDIOBJ oldCanvas = SelectObject(dc, canvas);
  HDC source = CreateCompatibleDC(nullptr);
  HGDIOBJ oldSource = SelectObject(source, bitmap);
  BitBlt(dc, 0, 0, 640, 400, source, 0, 0, SRCCOPY);
  CHECK_EQ(GetPixel(dc, 3, 3), RGB(33, 173, 222));
  CHECK_EQ(GetPixel(dc, 636, 396), RGB(33, 173, 222));
  int lettering = 0;
  for (int x = 0; x < 640; x += 2) {
    if (GetPixel(dc, x, 150) != RGB(33, 173, 222)) ++lettering;
  }
  CHECK(lettering > 40);  // the name crosses the upper part
  SelectObject(source, oldSource);
  SelectObject(dc, oldCanvas);
  DeleteDC(source);
  DeleteDC(dc);
  DeleteObject(canvas);
  DeleteObject(bitmap);
}

TEST(IconAndSocketErrorTextAreThere) {
  CHECK(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINICON)) != nullptr);
  wchar_t text[128] = L"";
  LoadStringW(GetModuleHandleW(nullptr), IDS_SOCKETS_FAILED, text, 128);
  CHECK_EQ(std::wstring(text), std::wstring(L"Chyba inicializace Woknowých soketů"));
}

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

TEST(DialogTemplatesHoldTheirControls) {
  struct Expect {
    int dialog;
    const wchar_t* title;
    std::vector<int> controls;
  };
  const Expect expected[] = {
      {IDD_MAIN, L"Tarvelin", {1000, 1001, 1002, 1003, 1004}},
      {IDD_CONNECT_PARAMS, L"Parametry pro Connect", {IDOK, IDCANCEL, 1005, 1006}},
      {IDD_ACCEPT_PARAMS, L"Parametry pro Accept", {IDOK, IDCANCEL, 1006}},
      {IDD_INPUT_LINE, L"Dialog", {IDOK, IDCANCEL, 1007}},
      {IDD_ABOUT, L"O verzi programu", {IDOK, 1008}},
      {IDD_STATE, L"Zobrazení aktuálního stavu symbolů a čítačů", {IDOK, 1010, 1011}},
  };
  for (const Expect& e : expected) {
    HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(e.dialog), nullptr,
                                     Quiet, 0);
    CHECK(dialog != nullptr);
    if (!dialog) continue;
    ShowWindow(dialog, SW_HIDE);
    wchar_t title[128] = L"";
    GetWindowTextW(dialog, title, 128);
    CHECK_EQ(std::wstring(title), std::wstring(e.title));
    for (int id : e.controls) CHECK(GetDlgItem(dialog, id) != nullptr);
    DestroyWindow(dialog);
  }
  HWND main =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, Quiet, 0);
  ShowWindow(main, SW_HIDE);
  wchar_t caption[128] = L"";
  GetDlgItemTextW(main, IDC_RUN, caption, 128);
  CHECK_EQ(std::wstring(caption), std::wstring(L"&Spuštění scriptu"));
  GetDlgItemTextW(main, IDC_CHOOSE_SCRIPT, caption, 128);
  CHECK_EQ(std::wstring(caption), std::wstring(L"&Výběr souboru se scriptem"));
  CHECK((GetWindowLongW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0);
  CHECK((GetWindowLongW(main, GWL_STYLE) & WS_MAXIMIZEBOX) == 0);
  CHECK((GetWindowLongW(GetDlgItem(main, IDC_RUN), GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON);
  DestroyWindow(main);
  HWND connect = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECT_PARAMS),
                                    nullptr, Quiet, 0);
  CHECK((GetWindowLongW(GetDlgItem(connect, IDC_PORT), GWL_STYLE) & ES_NUMBER) != 0);
  DestroyWindow(connect);
  HWND state =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_STATE), nullptr, Quiet, 0);
  CHECK((GetWindowLongW(GetDlgItem(state, IDC_SYMBOLS), GWL_STYLE) & LBS_SORT) != 0);
  CHECK((GetWindowLongW(GetDlgItem(state, IDC_COUNTERS), GWL_STYLE) & LBS_SORT) != 0);
  DestroyWindow(state);
}

TEST(VersionInformationSaysOneTen) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  CHECK(size > 0);
  if (size == 0) return;
  std::vector<char> data(size);
  CHECK(GetFileVersionInfoW(path, 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  CHECK(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  if (fixed) CHECK_EQ(fixed->dwFileVersionMS, DWORD(MAKELONG(10, 1)));
  wchar_t* text = nullptr;
  CHECK(VerQueryValueW(data.data(), L"\\StringFileInfo\\040504e2\\FileVersion",
                       reinterpret_cast<void**>(&text), &length));
  if (text) CHECK_EQ(std::wstring(text), std::wstring(L"1.10"));
}

// ---------------------------------------------------------------- patterns

// Nested repetitions over 4096-byte lines: one pass over the line, with a
// recursion bounded by the pattern, on the main thread and on a thread with
// a 128 KB stack; each search takes milliseconds, not exponential time.
int SearchHostilePatterns() {
  const Bytes lines[] = {Bytes(4096, 'a'), Bytes(4096, 'x'), Bytes(4095, 'a') + "b"};
  const char* patterns[] = {"(a|b)*c",    "(a*)*b",        "(x+x+)+y",     "(.*)*$",
                            "^(a|aa)+$",  "(a?){80}a{80}", "(((a*)*)*)*c", "(?:a?){90}c",
                            "(.*a){60}c", "[a-z]{1,200}c", "(?i)(A|B)*C"};
  int found = 0;
  for (const char* text : patterns) {
    tv::Pattern p;
    Bytes reason;
    if (!p.Compile(text, reason)) return -1;
    std::vector<tv::Pattern::Group> groups;
    for (const Bytes& line : lines) found += p.Search(line.data(), line.size(), groups);
  }
  return found;
}

DWORD WINAPI HostileOnSmallStack(void* result) {
  *static_cast<int*>(result) = SearchHostilePatterns();
  return 0;
}

TEST(PatternsOverLongLinesStayWithinTheStackAndTime) {
  const DWORD start = GetTickCount();
  CHECK_EQ(SearchHostilePatterns(), 7);
  const DWORD onMain = GetTickCount() - start;
  int result = 0;
  HANDLE thread = CreateThread(nullptr, 128 * 1024, HostileOnSmallStack, &result,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  CHECK(thread != nullptr);
  if (thread) {
    CHECK_EQ(WaitForSingleObject(thread, 60000), DWORD(WAIT_OBJECT_0));
    CloseHandle(thread);
    CHECK_EQ(result, 7);
  }
  std::printf("  hostile patterns over 4096-byte lines: %lu ms on the main thread\n",
              static_cast<unsigned long>(onMain));
  CHECK(onMain < 20000);
}

}  // namespace

int main() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  int result = check::RunAll();
  WSACleanup();
  return result;
}
