// Status on demand: the status file (status_file, every status_interval
// seconds) and the answer to a status request (SIGUSR1, as `-s status`
// sends it): "<pidfile>.status", and the status file when one is set. Each
// is written beside its name and renamed over it.
#pragma once

#include <cstdint>

#include "session.h"

// At the start of the run, before the registration: stamps the start and
// writes the status file a first time (corvex_registered 0). `now` is the
// monotonic clock in microseconds.
void status_start(mux_ctx* s, uint64_t now);

// When the status file is next due (monotonic us); 0 without a status file.
inline uint64_t status_deadline(const mux_ctx* s) { return s->status_due_at; }

// Writes the status file when it is due at `now`.
void status_on_deadline(mux_ctx* s, uint64_t now);

// A status request: the report beside the pid file and the status file.
void status_serve_request(mux_ctx* s, uint64_t now);

// Writes the status file now (a no-op without status_file). 0 or -1.
int status_write_file(const mux_ctx* s);

// Writes the report for `-s status` beside the pid file. 0 or -1.
int status_write_report(const mux_ctx* s);
