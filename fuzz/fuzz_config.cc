// Fuzz target: the configuration file reader. The input is the file's
// contents, read through a memory file; each run starts from a fresh record
// with the defaults in place.
//
// setenv is replaced here: the exported pairs are checked and recorded, not
// put into the environment (which would grow without bound over millions of
// runs). A reference reader, written from the file rules, predicts the
// result, every exported pair in order and every field of the record.
// Text values are heap copies that live for the process; a copy that a later
// line replaces is given back by the reader. The copies the record still
// holds at the end are freed here, so that a leak left is the reader's.
#include <sys/mman.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "fuzz_support.h"
#include "log.h"
#include "netio.h"

namespace {

constexpr size_t MAX_EXPORTS = 4096;

struct export_pair {
  char name[512];
  char value[512];
};

struct state {
  int fd;
  char path[64];
  export_pair got[MAX_EXPORTS];
  size_t n_got;
  export_pair want[MAX_EXPORTS];
  size_t n_want;
  bool overflow;
};

state* S;

struct ref_record {
  bool server_set;
  char server[512];
  bool password_set;
  char password[512];
  char intf[512];
  char pidfile[512];
  char logfile[512];
  bool up_set;
  char up[512];
  bool down_set;
  char down[512];
  uint16_t port;
  uint16_t mtu;
  uint16_t sip_port;
  uint8_t max_call;
  uint32_t max_muxing_time;
  uint32_t waiting_time;
  uint32_t rtp_timeout;
  uint8_t allow_all;
  uint8_t allow_ping;
  uint16_t max_idle_cycle;
  uint8_t ingress_filter;
  bool status_file_set;
  char status_file[512];
  uint32_t status_interval;
  uint32_t server_timeout;
};

// Signed 32-bit decimal; *fits is false when the digits overflow 32 bits.
int32_t ref_to_int(const char* s, bool* fits) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r') s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = (*s++ == '-');
  int64_t v = 0;
  *fits = true;
  while (*s >= '0' && *s <= '9') {
    v = v * 10 + (*s++ - '0');
    if (v > 2147483648LL) {
      *fits = false;
      v = 0;
    }
  }
  if (neg) v = -v;
  if (v > 2147483647LL) *fits = false;
  return static_cast<int32_t>(v);
}

void set_text(char* dst, const char* src) { snprintf(dst, 512, "%s", src); }

