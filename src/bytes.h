// Byte-level helpers: big-endian fields built with shifts (never by casting a
// byte pointer to a wider type, which traps on strict-alignment hosts) and a
// bounds-checked read cursor.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t get_be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get_be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// A read cursor over bytes that were actually received. Invariant: pos <= len,
// so `n <= len - pos` is the overflow-free test for "n more bytes are there".
struct byte_cursor {
  const uint8_t* data;
  size_t len;
  size_t pos;
};

inline byte_cursor make_cursor(const uint8_t* data, size_t len) {
  return byte_cursor{data, len, 0};
}

inline size_t cursor_left(const byte_cursor* c) { return c->len - c->pos; }

inline bool cursor_has(const byte_cursor* c, size_t n) { return n <= c->len - c->pos; }

// Each reader returns 0 and advances, or returns -1 and leaves the cursor alone.
inline int cursor_u8(byte_cursor* c, uint8_t* out) {
  if (!cursor_has(c, 1)) return -1;
  *out = c->data[c->pos];
  c->pos += 1;
  return 0;
}

inline int cursor_be16(byte_cursor* c, uint16_t* out) {
  if (!cursor_has(c, 2)) return -1;
  *out = get_be16(c->data + c->pos);
  c->pos += 2;
  return 0;
}

// Hands out a pointer to the next n bytes, or null when fewer are left.
inline const uint8_t* cursor_take(byte_cursor* c, size_t n) {
  if (!cursor_has(c, n)) return nullptr;
  const uint8_t* p = c->data + c->pos;
  c->pos += n;
  return p;
}
