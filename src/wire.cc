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
