#include "suite/plan.h"

#include <fnmatch.h>

#include <cstdint>
#include <set>

#include "suite/files.h"

namespace tv::suite {

namespace {

std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  return parts;
}

}  // namespace

std::string NormalPath(const std::string& path) {
  std::string out;
  for (const std::string& part : Parts(path)) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string RelativePath(const std::string& path, const std::string& root) {
  const std::vector<std::string> to = Parts(path), from = Parts(root);
  size_t same = 0;
  while (same < to.size() && same < from.size() && to[same] == from[same]) ++same;
  std::string out;
  for (size_t i = same; i < from.size(); ++i) out += "../";
  for (size_t i = same; i < to.size(); ++i) out += to[i] + (i + 1 < to.size() ? "/" : "");
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out.empty() ? "." : out;
}

std::string ClassNameOf(const std::string& name) {
  std::string out;
  for (const std::string& part : Parts(FolderOf(name))) {
    if (!out.empty()) out += ".";
    out += part;
  }
  // Dots at the start would make an empty package.
  while (!out.empty() && out[0] == '.') out.erase(0, 1);
  return out.empty() ? "tarvelin" : out;
}

bool InShard(const std::string& name, int k, int n) {
  // FNV-1a: the same on every machine and in every build.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char ch : name) {
    hash ^= ch;
    hash *= 1099511628211ull;
  }
  return static_cast<int>(hash % static_cast<uint64_t>(n)) == k - 1;
}

bool Matches(const std::string& pattern, const std::string& name) {
  const std::string subject = pattern.find('/') == std::string::npos ? BaseName(name) : name;
  return fnmatch(pattern.c_str(), subject.c_str(), 0) == 0;
}

std::vector<Planned> MakePlan(const Options& o, const std::string& root) {
  std::vector<Planned> plan;
  std::set<std::string> used;
  for (size_t i = 0; i < o.scripts.size(); ++i) {
    Planned p;
    p.index = i;
    p.given = o.scripts[i];
    p.name = RelativePath(NormalPath(AbsolutePath(p.given)), root);
    if (o.shards > 0 && !InShard(p.name, o.shard, o.shards)) continue;
    bool picked = o.filters.empty();
    for (const std::string& f : o.filters) picked = picked || Matches(f, p.name);
    for (const std::string& e : o.excludes) picked = picked && !Matches(e, p.name);
    if (!picked) continue;
    p.className = ClassNameOf(p.name);
    const std::string base = p.name;
    for (int copy = 2; !used.insert(p.name).second; ++copy) {
      p.name = base + " (" + std::to_string(copy) + ")";
    }
    plan.push_back(p);
  }
  return plan;
}

}  // namespace tv::suite
