// Egress: the RTP test, the call table and the building of multiplexed frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

// Shortest packet the RTP test can look at: bytes 28 and 29 must be there.
constexpr size_t RTP_TEST_MIN_LEN = 30;

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

bool is_static_payload_type(uint8_t pt);
// The RTP test: IPv4 with a 20-byte header (first byte 0x45), not a fragment,
// total length equal to `len`, UDP, RTP version 2 and a static payload type.
bool is_rtp_packet(const uint8_t* pkt, size_t len);

// Slot states. Liveness is judged on the egress clock (io_monotonic_clock),
// which does not wrap: a slot silent for rtp_timeout stays free however long
// it stays silent. The loop clock only stamps frames.
enum slot_state { SLOT_EMPTY, SLOT_LIVE, SLOT_EXPIRED };
slot_state call_slot_state(const call_entry* e, uint64_t now, uint32_t rtp_timeout);

// The table search: the lowest-numbered live slot among the first max_call
// whose entry holds the packet's stream, else the lowest free (empty or
// expired) slot among them, else -1. The packet must hold at least 24 bytes.
// All searching of the table goes through here. The stream is looked up in
// the call index (mux_ctx call_index_*), so a packet of a live stream costs
// the same whatever its slot; only a stream without a live slot scans for the
// lowest free one. The index follows egress_calls as open_call and
// free_call_entries change it: nothing else may write egress_calls.
// `now` is on the egress clock.
int find_call_slot(const mux_ctx* ctx, const uint8_t* pkt, uint64_t now);

// Carries one RTP packet; `now` is the loop clock (it stamps a new frame),
// the egress clock is read here. 0 go on; -1 the run must end (fatal frame
// send).
int mux_rtp_packet(mux_ctx* ctx, const uint8_t* pkt, size_t len, uint32_t now);

// Appends one sub-packet (head from call_id/type, then data) to frame_buf,
// sending the pending frame first when the item would not fit. The item must
// fit into an empty frame (sub_packet_size(type, data_len) <= mtu); one that
// does not is refused without touching the frame. 0 go on; -1 fatal send.
int append_sub_packet(mux_ctx* ctx, uint8_t call_id, uint8_t type, const uint8_t* data,
                      size_t data_len, uint32_t now);

// Sends the pending frame (XOR, one datagram), or hands it to the loop's
// batch (ctx->batch) to go out at the end of the pass; frame_len is 0
// afterwards. 0 sent or lost to a transient error; -1 fatal.
int write_muxed_data_to_sock(mux_ctx* ctx);

// Makes the stream of call id `call_id` count as expired, so that its next
// packet goes out whole (the server's recovery request).
void egress_force_full(mux_ctx* ctx, uint8_t call_id);

// At a handshake of the run (challenge, then authorization): every stream
// sends its next packet in full form, so that a server that lost its
// templates has them again at once instead of one recovery round trip later.
void egress_refresh_templates(mux_ctx* ctx);

// Frees every call entry and empties the call index.
void free_call_entries(mux_ctx* ctx);
