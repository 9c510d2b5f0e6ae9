// testpeer: a scripted TCP peer on the loopback for behaviour tests and
// benchmarks. It reads a dialogue (one action per line) from a file or from
// standard input, opens the listening sockets the dialogue names, prints
// "ready" on standard output and then plays the actions in order. Every action
// has a time limit; the first failure is described on standard error and ends
// the peer with status 1. Status 2: a bad command line or dialogue.
//
//   testpeer [-t MS] [-v] [FILE | -]
//
// Actions (words separated by blanks; "..." strings take C escapes
// \r \n \t \0 \a \b \e \f \v \\ \" \xNN, and several strings in a row are
// joined; blank lines and lines beginning with # are ignored):
//
//   listen PORT [ADDR] accept one client on 127.0.0.1:PORT, or on ADDR (an
//                      IPv4 or IPv6 address such as ::1); the listening
//                      socket is opened before "ready" and kept to the end
//   listen-full PORT   a listening socket on PORT whose queue is full, so that
//                      a connect to it hangs (set up before "ready")
//   connect HOST PORT  connect, retrying until the server is up (HOST: a name,
//                      an IPv4 address or an IPv6 address, [::1] or ::1)
//   send STR...        send the bytes
//   expect STR...      the next bytes that arrive must be exactly these
//   read-line          read and drop bytes up to and including the next LF
//   expect-eof         read and drop everything until the other side closes
//                      or resets the connection
//   sleep MS           pause
//   drip STR MS        send one byte at a time, pausing MS after each
//   flood N            send N bytes 'x' without a line end
//   lines N LEN [STR]  send N lines of LEN bytes (STR repeated, default "x")
//                      each followed by CR LF, in big writes
//   noread [MS]        do not read: hold the connection for MS milliseconds,
//                      or without MS until the other side closes or resets it
//                      (a failure when the time limit comes first)
//   shutdown           stop sending (the other side reads end of data)
//   close              close the connection
//   reset              close the connection with a reset (linger 0)
//   wait-ms MS         time limit of each following action (default 10000)
//   rcvbuf N           receive buffer size of the connections made after it
//
// The connection left open at the end is closed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Arg {
  bool quoted = false;
  std::string text;
};

struct Action {
  int line = 0;
  std::string verb;
  std::vector<Arg> args;
};

struct Failure {
  std::string text;
};

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw Failure{text};
}

