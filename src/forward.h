// Forwarding of non-RTP packets in padded messages, both ways.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

// State of the pad generator: fixed nonzero start, one xorshift32 step per pad
// byte, never reset.
extern uint32_t pad_rng_state;

// One xorshift32 step on pad_rng_state; returns the new state.
uint32_t pad_rng_next();

// The forwarding filter. A field that lies beyond the packet's end never
// matches.
bool is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len);

// A TUN write that fails with one of these (EAGAIN, EPERM, EINTR, EINVAL, EIO)
// counts as done and loses the packet; any other failure ends the run.
bool is_transient_tun_write_error(int err);

// TUN to server. 0 go on; -1 the run must end.
int write_sip_packet_to_sock(mux_ctx* ctx, const uint8_t* pkt, size_t len);

// Server to TUN, for a datagram starting 0x00 0x00. 0 go on; -1 end.
int write_sip_packet_to_tun(mux_ctx* ctx, const uint8_t* dgram, size_t len);
