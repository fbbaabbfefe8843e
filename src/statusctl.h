// The `-s status` command: asks the running instance for its report.
//
// How it reaches a running instance: it reads the pid file named by
// `pidfile`. If a process holds the file's lock (a daemon), that process is
// the instance. Otherwise the file may have been written by a supervisor for
// a foreground instance (procd's pidfile parameter, or a systemd unit that
// writes $MAINPID); the pid in it is taken only if that process runs this
// same program. A process that does not catch SIGUSR1 (an older build, which
// SIGUSR1 would end) is never signalled. The command removes
// "<pidfile>.status", sends SIGUSR1 and waits for the instance to write that
// file afresh; its first line is "registered" or "not registered", the rest
// the report, which the command prints before removing the file.
#pragma once

#include <sys/types.h>

#include "config.h"

// True when process `pid` runs the same program as this process (its
// command name in /proc); false when that cannot be read.
bool runs_same_program(pid_t pid);

// Prints the running instance's state. Exit status: 0 running and
// registered, 3 running but not registered, 1 none running (or no answer).
int status_command(const mux_config* cfg);
