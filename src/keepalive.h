// The keepalive of an idle line: after max_idle_cycle + 1 periods of
// waiting_time without traffic, a REQUEST, so that NATs on the way keep the
// client's mapping. Its tick is a deadline of its own that only traffic
// re-arms: status writes and status requests never delay it. Pure.
#pragma once

#include <cstdint>

struct keepalive {
  uint64_t period_us;  // waiting_time; 0: no keepalive
  uint16_t max_idle;   // max_idle_cycle
  uint16_t idle;       // ticks without traffic since the last REQUEST
  uint64_t at;         // the next tick (monotonic us); 0 none
};

void keepalive_init(keepalive* k, uint32_t waiting_time_us, uint16_t max_idle_cycle);

// Starts the ticks at `now` (the run begins).
void keepalive_start(keepalive* k, uint64_t now);

// Traffic at `now`: the count starts again and the next tick is a whole
// period away.
void keepalive_traffic(keepalive* k, uint64_t now);

// The tick, when due at `now`: true when a REQUEST is to go. While `busy` (a
// handshake sends its own messages) a tick counts nothing.
bool keepalive_tick(keepalive* k, uint64_t now, bool busy);
