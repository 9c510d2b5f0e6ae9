/* The reference line reader of the benchmark: the least a reader of this
 * design has to do. Connects to 127.0.0.1:PORT, waits for data with poll(),
 * asks FIONREAD how much is there and receives that much (at most the free
 * room of a 4096-byte buffer), splits at LF, drops CR, moves the rest down.
 * With a log file it writes and flushes one log line per line read. Ends at
 * the line "DONE".
 *
 *   ref_reader PORT [LOGFILE]
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: ref_reader PORT [LOGFILE]\n");
    return 2;
  }
  FILE* log = NULL;
  if (argc > 2 && !(log = fopen(argv[2], "wb"))) {
    perror(argv[2]);
    return 1;
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)atoi(argv[1]));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
    perror("connect");
    return 1;
  }
  char buf[4096];
  char line[4096];
  int fill = 0;
  long lines = 0;
  for (;;) {
    char* lf;
    while (!(lf = memchr(buf, '\n', (size_t)fill))) {
      if (fill == (int)sizeof buf) {
        fprintf(stderr, "line too long\n");
        return 1;
      }
      struct pollfd p = {s, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return 1;
      int avail = 0;
      if (ioctl(s, FIONREAD, &avail) != 0) return 1;
      if (avail == 0) {
        /* Readable with nothing to read: the peer has closed. */
        fprintf(stderr, "peer closed after %ld lines\n", lines);
        return 1;
      }
      if (avail > (int)sizeof buf - fill) avail = (int)sizeof buf - fill;
      ssize_t got = recv(s, buf + fill, (size_t)avail, 0);
      if (got <= 0) return 1;
      fill += (int)got;
    }
    int k = (int)(lf - buf);
    int n = 0;
    for (int i = 0; i < k; ++i) {
      if (buf[i] != '\r') line[n++] = buf[i];
    }
    line[n] = 0;
    ++lines;
    if (log) {
      fprintf(log, "Line read %s\\r\\n\r\n", line);
      fflush(log);
    }
    memmove(buf, buf + k + 1, (size_t)(fill - k - 1));
    fill -= k + 1;
    if (strcmp(line, "DONE") == 0) break;
  }
  close(s);
  if (log) fclose(log);
  return 0;
}
