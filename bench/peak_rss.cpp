// peak-rss REPORT PROGRAM [ARG...]
//
// Runs PROGRAM with stdin, stdout and stderr passed through, then writes
// "exit-status signal peak-rss-KiB user-seconds system-seconds" to REPORT.  A test cannot measure its
// own child's peak RSS: the kernel counts the test's memory in the child
// until exec, so the child is started from this small process instead.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc < 3) return 2;
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) < 0) return 2;
  std::FILE* f = std::fopen(argv[1], "w");
  if (!f) return 2;
  std::fprintf(f, "%d %d %ld %ld.%06ld %ld.%06ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
               WIFSIGNALED(status) ? WTERMSIG(status) : 0, usage.ru_maxrss,
               static_cast<long>(usage.ru_utime.tv_sec), static_cast<long>(usage.ru_utime.tv_usec),
               static_cast<long>(usage.ru_stime.tv_sec), static_cast<long>(usage.ru_stime.tv_usec));
  std::fclose(f);
  return 0;
}