// Returns the expected result; *exact is false where the rules leave the
// outcome open (a NUL byte in the file, a number beyond 32 bits).
int ref_load(const uint8_t* data, size_t size, ref_record* rec, bool* exact) {
  *exact = memchr(data, 0, size) == nullptr;
  size_t pos = 0;
  while (pos < size) {
    // One read: up to and including a line feed, at most 511 bytes.
    char line[512];
    size_t n = 0;
    while (pos < size && n < 511) {
      char c = static_cast<char>(data[pos++]);
      line[n++] = c;
      if (c == '\n') break;
    }
    line[n] = '\0';
    char* cr = strchr(line, '\r');
    if (cr != nullptr) *cr = '\n';
    char* lf = strchr(line, '\n');
    if (lf == nullptr) return -1;
    *lf = '\0';
    if (line[0] == '\0' || line[0] == '#') continue;
    char* eq = strchr(line, '=');
    if (eq == nullptr) return -1;
    *eq = '\0';
    const char* key = line;
    const char* value = eq + 1;
    if (strcmp(key, "password") != 0) {
      if (key[0] == '\0') return 1;
      if (S->n_want < MAX_EXPORTS) {
        set_text(S->want[S->n_want].name, key);
        set_text(S->want[S->n_want].value, value);
        S->n_want++;
      } else {
        S->overflow = true;
      }
    }
    bool fits = true;
    if (strcmp(key, "server") == 0) {
      rec->server_set = true;
      set_text(rec->server, value);
    } else if (strcmp(key, "password") == 0) {
      rec->password_set = true;
      set_text(rec->password, value);
    } else if (strcmp(key, "intf") == 0) {
      set_text(rec->intf, value);
    } else if (strcmp(key, "pidfile") == 0) {
      set_text(rec->pidfile, value);
    } else if (strcmp(key, "logfile") == 0) {
      set_text(rec->logfile, value);
    } else if (strcmp(key, "up") == 0) {
      rec->up_set = true;
      set_text(rec->up, value);
    } else if (strcmp(key, "down") == 0) {
      rec->down_set = true;
      set_text(rec->down, value);
    } else if (strcmp(key, "port") == 0) {
      rec->port = htons(static_cast<uint16_t>(ref_to_int(value, &fits)));
    } else if (strcmp(key, "sip_port") == 0) {
      rec->sip_port = htons(static_cast<uint16_t>(ref_to_int(value, &fits)));
    } else if (strcmp(key, "mtu") == 0) {
      int32_t v = ref_to_int(value, &fits);
      if (!fits) *exact = false;
      if (v >= 9001 || v < 1) return 1;
      rec->mtu = static_cast<uint16_t>(v);
    } else if (strcmp(key, "max_call") == 0) {
      int32_t v = ref_to_int(value, &fits);
      if (!fits) *exact = false;
      if (v < 1 || v > 255) return 1;
      rec->max_call = static_cast<uint8_t>(v);
    } else if (strcmp(key, "max_muxing_time") == 0) {
      rec->max_muxing_time = static_cast<uint32_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "waiting_time") == 0) {
      rec->waiting_time = static_cast<uint32_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "rtp_timeout") == 0) {
      rec->rtp_timeout = static_cast<uint32_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "allow_all") == 0) {
      rec->allow_all = static_cast<uint8_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "allow_ping") == 0) {
      rec->allow_ping = static_cast<uint8_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "max_idle_cycle") == 0) {
      rec->max_idle_cycle = static_cast<uint16_t>(ref_to_int(value, &fits));
    } else if (strcmp(key, "ingress_filter") == 0) {
      int32_t v = ref_to_int(value, &fits);
      if (!fits) *exact = false;
      if (v != 0 && v != 1) return 1;
      rec->ingress_filter = static_cast<uint8_t>(v);
    } else if (strcmp(key, "status_file") == 0) {
      set_text(rec->status_file, value);
      rec->status_file_set = true;
    } else if (strcmp(key, "status_interval") == 0) {
      int32_t v = ref_to_int(value, &fits);
      if (!fits) *exact = false;
      if (v < 1 || v > 3600) return 1;
      rec->status_interval = static_cast<uint32_t>(v);
    } else if (strcmp(key, "server_timeout") == 0) {
      int32_t v = ref_to_int(value, &fits);
      if (!fits) *exact = false;
      if (v < 0 || v > 86400) return 1;
      rec->server_timeout = static_cast<uint32_t>(v);
    }
    if (!fits) *exact = false;
  }
  if (!rec->server_set) return -1;
  if (rec->port == 0) return -1;
  return 0;
}

void check_text(const char* got, bool want_set, const char* want) {
  if (!want_set) {
    FZ_CHECK(got == nullptr);
    return;
  }
  FZ_CHECK(got != nullptr);
  if (strcmp(got, want) != 0) fprintf(stderr, "field \"%s\", expected \"%s\"\n", got, want);
  FZ_CHECK(strcmp(got, want) == 0);
}

}  // namespace

