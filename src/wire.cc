#include "wire.h"

#include <cstring>

datagram_kind classify_datagram(uint8_t b0, uint8_t b1) {
  if (b0 != 0x00) {
    return (b0 == RECOVERY_BYTE0 && b1 == RECOVERY_BYTE1) ? DGRAM_RECOVERY : DGRAM_FRAME;
  }
  if (b1 == 0x00) return DGRAM_NON_RTP;
  if (b1 == 0x81) return DGRAM_CONTROL;
  return DGRAM_FRAME;  // its first call id, 0, is invalid
}

void password_xor(uint8_t* buf, size_t len, const char* password, uint8_t key_len) {
  if (password == nullptr || password[0] == '\0' || len <= 2) return;
  // The key index is an 8-bit counter reset when it reaches K: with K = 0 it
  // only comes back to 0 by wrapping, so 256 key bytes are used. Never read
  // more key bytes than the password has, whatever K the caller passed.
  size_t avail = strnlen(password, 256);
  size_t cycle = key_len == 0 ? 256 : key_len;
  if (cycle > avail) cycle = avail;
  const auto* key = reinterpret_cast<const uint8_t*>(password);
  size_t k = 0;
  for (size_t i = 2; i < len; i++) {
    if (k == cycle) k = 0;
    buf[i] ^= key[k];
    k++;
  }
}

size_t write_sub_packet_head(uint8_t* dst, uint8_t call_id, uint8_t type, uint16_t data_len) {
  dst[0] = call_id;
  dst[1] = type;
  if (type != SUB_LONG) return 2;
  put_be16(dst + 2, data_len);
  return 4;
}

void write_recovery_request(uint8_t* dst, uint8_t call_id, uint8_t type) {
  dst[0] = RECOVERY_BYTE0;
  dst[1] = RECOVERY_BYTE1;
  dst[2] = call_id;
  dst[3] = type;
}

walk_status frame_next(byte_cursor* c, sub_packet* out) {
  if (cursor_left(c) == 0) return WALK_END;
  byte_cursor at = *c;
  uint8_t call_id = 0;
  uint8_t type = 0;
  if (cursor_u8(&at, &call_id) != 0 || cursor_u8(&at, &type) != 0) return WALK_TRUNCATED;
  if (type == 0x01 || type > SUB_LONG) return WALK_BAD_TYPE;
  if (call_id == 0) return WALK_BAD_CALL_ID;

  size_t len = 0;
  if (type == SUB_FULL) {
    // The length is the carried packet's own IPv4 total length (bytes 2, 3).
    if (!cursor_has(&at, 4)) return WALK_TRUNCATED;
    len = get_be16(at.data + at.pos + 2);
    if (len < MEDIA_HEADER_LEN) return WALK_SHORT_FULL;
  } else if (type == SUB_LONG) {
    uint16_t n = 0;
    if (cursor_be16(&at, &n) != 0) return WALK_TRUNCATED;
    len = n;
  } else {
    len = type;
  }
  size_t offset = at.pos;
  if (cursor_take(&at, len) == nullptr) return WALK_TRUNCATED;

  out->call_id = call_id;
  out->type = type;
  out->offset = offset;
  out->len = len;
  *c = at;
  return WALK_ITEM;
}

const char* const control_keywords[6] = {
    "REQUEST", "CHANLLANGE", "DIGEST", "DECLINED", "AUTHORIZED", "MAY BE SERVER RESTARTED!",
};

int match_control_keyword(const uint8_t* payload, size_t len) {
  for (int i = KW_REQUEST; i <= KW_AUTHORIZED; i++) {
    size_t k = strlen(control_keywords[i]);
    if (len >= k && memcmp(payload, control_keywords[i], k) == 0) return i;
  }
  return -1;
}

int control_keyword_of(const uint8_t* dgram, size_t len) {
  if (len < 2 || len - 2 < CONTROL_MIN_PAYLOAD) return -1;
  return match_control_keyword(dgram + 2, len - 2);
}

namespace {

size_t write_control_header(uint8_t* dst, control_keyword_index kw) {
  size_t k = strlen(control_keywords[kw]);
  dst[0] = CONTROL_BYTE0;
  dst[1] = CONTROL_BYTE1;
  memcpy(dst + 2, control_keywords[kw], k);
  return 2 + k;
}

}  // namespace

size_t write_request(uint8_t* dst) { return write_control_header(dst, KW_REQUEST); }

size_t write_digest_message(uint8_t* dst, const uint8_t digest[16]) {
  size_t n = write_control_header(dst, KW_DIGEST);
  memcpy(dst + n, digest, 16);
  return n + 16;
}

uint32_t pad_rng_state = 0x2545F491u;

uint32_t pad_rng_next() {
  uint32_t x = pad_rng_state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  pad_rng_state = x;
  return x;
}

size_t write_non_rtp(uint8_t* dst, size_t cap, const uint8_t* pkt, size_t len, size_t pad_len) {
  if (NON_RTP_HEAD + pad_len + len > cap) return 0;
  dst[0] = 0x00;
  dst[1] = 0x00;
  uint8_t* pad = dst + NON_RTP_HEAD;
  for (size_t k = 0; k < pad_len; k++) pad[k] = static_cast<uint8_t>(pad_rng_next());
  uint8_t* body = pad + pad_len;
  if (pad_len == 0) {
    // No pad, no key: the packet travels unchanged.
    memcpy(body, pkt, len);
  } else {
    for (size_t j = 0; j < len; j++) body[j] = pkt[j] ^ pad[j % pad_len];
  }
  return NON_RTP_HEAD + pad_len + len;
}

size_t read_non_rtp(uint8_t* dst, size_t cap, const uint8_t* dgram, size_t len, size_t pad_len) {
  if (len <= NON_RTP_HEAD + pad_len) return 0;
  const size_t n = len - NON_RTP_HEAD - pad_len;
  if (n > cap) return 0;
  const uint8_t* pad = dgram + NON_RTP_HEAD;
  const uint8_t* body = pad + pad_len;
  if (pad_len == 0) {
    memcpy(dst, body, n);
  } else {
    for (size_t i = 0; i < n; i++) dst[i] = body[i] ^ pad[i % pad_len];
  }
  return n;
}
