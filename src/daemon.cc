#include "daemon.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "log.h"

namespace {

constexpr size_t PID_TEXT_SIZE = 32;     // "%ld\n" of any pid fits, with room to spare
constexpr int STOP_PROBES = 200;         // 200 probes 50 ms apart: about 10 s
constexpr useconds_t STOP_PROBE_GAP_US = 50000;
constexpr unsigned STARTUP_WAIT_S = 5;   // the start-up parent's longest wait for its child

// The start-up parent's SIGINT handler: the child is settled, the command is done.
void release_parent(int) { _exit(0); }

// The start-up parent never returns: it ends on the child's SIGINT or after
// the wait, with status 0 either way.
[[noreturn]] void wait_for_child_then_exit() {
  unsigned left = STARTUP_WAIT_S;
  while (left > 0) left = sleep(left);
  exit(0);
}

// Everything the child does after the fork up to the point where it lets the
// parent go. 0: the pid file is locked and holds our pid; -1: failed (the
// parent still has to be released by the caller).
int claim_pid_file(const mux_config* cfg) {
  int fd = open(cfg->pidfile, O_RDWR | O_CREAT, 0600);
  if (fd < 0) {
    log_message("can not open %s", cfg->pidfile);
    log_message("open");
    return -1;
  }

  // The descriptor stays open (and locked) for the daemon's whole life; the
  // scripts it runs must not inherit it.
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) {
    log_message("fcntl");
    return -1;
  }
  if (fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) log_message("fcntl");

  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  if (fcntl(fd, F_SETLK, &lock) < 0) {
    // Someone holds the lock: tell which pid the file names, if any yet.
    char text[PID_TEXT_SIZE];
    ssize_t got = pread(fd, text, PID_TEXT_SIZE - 1, 0);
    if (got >= 1) {
      text[got] = '\0';
      log_message("already started at pid %ld", atol(text));
    } else {
      log_message("already started");
    }
    close(fd);
    return -1;
  }

  if (ftruncate(fd, 0) < 0) {
    log_message("ftruncate");
    return -1;
  }
  char text[PID_TEXT_SIZE];
  int len = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (len < 0 || static_cast<size_t>(len) >= sizeof text ||
      write(fd, text, static_cast<size_t>(len)) != static_cast<ssize_t>(len)) {
    log_message("write");
    return -1;
  }
  return 0;
}

}  // namespace

int start_daemon(const mux_config* cfg) {
  // Nothing buffered may be written twice, once by each process.
  fflush(nullptr);

  // The parent's SIGINT handling has to be in place before the child can
  // signal, so it is installed before the fork; the child puts the previous
  // disposition back at once.
  const pid_t parent = getpid();
  struct sigaction release {};
  release.sa_handler = release_parent;
  sigemptyset(&release.sa_mask);
  struct sigaction previous {};
  sigaction(SIGINT, &release, &previous);

  pid_t child = fork();
  if (child < 0) {
    sigaction(SIGINT, &previous, nullptr);
    log_message("fork");
    return -1;
  }
  if (child > 0) wait_for_child_then_exit();

  sigaction(SIGINT, &previous, nullptr);

  if (claim_pid_file(cfg) != 0) {
    kill(parent, SIGINT);
    return -1;
  }

  setsid();
  signal(SIGHUP, SIG_IGN);
  kill(parent, SIGINT);

  // From here on the log lines and the scripts' output go to the log file.
  fclose(stdin);
  if (freopen(cfg->logfile, "a", stdout) == nullptr) {
    log_message("freopen");
    return -1;
  }
  if (freopen(cfg->logfile, "a", stderr) == nullptr) {
    log_message("freopen");
    return -1;
  }
  return 0;
}

int stop_daemon(const mux_config* cfg) {
  FILE* f = fopen(cfg->pidfile, "r");
  if (f == nullptr) return 0;  // no pid file: nothing to stop
  char line[PID_TEXT_SIZE];
  char* got = fgets(line, sizeof line, f);
  fclose(f);
  if (got == nullptr) {
    log_message("fgets");
    return 0;
  }

  long pid = atol(line);
  if (pid < 1) {
    log_message("pid is not positive: %ld", pid);
    return -1;
  }
  // A number beyond the range of process ids names no process. Narrowed to
  // pid_t it could turn into 0 or a negative number, and kill() would then
  // signal a whole process group or every process: treat it as a process
  // that is gone.
  if (pid > INT_MAX || static_cast<long>(static_cast<pid_t>(pid)) != pid) return 0;
  const pid_t target = static_cast<pid_t>(pid);

  if (kill(target, SIGTERM) < 0) {
    if (errno == ESRCH) return 0;  // stale pid file: left in place
    log_message("kill");
    return -1;
  }

  for (int probe = 0; probe < STOP_PROBES; probe++) {
    if (kill(target, 0) < 0 && errno == ESRCH) {
      if (unlink(cfg->pidfile) < 0) {
        log_message("unlink");
        return -1;
      }
      return 0;
    }
    usleep(STOP_PROBE_GAP_US);
  }
  log_message("timed out when stopping pid %d", static_cast<int>(target));
  return -1;
}
