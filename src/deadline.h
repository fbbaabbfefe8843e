// The arithmetic of the loop's time: the loop clock that stamps frames, and
// the named deadlines whose earliest ends the wait of one pass. Pure.
#pragma once

#include <cstdint>

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

// What the loop waits for besides its descriptors, each filled by its owner
// every pass: the pending frame falling due (egress), the registration's
// resend (registration), the status file (reports), the keepalive's tick
// (idle), the end of a gathering interval (the loop) and the server watch's
// next probe or search step (watch).
enum deadline_id : uint8_t {
  DL_FRAME = 0,
  DL_RESEND,
  DL_STATUS,
  DL_IDLE,
  DL_GATHER,
  DL_WATCH,
  DL_COUNT,
};

// Times on the monotonic clock in microseconds; 0 is "none".
struct deadline_set {
  uint64_t at[DL_COUNT];
};

// The wait until the earliest deadline, from `now`: 0 when one has passed,
// UINT64_MAX when none is set.
uint64_t deadline_wait_us(const deadline_set* d, uint64_t now);

// True when deadline `id` is set and has come at `now`.
inline bool deadline_expired(const deadline_set* d, deadline_id id, uint64_t now) {
  return d->at[id] != 0 && d->at[id] <= now;
}

// A deadline `us` from `now`, never 0 (which would read as none).
inline uint64_t deadline_after(uint64_t now, uint64_t us) {
  const uint64_t at = now + us;
  return at != 0 ? at : 1;
}
