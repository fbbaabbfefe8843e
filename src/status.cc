#include "status.h"

#include <climits>
#include <cstdio>

#include "atomic_file.h"
#include "deadline.h"
#include "netio.h"
#include "report.h"

namespace {

constexpr const char* REPORT_SUFFIX = ".status";
constexpr const char* REGISTERED_LINE = "registered\n";
constexpr const char* UNREGISTERED_LINE = "not registered\n";
constexpr uint64_t US_PER_SECOND = 1000000;

bool has_status_file(const mux_ctx* s) {
  return s->config != nullptr && s->config->status_file != nullptr;
}

int write_report_body(FILE* f, const void* arg) {
  const auto* s = static_cast<const mux_ctx*>(arg);
  fputs(session_registered(s) ? REGISTERED_LINE : UNREGISTERED_LINE, f);
  return report_text(f, s, io_wall_time(), io_loop_clock(), io_monotonic_clock());
}

int write_prometheus_body(FILE* f, const void* arg) {
  return report_prometheus(f, static_cast<const mux_ctx*>(arg), io_wall_time(), io_loop_clock(),
                           io_monotonic_clock());
}

// Writes the status file and arms the next write.
void write_file_and_arm(mux_ctx* s, uint64_t now) {
  if (!has_status_file(s)) return;
  (void)status_write_file(s);
  s->status_due_at = deadline_after(now, s->config->status_interval * US_PER_SECOND);
}

}  // namespace

int status_write_file(const mux_ctx* s) {
  if (!has_status_file(s)) return 0;
  return write_file_atomically(s->config->status_file, 0644, write_prometheus_body, s);
}

int status_write_report(const mux_ctx* s) {
  if (s->config == nullptr || s->config->pidfile == nullptr) return -1;
  char path[PATH_MAX];
  int n = snprintf(path, sizeof path, "%s%s", s->config->pidfile, REPORT_SUFFIX);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return -1;
  return write_file_atomically(path, 0600, write_report_body, s);
}

void status_start(mux_ctx* s, uint64_t now) {
  s->stats.started = io_wall_time();
  write_file_and_arm(s, now);
}

void status_on_deadline(mux_ctx* s, uint64_t now) {
  if (s->status_due_at != 0 && now >= s->status_due_at) write_file_and_arm(s, now);
}

void status_serve_request(mux_ctx* s, uint64_t now) {
  (void)status_write_report(s);
  write_file_and_arm(s, now);
}
