// Tests of the Windows front end's own pieces, run under Wine: text
// conversion, files and their sharing, the profile, the message queue under
// the core's pumps, the sockets over the loopback, the dialogs and the
// resources.
#include "shell/paths.h"
#include "win32/winapi.h"

#include <gtest/gtest.h>
#include <tarvelin_version.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>

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

TEST(Text, CzechLettersBecomeTheirUnicodeCharacters) {
  EXPECT_EQ(ToWide(kCzechBytes), std::wstring(kCzechWide));
  EXPECT_EQ(FromWide(kCzechWide), Bytes(kCzechBytes));
}

TEST(Text, EveryDefinedWindows1250ByteSurvivesTheRoundTrip) {
  int undefined = 0;
  for (int b = 1; b < 256; ++b) {
    Bytes one(1, static_cast<char>(b));
    std::wstring wide = ToWide(one);
    EXPECT_EQ(wide.size(), size_t(1));
    if (wide.size() != 1) continue;
    if (FromWide(wide) != one) {
      ++undefined;  // the few bytes the code page leaves unassigned
      continue;
    }
  }
  EXPECT_LE(undefined, 5);
}

TEST(Text, ZeroBytesAndUnknownCharactersKeepTheLength) {
  Bytes withZero("a\0b", 3);
  EXPECT_EQ(ToWide(withZero), std::wstring(L"a\0b", 3));
  EXPECT_EQ(FromWide(std::wstring(L"x\u4E2Dy")), Bytes("x?y"));
  EXPECT_EQ(ToWide(""), std::wstring());
}

TEST(Text, CommandLineIsTheTextAfterTheProgramName) {
  EXPECT_EQ(ArgumentsAfterProgramName(L"\"C:\\Program Files\\tarvelin.exe\"  -p x.log a.tvl"),
            std::wstring(L"-p x.log a.tvl"));
  EXPECT_EQ(ArgumentsAfterProgramName(L"tarvelin.exe\t script.tvl "), std::wstring(L"script.tvl "));
  EXPECT_EQ(ArgumentsAfterProgramName(L"tarvelin.exe"), std::wstring());
  EXPECT_EQ(ArgumentsAfterProgramName(L"\"t.exe\"x y"), std::wstring(L"x y"));
  EXPECT_EQ(ArgumentsAfterProgramName(L"\"unclosed name"), std::wstring());
  EXPECT_EQ(ArgumentsAfterProgramName(L"t.exe \"two words.tvl\""),
            std::wstring(L"\"two words.tvl\""));
}

TEST(Text, HelpTextGetsWindowsLineEnds) {
  EXPECT_EQ(HelpTextForDisplay(Bytes("a\nb\r\nc\rd\r\n")), std::wstring(L"a\r\nb\r\nc\r\nd\r\n"));
  EXPECT_EQ(HelpTextForDisplay(Bytes("ř\0x", 3)), std::wstring(L"ř x"));
}

// ---------------------------------------------------------------- dialogs

TEST(Dialogs, DialogIntegerFieldsAcceptOnlyWholeNumbers) {
  int value = 0;
  EXPECT_TRUE(ParseDialogInteger("80", value));
  EXPECT_EQ(value, 80);
  EXPECT_TRUE(ParseDialogInteger("  -5 ", value));
  EXPECT_EQ(value, -5);
  EXPECT_TRUE(ParseDialogInteger("+7", value));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(ParseDialogInteger("2147483647", value));
  EXPECT_EQ(value, 2147483647);
  EXPECT_TRUE(ParseDialogInteger("-2147483648", value));
  EXPECT_EQ(value, -2147483647 - 1);
  value = 99;
  EXPECT_FALSE(ParseDialogInteger("", value));
  EXPECT_FALSE(ParseDialogInteger("   ", value));
  EXPECT_FALSE(ParseDialogInteger("12a", value));
  EXPECT_FALSE(ParseDialogInteger("1 2", value));
  EXPECT_FALSE(ParseDialogInteger("-", value));
  EXPECT_FALSE(ParseDialogInteger("2147483648", value));
  EXPECT_FALSE(ParseDialogInteger("99999999999999999999", value));
  EXPECT_EQ(value, 99);
}

