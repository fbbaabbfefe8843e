// Counters of the data path, one plain record in the session: what flowed, in
// which form, and what was lost and why. The modules of the data path only add
// to them (a few adds per packet, no system call, no allocation), each through
// the pointer it was given; the reports read them.
//
// Directions: egress is the LAN side towards the server (TUN to socket),
// ingress the server towards the LAN (socket to TUN). Packet bytes are IPv4
// total lengths as read from or written to the TUN device.
#pragma once

#include <cstdint>

#include "ingress_filter.h"

enum stat_direction : uint8_t { DIR_EGRESS = 0, DIR_INGRESS = 1, DIR_COUNT = 2 };

// What a packet travelled as: RTP in full, short or long form (the sub-packet
// it went out in, or came in as), a non-RTP message, or RTP that could not be
// compressed (its sub-packet would not fit a frame) and went whole in a
// non-RTP message.
enum stat_kind : uint8_t {
  KIND_RTP_FULL = 0,
  KIND_RTP_SHORT = 1,
  KIND_RTP_LONG = 2,
  KIND_NON_RTP = 3,
  KIND_RTP_WHOLE = 4,
  KIND_COUNT = 5,
};

// Why a frame left: it was exactly mtu bytes, the next sub-packet did not
// fit, or it reached max_muxing_time.
enum stat_flush : uint8_t { FLUSH_FULL = 0, FLUSH_NO_ROOM = 1, FLUSH_AGE = 2, FLUSH_COUNT = 3 };

enum stat_drop : uint8_t {
  DROP_NOT_FORWARDABLE = 0,  // egress: non-RTP packet the filter refuses
  DROP_NO_SLOT,              // egress: new stream, every call slot live
  DROP_SHORT,                // egress: RTP packet of 40 bytes or less with nothing to compress
  DROP_TOO_LARGE,            // a packet that no buffer can hold
  DROP_SEND_ERROR,           // a send to the server failed (unless transient, the run ends)
  DROP_WRITE_ERROR,          // ingress: a TUN write failed (unless tolerated, the run ends)
  DROP_NO_MEMORY,            // a call entry or template could not be allocated
  DROP_FOREIGN_SOURCE,       // ingress: datagram not from the server's address
  DROP_RUNT,                 // ingress: datagram too short for its kind
  DROP_BAD_TYPE,             // ingress: invalid sub-packet type byte, rest of frame
  DROP_BAD_CALL_ID,          // ingress: call id 0, rest of frame
  DROP_TRUNCATED,            // ingress: sub-packet runs past the datagram, rest of frame
  DROP_SHORT_FULL,           // ingress: full form shorter than 40 bytes, rest of frame
  DROP_NO_TEMPLATE,          // ingress: compressed sub-packet of a call without template
  DROP_FILTERED,             // ingress: refused by the ingress filter (ingress_filter=1)
  DROP_COUNT,
};

enum stat_registration : uint8_t { REGS_STARTED = 0, REGS_AUTHORIZED, REGS_DECLINED, REGS_COUNT };

constexpr int STAT_SLOTS = 255;  // = MAX_CALL_SLOTS, one per call id

struct mux_stats {
  uint64_t packets[DIR_COUNT][KIND_COUNT];
  uint64_t bytes[DIR_COUNT][KIND_COUNT];
  uint64_t frames[DIR_COUNT];
  uint64_t frame_bytes[DIR_COUNT];  // UDP payload bytes of the frames
  uint64_t flushes[FLUSH_COUNT];
  uint64_t drops[DIR_COUNT][DROP_COUNT];
  uint64_t recovery_requests[DIR_COUNT];  // egress: sent; ingress: received
  uint64_t registrations[REGS_COUNT];
  uint64_t idle_requests;
  uint64_t filtered[INGRESS_VERDICT_COUNT];  // ingress filter drops by its verdict
  int64_t last_authorized;  // Unix time of the last AUTHORIZED, 0 never
  int64_t started;          // Unix time the loop started
  // Per call id, indexed by the call id itself (0 is never used, which
  // spares the data path a subtraction): egress slot figures, reset when the
  // slot takes a new stream, and packets rebuilt or written per template.
  uint64_t slot_packets[STAT_SLOTS + 1];
  uint64_t slot_bytes[STAT_SLOTS + 1];
  uint32_t slot_last[STAT_SLOTS + 1];  // loop clock of the slot's last packet
  uint64_t template_packets[STAT_SLOTS + 1];
};

