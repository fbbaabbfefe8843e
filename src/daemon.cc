#include "daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "file_safety.h"
#include "log.h"
#include "statusctl.h"

namespace {

constexpr size_t PID_TEXT_SIZE = 32;     // "%ld\n" of any pid fits, with room to spare
constexpr int STOP_PROBES = 200;         // 200 probes 50 ms apart: about 10 s
constexpr useconds_t STOP_PROBE_GAP_US = 50000;
constexpr unsigned STARTUP_WAIT_S = 5;   // the start-up parent's longest wait for its child

// The daemon's locked pid file, kept open for its whole life.
int pid_fd = -1;

// Opens `path` without following a symlink (O_NOFOLLOW: in a world-writable
// directory anyone could plant one) and without blocking on a FIFO or a
// device. An existing file is opened as it is; a missing one is created
// exclusively (O_EXCL: nothing planted between the two opens is taken over)
// with exactly `mode`, whatever the umask. Only a regular file, or with
// `char_device_ok` a character device (/dev/null as the log file), is
// accepted; the file is then judged by check_open_file (owner, mode, a single
// link) before anything is written to it. The descriptor is blocking and
// close-on-exec; -1 on failure, -2 when refused by those checks (logged).
int open_own_file(const char* path, int flags, mode_t mode, bool char_device_ok) {
  const int base = flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path, base);
  if (fd < 0 && errno == ENOENT) {
    const mode_t mask = umask(0);
    fd = open(path, base | O_CREAT | O_EXCL, mode);
    umask(mask);
  }
  if (fd < 0) return -1;
  struct stat st {};
  const bool kind_ok =
      fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (char_device_ok && S_ISCHR(st.st_mode)));
  if (!kind_ok) {
    close(fd);
    return -1;
  }
  if (check_open_file(fd, path, geteuid(), char_device_ok) != 0 ||
      check_file_directory(path, geteuid()) != 0) {
    close(fd);
    errno = EPERM;
    return -2;
  }
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Makes the log file the process's standard output and error, appending.
// 0 or -1.
int redirect_output_to_log(const char* path) {
  fflush(stdout);
  int fd = open_own_file(path, O_WRONLY | O_APPEND, 0640, true);
  if (fd < 0) {  // refused (-2) or failed
    close(STDOUT_FILENO);  // as a failed reopening leaves it: closed
    return -1;
  }
  fflush(stderr);
  const bool ok = dup2(fd, STDOUT_FILENO) >= 0 && dup2(fd, STDERR_FILENO) >= 0;
  close(fd);
  return ok ? 0 : -1;
}

// The number a pid file starts with, or 0; one beyond the range of process
// ids is 0 too (strtoll: a 32-bit long would wrap 2^32 + N to N with one C
// library).
long read_pid_text(int fd) {
  char text[PID_TEXT_SIZE];
  ssize_t got = pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  text[got] = '\0';
  const long long v = strtoll(text, nullptr, 10);
  return v > 0 && v <= INT_MAX ? static_cast<long>(v) : 0;
}

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
  // A symlink, a FIFO or a device is refused like a file that cannot be
  // opened. The descriptor stays open (and locked) for the daemon's whole
  // life; it is close-on-exec, so the scripts it runs do not inherit it.
  int fd = open_own_file(cfg->pidfile, O_RDWR, 0600, false);
  if (fd == -2) return -1;  // an unsafe file or place, said why
  if (fd < 0) {
    log_message("can not open %s", cfg->pidfile);
    log_message("open");
    return -1;
  }

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
  pid_fd = fd;
  return 0;
}

}  // namespace

int check_status_file_place(const mux_config* cfg) {
  if (cfg->status_file == nullptr) return 0;
  return check_file_directory(cfg->status_file, geteuid());
}

int check_daemon_files(const mux_config* cfg) {
  const uid_t self = geteuid();
  if (check_file_place(cfg->pidfile, self, false) != 0) return -1;
  if (check_file_place(cfg->logfile, self, true) != 0) return -1;
  return check_status_file_place(cfg);
}

int start_daemon(const mux_config* cfg) {
  // Refused places are said on the terminal, before the command lets go; the
  // child judges the files it opens again.
  if (check_daemon_files(cfg) != 0) return -1;

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
  if (redirect_output_to_log(cfg->logfile) != 0) {
    log_message("freopen");
    return -1;
  }
  return 0;
}

