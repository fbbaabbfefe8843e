// Status on demand: the status file (status_file, every status_interval
// seconds), SIGUSR1, and the `-s status` command.
//
// How `-s status` reaches a running instance: it reads the pid file named by
// `pidfile`. If a process holds the file's lock (a daemon), that process is
// the instance. Otherwise the file may have been written by a supervisor for
// a foreground instance (procd's pidfile parameter, or a systemd unit that
// writes $MAINPID); the pid in it is taken only if that process runs this
// same program. A process that does not catch SIGUSR1 (an older build, which
// SIGUSR1 would end) is never signalled. The command removes
// "<pidfile>.status", sends SIGUSR1 and waits for the instance to write that
// file afresh; its first line is "registered" or "not registered", the rest
// the report, which the command prints before removing the file.
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

// `-s status`: prints the running instance's state. Exit status: 0 running
// and registered, 3 running but not registered, 1 none running (or no answer).
int status_command(const mux_config* cfg);
