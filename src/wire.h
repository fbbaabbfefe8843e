// The byte layouts shared with the server: datagram kinds, the password XOR,
// sub-packets of multiplexed frames, recovery requests, control messages and
// the padded messages that carry non-RTP packets. Pure: no state but the pad
// generator's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.h"

enum datagram_kind {
  DGRAM_NON_RTP,   // 0x00 0x00
  DGRAM_CONTROL,   // 0x00 0x81
  DGRAM_RECOVERY,  // 0x01 0x81
  DGRAM_FRAME,     // anything else
};

datagram_kind classify_datagram(uint8_t b0, uint8_t b1);

// XORs bytes 2 .. len-1 with the password as a repeating key (8-bit key index,
// reset when it equals K). No-op without a password or for len <= 2.
// K = 0 with a non-empty password (a length that is a multiple of 256) cycles
// over its first 256 bytes; an empty password means no XOR at all.
void password_xor(uint8_t* buf, size_t len, const char* password, uint8_t key_len);

// IPv4 (20) + UDP (8) + RTP fixed header (12): what a full form carries in
// front of the payload and what the compressed forms leave out.
constexpr size_t MEDIA_HEADER_LEN = 40;
constexpr size_t IPV4_HEADER_LEN = 20;

// Sub-packet type bytes.
constexpr uint8_t SUB_FULL = 0x00;       // the whole IPv4 packet follows
constexpr uint8_t SUB_SHORT_MIN = 0x02;  // 0x02..0x7F: that many payload bytes
constexpr uint8_t SUB_SHORT_MAX = 0x7F;
constexpr uint8_t SUB_LONG = 0x80;       // 16-bit length, then the payload

constexpr uint8_t RECOVERY_BYTE0 = 0x01;
constexpr uint8_t RECOVERY_BYTE1 = 0x81;
constexpr size_t RECOVERY_LEN = 4;

// Type byte for a compressed payload of n bytes: the short form for 2..127,
// the long form otherwise. A 1-byte payload goes long, because a short type
// byte of 0x01 is rejected by the receiver (and n = 0 is never compressed).
constexpr uint8_t compressed_type_for(size_t n) {
  return (n >= SUB_SHORT_MIN && n <= SUB_SHORT_MAX) ? static_cast<uint8_t>(n) : SUB_LONG;
}

// Bytes a sub-packet of this type takes in a frame, head included, when it
// carries `data_len` bytes (the packet for the full form, the payload else).
constexpr size_t sub_packet_size(uint8_t type, size_t data_len) {
  return (type == SUB_LONG ? 4u : 2u) + data_len;
}

// Writes the 2- or 4-byte head (call id, type, and for the long form the
// big-endian payload length) at dst; returns its length. The caller makes room.
size_t write_sub_packet_head(uint8_t* dst, uint8_t call_id, uint8_t type, uint16_t data_len);

// Writes the 4-byte recovery request 0x01 0x81 call_id type at dst.
void write_recovery_request(uint8_t* dst, uint8_t call_id, uint8_t type);

// One sub-packet of a received frame, as located by frame_next.
struct sub_packet {
  uint8_t call_id;  // 1..255
  uint8_t type;     // SUB_FULL, 0x02..0x7F or SUB_LONG
  size_t offset;    // where the carried bytes start in the frame
  size_t len;       // T for the full form (>= 40), n for the compressed forms
};

enum walk_status {
  WALK_ITEM,         // *out holds the next sub-packet; the cursor moved past it
  WALK_END,          // the frame ended exactly after the previous sub-packet
  WALK_BAD_TYPE,     // type byte 0x01 or 0x81..0xFF
  WALK_BAD_CALL_ID,  // call id 0
  WALK_TRUNCATED,    // head, length or body runs past the end of the frame
  WALK_SHORT_FULL,   // full form whose IPv4 total length is below 40
};

// Locates the next sub-packet at the cursor without reading past c->len.
// Any status but WALK_ITEM leaves the cursor where it was; the rest of the
// frame is then not to be trusted. Pure: touches nothing but the cursor.
walk_status frame_next(byte_cursor* c, sub_packet* out);

// --- control messages: 0x00 0x81 and a keyword --------------------------------

enum control_keyword_index {
  KW_REQUEST = 0,
  KW_CHANLLANGE = 1,
  KW_DIGEST = 2,
  KW_DECLINED = 3,
  KW_AUTHORIZED = 4,
  KW_SERVER_RESTARTED = 5,
};

extern const char* const control_keywords[6];

constexpr uint8_t CONTROL_BYTE0 = 0x00;
constexpr uint8_t CONTROL_BYTE1 = 0x81;
// The shortest control payload worth matching: six keyword bytes.
constexpr size_t CONTROL_MIN_PAYLOAD = 6;
// Offset of the challenge in a CHANLLANGE datagram: 0x00 0x81 "CHANLLANGE".
constexpr size_t CHALLENGE_OFFSET = 12;
// The longest control message the client sends: 0x00 0x81 "DIGEST" and 16 bytes.
constexpr size_t CONTROL_MAX_LEN = 24;

// Matches a control payload (the bytes after 0x00 0x81) against keywords 0 to
// 4 by prefix, in index order; returns the index or -1.
int match_control_keyword(const uint8_t* payload, size_t len);

// The keyword of a whole control datagram, or -1 when its payload is shorter
// than CONTROL_MIN_PAYLOAD or matches none.
int control_keyword_of(const uint8_t* dgram, size_t len);

// Writes the 9-byte REQUEST at dst (CONTROL_MAX_LEN bytes of room); returns 9.
size_t write_request(uint8_t* dst);

// Writes the 24-byte DIGEST message carrying `digest` at dst; returns 24.
size_t write_digest_message(uint8_t* dst, const uint8_t digest[16]);

// The length of the challenge carried by a CHANLLANGE datagram of `dgram_len`
// bytes: (dgram_len - 12) modulo 256.
constexpr uint8_t challenge_length(size_t dgram_len) {
  return static_cast<uint8_t>(dgram_len - CHALLENGE_OFFSET);
}

// Only challenges of 15 to 63 bytes are answered.
constexpr bool challenge_usable(uint8_t len) { return len >= 15 && len <= 63; }

// --- non-RTP packets: 0x00 0x00, a pad of password_len bytes, the packet XORed
// with the pad as a repeating key ---------------------------------------------

constexpr size_t NON_RTP_HEAD = 2;

// State of the pad generator: fixed nonzero start, one xorshift32 step per pad
// byte, never reset.
extern uint32_t pad_rng_state;

// One xorshift32 step on pad_rng_state; returns the new state.
uint32_t pad_rng_next();

// Writes the message carrying `pkt` at dst with a fresh pad of `pad_len`
// bytes; returns its length, or 0 when it would exceed `cap`.
size_t write_non_rtp(uint8_t* dst, size_t cap, const uint8_t* pkt, size_t len, size_t pad_len);

// The packet a non-RTP message of `len` bytes carries, pad removed, into dst;
// returns its length, or 0 when the message holds no packet byte or the packet
// would exceed `cap`.
size_t read_non_rtp(uint8_t* dst, size_t cap, const uint8_t* dgram, size_t len, size_t pad_len);
