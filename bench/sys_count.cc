// Counts a program's system calls by kind, for the lab-load run: starts the
// program with counting perf tracepoint events attached (as `perf stat --
// PROGRAM` does), and prints the running totals whenever a line arrives on
// standard input, so that a window is counted between two exact instants
// and the perf tool itself is not needed.
//
//   sys_count ID[,ID...] -- PROGRAM [ARG...]
//
// IDs are tracepoint ids (/sys/kernel/tracing/events/*/*/id). Prints
// "pid N" once the program runs, then for every input line one line of the
// counts, in the order of the ids. SIGTERM and SIGINT are passed on to the
// program; sys_count exits with the program's exit status (128 + signal when
// a signal ended it).
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_EVENTS = 32;
volatile sig_atomic_t child_pid = 0;

void pass_on(int sig) {
  if (child_pid > 0) kill(child_pid, sig);
}

int usage() {
  fprintf(stderr, "usage: sys_count ID[,ID...] -- PROGRAM [ARG...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || strcmp(argv[2], "--") != 0) return usage();
  uint64_t ids[MAX_EVENTS];
  int events = 0;
  for (char* p = argv[1]; *p != '\0' && events < MAX_EVENTS;) {
    char* end = nullptr;
    ids[events++] = strtoull(p, &end, 10);
    if (end == p) return usage();
    p = *end == ',' ? end + 1 : end;
  }
  int gate[2];
  if (pipe(gate) != 0) return 1;
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    // Run the program once the counters are attached.
    close(gate[1]);
    char go;
    if (read(gate[0], &go, 1) != 1) _exit(127);
    close(gate[0]);
    execvp(argv[3], argv + 3);
    perror(argv[3]);
    _exit(127);
  }
  close(gate[0]);
  child_pid = pid;
  signal(SIGTERM, pass_on);
  signal(SIGINT, pass_on);
  int fds[MAX_EVENTS];
  for (int i = 0; i < events; i++) {
    perf_event_attr a{};
    a.type = PERF_TYPE_TRACEPOINT;
    a.size = sizeof a;
    a.config = ids[i];
    a.disabled = 1;
    a.enable_on_exec = 1;
    a.inherit = 1;
    fds[i] = static_cast<int>(syscall(SYS_perf_event_open, &a, pid, -1, -1, 0));
    if (fds[i] < 0) {
      perror("perf_event_open");
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return 1;
    }
  }
  if (write(gate[1], "g", 1) != 1) return 1;
  close(gate[1]);
  printf("pid %d\n", static_cast<int>(pid));
  fflush(stdout);

  char line[64];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    for (int i = 0; i < events; i++) {
      uint64_t v = 0;
      if (read(fds[i], &v, sizeof v) != static_cast<ssize_t>(sizeof v)) v = 0;
      printf(i + 1 < events ? "%llu " : "%llu\n", static_cast<unsigned long long>(v));
    }
    fflush(stdout);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
