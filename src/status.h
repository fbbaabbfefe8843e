// Status on demand: the status file (status_file, every status_interval
// seconds), SIGUSR1, and the `-s status` command.
//
// On SIGUSR1 the instance writes "<pidfile>.status" and, when status_file is
// set, the status file; each is written beside under the name plus ".tmp"
// and renamed over it.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "config.h"
#include "tunnel.h"

// SIGUSR1: marks a status request and wakes the loop through the control
// pipe, as the stop request does (only while the loop runs). Async-signal-safe.
void status_signal_handler(int signo);

// At the start of the loop, before the registration: stamps the start,
// writes the status file a first time (corvex_registered 0) and serves a
// request that came during setup.
void status_loop_start(mux_ctx* ctx);

// The wait of one pass, bounded by the next status-file write: returns
// `timeout` unchanged without a status file or when it ends first, else
// fills `tv` and returns it.
timeval* status_wait_bound(mux_ctx* ctx, timeval* timeout, timeval* tv);

// After a wait (`ready` as select returned it, `now` the loop clock): writes
// the status file when it is due. True when the wait ended empty only
// because of the status timer, so that the pass is not an idle one.
bool status_after_wait(mux_ctx* ctx, int ready, uint32_t now);

// The control pipe gave a byte: true when it was a status request, now
// served (the run goes on); false when it was a stop.
bool status_wake(mux_ctx* ctx);

// Writes the status file now (a no-op without status_file). 0 or -1.
int status_write_file(const mux_ctx* ctx);

// Writes the report for `-s status` beside the pid file. 0 or -1.
int status_write_report(const mux_ctx* ctx);
