// Files and the profile of the Windows program. File names are Windows-1250
// bytes inside the program and are opened through the wide file API.
#pragma once

#include "host/host.h"

namespace tv::win {

class Win32Files : public FileSystem {
 public:
  // The log: created or emptied, other writers denied.
  std::unique_ptr<OutFile> CreateLog(const Bytes& name) override;
  // Scripts: read-only, other writers denied; lines end at LF.
  std::unique_ptr<ScriptFile> OpenScript(const Bytes& name, ScriptRefusal* why) override;
  // Capture files: created or emptied, readable by others while open.
  std::unique_ptr<OutFile> CreateCapture(const Bytes& name) override;
  std::unique_ptr<OutFile> AppendCapture(const Bytes& name) override;
  PathSyntax Syntax() const override { return PathSyntax::Windows; }
  bool FileExists(const Bytes& name) override;
  bool FolderOfExists(const Bytes& name) override;
};

// The full path of a file name, as the system completes it against the
// current directory.
Bytes FullPathOf(const Bytes& name);

// A full path relative to folder (a full path ending with its separator)
// when it lies in that folder or below, compared as the system compares
// names (without regard to case); otherwise the path as it is.
Bytes RelativeToFolder(const Bytes& path, const Bytes& folder);

// Section "Tarvelin" of the user's profile, through the system's profile
// functions (bytes in, the same bytes out).
class Win32Profile : public Profile {
 public:
  Bytes GetString(const char* key, const Bytes& fallback, size_t maxChars) override;
  void SetString(const char* key, const Bytes& value) override;
};

}  // namespace tv::win