// Bytes shown readably in messages: printable ASCII as it is, the rest as
// C escapes, cut after a few hundred bytes.
std::string Show(const std::string& bytes, size_t limit = 300) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c >= 32 && c < 127) {
          out += static_cast<char>(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  out += "\"";
  if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits one dialogue line into words and strings.
bool SplitLine(const std::string& line, std::vector<Arg>& args, std::string& error) {
  size_t p = 0;
  for (;;) {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r')) ++p;
    if (p >= line.size()) return true;
    Arg arg;
    if (line[p] != '"') {
      while (p < line.size() && line[p] != ' ' && line[p] != '\t' && line[p] != '\r') {
        arg.text += line[p++];
      }
      args.push_back(arg);
      continue;
    }
    arg.quoted = true;
    ++p;
    for (;;) {
      if (p >= line.size()) {
        error = "string not closed";
        return false;
      }
      char c = line[p++];
      if (c == '"') break;
      if (c != '\\') {
        arg.text += c;
        continue;
      }
      if (p >= line.size()) {
        error = "backslash at the end of the line";
        return false;
      }
      char e = line[p++];
      switch (e) {
        case 'r':
          arg.text += '\r';
          break;
        case 'n':
          arg.text += '\n';
          break;
        case 't':
          arg.text += '\t';
          break;
        case '0':
          arg.text += '\0';
          break;
        case 'a':
          arg.text += '\a';
          break;
        case 'b':
          arg.text += '\b';
          break;
        case 'e':
          arg.text += '\x1b';
          break;
        case 'f':
          arg.text += '\f';
          break;
        case 'v':
          arg.text += '\v';
          break;
        case '\\':
        case '"':
          arg.text += e;
          break;
        case 'x': {
          int hi = p < line.size() ? HexDigit(line[p]) : -1;
          int lo = p + 1 < line.size() ? HexDigit(line[p + 1]) : -1;
          if (hi < 0 || lo < 0) {
            error = "\\x needs two hex digits";
            return false;
          }
          arg.text += static_cast<char>(hi * 16 + lo);
          p += 2;
          break;
        }
        default:
          error = std::string("unknown escape \\") + e;
          return false;
      }
    }
    args.push_back(arg);
  }
}

bool ParseCount(const std::string& word, long long& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != 0 || v < 0) return false;
  value = v;
  return true;
}

// The shape of each action's arguments: W a word, N a count, S one or more
// strings; a lower-case letter marks an optional argument at the end.
const std::map<std::string, std::string> kShapes = {
    {"listen", "Nw"},  {"listen-full", "N"}, {"connect", "WN"}, {"send", "S"},  {"expect", "S"},
    {"read-line", ""}, {"expect-eof", ""},   {"sleep", "N"},    {"drip", "SN"}, {"flood", "N"},
    {"lines", "NNs"},  {"noread", "n"},      {"shutdown", ""},  {"close", ""},  {"reset", ""},
    {"wait-ms", "N"},  {"rcvbuf", "N"},
};

// Checks the arguments against the shape and joins strings in a row into one.
bool CheckShape(Action& action, std::string& error) {
  auto shape = kShapes.find(action.verb);
  if (shape == kShapes.end()) {
    error = "unknown action " + action.verb;
    return false;
  }
  std::vector<Arg> joined;
  for (const Arg& arg : action.args) {
    if (arg.quoted && !joined.empty() && joined.back().quoted) {
      joined.back().text += arg.text;
    } else {
      joined.push_back(arg);
    }
  }
  action.args = joined;
  const std::string& want = shape->second;
  size_t required = 0;
  for (char c : want) required += (c >= 'A' && c <= 'Z') ? 1 : 0;
  if (action.args.size() < required || action.args.size() > want.size()) {
    error = action.verb + ": wrong number of arguments";
    return false;
  }
  for (size_t i = 0; i < action.args.size(); ++i) {
    char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(want[i])));
    const Arg& arg = action.args[i];
    long long n = 0;
    if (kind == 'S' && !arg.quoted) {
      error = action.verb + ": argument " + std::to_string(i + 1) + " must be a quoted string";
      return false;
    }
    if (kind == 'N' && (arg.quoted || !ParseCount(arg.text, n))) {
      error = action.verb + ": argument " + std::to_string(i + 1) + " must be a number";
      return false;
    }
    if (kind == 'W' && arg.quoted) {
      error = action.verb + ": argument " + std::to_string(i + 1) + " must be a word";
      return false;
    }
  }
  return true;
}

bool ParseDialogue(std::istream& in, std::vector<Action>& actions) {
  std::string line;
  int number = 0;
  bool ok = true;
  while (std::getline(in, line)) {
    ++number;
    Action action;
    action.line = number;
    std::string error;
    std::vector<Arg> args;
    if (!SplitLine(line, args, error)) {
      std::fprintf(stderr, "testpeer: line %d: %s\n", number, error.c_str());
      ok = false;
      continue;
    }
    if (args.empty() || (!args[0].quoted && args[0].text[0] == '#')) continue;
    if (args[0].quoted) {
      std::fprintf(stderr, "testpeer: line %d: an action must begin with its name\n", number);
      ok = false;
      continue;
    }
    action.verb = args[0].text;
    action.args.assign(args.begin() + 1, args.end());
    if (!CheckShape(action, error)) {
      std::fprintf(stderr, "testpeer: line %d: %s\n", number, error.c_str());
      ok = false;
      continue;
    }
    actions.push_back(action);
  }
  return ok;
}

long long Number(const Action& action, size_t i) {
  long long v = 0;
  ParseCount(action.args[i].text, v);
  return v;
}

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in LoopbackAddress(long long port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A numeric IPv4 or IPv6 address (the latter also in brackets) with a port;
// the length of the address, 0 when the text is no such address.
socklen_t NumericAddress(std::string text, long long port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *v4;
  }
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *v6;
  }
  return 0;
}

class Peer {
 public:
  Peer(long long limitMs, bool trace) : limitMs_(limitMs), trace_(trace) {}
  ~Peer() {
    CloseConnection();
    for (auto& listener : listeners_) close(listener.second);
    for (int fd : fillers_) close(fd);
  }

  // Opens every listening socket the dialogue names.
  void Prepare(const std::vector<Action>& actions) {
    for (const Action& action : actions) {
      if (action.verb == "listen") {
        long long port = Number(action, 0);
        if (!listeners_.count(port)) listeners_[port] = OpenListener(action, port, 16);
      } else if (action.verb == "listen-full") {
        PrepareFullListener(action, Number(action, 0));
      }
    }
  }

