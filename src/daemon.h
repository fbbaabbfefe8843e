// Daemon start and stop through the pid file.
#pragma once

#include "config.h"

// Returns 0 in the process that is now the daemon, -1 on failure. The invoking
// process never returns from a successful fork: it exits with status 0.
int start_daemon(const mux_config* cfg);

// 0 when no daemon is left running; -1 when it cannot be ended or its pid
// file cannot be removed.
int stop_daemon(const mux_config* cfg);
