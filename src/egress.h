// Egress: the RTP test, the call table and the building of multiplexed frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

bool is_static_payload_type(uint8_t pt);
bool is_rtp_packet(const uint8_t* pkt, size_t len);

// Carries one RTP packet. 0 go on; -1 the run must end (fatal frame send).
int mux_rtp_packet(mux_ctx* ctx, const uint8_t* pkt, size_t len, uint32_t now);

// Sends the pending frame (XOR, one datagram); frame_len is 0 afterwards.
// 0 sent or lost to a transient error; -1 fatal.
int write_muxed_data_to_sock(mux_ctx* ctx);

// Makes the stream of call id `call_id` count as expired, so that its next
// packet goes out whole (the server's recovery request).
void egress_force_full(mux_ctx* ctx, uint8_t call_id);

// Frees every call entry.
void free_call_entries(mux_ctx* ctx);