TEST(Dialogs, AboutTextNamesTheVersionAndDate) {
  EXPECT_EQ(AboutText(), Bytes("\r\n\r\nTarvelin verze 1.10 / 13. července 1997\r\n"));
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

TEST(Dialogs, ConnectDialogShowsAndReturnsItsFields) {
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
    EXPECT_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  EXPECT_EQ(shownServer, std::wstring(L"server.example"));
  EXPECT_EQ(shownPort, std::wstring(L"110"));
  EXPECT_EQ(dialog.server, Bytes("pošta"));
  EXPECT_EQ(dialog.port, 25);
}

TEST(Dialogs, ConnectDialogRefusesAPortThatIsNoNumber) {
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
    EXPECT_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  EXPECT_TRUE(boxSeen);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(dialog.port, 23);
}

TEST(Dialogs, CancelledDialogKeepsItsFields) {
  CAcceptParamsDialog dialog;
  dialog.port = 4000;
  {
    DialogHelper helper(L"Parametry pro Accept", [&](HWND window) {
      SetDlgItemTextW(window, IDC_PORT, L"5000");
      PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(dialog.DoModal(nullptr), INT_PTR(IDCANCEL));
  }
  EXPECT_EQ(dialog.port, 4000);
}

TEST(Dialogs, InputDialogIsTitledWithThePromptAndTakesTheText) {
  CInputLineDialog dialog;
  dialog.prompt = "Zadejte číslo účtu";
  {
    DialogHelper helper(L"Zadejte číslo účtu", [&](HWND window) {
      SetDlgItemTextW(window, IDC_INPUT_TEXT, L"Řádka s háčky");
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  EXPECT_EQ(dialog.text, Bytes("Řádka s háčky"));
}

// The three lists sorted; a line wider than its list scrolls it sideways,
// lines that fit leave it without a scroll bar.
TEST(Dialogs, StateDialogListsAreSortedAndScrollWhenTooWide) {
  CStateDialog dialog;
  dialog.symbolLines = {"b", "A", "c", Bytes(100, 'W')};
  dialog.counterLines = {"zeta=1", "alfa=-5"};
  dialog.textLines = {StateTextLine("odpověď", "+OK\r\n"), StateTextLine("jméno", "Věra")};
  std::vector<std::wstring> lines[3];
  const int ids[3] = {IDC_SYMBOLS, IDC_COUNTERS, IDC_TEXTS};
  bool scrolls[3] = {};
  {
    DialogHelper helper(L"Zobrazení aktuálního stavu symbolů a čítačů", [&](HWND window) {
      for (int k = 0; k < 3; ++k) {
        HWND list = GetDlgItem(window, ids[k]);
        LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
          wchar_t line[256] = L"";
          SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line));
          lines[k].push_back(line);
        }
        scrolls[k] = (GetWindowLongW(list, GWL_STYLE) & WS_HSCROLL) != 0;
      }
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(dialog.DoModal(nullptr), INT_PTR(IDOK));
  }
  EXPECT_EQ(lines[0], (std::vector<std::wstring>{L"A", L"b", L"c", std::wstring(100, L'W')}));
  EXPECT_EQ(lines[1], (std::vector<std::wstring>{L"alfa=-5", L"zeta=1"}));
  EXPECT_EQ(lines[2], (std::vector<std::wstring>{L"jméno=Věra", L"odpověď=+OK\\r\\n"}));
  EXPECT_TRUE(scrolls[0]);
  EXPECT_FALSE(scrolls[1]);
  EXPECT_FALSE(scrolls[2]);
}

// Values are escaped as the log escapes data and cut before the escape that
// would pass the limit, with the whole length after "…".
TEST(Dialogs, StateTextLineEscapesAndCutsTheValue) {
  EXPECT_EQ(StateTextLine("prázdný", ""), Bytes("prázdný="));
  EXPECT_EQ(StateTextLine("t", Bytes("a\r\n\t\x1b\\\0\xff\x7f\x01č", 11)),
            Bytes("t=a\\r\\n\\t\\e\\\\\\000\\255\\127\\001č"));
  const Bytes fits(kStateValueChars, 'x');
  EXPECT_EQ(StateTextLine("t", fits), "t=" + fits);
  EXPECT_EQ(StateTextLine("t", fits + "y"), "t=" + fits + "… (41 bytů)");
  // The escape of CR would reach one character past the limit.
  const Bytes almost(kStateValueChars - 1, 'x');
  EXPECT_EQ(StateTextLine("t", almost + "\r"), "t=" + almost + "… (40 bytů)");
  // The example of the scripting guide.
  Bytes reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html";
  reply.resize(512, 'x');
  EXPECT_EQ(StateTextLine("odpověď", reply),
            Bytes("odpověď=HTTP/1.1 200 OK\\r\\nContent-Type: text/ht… (512 bytů)"));
  // The largest value: only its start is escaped.
  Bytes zeros;
  for (size_t i = 0; i < kStateValueChars / 4; ++i) zeros += "\\000";
  EXPECT_EQ(StateTextLine("velký", Bytes(tv::kMaxTextBytes, '\0')),
            "velký=" + zeros + "… (65536 bytů)");
}

// The check dialog names files from the checked script's folder, in the
// findings' file column and in their texts; what lies elsewhere keeps its
// full path. The folder is compared without regard to case.
TEST(Dialogs, CheckReportNamesFilesFromTheScriptsFolder) {
  const Bytes script = "C:\\skripty\\hlavní.tvl";
  std::vector<tv::CheckFinding> findings = {
      {"C:\\skripty\\hlavní.tvl", 2, 6, false,
       "Soubor C:\\skripty\\chybí.tvl nyní nelze otevřít pro čtení"},
      {"C:\\SKRIPTY\\pod\\vedlejší.tvl", 1, 1, true, "Neznámý příkaz scriptu: X"},
      {"C:\\skripty\\pod\\..\\jiný.tvl", 3, 1, true, "Neznámý příkaz scriptu: Y"},
      {"D:\\jinde\\cizí.tvl", 4, 2, false, "Soubor D:\\jinde\\x.wav nyní neexistuje"},
  };
  EXPECT_EQ(CheckReportText(script, findings),
            Bytes("hlavní.tvl:2:6: varování: Soubor chybí.tvl nyní nelze otevřít pro čtení\r\n"
                  "pod\\vedlejší.tvl:1:1: chyba: Neznámý příkaz scriptu: X\r\n"
                  "jiný.tvl:3:1: chyba: Neznámý příkaz scriptu: Y\r\n"
                  "D:\\jinde\\cizí.tvl:4:2: varování: Soubor D:\\jinde\\x.wav nyní neexistuje\r\n"
                  "\r\n"
                  "Chyb: 2, varování: 2\r\n"));
  EXPECT_EQ(CheckReportText(script, {}), Bytes("Chyb: 0, varování: 0\r\n"));
  EXPECT_EQ(RelativeToFolder("C:\\skriptyX\\a.tvl", "C:\\skripty\\"), Bytes("C:\\skriptyX\\a.tvl"));
  EXPECT_EQ(RelativeToFolder("C:\\skripty\\", "C:\\skripty\\"), Bytes("C:\\skripty\\"));
}

// ---------------------------------------------------------------- files

TEST(Files, LogIsCreatedEmptyAndDeniesOtherWriters) {
  Bytes name = InTemp("log-sharing.log");
  WriteAll(ToWide(name), "old contents");
  Win32Files files;
  std::unique_ptr<tv::OutFile> log = files.CreateLog(name);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->Write("abc", 3));
  EXPECT_TRUE(log->Flush());
  EXPECT_EQ(ReadAll(ToWide(name)), Bytes("abc"));
  EXPECT_EQ(files.CreateLog(name), nullptr);  // a second program cannot take it
  EXPECT_TRUE(CanOpen(name, GENERIC_READ));
  EXPECT_FALSE(CanOpen(name, GENERIC_WRITE));
  log.reset();
  EXPECT_TRUE(CanOpen(name, GENERIC_WRITE));
}

TEST(Files, FilesWithCzechNamesGetTheirRealNames) {
  Bytes name = InTemp("Žluťoučký kůň.log");
  Win32Files files;
  std::unique_ptr<tv::OutFile> log = files.CreateLog(name);
  EXPECT_NE(log, nullptr);
  log.reset();
  std::wstring wide = TempFolder() + L"Žluťoučký kůň.log";
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(wide.c_str());
}

TEST(Files, LogCannotBeCreatedInAMissingFolder) {
  Win32Files files;
  EXPECT_EQ(files.CreateLog(InTemp("no-such-folder\\x.log")), nullptr);
  EXPECT_EQ(files.CreateLog(""), nullptr);
}

TEST(Files, ScriptLinesEndAtLineFeed) {
  Bytes name = InTemp("lines.tvl");
  const char text[] = "first\r\nsecond\n\r\nfo\0ur\rx\nlast";
  WriteAll(ToWide(name), Bytes(text, sizeof text - 1));
  Win32Files files;
  std::unique_ptr<tv::ScriptFile> script = files.OpenScript(name, nullptr);
  ASSERT_NE(script, nullptr);
  Bytes line;
  const Bytes expected[] = {"first", "second", "", Bytes("fo\0ur\rx", 7), "last"};
  for (const Bytes& want : expected) {
    EXPECT_EQ(script->ReadLine(line), tv::ScriptFile::Read::Line);
    EXPECT_EQ(line, want);
  }
  EXPECT_EQ(script->ReadLine(line), tv::ScriptFile::Read::End);
  EXPECT_TRUE(script->Rewind());
  EXPECT_EQ(script->ReadLine(line), tv::ScriptFile::Read::Line);
  EXPECT_EQ(line, Bytes("first"));
}

TEST(Files, ScriptKnowsItsFullPathAndDeniesWriters) {
  std::wstring folder = TempFolder();
  SetCurrentDirectoryW(folder.c_str());
  WriteAll(folder + L"relative.tvl", "Stop\r\n");
  Win32Files files;
  std::unique_ptr<tv::ScriptFile> script = files.OpenScript("relative.tvl", nullptr);
  ASSERT_NE(script, nullptr);
  EXPECT_EQ(script->FullPath(), FromWide(folder) + "relative.tvl");
  EXPECT_TRUE(CanOpen(FromWide(folder) + "relative.tvl", GENERIC_READ));
  EXPECT_FALSE(CanOpen(FromWide(folder) + "relative.tvl", GENERIC_WRITE));
  EXPECT_EQ(files.OpenScript("no such script.tvl", nullptr), nullptr);
  EXPECT_EQ(files.OpenScript(FromWide(folder), nullptr), nullptr);  // a folder
}

TEST(Files, CaptureFileIsEmptiedAndReadableWhileOpen) {
  Bytes name = InTemp("capture.dat");
  WriteAll(ToWide(name), "earlier capture that must go");
  Win32Files files;
  std::unique_ptr<tv::OutFile> capture = files.CreateCapture(name);
  ASSERT_NE(capture, nullptr);
  EXPECT_TRUE(capture->Write("a\0b", 3));
  EXPECT_EQ(ReadAll(ToWide(name)), Bytes("a\0b", 3));
  EXPECT_FALSE(CanOpen(name, GENERIC_WRITE));
  capture.reset();
  DWORD attributes = GetFileAttributesW(ToWide(name).c_str());
  EXPECT_NE(attributes & FILE_ATTRIBUTE_ARCHIVE, 0);
}

// Appending keeps what the file holds and writes after it, each time it is
// opened; other writers are denied meanwhile; a missing file is created.
TEST(Files, AppendedCaptureKeepsTheFileAndWritesAtItsEnd) {
  Bytes name = InTemp("append.dat");
  WriteAll(ToWide(name), "earlier\r\n");
  Win32Files files;
  std::unique_ptr<tv::OutFile> capture = files.AppendCapture(name);
  ASSERT_NE(capture, nullptr);
  EXPECT_TRUE(capture->Write("a\0b", 3));
  EXPECT_TRUE(capture->Flush());
  EXPECT_EQ(ReadAll(ToWide(name)), Bytes("earlier\r\na\0b", 12));
  EXPECT_FALSE(CanOpen(name, GENERIC_WRITE));
  capture.reset();
  capture = files.AppendCapture(name);
  ASSERT_NE(capture, nullptr);
  EXPECT_TRUE(capture->Write("c", 1));
  capture.reset();
  EXPECT_EQ(ReadAll(ToWide(name)), Bytes("earlier\r\na\0bc", 13));
  DeleteFileW(ToWide(name).c_str());
  capture = files.AppendCapture(name);
  ASSERT_NE(capture, nullptr);
  EXPECT_TRUE(capture->Write("new", 3));
  capture.reset();
  EXPECT_EQ(ReadAll(ToWide(name)), Bytes("new"));
  DeleteFileW(ToWide(name).c_str());
}

// A device never ends and a file over 16 MiB is too large: both refused
// with their reason before being read; a file of exactly 16 MiB is read.
TEST(Files, ScriptThatIsADeviceOrTooLargeIsRefused) {
  Win32Files files;
  tv::ScriptRefusal why = tv::ScriptRefusal::Unreadable;
  EXPECT_EQ(files.OpenScript("NUL", &why), nullptr);
  EXPECT_EQ(why, tv::ScriptRefusal::NotRegular);
  EXPECT_EQ(files.OpenScript(InTemp("missing.tvl"), &why), nullptr);
  EXPECT_EQ(why, tv::ScriptRefusal::Unreadable);
  const Bytes name = InTemp("large.tvl");
  Bytes text(tv::kMaxScriptBytes, 'x');
  WriteAll(ToWide(name), text);
  EXPECT_NE(files.OpenScript(name, &why), nullptr);
  WriteAll(ToWide(name), text + "x");
  EXPECT_EQ(files.OpenScript(name, &why), nullptr);
  EXPECT_EQ(why, tv::ScriptRefusal::TooLarge);
  DeleteFileW(ToWide(name).c_str());
}

TEST(Files, ScriptRelativeNamesUseTheWindowsRules) {
  Win32Files files;
  EXPECT_EQ(ResolveScriptRelativePath(files, "zvuk.wav", "C:\\scripty\\hlavni.tvl"),
            Bytes("C:\\scripty\\zvuk.wav"));
  EXPECT_EQ(ResolveScriptRelativePath(files, "\\x.wav", "C:\\scripty\\hlavni.tvl"),
            Bytes("C:\\x.wav"));
  EXPECT_EQ(ResolveScriptRelativePath(files, "D:y.wav", "C:\\scripty\\hlavni.tvl"),
            Bytes("D:y.wav"));
}

// ---------------------------------------------------------------- profile

TEST(Profile, ProfileKeepsBytesAndCutsLongValues) {
  Win32Profile profile;
  profile.SetString("TestValue", "C:\\scripty\\ověření.tvl");
  EXPECT_EQ(profile.GetString("TestValue", "", 253), Bytes("C:\\scripty\\ověření.tvl"));
  EXPECT_EQ(profile.GetString("TestMissing", "výchozí", 253), Bytes("výchozí"));
  profile.SetString("TestValue", Bytes(300, 'x'));
  EXPECT_EQ(profile.GetString("TestValue", "", 253), Bytes(253, 'x'));
  char raw[64] = "";
  WriteProfileStringA("Tarvelin", "TestValue", "raw");
  GetProfileStringA("Tarvelin", "TestValue", "", raw, sizeof raw);
  EXPECT_EQ(std::string(raw), std::string("raw"));
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

TEST(Queue, PeekSeesTheFirstMessageAndWhoseItIs) {
  TestWindow();
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  tv::Msg first;
  EXPECT_FALSE(queue.Peek(first));
  PostMessageW(OtherWindow(), WM_USER + 7, 1, 2);
  queue.PostToMain(WM_USER + 8, 3, 4);
  EXPECT_TRUE(queue.Peek(first));
  EXPECT_FALSE(first.forMainWindow);
  EXPECT_EQ(first.id, uint32_t(WM_USER + 7));
  EXPECT_TRUE(queue.Peek(first));  // still there
  tv::Msg removed;
  EXPECT_TRUE(queue.RemoveForMain(WM_USER + 8, removed));
  EXPECT_TRUE(removed.forMainWindow);
  EXPECT_EQ(removed.wParam, uintptr_t(3));
  EXPECT_EQ(removed.lParam, intptr_t(4));
  EXPECT_FALSE(queue.RemoveForMain(WM_USER + 8, removed));
  Recorder::Seen().clear();
  EXPECT_TRUE(queue.DispatchOne());
  EXPECT_EQ(Recorder::Seen(), std::vector<UINT>{WM_USER + 7});
  EXPECT_FALSE(queue.Peek(first));
}

TEST(Queue, QuitMessageIsReportedAndLeftForTheOuterLoop) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  queue.PostQuit(0);
  tv::Msg first;
  EXPECT_TRUE(queue.Peek(first));
  EXPECT_EQ(first.id, uint32_t(WM_QUIT));
  EXPECT_FALSE(queue.DispatchOne());
  EXPECT_TRUE(queue.Peek(first));
  EXPECT_EQ(first.id, uint32_t(WM_QUIT));
  MSG m;
  EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE) && m.message == WM_QUIT);
  EmptyQueue();
}

TEST(Queue, WaitReturnsForAMessageThatWasAlreadySeen) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  queue.PostToMain(WM_USER + 9, 0, 0);
  tv::Msg first;
  EXPECT_TRUE(queue.Peek(first));
  // Should the wait sleep anyway, this thread wakes it after three seconds.
  HWND window = TestWindow();
  std::thread rescue([window] {
    Sleep(3000);
    PostMessageW(window, WM_USER + 10, 0, 0);
  });
  DWORD start = GetTickCount();
  queue.WaitForMessage();
  EXPECT_LT(GetTickCount() - start, 1000);
  rescue.join();
  EmptyQueue();
}

TEST(Queue, WaitSleepsUntilAMessageComesFromAnotherThread) {
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
  EXPECT_GE(waited, 200);
  EXPECT_LT(used, 100);
  tv::Msg first;
  EXPECT_TRUE(queue.Peek(first) && first.id == WM_USER + 11);
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

TEST(Queue, TimedStepWaitsOnTheTimerWithoutSpinning) {
  PumpHost host;
  host.ctx.running = true;
  DWORD start = GetTickCount();
  unsigned long long before = ProcessorMs();
  EXPECT_TRUE(host.ctx.TimedStep(700));
  DWORD waited = GetTickCount() - start;
  unsigned long long used = ProcessorMs() - before;
  EXPECT_GE(waited, 600);
  EXPECT_LT(waited, 3000);
  EXPECT_LT(used, 150);
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, TestWindow(), WM_TIMER, WM_TIMER, PM_NOREMOVE));  // timer killed
}

