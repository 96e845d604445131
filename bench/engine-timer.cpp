// Runs a command and prints its wall time (ns), its CPU time, user and system (us), and its
// peak resident memory (KiB), from the kernel's own accounting of the child:
//   engine-timer COMMAND [ARG...]   ->   "WALL_NS CPU_US MAXRSS_KIB" on stderr
// The command's own output goes to /dev/null. Exits with the command's code.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: engine-timer COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
    std::perror("engine-timer");
    return 1;
  }
  const auto wall = std::chrono::steady_clock::now() - start;
  const long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000LL +
                        usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  std::fprintf(
      stderr, "%lld %lld %ld\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count()),
      cpu, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
