// File names in scripts are relative to the folder of the script that runs
// the command. The rules are the same on every platform that writes its
// names the same way, so they are written once, here, over the host's
// PathSyntax.
#pragma once

#include "host/host.h"

namespace tv {

// name resolved against the full path of the script that uses it.
Bytes ResolveScriptRelativePath(const FileSystem& files, const Bytes& name, const Bytes& base);

// The Windows program's rule: "\\server\x" and "D:x" stay, "\x" goes behind
// the drive of base, anything else behind the folder of base.
Bytes ResolveWindowsPath(const Bytes& name, const Bytes& base);
// The headless program's rule: "/x" stays, anything else goes behind the
// folder of base.
Bytes ResolvePosixPath(const Bytes& name, const Bytes& base);

}  // namespace tv