// A tick that a nested loop took is made good: the timer, still set, ticks
// again at once instead of a whole period later. A killed timer stays
// quiet.
TEST(Queue, TimerFiredAgainTicksAtOnceUnlessKilled) {
  EmptyQueue();
  Win32Queue queue;
  queue.SetMainWindow(TestWindow());
  auto tickWithin = [&](DWORD ms) {
    const DWORD start = GetTickCount();
    MSG m;
    while (GetTickCount() - start < ms) {
      if (PeekMessageW(&m, TestWindow(), WM_TIMER, WM_TIMER, PM_REMOVE) && m.wParam == 7) {
        return true;
      }
      Sleep(5);
    }
    return false;
  };
  queue.SetTimer(7, 60000);
  queue.FireSoon(7);
  EXPECT_TRUE(tickWithin(1000));
  queue.KillTimer(7);
  queue.FireSoon(7);
  EXPECT_FALSE(tickWithin(300));
  EmptyQueue();
}

TEST(Queue, PumpStopsOnACloseRequestAndDispatchesIt) {
  PumpHost host;
  host.ctx.running = true;
  PostMessageW(OtherWindow(), WM_USER + 12, 0, 0);
  EXPECT_TRUE(host.ctx.PumpWindowMessages());
  EXPECT_TRUE(host.ctx.running);
  PostMessageW(TestWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(host.ctx.PumpWindowMessages());
  EXPECT_FALSE(host.ctx.running);
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, TestWindow(), WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE));
}

