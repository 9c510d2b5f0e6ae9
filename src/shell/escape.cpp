#include "shell/escape.h"

namespace tv {

static bool Plain(unsigned char b) {
  return b >= 32 && b != 92 && b != 127 && b != 255;
}

void EscapeForLog(std::string& out, const char* data, size_t len) {
  // Runs of plain bytes are appended whole; a line of a text protocol is
  // usually one run.
  size_t i = 0;
  while (i < len) {
    size_t run = i;
    while (run < len && Plain(static_cast<unsigned char>(data[run]))) ++run;
    out.append(data + i, run - i);
    if (run == len) break;
    i = run;
    unsigned char b = static_cast<unsigned char>(data[i]);
    char letter = 0;
    switch (b) {
      case 7:
        letter = 'b';
        break;
      case 9:
        letter = 't';
        break;
      case 10:
        letter = 'n';
        break;
      case 12:
        letter = 'f';
        break;
      case 13:
        letter = 'r';
        break;
      case 27:
        letter = 'e';
        break;
      case 92:
        letter = '\\';
        break;
      default:
        break;
    }
    if (letter) {
      out.push_back('\\');
      out.push_back(letter);
    } else if (b < 32 || b == 127 || b == 255) {
      out.push_back('\\');
      out.push_back(static_cast<char>('0' + b / 100));
      out.push_back(static_cast<char>('0' + b / 10 % 10));
      out.push_back(static_cast<char>('0' + b % 10));
    } else {
      out.push_back(static_cast<char>(b));
    }
    ++i;
  }
}

}  // namespace tv
