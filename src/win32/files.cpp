#include "win32/files.h"

#include "win32/winapi.h"

#include <vector>

#include "win32/text.h"

namespace tv::win {

namespace {

class HandleFile : public OutFile {
 public:
  explicit HandleFile(HANDLE handle) : handle_(handle) {}
  ~HandleFile() override { CloseHandle(handle_); }
  HandleFile(const HandleFile&) = delete;
  HandleFile& operator=(const HandleFile&) = delete;

  bool Write(const char* data, size_t len) override {
    while (len > 0) {
      DWORD chunk = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
      DWORD written = 0;
      if (!WriteFile(handle_, data, chunk, &written, nullptr) || written == 0) return false;
      data += written;
      len -= written;
    }
    return true;
  }
  // Every write goes straight to the system, so there is nothing of ours to
  // flush; the system writes it to the disk in its own time.
  bool Flush() override { return true; }

 private:
  HANDLE handle_;
};

class WholeScript : public ScriptFile {
 public:
  WholeScript(Bytes text, Bytes fullPath)
      : text_(std::move(text)), fullPath_(std::move(fullPath)) {}

  Read ReadLine(Bytes& line) override {
    if (pos_ >= text_.size()) return Read::End;
    size_t lf = text_.find('\n', pos_);
    size_t end = lf == Bytes::npos ? text_.size() : lf;
    line.assign(text_, pos_, end - pos_);
    if (lf != Bytes::npos && !line.empty() && line.back() == '\r') line.pop_back();
    pos_ = lf == Bytes::npos ? text_.size() : lf + 1;
    lf_ = lf != Bytes::npos;
    return Read::Line;
  }
  bool Rewind() override {
    pos_ = 0;
    return true;
  }
  bool LineEndedWithLf() const override { return lf_; }
  const Bytes& FullPath() const override { return fullPath_; }

 private:
  Bytes text_;
  Bytes fullPath_;
  size_t pos_ = 0;
  bool lf_ = false;
};

}  // namespace

Bytes FullPathOf(const Bytes& name) {
  std::wstring wide = ToWide(name);
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return name;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return name;
  full.resize(length);
  return FromWide(full);
}

Bytes RelativeToFolder(const Bytes& path, const Bytes& folder) {
  if (folder.empty() || path.size() <= folder.size()) return path;
  const std::wstring head = ToWide(path.substr(0, folder.size()));
  const std::wstring base = ToWide(folder);
  if (CompareStringOrdinal(head.c_str(), static_cast<int>(head.size()), base.c_str(),
                           static_cast<int>(base.size()), TRUE) != CSTR_EQUAL) {
    return path;
  }
  return path.substr(folder.size());
}

std::unique_ptr<OutFile> Win32Files::CreateLog(const Bytes& name) {
  if (name.empty()) return nullptr;
  HANDLE handle = CreateFileW(ToWide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<HandleFile>(handle);
}

std::unique_ptr<ScriptFile> Win32Files::OpenScript(const Bytes& name, ScriptRefusal* why) {
  if (why) *why = ScriptRefusal::Unreadable;
  if (name.empty()) return nullptr;
  HANDLE handle = CreateFileW(ToWide(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // A device or a pipe never ends; a huge file would take all memory.
  LARGE_INTEGER size = {};
  const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
  if (!disk || !GetFileSizeEx(handle, &size) ||
      static_cast<unsigned long long>(size.QuadPart) > kMaxScriptBytes) {
    if (why) *why = disk ? ScriptRefusal::TooLarge : ScriptRefusal::NotRegular;
    CloseHandle(handle);
    return nullptr;
  }
  // Scripts are small: the whole file is read at once, and the handle stays
  // open until the script is closed so that nobody rewrites it meanwhile.
  Bytes text;
  std::vector<char> chunk(65536);
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text.append(chunk.data(), got);
    if (text.size() > kMaxScriptBytes) {
      if (why) *why = ScriptRefusal::TooLarge;
      ok = false;
      break;
    }
  }
  if (!ok) {
    CloseHandle(handle);
    return nullptr;
  }
  class OpenScript : public WholeScript {
   public:
    OpenScript(HANDLE h, Bytes t, Bytes p) : WholeScript(std::move(t), std::move(p)), handle_(h) {}
    ~OpenScript() override { CloseHandle(handle_); }
    OpenScript(const OpenScript&) = delete;
    OpenScript& operator=(const OpenScript&) = delete;

   private:
    HANDLE handle_;
  };
  return std::make_unique<OpenScript>(handle, std::move(text), FullPathOf(name));
}

std::unique_ptr<OutFile> Win32Files::CreateCapture(const Bytes& name) {
  if (name.empty()) return nullptr;
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = FALSE;
  HANDLE handle = CreateFileW(ToWide(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              &security, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<HandleFile>(handle);
}

std::unique_ptr<OutFile> Win32Files::AppendCapture(const Bytes& name) {
  if (name.empty()) return nullptr;
  // Appending access only: every write goes to the end of the file.
  HANDLE handle = CreateFileW(ToWide(name).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<HandleFile>(handle);
}

bool Win32Files::FileExists(const Bytes& name) {
  if (name.empty()) return false;
  const DWORD attributes = GetFileAttributesW(ToWide(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Win32Files::FolderOfExists(const Bytes& name) {
  const size_t cut = name.find_last_of("\\/:");
  if (cut == Bytes::npos) return true;  // the current folder
  Bytes folder = name.substr(0, cut + 1);
  if (folder.size() > 1 && folder.back() != ':' && !(folder.size() == 3 && folder[1] == ':')) {
    folder.pop_back();  // "D:\" and "D:" name their drive's folders as they are
  }
  const DWORD attributes = GetFileAttributesW(ToWide(folder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Bytes Win32Profile::GetString(const char* key, const Bytes& fallback, size_t maxChars) {
  std::vector<char> buffer(maxChars + 1, '\0');
  DWORD length = GetProfileStringA("Tarvelin", key, fallback.c_str(), buffer.data(),
                                   static_cast<DWORD>(buffer.size()));
  return Bytes(buffer.data(), length);
}

void Win32Profile::SetString(const char* key, const Bytes& value) {
  WriteProfileStringA("Tarvelin", key, value.c_str());
}

}  // namespace tv::win