TEST(Queue, WaitLeavesACloseRequestQueued) {
  PumpHost host;
  host.ctx.running = true;
  PostMessageW(TestWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(host.ctx.TimedStep(5000));
  EXPECT_FALSE(host.ctx.running);
  MSG m;
  EXPECT_TRUE(PeekMessageW(&m, TestWindow(), WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE));
  EmptyQueue();
}

TEST(Queue, WaitEndsWhenAnotherThreadPostsTheQuitMessage) {
  PumpHost host;
  host.ctx.running = true;
  DWORD thread = GetCurrentThreadId();
  std::thread quitter([thread] {
    Sleep(200);
    PostThreadMessageW(thread, WM_QUIT, 0, 0);
  });
  EXPECT_FALSE(host.ctx.WaitForWindowMessage(WM_USER + 99));
  EXPECT_FALSE(host.ctx.running);
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
const tv::IpAddress kLoopback6 = {
    tv::IpFamily::V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};

// A listener bound to the address given listens, as the core's does, and a
// client connects to it through the notifications of the connect and of the
// accept, which must both come; the accepted socket and the address it names.
tv::Socket ConnectThroughNotifications(WinSockets& sockets, tv::Socket listener,
                                       const tv::IpAddress& address, tv::Socket& client,
                                       tv::IpAddress& peer) {
  EXPECT_TRUE(sockets.AsyncSelect(listener, kSetup, tv::kFdAccept));
  EXPECT_TRUE(sockets.Listen(listener, 1));
  client = sockets.Create(address.family);
  EXPECT_TRUE(sockets.AsyncSelect(client, kSetup, tv::kFdConnect));
  const bool connected = sockets.Connect(client, address, LocalPort(listener));
  EXPECT_TRUE(connected || sockets.LastError() == tv::kWsaeWouldBlock);
  MSG m;
  bool sawConnect = connected, sawAccept = false;
  for (int i = 0; i < 2 && !(sawConnect && sawAccept) && NextMessage(kSetup, m); ++i) {
    if (WSAGETSELECTEVENT(m.lParam) == FD_CONNECT) sawConnect = WSAGETSELECTERROR(m.lParam) == 0;
    if (WSAGETSELECTEVENT(m.lParam) == FD_ACCEPT) sawAccept = true;
  }
  EXPECT_TRUE(sawConnect);
  EXPECT_TRUE(sawAccept);
  const tv::Socket server = sockets.Accept(listener, peer);
  EXPECT_NE(server, tv::kInvalidSocket);
  return server;
}

TEST(Sockets, LoopbackConnectionNotifiesEveryStep) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V4);
  EXPECT_NE(listener, tv::kInvalidSocket);
  EXPECT_TRUE(sockets.Bind(listener, kLoopback, 0));
  tv::Socket client;
  tv::IpAddress peer;
  tv::Socket server = ConnectThroughNotifications(sockets, listener, kLoopback, client, peer);
  MSG m;
  EXPECT_EQ(int(peer.b[0]), 127);
  EXPECT_EQ(int(peer.b[3]), 1);
  sockets.Shutdown(listener);
  sockets.Close(listener);
  EXPECT_TRUE(sockets.AsyncSelect(server, kEvent, tv::kFdRead | tv::kFdWrite | tv::kFdClose));
  EXPECT_TRUE(sockets.AsyncSelect(client, kEvent, tv::kFdRead | tv::kFdWrite | tv::kFdClose));

  EXPECT_EQ(sockets.Send(client, "ahoj\n", 5), 5);
  bool readable = false;
  for (int i = 0; i < 4 && !readable && NextMessage(kEvent, m); ++i) {
    readable = m.wParam == static_cast<WPARAM>(server) && (WSAGETSELECTEVENT(m.lParam) & FD_READ);
  }
  EXPECT_TRUE(readable);
  unsigned long available = 0;
  EXPECT_TRUE(sockets.BytesAvailable(server, available));
  EXPECT_EQ(available, 5ul);
  EXPECT_FALSE(sockets.PeerHasClosed(server));
  char buffer[16] = {};
  EXPECT_EQ(sockets.Recv(server, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), std::string("ahoj\n"));
  EXPECT_FALSE(sockets.PeerHasClosed(server));  // nothing to read, but still open

  sockets.Shutdown(client);
  sockets.Close(client);
  bool closed = false;
  for (int i = 0; i < 6 && !closed && NextMessage(kEvent, m); ++i) {
    closed = m.wParam == static_cast<WPARAM>(server) && (WSAGETSELECTEVENT(m.lParam) & FD_CLOSE);
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(sockets.PeerHasClosed(server));
  sockets.Close(server);
  EmptyQueue();
}

// IPv6 on the loopback: a listener on ::1 takes a client of ::1 and names
// it; a listener on "::" takes no IPv4 client.
TEST(Sockets, Ipv6LoopbackConnectsAndStaysApartFromIpv4) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V6);
  if (listener == tv::kInvalidSocket || !sockets.Bind(listener, kLoopback6, 0)) {
    if (listener != tv::kInvalidSocket) sockets.Close(listener);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  tv::Socket client;
  tv::IpAddress peer;
  tv::Socket server = ConnectThroughNotifications(sockets, listener, kLoopback6, client, peer);
  MSG m;
  EXPECT_TRUE(peer.family == tv::IpFamily::V6);
  EXPECT_TRUE(std::memcmp(peer.b, kLoopback6.b, 16) == 0);
  for (tv::Socket s : {server, client, listener}) sockets.Close(s);
  EmptyQueue();

  tv::Socket every6 = sockets.Create(tv::IpFamily::V6);
  EXPECT_TRUE(sockets.Bind(every6, tv::IpAddress{tv::IpFamily::V6, {}, 0}, 0));
  EXPECT_TRUE(sockets.Listen(every6, 1));
  tv::Socket v4 = sockets.Create(tv::IpFamily::V4);
  EXPECT_TRUE(sockets.AsyncSelect(v4, kSetup, tv::kFdConnect));
  if (!sockets.Connect(v4, kLoopback, LocalPort(every6))) {
    EXPECT_EQ(sockets.LastError(), tv::kWsaeWouldBlock);
    EXPECT_TRUE(NextMessage(kSetup, m));
    EXPECT_TRUE(WSAGETSELECTERROR(m.lParam) != 0);
  } else {
    ADD_FAILURE() << "an IPv4 client reached a listener on ::";
  }
  sockets.Close(v4);
  sockets.Close(every6);
  EmptyQueue();
}

