// The control channel: what signals ask of the running process. SIGINT and
// SIGTERM ask it to stop, SIGUSR1 for a status report. A handler sets its
// flag and writes one wake byte to a non-blocking self-pipe whose read end
// the loop watches; the flags carry the meaning, a byte only wakes (a stray
// one means nothing).
#pragma once

// Opens the self-pipe (both ends non-blocking and close-on-exec). Requests
// that came before are kept: their flags stay set. 0 or -1 (logged).
int control_open();

// The pipe's read end, to watch; -1 before control_open.
int control_fd();

// Signal handlers: SIGINT/SIGTERM and SIGUSR1. Async-signal-safe.
void control_stop_handler(int signo);
void control_status_handler(int signo);

// True once a stop has been asked for (it stays asked).
bool control_stop_requested();

enum control_request { CTL_NONE, CTL_STATUS, CTL_STOP };

// What was asked since the last take: a stop (it wins and stays), else a
// status request (taken: the next take says CTL_NONE unless another came),
// else nothing. Reads the wake bytes off the pipe when `drain` is set (the
// wait found it readable).
control_request control_take(bool drain);

// Forgets every request: a new run in the same process starts clean.
void control_clear();