// --- increments, for the data path ---------------------------------------
// Always inlined: a call would cost more than the additions themselves.
#define STATS_INLINE inline __attribute__((always_inline))

// One drop; returns 0 so that a path can end with `return stats_drop(...)`.
STATS_INLINE int stats_drop(mux_stats* s, stat_direction d, stat_drop why) {
  s->drops[d][why]++;
  return 0;
}

STATS_INLINE void stats_packet(mux_stats* s, stat_direction d, stat_kind k, uint64_t len) {
  s->packets[d][k]++;
  s->bytes[d][k] += len;
}

STATS_INLINE void stats_frame(mux_stats* s, stat_direction d, uint64_t len) {
  s->frames[d]++;
  s->frame_bytes[d] += len;
}

// The kind of a sub-packet by its type byte (full, short or long form).
// Without a branch: 0x00 full, 0x02..0x7F short, 0x80 long.
STATS_INLINE stat_kind stats_kind_of(uint8_t type) {
  return static_cast<stat_kind>((type != 0x00) + (type >> 7));
}

// An RTP packet appended to the frame as a sub-packet of `type` carrying
// `data_len` bytes (the whole packet for the full form, the payload else).
STATS_INLINE void stats_egress_rtp(mux_stats* s, uint8_t call_id, uint8_t type, uint64_t data_len,
                             uint32_t now) {
  const stat_kind k = stats_kind_of(type);
  const uint64_t len = data_len + (type != 0x00 ? 40 : 0);
  stats_packet(s, DIR_EGRESS, k, len);
  s->slot_packets[call_id]++;
  s->slot_bytes[call_id] += len;
  s->slot_last[call_id] = now;
}

// A full-form packet of call `call_id` written to the TUN device.
STATS_INLINE void stats_ingress_full(mux_stats* s, uint8_t call_id, uint64_t len) {
  stats_packet(s, DIR_INGRESS, KIND_RTP_FULL, len);
  s->template_packets[call_id]++;
}

// A packet of call `call_id` rebuilt from a compressed sub-packet of `type`
// (short 0x02..0x7F or long 0x80) and written to the TUN device.
STATS_INLINE void stats_ingress_rebuilt(mux_stats* s, uint8_t call_id, uint8_t type,
                                        uint64_t len) {
  stats_packet(s, DIR_INGRESS, static_cast<stat_kind>(KIND_RTP_SHORT + (type >> 7)), len);
  s->template_packets[call_id]++;
}

// Egress slot `slot` (call id slot + 1) takes a new stream: its figures
// start again.
STATS_INLINE void stats_slot_open(mux_stats* s, int slot) {
  s->slot_packets[slot + 1] = 0;
  s->slot_bytes[slot + 1] = 0;
}

// A packet the ingress filter refused, by its verdict. Returns 0.
STATS_INLINE int stats_filtered(mux_stats* s, ingress_verdict v) {
  s->filtered[v]++;
  return stats_drop(s, DIR_INGRESS, DROP_FILTERED);
}

// A malformed frame from the walk's status on (bad type, call id 0,
// truncated, short full form). Returns 0.
int stats_walk_drop(mux_stats* s, int walk_status);

// The server authorized the client at Unix time `wall`.
void stats_authorized(mux_stats* s, int64_t wall);

// --- reading ----------------------------------------------------------------

extern const char* const stats_direction_names[DIR_COUNT];
extern const char* const stats_kind_names[KIND_COUNT];
extern const char* const stats_flush_names[FLUSH_COUNT];
extern const char* const stats_drop_names[DROP_COUNT];
extern const char* const stats_registration_names[REGS_COUNT];
// Words for a person, in the order of stat_drop.
extern const char* const stats_drop_words[DROP_COUNT];

// True when the reason can occur in that direction (what is exported).
bool stats_drop_applies(stat_direction d, stat_drop why);

// Bytes the frames took on the wire: UDP payload plus the IP and UDP headers
// (28 bytes over IPv4, 48 over IPv6).
uint64_t stats_wire_bytes(const mux_stats* s, stat_direction d, bool ipv6);

// The same RTP packets sent plainly, one datagram each: their IPv4 lengths.
uint64_t stats_plain_bytes(const mux_stats* s, stat_direction d);