TEST(Sockets, EveryConnectIsNotified) {
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
  EXPECT_EQ(lost, 0);
  sockets.Close(listener);
  EmptyQueue();
}

TEST(Sockets, CoreConnectsRepeatedlyThroughItsWaits) {
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
    if (host.ctx.connection) tv::CloseConnection(host.ctx);
    host.ctx.PumpWindowMessages();
  }
  done = true;
  watchdog.join();
  EXPECT_EQ(failures, 0);
  stop = true;
  closesocket(listener);
  acceptor.join();
  EmptyQueue();
}

TEST(Sockets, DataLeftToReadIsNotAClose) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket listener = sockets.Create(tv::IpFamily::V4);
  sockets.Bind(listener, kLoopback, 0);
  sockets.Listen(listener, 1);
  tv::Socket client = sockets.Create(tv::IpFamily::V4);
  EXPECT_TRUE(sockets.Connect(client, kLoopback, LocalPort(listener)));  // blocking socket
  tv::IpAddress peer;
  tv::Socket server = sockets.Accept(listener, peer);
  sockets.Send(client, "x", 1);
  sockets.Close(client);
  Sleep(200);
  EXPECT_FALSE(sockets.PeerHasClosed(server));
  char byte;
  EXPECT_EQ(sockets.Recv(server, &byte, 1), 1);
  EXPECT_TRUE(sockets.PeerHasClosed(server));
  sockets.Close(server);
  sockets.Close(listener);
}

