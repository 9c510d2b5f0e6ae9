#include "shell/paths.h"

namespace tv {

Bytes ResolveWindowsPath(const Bytes& name, const Bytes& base) {
  if (name.compare(0, 2, "\\\\") == 0 || (name.size() >= 2 && name[1] == ':')) return name;
  size_t cut = base.rfind('\\');
  Bytes folder = cut == Bytes::npos ? Bytes() : base.substr(0, cut + 1);
  if (!name.empty() && name[0] == '\\') {
    size_t slash = folder.size() > 2 ? folder.find('\\', 2) : Bytes::npos;
    if (slash == Bytes::npos) return name;
    return folder.substr(0, slash) + name;
  }
  return folder + name;
}

Bytes ResolvePosixPath(const Bytes& name, const Bytes& base) {
  if (!name.empty() && name[0] == '/') return name;
  size_t cut = base.rfind('/');
  if (cut == Bytes::npos) return name;
  return base.substr(0, cut + 1) + name;
}

Bytes ResolveScriptRelativePath(const FileSystem& files, const Bytes& name, const Bytes& base) {
  return files.Syntax() == PathSyntax::Windows ? ResolveWindowsPath(name, base)
                                               : ResolvePosixPath(name, base);
}

}  // namespace tv
