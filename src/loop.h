// The event loop of the data path.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "tunnel.h"

// The loop clock: (seconds << 20) | (microseconds & 0xFFFFF), wrapping.
inline uint32_t loop_clock_from(const timeval& tv) {
  return (static_cast<uint32_t>(tv.tv_sec) << 20) | (static_cast<uint32_t>(tv.tv_usec) & 0xFFFFFu);
}

uint32_t loop_clock_now();

// Runs until a stop request or a fatal error; always returns -1.
int run_event_loop(mux_ctx* ctx);