TEST(Sockets, ConnectToAClosedPortReportsTheError) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  tv::Socket probe = sockets.Create(tv::IpFamily::V4);
  sockets.Bind(probe, kLoopback, 0);
  const uint16_t port = LocalPort(probe);
  sockets.Close(probe);  // nobody listens there now
  tv::Socket client = sockets.Create(tv::IpFamily::V4);
  EXPECT_TRUE(sockets.AsyncSelect(client, kSetup, tv::kFdConnect));
  if (!sockets.Connect(client, kLoopback, port)) {
    EXPECT_EQ(sockets.LastError(), tv::kWsaeWouldBlock);
    MSG m;
    EXPECT_TRUE(NextMessage(kSetup, m));
    EXPECT_NE(WSAGETSELECTERROR(m.lParam), 0);
  }
  sockets.Close(client);
  EmptyQueue();
}

TEST(Sockets, HostLookupFindsLocalhost) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  uintptr_t handle = sockets.StartHostLookup("localhost", kLookup);
  EXPECT_TRUE(handle != 0);
  MSG m;
  EXPECT_TRUE(NextMessage(kLookup, m, 15000));
  EXPECT_EQ(m.wParam, static_cast<WPARAM>(handle));
  EXPECT_EQ(int(WSAGETASYNCERROR(m.lParam)), 0);
  std::vector<tv::IpAddress> found;
  EXPECT_TRUE(sockets.HostLookupAddresses(handle, found));
  bool loopback = false;
  for (const tv::IpAddress& a : found) {
    loopback = loopback || (a.family == tv::IpFamily::V4 && a.b[0] == 127) ||
               (a.family == tv::IpFamily::V6 && a.b[15] == 1);
  }
  EXPECT_TRUE(loopback);
  EXPECT_FALSE(sockets.HostLookupAddresses(handle + 1, found));
  EmptyQueue();
}