// The reader exports through POSIX setenv; this one checks and records.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
  FZ_CHECK(name != nullptr);
  FZ_CHECK(overwrite != 0);
  FZ_CHECK(strcmp(name, "password") != 0);
  if (name[0] == '\0' || strchr(name, '=') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (S->n_got < MAX_EXPORTS) {
    set_text(S->got[S->n_got].name, name);
    set_text(S->got[S->n_got].value, value);
    S->n_got++;
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet_stdout();
  S = static_cast<state*>(calloc(1, sizeof(state)));
  S->fd = memfd_create("corvex-fuzz-config", 0);
  if (S->fd < 0) {
    perror("memfd_create");
    abort();
  }
  snprintf(S->path, sizeof S->path, "/proc/self/fd/%d", S->fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(S->fd, 0) != 0) abort();
  if (size > 0 && pwrite(S->fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  verbose = (size > 0 && (data[0] & 1)) ? 1 : 0;

  mux_config defaults{};
  config_set_defaults(&defaults);
  mux_config cfg{};
  cfg.config_path = S->path;
  config_set_defaults(&cfg);

  S->n_got = 0;
  S->n_want = 0;
  S->overflow = false;
  ref_record want{};
  set_text(want.intf, defaults.intf);
  set_text(want.pidfile, defaults.pidfile);
  set_text(want.logfile, defaults.logfile);
  want.port = defaults.port;
  want.mtu = defaults.mtu;
  want.sip_port = defaults.sip_port;
  want.max_call = defaults.max_call;
  want.max_muxing_time = defaults.max_muxing_time;
  want.waiting_time = defaults.waiting_time;
  want.rtp_timeout = defaults.rtp_timeout;
  want.allow_all = defaults.allow_all;
  want.allow_ping = defaults.allow_ping;
  want.max_idle_cycle = defaults.max_idle_cycle;
  want.ingress_filter = defaults.ingress_filter;
  want.status_interval = defaults.status_interval;
  want.server_timeout = defaults.server_timeout;
  bool exact = true;
  int want_rc = ref_load(data, size, &want, &exact);

  int rc = load_config_file(&cfg, S->path);
  FZ_CHECK(rc == -1 || rc == 0 || rc == 1);
  if (rc == 0) {
    FZ_CHECK(cfg.server != nullptr);
    FZ_CHECK(cfg.port != 0);
    FZ_CHECK(cfg.max_call >= 1);
  }
  FZ_CHECK(cfg.config_path == S->path);

  if (exact && !S->overflow) {
    if (rc != want_rc) fprintf(stderr, "result %d, expected %d\n", rc, want_rc);
    FZ_CHECK(rc == want_rc);
    FZ_CHECK(S->n_got == S->n_want);
    for (size_t i = 0; i < S->n_got; i++) {
      FZ_CHECK(strcmp(S->got[i].name, S->want[i].name) == 0);
      FZ_CHECK(strcmp(S->got[i].value, S->want[i].value) == 0);
    }
    check_text(cfg.server, want.server_set, want.server);
    check_text(cfg.password, want.password_set, want.password);
    check_text(cfg.intf, true, want.intf);
    check_text(cfg.pidfile, true, want.pidfile);
    check_text(cfg.logfile, true, want.logfile);
    check_text(cfg.up, want.up_set, want.up);
    check_text(cfg.down, want.down_set, want.down);
    FZ_CHECK(cfg.port == want.port);
    FZ_CHECK(cfg.mtu == want.mtu);
    FZ_CHECK(cfg.sip_port == want.sip_port);
    FZ_CHECK(cfg.max_call == want.max_call);
    FZ_CHECK(cfg.max_muxing_time == want.max_muxing_time);
    FZ_CHECK(cfg.waiting_time == want.waiting_time);
    FZ_CHECK(cfg.rtp_timeout == want.rtp_timeout);
    FZ_CHECK(cfg.allow_all == want.allow_all);
    FZ_CHECK(cfg.allow_ping == want.allow_ping);
    FZ_CHECK(cfg.max_idle_cycle == want.max_idle_cycle);
    FZ_CHECK(cfg.ingress_filter == want.ingress_filter);
    check_text(cfg.status_file, want.status_file_set, want.status_file);
    FZ_CHECK(cfg.status_interval == want.status_interval);
    FZ_CHECK(cfg.server_timeout == want.server_timeout);
    FZ_CHECK(cfg.command == 0);
  }

  // Free the heap copies that the record still points to.
  const char* const* fields[] = {&cfg.password, &cfg.server,  &cfg.intf,   &cfg.up,
                                 &cfg.down,     &cfg.pidfile, &cfg.logfile, &cfg.status_file};
  const char* const* defs[] = {&defaults.password, &defaults.server,  &defaults.intf,
                               &defaults.up,       &defaults.down,    &defaults.pidfile,
                               &defaults.logfile,  &defaults.status_file};
  for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++) {
    if (*fields[i] != nullptr && *fields[i] != *defs[i]) free(const_cast<char*>(*fields[i]));
  }
  verbose = 0;
  return 0;
}

// The configuration reader makes no data-path system call; the product
// library still refers to the seam.
ssize_t io_sendto(int, const void*, size_t, const sockaddr*, socklen_t) {
  FZ_CHECK(!"no send while reading the configuration");
  return -1;
}
ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  FZ_CHECK(!"no receive while reading the configuration");
  return -1;
}
ssize_t io_read(int, void*, size_t) {
  FZ_CHECK(!"no read while reading the configuration");
  return -1;
}
ssize_t io_write(int, const void*, size_t) {
  FZ_CHECK(!"no write while reading the configuration");
  return -1;
}
uint64_t io_monotonic_clock() {
  FZ_CHECK(!"no clock while reading the configuration");
  return 0;
}
uint64_t io_monotonic_us() {
  FZ_CHECK(!"no clock while reading the configuration");
  return 0;
}
uint32_t io_loop_clock() {
  FZ_CHECK(!"no clock while reading the configuration");
  return 0;
}
int64_t io_wall_time() {
  FZ_CHECK(!"no clock while reading the configuration");
  return 0;
}

int io_select(int, fd_set*, timeval*) {
  FZ_CHECK(!"no wait while reading the configuration");
  return -1;
}

int io_sendmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"no send while reading the configuration");
  return -1;
}

int io_recvmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"no receive while reading the configuration");
  return -1;
}
