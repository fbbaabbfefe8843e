// Daemon start and stop through the pid file.
#pragma once

#include "config.h"

// The places of the daemon's files (file_safety.h): the pid file, the log
// file (a character device passes) and the status file's directory, for the
// effective user. 0, or -1 with the reason logged. start_daemon checks them
// first, so that a refusal is said on the terminal.
int check_daemon_files(const mux_config* cfg);

// The status file's directory alone (0 with no status file): for a
// foreground run at start-up. 0 or -1 (logged).
int check_status_file_place(const mux_config* cfg);

// Returns 0 in the process that is now the daemon, -1 on failure. The invoking
// process never returns from a successful fork: it exits with status 0.
int start_daemon(const mux_config* cfg);

// 0 when no daemon is left running; -1 when it cannot be ended or its pid
// file cannot be removed. Only a pid file whose lock is held names a daemon,
// and only when the system names the lock's holder and it is the process
// the file names is that process signalled (-1 otherwise). An unlocked file
// naming a process of this same program is a supervisor's: -1, and the file
// stays. Any other unlocked one is stale and is removed. A pid file that is
// not the user's own regular file, single-linked and written by nobody else,
// in a directory nobody else can write (file_safety.h), is refused (-1).
int stop_daemon(const mux_config* cfg);

// In the daemon, as its run ends: removes the pid file it holds locked.
void remove_own_pid_file(const mux_config* cfg);