  void Run(const Action& action) {
    deadline_ = Clock::now() + std::chrono::milliseconds(limitMs_);
    if (trace_) {
      std::fprintf(stderr, "testpeer: line %d: %s\n", action.line, action.verb.c_str());
    }
    const std::string& verb = action.verb;
    if (verb == "listen") {
      AcceptClient(action);
    } else if (verb == "listen-full") {
      // Set up before the dialogue started.
    } else if (verb == "connect") {
      ConnectTo(action);
    } else if (verb == "send") {
      SendAll(Connected(action), action.args[0].text.data(), action.args[0].text.size());
    } else if (verb == "expect") {
      Expect(action);
    } else if (verb == "read-line") {
      ReadLine(action);
    } else if (verb == "expect-eof") {
      ExpectEof(action);
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(Number(action, 0)));
    } else if (verb == "drip") {
      Drip(action);
    } else if (verb == "flood") {
      Flood(action);
    } else if (verb == "lines") {
      Lines(action);
    } else if (verb == "noread") {
      NoRead(action);
    } else if (verb == "shutdown") {
      if (shutdown(Connected(action), SHUT_WR) != 0) Fail("shutdown: %s", std::strerror(errno));
    } else if (verb == "close") {
      Connected(action);
      CloseConnection();
    } else if (verb == "reset") {
      linger hard{1, 0};
      setsockopt(Connected(action), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      CloseConnection();
    } else if (verb == "wait-ms") {
      limitMs_ = Number(action, 0);
    } else if (verb == "rcvbuf") {
      rcvbuf_ = static_cast<int>(Number(action, 0));
    }
  }

 private:
  int OpenListener(const Action& action, long long port, int backlog) {
    sockaddr_storage addr;
    socklen_t length;
    if (action.args.size() > 1) {
      length = NumericAddress(action.args[1].text, port, addr);
      if (length == 0)
        Fail("line %d: listen: not an address: %s", action.line, action.args[1].text.c_str());
    } else {
      sockaddr_in loopback = LoopbackAddress(port);
      std::memcpy(&addr, &loopback, sizeof loopback);
      length = sizeof loopback;
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("listen: socket: %s", std::strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
      int error = errno;
      close(fd);
      Fail("line %d: cannot listen on port %lld: %s", action.line, port, std::strerror(error));
    }
    if (listen(fd, backlog) != 0) {
      int error = errno;
      close(fd);
      Fail("line %d: listen: %s", action.line, std::strerror(error));
    }
    SetNonBlocking(fd);
    return fd;
  }

  // A queue of one (backlog 0) filled by a connection of our own: the kernel
  // then drops further connection requests, and their connects hang.
  void PrepareFullListener(const Action& action, long long port) {
    int fd = OpenListener(action, port, 0);
    fillers_.push_back(fd);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (filler < 0) Fail("listen-full: socket: %s", std::strerror(errno));
    fillers_.push_back(filler);
    sockaddr_in addr = LoopbackAddress(port);
    if (connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Fail("line %d: listen-full: connect: %s", action.line, std::strerror(errno));
    }
  }

  int Connected(const Action& action) {
    if (fd_ < 0) Fail("line %d: %s: no connection", action.line, action.verb.c_str());
    return fd_;
  }

  void CloseConnection() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    reset_ = false;
    received_.clear();
    readPos_ = 0;
  }

  void Adopt(int fd) {
    CloseConnection();
    fd_ = fd;
    SetNonBlocking(fd_);
    SetNoDelay(fd_);
    if (rcvbuf_ > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf_, sizeof rcvbuf_);
  }

