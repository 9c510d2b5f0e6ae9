#include "win32/text.h"

#include "win32/winapi.h"

namespace tv::win {

std::wstring ToWide(const Bytes& text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(kCzechCodePage, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(kCzechCodePage, 0, text.data(), length, &wide[0], needed);
  return wide;
}

Bytes FromWide(const std::wstring& text) {
  if (text.empty()) return Bytes();
  const int length = static_cast<int>(text.size());
  int needed =
      WideCharToMultiByte(kCzechCodePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  Bytes bytes(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(kCzechCodePage, 0, text.data(), length, &bytes[0], needed, "?", nullptr);
  return bytes;
}

Bytes FromWide(const wchar_t* text) {
  return FromWide(std::wstring(text ? text : L""));
}

std::wstring ArgumentsAfterProgramName(const wchar_t* commandLine) {
  const wchar_t* p = commandLine ? commandLine : L"";
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p > L' ') ++p;
  }
  while (*p && *p <= L' ') ++p;
  return std::wstring(p);
}

}  // namespace tv::win
