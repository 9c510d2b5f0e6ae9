// tarvelin-record.exe: the recorder as a Windows console program. Its texts
// go to a console as UTF-16 and into a pipe or a file as UTF-8, as the
// headless program's do.
#include <windows.h>

#include <shellapi.h>
#include <tarvelin_version.h>

#include <string>
#include <vector>

#include "record/program.h"
#include "win32/recordrelay.h"

namespace {

std::wstring Wide(const std::string& text, UINT codePage) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& text, UINT codePage) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
  return out;
}

void Print(const tv::Bytes& cp1250) {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  const std::wstring wide = Wide(cp1250, 1250);
  DWORD mode = 0, written = 0;
  if (::GetConsoleMode(err, &mode)) {
    ::WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  const std::string utf8 = Narrow(wide, CP_UTF8);
  ::WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.push_back(Narrow(argv[i], 1250));
  if (argv) ::LocalFree(argv);
  if (tv::record::AsksForVersion(args)) {
    const std::string line = "tarvelin-record " TARVELIN_VERSION_TEXT "\n";
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(),
                       static_cast<DWORD>(line.size()), &written, nullptr)
               ? 0
               : 2;
  }
  tv::win32::SocketRelay relay;
  return tv::record::RunRecorder(args, relay, Print);
}
