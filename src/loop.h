// The event loop of the data path.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "tunnel.h"

// The loop clock: (seconds << 20) | (microseconds & 0xFFFFF), wrapping.
inline uint32_t loop_clock_from(const timeval& tv) {
  return (static_cast<uint32_t>(tv.tv_sec) << 20) | (static_cast<uint32_t>(tv.tv_usec) & 0xFFFFFu);
}

// The loop clock now, from gettimeofday.
uint32_t loop_clock_now();

// True when a frame started at loop-clock value `stamp` is at least `max_age`
// units old at `now`; ages are taken modulo 2^32, so this holds across a wrap.
constexpr bool frame_due(uint32_t now, uint32_t stamp, uint32_t max_age) {
  return static_cast<uint32_t>(now - stamp) >= max_age;
}

// Real microseconds from the moment the clock read `now` until it first reads
// a value at which a frame started at `stamp` is due (0 when it already is).
// A clock second spans 2^20 units of which only the first million are ever
// read, so the clock jumps at each second boundary; this accounts for that.
uint64_t loop_clock_us_until_due(uint32_t now, uint32_t stamp, uint32_t max_age);

// The timeout of one wait of the loop, filled into `tv`; null means no
// timeout. A nonzero waiting_time waits that many microseconds; with
// waiting_time 0 the wait has no timeout while no frame is pending
// (frame_len 0). While one is, the wait ends no later than when that frame
// falls due; `now` is the clock just before the wait and is only read then.
timeval* loop_wait_timeout(const mux_config* cfg, uint16_t frame_len, uint32_t frame_stamp,
                           uint32_t now, timeval* tv);

// True when a wait with this timeout, if nothing arrives, is an idle one that
// counts towards max_idle_cycle: it runs the whole nonzero waiting_time.
bool loop_wait_is_idle_wait(const mux_config* cfg, const timeval* timeout);

// Runs until a stop request or a fatal error; always returns -1.
int run_event_loop(mux_ctx* ctx);
