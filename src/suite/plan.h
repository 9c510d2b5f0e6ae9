// Which scripts a suite runs and the names the reports give them: paths
// relative to the root folder, a stable split into shards, the patterns that
// pick scripts and leave them out.
#pragma once

#include <string>
#include <vector>

#include "suite/options.h"

namespace tv::suite {

struct Planned {
  size_t index = 0;       // the position on the command line
  std::string given;      // as the command line names it
  std::string name;       // in reports: relative to the root, unique in the suite
  std::string className;  // the folders of name joined by dots; "tarvelin" for none
};

// path with "." and "x/.." taken out and repeated slashes made one; path
// must be absolute.
std::string NormalPath(const std::string& path);

// The absolute path as seen from the absolute folder root: never absolute,
// with ".." where path lies outside root.
std::string RelativePath(const std::string& path, const std::string& root);

std::string ClassNameOf(const std::string& name);

// Whether the name falls into shard k of n (from 1): the same name always
// into the same one, every name into exactly one.
bool InShard(const std::string& name, int k, int n);

// A pattern with a slash is matched with the whole name, one without it with
// the last part of the name.
bool Matches(const std::string& pattern, const std::string& name);

// The scripts of the command line that the shard and the patterns leave, in
// their order; root is absolute. A name given more than once gets " (2)",
// " (3)" ... after its later copies.
std::vector<Planned> MakePlan(const Options& o, const std::string& root);

}  // namespace tv::suite
