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
#include <ctime>

#include "bytes.h"
#include "file_safety.h"

namespace {

constexpr const char* REPORT_SUFFIX = ".status";
constexpr const char* REGISTERED_LINE = "registered\n";
constexpr const char* UNREGISTERED_LINE = "not registered\n";
// How long `-s status` may take in all, and the steps of its wait for the
// instance's answer.
constexpr int64_t ANSWER_LIMIT_MS = 5000;
constexpr int64_t ANSWER_POLL_MS = 20;
// Room for the longest report: 255 calls and 255 templates of a line each.
constexpr size_t REPORT_MAX = 128 * 1024;

// `base` + `suffix` into out; false when it does not fit.
bool join_path(char* out, size_t cap, const char* base, const char* suffix) {
  int n = snprintf(out, cap, "%s%s", base, suffix);
  return n > 0 && static_cast<size_t>(n) < cap;
}


// Up to cap - 1 bytes of a small file, NUL-terminated; -1 when it cannot be
// opened, -2 when it is no regular file. Opened without following a link and without
// blocking (a FIFO planted in its place must not hold the command up); with
// `st`, what fstat said of it.
ssize_t read_small_file(const char* path, char* buf, size_t cap, struct stat* st = nullptr) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat own {};
  if (st == nullptr) st = &own;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    return -2;
  }
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

// Milliseconds on the monotonic clock.
int64_t now_ms() {
  timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes the report with every byte but printable ASCII, line feed and tab
// replaced by '?': what the file holds must not reach a terminal as control
// sequences, whoever wrote it.
void print_report(const uint8_t* p, size_t n) {
  char out[4096];
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    const uint8_t b = p[i];
    out[k++] = (b >= 0x20 && b < 0x7F) || b == '\n' || b == '\t' ? static_cast<char>(b) : '?';
    if (k == sizeof out) {
      fwrite(out, 1, k, stdout);
      k = 0;
    }
  }
  fwrite(out, 1, k, stdout);
  fflush(stdout);
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

}  // namespace

bool runs_same_program(pid_t pid) {
  char path[64];
  char theirs[64];
  char ours[64];
  snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
  if (read_small_file(path, theirs, sizeof theirs) <= 0) return false;
  if (read_small_file("/proc/self/comm", ours, sizeof ours) <= 0) return false;
  return strcmp(theirs, ours) == 0;
}

namespace {

// The running instance named by the pid file, or 0; -1 when the file is
// refused (said why). The file must be a regular file of root's or of this
// user's, with one link, that nobody else can write, in a directory nobody
// else can write; its owner is taken for the daemon's user (*owner).
pid_t find_instance(const char* pidfile, uid_t* owner) {
  int fd = open(pidfile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return 0;
  }
  const uid_t self = geteuid();
  file_verdict v = st.st_uid == 0 || st.st_uid == self ? judge_file(&st, st.st_uid, false)
                                                        : FILE_FOREIGN_OWNER;
  if (v != FILE_OK) {
    close(fd);
    printf("refusing %s: %s\n", pidfile, file_verdict_text(v));
    return -1;
  }
  char why[2 * PATH_MAX + 100];
  if (directory_problem(pidfile, st.st_uid, why, sizeof why) != 0) {
    close(fd);
    printf("%s\n", why);
    return -1;
  }
  *owner = st.st_uid;
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
      // strtoll: a 32-bit long wraps 2^32 + N to N with one C library.
      const long long num = strtoll(text, nullptr, 10);
      if (num > 0 && num <= INT_MAX && runs_same_program(static_cast<pid_t>(num))) {
        pid = static_cast<pid_t>(num);
      }
    }
  }
  close(fd);
  return pid;
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

int status_command(const mux_config* cfg) {
  // Everything below, the wait for the answer included, within the limit.
  const int64_t deadline = now_ms() + ANSWER_LIMIT_MS;
  if (access(cfg->pidfile, F_OK) == 0 && access(cfg->pidfile, R_OK) != 0) {
    printf("can not read %s: %s\n", cfg->pidfile, strerror(errno));
    return 1;
  }
  uid_t owner = 0;
  const pid_t pid = find_instance(cfg->pidfile, &owner);
  if (pid < 0) return 1;
  if (pid == 0 || !process_exists(pid)) {
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
  struct stat st {};
  while (n < 0) {
    const int64_t left = deadline - now_ms();
    if (left <= 0) break;
    usleep(static_cast<useconds_t>(left < ANSWER_POLL_MS ? left : ANSWER_POLL_MS) * 1000);
    n = read_small_file(path, report, sizeof report, &st);
    if (n == -2 || (n < 0 && errno != ENOENT)) {
      // Something where the answer goes that is no regular file, or that
      // cannot be opened: not the instance's.
      printf("refusing %s: %s\n", path, n == -2 ? file_verdict_text(FILE_NOT_REGULAR)
                                                : strerror(errno));
      return 1;
    }
    if (n < 0 && !process_exists(pid)) break;
  }
  if (n < 0) {
    printf("no answer from pid %ld\n", static_cast<long>(pid));
    return 1;
  }
  // The instance writes it as the pid file's owner, with one link, for
  // nobody else to write.
  const file_verdict v = judge_file(&st, owner, false);
  if (v != FILE_OK) {
    printf("refusing %s: %s\n", path, file_verdict_text(v));
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
  print_report(bytes + c.pos, len - c.pos);
  return status;
}