TEST(Sockets, CancelledLookupPostsNothingLater) {
  EmptyQueue();
  WinSockets sockets;
  sockets.SetWindow(TestWindow());
  uintptr_t handle = sockets.StartHostLookup("localhost", kLookup);
  EXPECT_TRUE(handle != 0);
  sockets.CancelAsyncRequest(handle);
  Sleep(300);
  MSG m;
  // A lookup that had finished already may have posted its answer; a later
  // lookup must still work.
  PeekMessageW(&m, TestWindow(), kLookup, kLookup, PM_REMOVE);
  uintptr_t again = sockets.StartHostLookup("localhost", kLookup);
  EXPECT_TRUE(again != 0);
  EXPECT_TRUE(NextMessage(kLookup, m, 15000));
  EmptyQueue();
}

// ---------------------------------------------------------------- main window

std::wstring MenuText(HMENU menu, UINT id) {
  wchar_t text[128] = L"";
  GetMenuStringW(menu, id, text, 128, MF_BYCOMMAND);
  return text;
}

TEST(MainWindow, MainWindowIsLaidOutAtStartUp) {
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
    EXPECT_EQ(dialog.DoModal(), INT_PTR(IDCANCEL));
  }
  EXPECT_NE(main, nullptr);
  EXPECT_FALSE(dialog.Context().running);
  EXPECT_TRUE(dialog.Context().symbols.IsDefined("X"));
  EXPECT_EQ(title, std::wstring(L"Tarvelin 1.10"));
  EXPECT_EQ(script, std::wstring(L"C:\\scripty\\z profilu.tvl"));
  const long x = GetSystemMetrics(SM_CXSCREEN) > 680 ? 40 : 0;
  EXPECT_EQ(window.left, x);
  EXPECT_EQ(window.top, 40L);
  EXPECT_EQ(window.right - window.left, 640L);
  EXPECT_EQ(window.bottom - window.top, 400L);
  EXPECT_EQ(file.left, 26L);
  EXPECT_EQ(run.left, 26L);
  EXPECT_EQ(run.right, 26L + 580 + 2);  // widened by its shadow's 2 pixels
  EXPECT_EQ(edit.right, 606L);
  EXPECT_LT(file.right, edit.left);
  EXPECT_EQ(lower.left, 10L);
  EXPECT_EQ(lower.right, client.right - 10);
  EXPECT_EQ(lower.bottom, client.bottom - 10);
  EXPECT_EQ(upper.left, 10L);
  EXPECT_EQ(upper.right, client.right - 10);
  EXPECT_EQ(upper.bottom, lower.top - 6);
  // Three shadows, 4 pixels right of and below the controls' first places.
  EXPECT_EQ(shadows.size(), size_t(3));
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
  EXPECT_TRUE(shadowOf(file, true));
  EXPECT_TRUE(shadowOf(edit, false));
  EXPECT_TRUE(shadowOf(run, true));
  EXPECT_FALSE(maximize);
  EXPECT_FALSE(size);
  EXPECT_FALSE(restore);
  EXPECT_EQ(sysMenu[0], std::wstring(L"Soubor nápovědy"));
  EXPECT_EQ(sysMenu[1], std::wstring(L"Zobrazení stavu"));
  EXPECT_EQ(sysMenu[2], std::wstring(L"O verzi programu"));
  EXPECT_GT(items, 3);
  WriteProfileStringA("Tarvelin", "ScriptName", nullptr);
  EmptyQueue();
}

TEST(MainWindow, HelpFileIsFoundBesideTheProgram) {
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
    EXPECT_EQ(FindHelpFile(), std::wstring());
    WriteAll(beside, "beside");
  }
  EXPECT_EQ(lstrcmpiW(FindHelpFile().c_str(), beside.c_str()), 0);
  WriteAll(folder + L"TARVELIN.HLP", "here");
  EXPECT_EQ(lstrcmpiW(FindHelpFile().c_str(), (folder + L"TARVELIN.HLP").c_str()), 0);
  if (!hadOne) DeleteFileW(beside.c_str());
  DeleteFileW((folder + L"TARVELIN.HLP").c_str());
}

// ---------------------------------------------------------------- resources

TEST(Resources, BackgroundIsA256ColourPictureOnTheFieldColour) {
  HBITMAP bitmap = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BACKGROUND));
  ASSERT_NE(bitmap, nullptr);
  BITMAP info = {};
  GetObjectW(bitmap, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, 640L);
  EXPECT_EQ(info.bmHeight, 400L);
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDB_BACKGROUND), MAKEINTRESOURCEW(2));
  const BITMAPINFOHEADER* header =
      static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, found)));
  EXPECT_TRUE(header && header->biBitCount == 8);
  HDC dc = CreateCompatibleDC(nullptr);
  HDC screen = GetDC(nullptr);
  HBITMAP canvas = CreateCompatibleBitmap(screen, 640, 400);
  ReleaseDC(nullptr, screen);
  HGDIOBJ oldCanvas = SelectObject(dc, canvas);
  HDC source = CreateCompatibleDC(nullptr);
  HGDIOBJ oldSource = SelectObject(source, bitmap);
  BitBlt(dc, 0, 0, 640, 400, source, 0, 0, SRCCOPY);
  EXPECT_EQ(GetPixel(dc, 3, 3), RGB(33, 173, 222));
  EXPECT_EQ(GetPixel(dc, 636, 396), RGB(33, 173, 222));
  int lettering = 0;
  for (int x = 0; x < 640; x += 2) {
    if (GetPixel(dc, x, 150) != RGB(33, 173, 222)) ++lettering;
  }
  EXPECT_GT(lettering, 40);  // the name crosses the upper part
  SelectObject(source, oldSource);
  SelectObject(dc, oldCanvas);
  DeleteDC(source);
  DeleteDC(dc);
  DeleteObject(canvas);
  DeleteObject(bitmap);
}

