// Daemon start and stop through the pid file.
#pragma once

#include "config.h"

// Returns 0 in the process that is now the daemon, -1 on failure. The invoking
// process never returns from a successful fork: it exits with status 0.
int start_daemon(const mux_config* cfg);

// 0 when no daemon is left running; -1 when it cannot be ended or its pid
// file cannot be removed. Only a pid file whose lock is held names a daemon
// (and, where the system tells the lock's holder, only that process is
// signalled); an unlocked one is stale and is removed.
int stop_daemon(const mux_config* cfg);

// In the daemon, as its run ends: removes the pid file it holds locked.
void remove_own_pid_file(const mux_config* cfg);
