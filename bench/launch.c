/* Runs a program and writes its exit status, wall time, CPU time (user +
 * system), peak RSS and user time to RESULTFILE:
 * "STATUS WALL_S CPU_S MAXRSS_KIB USER_S". A small process of its
 * own forks the program, so that the peak RSS is the program's and not that
 * of a large parent copied by fork.
 *
 *   launch RESULTFILE PROGRAM [ARG...]
 */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: launch RESULTFILE PROGRAM [ARG...]\n");
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return 2;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  FILE* out = fopen(argv[1], "w");
  if (!out) return 2;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(out, "%d %.6f %.6f %ld %.6f\n", code,
          (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9,
          (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
          ru.ru_maxrss, (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6);
  fclose(out);
  return 0;
}
