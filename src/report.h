// What the session tells: the counters as Prometheus text and the state for
// a person (the `-s status` report).
#pragma once

#include <cstdint>
#include <cstdio>

#include "session.h"

// Live egress slots at `clock`, the egress table's clock (io_monotonic_clock).
int report_live_calls(const mux_ctx* ctx, uint64_t clock);

// The counters in the Prometheus text exposition format (0.0.4). `wall` is
// the Unix time now, `now` the loop clock, `clock` the egress clock. Returns
// the stream's error state: 0 written, -1 an error.
int report_prometheus(FILE* f, const mux_ctx* ctx, int64_t wall, uint32_t now, uint64_t clock);

// The state for a person: server, registration, live calls, templates,
// totals with the saving, drops. Same arguments and result.
int report_text(FILE* f, const mux_ctx* ctx, int64_t wall, uint32_t now, uint64_t clock);