void remove_own_pid_file(const mux_config* cfg) {
  if (pid_fd < 0) return;
  // Only the file this process holds locked: if the path names another file
  // by now, it is not ours to remove. The lock itself ends with the process.
  struct stat held {}, named {};
  if (fstat(pid_fd, &held) == 0 && lstat(cfg->pidfile, &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
    unlink(cfg->pidfile);
  }
}

namespace {

// SIGTERM to the daemon, then up to about 10 s for it to end. 0 or -1.
int signal_and_wait(const mux_config* cfg, pid_t target) {
  if (kill(target, SIGTERM) < 0) {
    if (errno == ESRCH) return 0;  // stale pid file: left in place
    log_message("kill");
    return -1;
  }
  for (int probe = 0; probe < STOP_PROBES; probe++) {
    if (kill(target, 0) < 0 && errno == ESRCH) {
      // The daemon removes its own file as it ends; a crashed one does not.
      if (unlink(cfg->pidfile) < 0 && errno != ENOENT) {
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

}  // namespace

int stop_daemon(const mux_config* cfg) {
  int fd = open(cfg->pidfile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;  // no pid file: nothing to stop
  // Only a file that nobody else could have written names whom to signal.
  if (check_open_file(fd, cfg->pidfile, geteuid(), false) != 0 ||
      check_file_directory(cfg->pidfile, geteuid()) != 0) {
    close(fd);
    return -1;
  }

  // The lock, not the file, tells whether a daemon runs: without it the
  // number in the file may by now name any process, init included.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  if (fcntl(fd, F_GETLK, &lock) < 0) {
    close(fd);
    log_message("fcntl");
    return -1;
  }
  if (lock.l_type == F_UNLCK) {
    // Nobody holds it. A supervisor (procd, systemd) keeps such a file for a
    // foreground instance: that one is the supervisor's to stop, and its
    // file stays. Otherwise the file is stale, and nothing is to be stopped.
    const long named = read_pid_text(fd);
    close(fd);
    if (named > 0 && named <= INT_MAX && runs_same_program(static_cast<pid_t>(named))) {
      log_message("pid %ld in %s is run by a supervisor: stop it with /etc/init.d/corvex stop "
                  "or systemctl stop corvex", named, cfg->pidfile);
      return -1;
    }
    if (unlink(cfg->pidfile) < 0 && errno != ENOENT) {
      log_message("unlink");
      return -1;
    }
    return 0;
  }

  // One line of at most PID_TEXT_SIZE - 1 characters.
  char line[PID_TEXT_SIZE];
  ssize_t got = pread(fd, line, sizeof line - 1, 0);
  close(fd);
  if (got <= 0) {
    log_message("fgets");  // locked but empty: a daemon still starting
    return 0;
  }
  line[got] = '\0';

  // strtoll, not atol: with a 32-bit long one C library saturates where
  // another wraps, and a wrapped 2^32 + N would name process N.
  long long pid = strtoll(line, nullptr, 10);
  if (pid < 1) {
    log_message("pid is not positive: %lld", pid);
    return -1;
  }
  // The lock's holder must be named by the system and be that process. An
  // open-file-description lock names none (l_pid -1), and anyone who can
  // read the file can take one: the number in the file then proves nothing.
  if (lock.l_pid <= 0) {
    log_message("pid file %s is locked by a process the system does not name: not signalling "
                "pid %lld", cfg->pidfile, pid);
    return -1;
  }
  if (static_cast<long long>(lock.l_pid) != pid) {
    log_message("pid file %s is locked by pid %ld, not by %lld", cfg->pidfile,
                static_cast<long>(lock.l_pid), pid);
    return -1;
  }
  // A number beyond the range of process ids names no process. Narrowed to
  // pid_t it could turn into 0 or a negative number, and kill() would then
  // signal a whole process group or every process: treat it as a process
  // that is gone.
  if (pid > INT_MAX || static_cast<long long>(static_cast<pid_t>(pid)) != pid) return 0;
  return signal_and_wait(cfg, static_cast<pid_t>(pid));
}
