#include "net/escape.h"

namespace tv {

void EscapeForLog(std::string& out, const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
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
  }
}

}  // namespace tv
