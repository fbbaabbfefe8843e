#include "statusctl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bytes.h"

namespace {

constexpr const char* REPORT_SUFFIX = ".status";
constexpr const char* REGISTERED_LINE = "registered\n";
constexpr const char* UNREGISTERED_LINE = "not registered\n";
// How long `-s status` waits for the instance's answer, in 20 ms steps.
constexpr int ANSWER_POLLS = 250;
constexpr useconds_t ANSWER_POLL_US = 20000;
// Room for the longest report: 255 calls and 255 templates of a line each.
constexpr size_t REPORT_MAX = 128 * 1024;

// `base` + `suffix` into out; false when it does not fit.
bool join_path(char* out, size_t cap, const char* base, const char* suffix) {
  int n = snprintf(out, cap, "%s%s", base, suffix);
  return n > 0 && static_cast<size_t>(n) < cap;
}


// Up to cap - 1 bytes of a small file, NUL-terminated; -1 when unreadable.
ssize_t read_small_file(const char* path, char* buf, size_t cap) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  while (got + 1 < cap) {
    ssize_t n = read(fd, buf + got, cap - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  buf[got] = '\0';
  return static_cast<ssize_t>(got);
}

// True when process `pid` catches SIGUSR1, by the SigCgt mask of its
// /proc status; unknown (no /proc) counts as false.
bool catches_status_signal(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
  char text[4096];
  ssize_t n = read_small_file(path, text, sizeof text);
  if (n <= 0) return false;
  const char* line = strstr(text, "\nSigCgt:");
  if (line == nullptr) return false;
  const char* p = line + 8;
  while (*p == ' ' || *p == '\t') p++;
  // Hexadecimal mask, signal k in bit k - 1 counted from the right end.
  const char* end = p;
  while ((*end >= '0' && *end <= '9') || (*end >= 'a' && *end <= 'f')) end++;
  const int bit = SIGUSR1 - 1;
  const char* digit = end - 1 - bit / 4;
  if (digit < p) return false;
  const int v = *digit <= '9' ? *digit - '0' : *digit - 'a' + 10;
  return ((v >> (bit % 4)) & 1) != 0;
}

// True when `pid` runs the same program as this process (its command name).
bool same_program(pid_t pid) {
  char path[64];
  char theirs[64];
  char ours[64];
  snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
  if (read_small_file(path, theirs, sizeof theirs) <= 0) return false;
  if (read_small_file("/proc/self/comm", ours, sizeof ours) <= 0) return false;
  return strcmp(theirs, ours) == 0;
}

// The running instance named by the pid file, or 0.
pid_t find_instance(const char* pidfile) {
  int fd = open(pidfile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  pid_t pid = 0;
  if (fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK && lock.l_pid > 0) {
    pid = lock.l_pid;  // a daemon holds the lock
  } else {
    // No lock: a pid file kept by a supervisor for a foreground instance.
    char text[32];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n > 0) {
      text[n] = '\0';
      long v = atol(text);
      if (v > 0 && v <= INT_MAX && same_program(static_cast<pid_t>(v))) {
        pid = static_cast<pid_t>(v);
      }
    }
  }
  close(fd);
  return pid;
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

int status_command(const mux_config* cfg) {
  if (access(cfg->pidfile, F_OK) == 0 && access(cfg->pidfile, R_OK) != 0) {
    printf("can not read %s: %s\n", cfg->pidfile, strerror(errno));
    return 1;
  }
  const pid_t pid = find_instance(cfg->pidfile);
  if (pid <= 0 || !process_exists(pid)) {
    printf("corvex is not running (pid file %s)\n", cfg->pidfile);
    return 1;
  }
  if (!catches_status_signal(pid)) {
    printf("pid %ld does not answer status requests\n", static_cast<long>(pid));
    return 1;
  }
  char path[PATH_MAX];
  if (!join_path(path, sizeof path, cfg->pidfile, REPORT_SUFFIX)) {
    printf("pid file path too long: %s\n", cfg->pidfile);
    return 1;
  }
  // An old report must not pass for the answer.
  if (unlink(path) != 0 && errno != ENOENT) {
    printf("can not remove %s: %s\n", path, strerror(errno));
    return 1;
  }
  if (kill(pid, SIGUSR1) != 0) {
    printf("can not signal pid %ld: %s\n", static_cast<long>(pid), strerror(errno));
    return 1;
  }
  static char report[REPORT_MAX];
  ssize_t n = -1;
  for (int i = 0; i < ANSWER_POLLS && n < 0; i++) {
    usleep(ANSWER_POLL_US);
    n = read_small_file(path, report, sizeof report);
    if (n < 0 && !process_exists(pid)) break;
  }
  if (n < 0) {
    printf("no answer from pid %ld\n", static_cast<long>(pid));
    return 1;
  }
  (void)unlink(path);
  const size_t len = static_cast<size_t>(n);
  const auto* bytes = reinterpret_cast<const uint8_t*>(report);
  byte_cursor c = make_cursor(bytes, len);
  const size_t reg_len = strlen(REGISTERED_LINE);
  const size_t unreg_len = strlen(UNREGISTERED_LINE);
  int status = 1;
  if (cursor_has(&c, reg_len) && memcmp(bytes, REGISTERED_LINE, reg_len) == 0) {
    status = 0;
    c.pos = reg_len;
  } else if (cursor_has(&c, unreg_len) && memcmp(bytes, UNREGISTERED_LINE, unreg_len) == 0) {
    status = 3;
    c.pos = unreg_len;
  } else {
    printf("unreadable answer from pid %ld\n", static_cast<long>(pid));
    return 1;
  }
  fwrite(bytes + c.pos, 1, len - c.pos, stdout);
  fflush(stdout);
  return status;
}
