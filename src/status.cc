#include "status.h"

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

#include "atomic_file.h"
#include "log.h"
#include "loop.h"
#include "netio.h"
#include "stats.h"

namespace {

constexpr unsigned CLOCK_SECOND_SHIFT = 20;
constexpr const char* REPORT_SUFFIX = ".status";
constexpr const char* REGISTERED_LINE = "registered\n";
constexpr const char* UNREGISTERED_LINE = "not registered\n";

// Set by SIGUSR1, taken by the loop.
volatile sig_atomic_t status_requested = 0;

// The status file's timer, on the loop clock: last write and whether the
// current wait was cut short for the next one.
uint32_t file_written_at = 0;
bool wait_cut = false;

uint32_t interval_units(const mux_config* cfg) {
  return cfg->status_interval << CLOCK_SECOND_SHIFT;
}

bool has_status_file(const mux_ctx* ctx) {
  return ctx->config != nullptr && ctx->config->status_file != nullptr;
}

// `base` + `suffix` into out; false when it does not fit.
bool join_path(char* out, size_t cap, const char* base, const char* suffix) {
  int n = snprintf(out, cap, "%s%s", base, suffix);
  return n > 0 && static_cast<size_t>(n) < cap;
}

int write_report_body(FILE* f, const void* arg) {
  const auto* ctx = static_cast<const mux_ctx*>(arg);
  fputs(ctx->reg_state == REG_AUTHORIZED ? REGISTERED_LINE : UNREGISTERED_LINE, f);
  return stats_write_report(f, ctx, time(nullptr), loop_clock_now());
}

int write_prometheus_body(FILE* f, const void* arg) {
  return stats_write_prometheus(f, static_cast<const mux_ctx*>(arg), time(nullptr),
                                loop_clock_now());
}

// Serves a request taken from the flag: both files.
void serve_request(mux_ctx* ctx) {
  (void)status_write_report(ctx);
  if (has_status_file(ctx)) {
    (void)status_write_file(ctx);
    file_written_at = loop_clock_now();
  }
}

}  // namespace

void status_signal_handler(int) {
  int saved = errno;
  if (status_requested == 0) {
    status_requested = 1;
    if (g_ctx.running != 0) {
      const uint8_t wake = 0;
      (void)io_write(g_ctx.ctl_pipe[1], &wake, 1);
    }
  }
  errno = saved;
}

int status_write_file(const mux_ctx* ctx) {
  if (!has_status_file(ctx)) return 0;
  return write_file_atomically(ctx->config->status_file, 0644, write_prometheus_body, ctx);
}

int status_write_report(const mux_ctx* ctx) {
  if (ctx->config == nullptr || ctx->config->pidfile == nullptr) return -1;
  char path[PATH_MAX];
  if (!join_path(path, sizeof path, ctx->config->pidfile, REPORT_SUFFIX)) return -1;
  return write_file_atomically(path, 0600, write_report_body, ctx);
}

void status_loop_start(mux_ctx* ctx) {
  ctx->stats.started = static_cast<int64_t>(time(nullptr));
  wait_cut = false;
  if (status_requested != 0) {
    status_requested = 0;
    serve_request(ctx);
  } else if (has_status_file(ctx)) {
    (void)status_write_file(ctx);
    file_written_at = loop_clock_now();
  }
}

timeval* status_wait_bound(mux_ctx* ctx, timeval* timeout, timeval* tv) {
  wait_cut = false;
  if (!has_status_file(ctx)) return timeout;
  const uint64_t us =
      loop_clock_us_until_due(loop_clock_now(), file_written_at, interval_units(ctx->config));
  if (timeout != nullptr &&
      static_cast<uint64_t>(timeout->tv_sec) * 1000000u + static_cast<uint64_t>(timeout->tv_usec) <=
          us) {
    return timeout;
  }
  tv->tv_sec = static_cast<time_t>(us / 1000000u);
  tv->tv_usec = static_cast<suseconds_t>(us % 1000000u);
  wait_cut = true;
  return tv;
}

bool status_after_wait(mux_ctx* ctx, int ready, uint32_t now) {
  if (!has_status_file(ctx)) return false;
  if (frame_due(now, file_written_at, interval_units(ctx->config))) {
    (void)status_write_file(ctx);
    file_written_at = now;
  }
  return ready == 0 && wait_cut;
}

bool status_wake(mux_ctx* ctx) {
  if (ctx->running == 0 || status_requested == 0) return false;
  status_requested = 0;
  serve_request(ctx);
  return true;
}
