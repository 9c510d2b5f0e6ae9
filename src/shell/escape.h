// Data bytes written to the log readably: printable bytes as they are, the
// rest as the backslash escapes that quoted strings in scripts understand.
#pragma once

#include <cstddef>
#include <string>

namespace tv {

// Appends the escaped form of len bytes to out.
void EscapeForLog(std::string& out, const char* data, size_t len);

}  // namespace tv
