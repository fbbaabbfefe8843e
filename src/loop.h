// The event loop: one wait for the control channel, the TUN device and the
// socket, bounded by the session's named deadlines, then whatever is ready
// and whatever deadline has come. One loop, two phases: registering (at
// start: the socket and the control channel only, the TUN device unread) and
// running (everything; after a wake that found traffic, packets gather for a
// short interval before the next drain).
#pragma once

#include <cstdint>

#include "session.h"

enum loop_phase { PHASE_REGISTERING, PHASE_RUNNING };

enum loop_end { LOOP_AUTHORIZED, LOOP_STOPPED, LOOP_FATAL };

// Runs one phase: registering until the server authorizes the client (the
// REQUEST goes first), running until a stop or a fatal error. A stop asked for
// before the phase begins ends it before anything is sent.
loop_end run_loop(mux_ctx* s, loop_phase phase);

// Coalesced wakes, in the manner of a network card's interrupt moderation:
// the interval packets may gather for after a drain that read `tun_packets`
// over `elapsed_us` since the one before: at most GATHER_MAX_US, shorter when
// one interval's packets at that rate would exceed a quarter of the TUN
// device's transmit queue, 0 after a drain that reached its cap.
constexpr uint64_t GATHER_MAX_US = 5000;
uint64_t gather_interval(int tun_packets, bool capped, uint64_t elapsed_us);
