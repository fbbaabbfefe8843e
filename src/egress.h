// Egress: the call table and the building of multiplexed frames. A packet
// that passed the RTP test joins the pending frame as a sub-packet of its
// call; finished frames go to the server link. A packet whose sub-packet could
// never fit a frame is handed back to be carried whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "link.h"
#include "stats.h"

constexpr int MAX_CALL_SLOTS = 255;
// Hash buckets of the call index (a power of two).
constexpr int CALL_INDEX_BUCKETS = 512;

// One RTP stream as the sender sees it. Addresses and ports are kept as the
// raw packet bytes (network order) and compared as bytes.
struct call_entry {
  uint8_t src_addr[4];   // packet bytes 12..15
  uint8_t src_port[2];   // packet bytes 20..21
  uint8_t dst_addr[4];   // packet bytes 16..19
  uint8_t dst_port[2];   // packet bytes 22..23
  uint8_t call_id;       // slot index + 1
  uint8_t payload_type;  // of the stream's last full-form packet
  uint64_t last_seen;    // egress clock of the last accepted packet
  // Set by the server's recovery request: the entry counts as expired at any
  // clock value until a stream takes the slot again (last_seen = 0 alone
  // would leave it live while the clock is below rtp_timeout).
  bool force_full;
  // Set when the server challenges or authorizes the client during the run
  // (it may have restarted and lost its templates): the stream's next packet
  // goes out in full form under the same call id.
  bool send_full;
};

struct egress_state {
  const mux_config* cfg;
  server_link* link;
  mux_stats* stats;
  uint8_t password_len;
  call_entry* calls[MAX_CALL_SLOTS];
  // Index of `calls` by stream (addresses and ports): every slot with an
  // entry is on the chain of its stream's hash bucket, the chains in rising
  // slot order. Links hold slot + 1, 0 ends a chain, so a zeroed state has an
  // empty index.
  uint8_t index_head[CALL_INDEX_BUCKETS];
  uint8_t index_next[MAX_CALL_SLOTS];
  uint8_t* frame_buf;  // mtu bytes
  uint16_t frame_len;  // 0: no frame pending
  uint32_t frame_stamp;  // loop clock when the pending frame was started
};

// Wires the state to its link and counters and allocates the frame buffer.
// 0 or -1.
int egress_init(egress_state* e, const mux_config* cfg, server_link* link, mux_stats* stats);

// Frees the frame buffer and every call entry (a pending frame is dropped).
void egress_free(egress_state* e);

// Slot states. Liveness is judged on the egress clock (io_monotonic_clock),
// which does not wrap: a slot silent for rtp_timeout stays free however long
// it stays silent. The loop clock only stamps frames.
enum slot_state { SLOT_EMPTY, SLOT_LIVE, SLOT_EXPIRED };
slot_state call_slot_state(const call_entry* c, uint64_t now, uint32_t rtp_timeout);

// The table search: the lowest-numbered live slot among the first max_call
// whose entry holds the packet's stream, else the lowest free (empty or
// expired) slot among them, else -1. The packet must hold at least 24 bytes.
// The stream is looked up in the call index, so a packet of a live stream
// costs the same whatever its slot; only a stream without a live slot scans
// for the lowest free one. `now` is on the egress clock.
int find_call_slot(const egress_state* e, const uint8_t* pkt, uint64_t now);

enum egress_result { EGRESS_FATAL = -1, EGRESS_DONE = 0, EGRESS_CARRY_WHOLE = 1 };

// Carries one packet that passed the RTP test; `now` is the loop clock (it
// stamps a new frame), `clock` the egress clock. EGRESS_CARRY_WHOLE: its
// sub-packet could never fit a frame (an mtu smaller than the packet), so
// the caller sends it whole; EGRESS_FATAL: a frame send failed for good.
int egress_packet(egress_state* e, const uint8_t* pkt, size_t len, uint32_t now, uint64_t clock);

// Appends one sub-packet (head from call_id/type, then data) to the frame,
// sending the pending frame first when the item would not fit. The item must
// fit into an empty frame (sub_packet_size(type, data_len) <= mtu); one that
// does not is refused without touching the frame. 0 go on; -1 fatal send.
int append_sub_packet(egress_state* e, uint8_t call_id, uint8_t type, const uint8_t* data,
                      size_t data_len, uint32_t now);

// Sends the pending frame (XOR, one datagram to the link), counting why it
// left; frame_len is 0 afterwards. 0 sent or lost to a transient error; -1 fatal.
int egress_send_frame(egress_state* e, stat_flush why);

// Makes the stream of call id `call_id` count as expired, so that its next
// packet goes out whole (the server's recovery request).
void egress_force_full(egress_state* e, uint8_t call_id);

// Every stream sends its next packet in full form (a handshake of the run).
void egress_refresh_templates(egress_state* e);

// Frees every call entry and empties the call index.
void free_call_entries(egress_state* e);
