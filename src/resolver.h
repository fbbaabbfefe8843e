// Resolving the server's name again while the loop runs: in a child process,
// so that a resolver that is slow or never answers costs the loop nothing but
// a descriptor to watch. The child writes what it found to a pipe and ends;
// one that takes too long is killed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "watch.h"

struct resolver {
  pid_t pid;  // 0: none running
  int fd;     // the pipe's read end, -1 when none
  uint8_t buf[WATCH_CANDIDATES * (2 + sizeof(sockaddr_storage))];
  size_t got;
};

void resolver_init(resolver* r);

// Starts resolving `name` (addresses get `port`, in network order). 0, or -1
// when no child could be started (logged).
int resolver_start(resolver* r, const char* name, uint16_t port);

// Reads what the child wrote so far. 1: done, `out` holds `*count`
// addresses (0 when the name gave none); 0: more to come; the child is gone
// in either case but 0.
int resolver_read(resolver* r, watch_candidate* out, int* count);

// Ends a resolution under way (the child is killed and reaped).
void resolver_cancel(resolver* r);

// The layout of the child's answer: per address its family's code (4 or 6),
// its length, then the address bytes. Pure; returns how many it decoded
// (at most `cap`), skipping nothing but stopping at the first malformed one.
int resolver_decode(const uint8_t* buf, size_t len, watch_candidate* out, int cap);
