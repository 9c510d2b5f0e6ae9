#include "engine/pattern.h"

#include <cstring>
#include <string_view>

#include "engine/pattern_compile.h"
#include "engine/pattern_match.h"
#include "engine/pattern_parse.h"

// A pattern is read (pattern_parse), compiled (pattern_compile) and run
// (pattern_match); what a line must hold for it to match is tested before
// the matcher runs.

namespace tv {

namespace {

constexpr char kCaseInsensitive[] = "(?i)";

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualFolded(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// What a line must hold for the pattern to match, read from the pattern's
// start: an optional ^, then plain characters up to the first node that is
// anything else. A pattern made only of that (with an optional $ at its end)
// needs no matcher at all.
struct Literal {
  Bytes text;
  bool atStart = false;  // the text must begin the line
  bool atEnd = false;    // ... and end it (only in a whole literal)
  bool whole = false;    // the pattern is the literal and nothing else
  bool useful = false;   // there is a test to make
};

bool IsAssert(const regex::Node& n, regex::Assertion a) {
  return n.kind == regex::Node::Kind::Assert && n.assertion == a;
}

Literal ReadLiteral(const regex::Node& root) {
  using Kind = regex::Node::Kind;
  Literal lit;
  if (root.kind == Kind::Alt) return lit;
  const regex::Node* items = &root;
  size_t n = 1;
  if (root.kind == Kind::Concat) {
    items = root.kids.data();
    n = root.kids.size();
  } else if (root.kind == Kind::Empty) {
    n = 0;
  }
  size_t i = 0;
  if (n > 0 && IsAssert(items[0], regex::Assertion::LineStart)) {
    lit.atStart = true;
    i = 1;
  }
  for (; i < n && items[i].kind == Kind::Char && items[i].code <= 255; ++i) {
    lit.text.push_back(static_cast<char>(items[i].code));
  }
  if (i + 1 == n && IsAssert(items[i], regex::Assertion::LineEnd)) {
    lit.atEnd = true;
    ++i;
  }
  lit.whole = i == n;
  if (!lit.whole) lit.atEnd = false;
  lit.useful = lit.whole || !lit.text.empty();
  return lit;
}

// Whether the line passes the literal test (for a whole literal: whether it
// matches).
bool PassesLiteral(const Literal& lit, bool icase, const char* line, size_t len) {
  const size_t k = lit.text.size();
  if (k > len) return false;
  const char* t = lit.text.data();
  auto equal = [&](const char* at) {
    return icase ? EqualFolded(at, t, k) : std::memcmp(at, t, k) == 0;
  };
  if (lit.atStart && lit.atEnd) return k == len && equal(line);
  if (lit.atStart) return equal(line);
  if (lit.atEnd) return equal(line + len - k);
  if (k == 0) return true;
  if (!icase)
    return std::string_view(line, len).find(std::string_view(t, k)) != std::string_view::npos;
  for (size_t at = 0; at + k <= len; ++at) {
    if (equal(line + at)) return true;
  }
  return false;
}

}  // namespace

struct Pattern::Impl {
  regex::Program prog;
  size_t groups = 0;
  bool icase = false;
  Literal literal;
  mutable std::unique_ptr<regex::Matcher> matcher;  // its lists, kept from search to search
  mutable std::vector<int> caps;

  bool Run(const char* line, size_t len) const {
    if (!matcher) matcher = std::make_unique<regex::Matcher>(prog);
    return matcher->Search(reinterpret_cast<const unsigned char*>(line), len, caps);
  }
};

Pattern::Pattern() = default;
Pattern::~Pattern() = default;
Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;

bool Pattern::Compile(const Bytes& text, Bytes& reason) {
  impl_.reset();
  auto impl = std::make_unique<Impl>();
  Bytes body = text;
  if (body.compare(0, sizeof kCaseInsensitive - 1, kCaseInsensitive) == 0) {
    impl->icase = true;
    body.erase(0, sizeof kCaseInsensitive - 1);
  }
  regex::Tree tree;
  if (!regex::Parse(body, impl->icase, tree, reason)) return false;
  if (!regex::Compile(tree, impl->prog)) {
    reason = regex::kReasonTooLarge;
    return false;
  }
  impl->groups = static_cast<size_t>(tree.groups);
  impl->literal = ReadLiteral(tree.root);
  impl_ = std::move(impl);
  return true;
}

size_t Pattern::GroupCount() const {
  return impl_ ? impl_->groups : 0;
}

bool Pattern::Search(const char* line, size_t len) const {
  if (!impl_) return false;
  const Literal& lit = impl_->literal;
  if (lit.useful) {
    const bool passes = PassesLiteral(lit, impl_->icase, line, len);
    if (!passes || lit.whole) return passes;
  }
  return impl_->Run(line, len);
}

bool Pattern::SearchWithoutPrefilter(const char* line, size_t len) const {
  return impl_ && impl_->Run(line, len);
}

bool Pattern::Search(const char* line, size_t len, std::vector<Group>& groups) const {
  groups.clear();
  if (!impl_) return false;
  if (impl_->literal.useful && !PassesLiteral(impl_->literal, impl_->icase, line, len)) {
    return false;
  }
  if (!impl_->Run(line, len)) return false;
  groups.resize(impl_->groups + 1);
  for (size_t k = 0; k <= impl_->groups; ++k) {
    const int from = impl_->caps[2 * k];
    const int to = impl_->caps[2 * k + 1];
    groups[k].matched = from >= 0 && to >= 0;
    if (groups[k].matched) {
      groups[k].text.assign(line + from, static_cast<size_t>(to - from));
    } else {
      groups[k].text.clear();
    }
  }
  return true;
}

}  // namespace tv