  int RemainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
  }

  // Waits for events on fd until the deadline; 0 on time-out.
  short WaitFor(int fd, short events) {
    for (;;) {
      pollfd p{fd, events, 0};
      int n = poll(&p, 1, RemainingMs());
      if (n > 0) return p.revents;
      if (n == 0) return 0;
      if (errno != EINTR) Fail("poll: %s", std::strerror(errno));
    }
  }

  void AcceptClient(const Action& action) {
    int listener = listeners_.at(Number(action, 0));
    for (;;) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        Adopt(fd);
        return;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        Fail("line %d: accept: %s", action.line, std::strerror(errno));
      }
      if (WaitFor(listener, POLLIN) == 0) {
        Fail("line %d: listen: no client within %lld ms", action.line, limitMs_);
      }
    }
  }

  void ConnectTo(const Action& action) {
    const std::string& host = action.args[0].text;
    long long port = Number(action, 1);
    sockaddr_storage addr;
    socklen_t length = NumericAddress(host, port, addr);
    if (length == 0) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        Fail("line %d: connect: unknown host %s", action.line, host.c_str());
      }
      sockaddr_in v4 = LoopbackAddress(port);
      v4.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      freeaddrinfo(found);
      std::memcpy(&addr, &v4, sizeof v4);
      length = sizeof v4;
    }
    int lastError = 0;
    for (;;) {
      int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) Fail("connect: socket: %s", std::strerror(errno));
      if (rcvbuf_ > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf_, sizeof rcvbuf_);
      int error = 0;
      if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
          error = ETIMEDOUT;
          if (WaitFor(fd, POLLOUT) != 0) {
            socklen_t len = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
          }
        }
      }
      // A server that accepted and reset at once was connected all the same;
      // reading the error cleared it, so the reset is remembered for the reads.
      if (error == 0 || error == ECONNRESET || error == EPIPE) {
        Adopt(fd);
        reset_ = error != 0;
        return;
      }
      close(fd);
      if (error != ECONNREFUSED && error != ETIMEDOUT && error != EAGAIN) {
        Fail("line %d: connect to %s port %lld: %s", action.line, host.c_str(), port,
             std::strerror(error));
      }
      lastError = error;
      if (RemainingMs() == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20, RemainingMs())));
    }
    Fail("line %d: connect to %s port %lld failed within %lld ms: %s", action.line, host.c_str(),
         port, limitMs_, std::strerror(lastError));
  }

  void SendAll(int fd, const char* data, size_t len) {
    size_t done = 0;
    while (done < len) {
      ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (WaitFor(fd, POLLOUT) == 0) {
          Fail("send: the other side took %zu of %zu bytes within %lld ms", done, len, limitMs_);
        }
        continue;
      }
      Fail("send: %s after %zu of %zu bytes", std::strerror(errno), done, len);
    }
  }

  // Reads what has arrived into the buffer, waiting until the deadline.
  // Returns the count read, 0 at the end of data, -1 on a reset, -2 on
  // time-out.
  long Fill() {
    if (readPos_ > 0 && readPos_ == received_.size()) {
      received_.clear();
      readPos_ = 0;
    }
    char chunk[65536];
    for (;;) {
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        received_.append(chunk, static_cast<size_t>(n));
        return static_cast<long>(n);
      }
      if (n == 0) return reset_ ? -1 : 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (WaitFor(fd_, POLLIN) == 0) return -2;
    }
  }

  size_t Unread() const { return received_.size() - readPos_; }

  void Expect(const Action& action) {
    Connected(action);
    const std::string& want = action.args[0].text;
    size_t matched = 0;
    while (matched < want.size()) {
      if (Unread() == 0) {
        long n = Fill();
        if (n <= 0) {
          const char* why = n == 0 ? "the other side closed" : n == -1 ? "reset" : "time-out";
          Fail("line %d: expect: %s after %s; expected %s", action.line, why,
               Show(want.substr(0, matched)).c_str(), Show(want).c_str());
        }
      }
      while (matched < want.size() && Unread() > 0) {
        if (received_[readPos_] != want[matched]) {
          size_t shown = std::min<size_t>(Unread(), 80);
          Fail("line %d: expect: mismatch at byte %zu: got %s; expected %s", action.line, matched,
               Show(want.substr(0, matched) + received_.substr(readPos_, shown)).c_str(),
               Show(want).c_str());
        }
        ++readPos_;
        ++matched;
      }
    }
  }

  void ReadLine(const Action& action) {
    Connected(action);
    std::string line;
    for (;;) {
      size_t lf = received_.find('\n', readPos_);
      if (lf != std::string::npos) {
        line += received_.substr(readPos_, lf + 1 - readPos_);
        readPos_ = lf + 1;
        break;
      }
      line += received_.substr(readPos_);
      readPos_ = received_.size();
      long n = Fill();
      if (n <= 0) {
        const char* why = n == 0 ? "the other side closed" : n == -1 ? "reset" : "time-out";
        Fail("line %d: read-line: %s after %s", action.line, why, Show(line).c_str());
      }
    }
    if (trace_) std::fprintf(stderr, "testpeer: read %s\n", Show(line).c_str());
  }

  void ExpectEof(const Action& action) {
    Connected(action);
    size_t dropped = Unread();
    readPos_ = received_.size();
    for (;;) {
      long n = Fill();
      if (n == 0 || n == -1) break;
      if (n == -2) {
        Fail("line %d: expect-eof: still open after %lld ms (%zu bytes read)", action.line,
             limitMs_, dropped);
      }
      dropped += static_cast<size_t>(n);
      readPos_ = received_.size();
    }
    if (trace_) std::fprintf(stderr, "testpeer: end of data after %zu bytes\n", dropped);
  }

  void Drip(const Action& action) {
    int fd = Connected(action);
    const std::string& text = action.args[0].text;
    long long pause = Number(action, 1);
    for (size_t i = 0; i < text.size(); ++i) {
      deadline_ = Clock::now() + std::chrono::milliseconds(limitMs_);
      SendAll(fd, &text[i], 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }

  // Sends count bytes made of the pattern, in writes of up to a megabyte.
  void Stream(int fd, const std::string& pattern, long long count) {
    if (count <= 0 || pattern.empty()) return;
    std::string chunk;
    size_t unit = pattern.size();
    size_t units = std::max<size_t>(1, (1u << 20) / unit);
    chunk.reserve(units * unit);
    for (size_t i = 0; i < units; ++i) chunk += pattern;
    long long left = count;
    while (left > 0) {
      size_t n =
          static_cast<size_t>(std::min<long long>(left, static_cast<long long>(chunk.size())));
      SendAll(fd, chunk.data(), n);
      left -= static_cast<long long>(n);
    }
  }

  void Flood(const Action& action) { Stream(Connected(action), "x", Number(action, 0)); }

  void Lines(const Action& action) {
    int fd = Connected(action);
    long long count = Number(action, 0);
    long long length = Number(action, 1);
    std::string fill = action.args.size() > 2 ? action.args[2].text : "x";
    if (fill.empty()) Fail("line %d: lines: empty fill", action.line);
    std::string line;
    line.reserve(static_cast<size_t>(length) + 2);
    while (static_cast<long long>(line.size()) < length) line += fill;
    line.resize(static_cast<size_t>(length));
    line += "\r\n";
    Stream(fd, line, count * static_cast<long long>(line.size()));
  }

  void NoRead(const Action& action) {
    int fd = Connected(action);
    if (!action.args.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(Number(action, 0)));
      return;
    }
    // Only the other side's close or reset ends the hold; its data stays unread.
    for (;;) {
      short events = WaitFor(fd, POLLRDHUP);
      if (events & (POLLRDHUP | POLLHUP | POLLERR)) return;
      if (events == 0) {
        Fail("line %d: noread: the other side did not close within %lld ms", action.line, limitMs_);
      }
    }
  }

  long long limitMs_;
  bool trace_;
  Clock::time_point deadline_;
  int fd_ = -1;
  int rcvbuf_ = 0;
  bool reset_ = false;  // the connection was reset before its first read
  std::string received_;
  size_t readPos_ = 0;
  std::map<long long, int> listeners_;
  std::vector<int> fillers_;
};

