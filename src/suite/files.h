// The suite runner's file helpers: paths, the run folders and their removal,
// copies, and reading the end of a file.
#pragma once

#include <string>

namespace tv::suite {

// The monotonic clock, in seconds.
double Now();

// strerror of errno.
std::string ErrnoText();

bool IsRegularFile(const std::string& path);

// path behind the current folder unless it is absolute ("./" in front
// dropped); links are not resolved.
std::string AbsolutePath(const std::string& path);

std::string BaseName(const std::string& path);
std::string FolderOf(const std::string& path);

// dir/NAME.tvl with another ending: dir/NAME.stdin, dir/NAME.args.
std::string Companion(const std::string& script, const char* ending);

// A new folder parent/name, or parent/name.2, name.3 ... when it is taken.
bool MakeFreshFolder(const std::string& parent, const std::string& name, std::string& made);

// The folder and the ones above it that are missing.
bool MakeFolders(const std::string& path);

// Removes a folder and everything below it; symbolic links are removed,
// never followed.
void RemoveTree(const std::string& path);

// A new file to (it must not exist yet) with the bytes of from.
bool CopyFile(const std::string& from, const std::string& to);

// from renamed to to, or copied and removed when they are on different file
// systems.
bool MoveFile(const std::string& from, const std::string& to);

// A name in folder that is not taken yet: name, name.2, name.3 ...
std::string FreeName(const std::string& folder, const std::string& name);

// At most max bytes from the end of the file; total gets its size.
bool ReadFileTail(const std::string& path, size_t max, std::string& out, size_t& total);

}  // namespace tv::suite