TEST(Resources, IconAndSocketErrorTextAreThere) {
  EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINICON)), nullptr);
  wchar_t text[128] = L"";
  LoadStringW(GetModuleHandleW(nullptr), IDS_SOCKETS_FAILED, text, 128);
  EXPECT_EQ(std::wstring(text), std::wstring(L"Chyba inicializace Woknowých soketů"));
}

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}

TEST(Resources, DialogTemplatesHoldTheirControls) {
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
      {IDD_CHECK, L"Kontrola scriptu", {IDOK, 1012, 1013}},
  };
  for (const Expect& e : expected) {
    HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(e.dialog), nullptr,
                                     Quiet, 0);
    EXPECT_NE(dialog, nullptr) << "dialog " << e.dialog;
    if (!dialog) continue;
    ShowWindow(dialog, SW_HIDE);
    wchar_t title[128] = L"";
    GetWindowTextW(dialog, title, 128);
    EXPECT_EQ(std::wstring(title), std::wstring(e.title));
    for (int id : e.controls) {
      EXPECT_NE(GetDlgItem(dialog, id), nullptr) << "dialog " << e.dialog << ", control " << id;
    }
    DestroyWindow(dialog);
  }
  HWND main =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, Quiet, 0);
  ShowWindow(main, SW_HIDE);
  wchar_t caption[128] = L"";
  GetDlgItemTextW(main, IDC_RUN, caption, 128);
  EXPECT_EQ(std::wstring(caption), std::wstring(L"&Spuštění scriptu"));
  GetDlgItemTextW(main, IDC_CHOOSE_SCRIPT, caption, 128);
  EXPECT_EQ(std::wstring(caption), std::wstring(L"&Výběr souboru se scriptem"));
  EXPECT_NE(GetWindowLongW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  EXPECT_EQ(GetWindowLongW(main, GWL_STYLE) & WS_MAXIMIZEBOX, 0);
  EXPECT_EQ(GetWindowLongW(GetDlgItem(main, IDC_RUN), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
  DestroyWindow(main);
  HWND connect = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECT_PARAMS),
                                    nullptr, Quiet, 0);
  EXPECT_NE(GetWindowLongW(GetDlgItem(connect, IDC_PORT), GWL_STYLE) & ES_NUMBER, 0);
  DestroyWindow(connect);
  HWND state =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_STATE), nullptr, Quiet, 0);
  EXPECT_NE(GetWindowLongW(GetDlgItem(state, IDC_SYMBOLS), GWL_STYLE) & LBS_SORT, 0);
  EXPECT_NE(GetWindowLongW(GetDlgItem(state, IDC_COUNTERS), GWL_STYLE) & LBS_SORT, 0);
  DestroyWindow(state);
  // The check dialog can be resized; its findings wrap instead of
  // scrolling sideways.
  HWND check =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CHECK), nullptr, Quiet, 0);
  EXPECT_NE(GetWindowLongW(check, GWL_STYLE) & WS_THICKFRAME, 0);
  const LONG findings = GetWindowLongW(GetDlgItem(check, IDC_CHECK_TEXT), GWL_STYLE);
  EXPECT_EQ(findings & (ES_AUTOHSCROLL | WS_HSCROLL), 0);
  EXPECT_NE(findings & WS_VSCROLL, 0);
  DestroyWindow(check);
}

// The version resource carries the project's version (CMakeLists.txt) and
// the product's name.
TEST(Resources, VersionInformationIsTheProjects) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0);
  std::vector<char> data(size);
  EXPECT_TRUE(GetFileVersionInfoW(path, 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  EXPECT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  if (fixed) {
    EXPECT_EQ(fixed->dwFileVersionMS,
              DWORD(MAKELONG(TARVELIN_VERSION_MINOR, TARVELIN_VERSION_MAJOR)));
  }
  const std::pair<const wchar_t*, std::wstring> strings[] = {
      {L"\\StringFileInfo\\040504e2\\FileVersion", ToWide(TARVELIN_VERSION_TEXT)},
      {L"\\StringFileInfo\\040504e2\\ProductName", L"Tarvelin"}};
  for (const auto& [name, expected] : strings) {
    wchar_t* text = nullptr;
    EXPECT_TRUE(VerQueryValueW(data.data(), name, reinterpret_cast<void**>(&text), &length))
        << name;
    if (text) {
      EXPECT_EQ(std::wstring(text), expected);
    }
  }
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

TEST(Patterns, PatternsOverLongLinesStayWithinTheStackAndTime) {
  const DWORD start = GetTickCount();
  EXPECT_EQ(SearchHostilePatterns(), 7);
  const DWORD onMain = GetTickCount() - start;
  int result = 0;
  HANDLE thread = CreateThread(nullptr, 128 * 1024, HostileOnSmallStack, &result,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_NE(thread, nullptr);
  if (thread) {
    EXPECT_EQ(WaitForSingleObject(thread, 60000), DWORD(WAIT_OBJECT_0));
    CloseHandle(thread);
    EXPECT_EQ(result, 7);
  }
  std::printf("  hostile patterns over 4096-byte lines: %lu ms on the main thread\n",
              static_cast<unsigned long>(onMain));
  EXPECT_LT(onMain, 20000);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  int result = RUN_ALL_TESTS();
  WSACleanup();
  return result;
}