int Usage() {
  std::fprintf(stderr, "usage: testpeer [-t MS] [-v] [FILE | -]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  long long limitMs = 10000;
  bool trace = false;
  const char* file = "-";
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-t" && i + 1 < argc) {
      if (!ParseCount(argv[++i], limitMs)) return Usage();
    } else if (arg == "-v") {
      trace = true;
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage();
    } else {
      file = argv[i];
      ++files;
    }
  }
  if (files > 1) return Usage();

  std::vector<Action> actions;
  bool parsed;
  if (std::strcmp(file, "-") == 0) {
    parsed = ParseDialogue(std::cin, actions);
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "testpeer: cannot read %s\n", file);
      return 2;
    }
    parsed = ParseDialogue(in, actions);
  }
  if (!parsed) return 2;

  Peer peer(limitMs, trace);
  const Action* current = nullptr;
  try {
    peer.Prepare(actions);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    for (const Action& action : actions) {
      current = &action;
      peer.Run(action);
    }
  } catch (const Failure& failure) {
    if (current && failure.text.compare(0, 5, "line ") != 0) {
      std::fprintf(stderr, "testpeer: line %d: %s\n", current->line, failure.text.c_str());
    } else {
      std::fprintf(stderr, "testpeer: %s\n", failure.text.c_str());
    }
    return 1;
  }
  return 0;
}
