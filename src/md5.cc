#include "md5.h"

#include <cstring>

namespace {

constexpr uint32_t rotl(uint32_t x, unsigned s) { return (x << s) | (x >> (32u - s)); }

// Per-step shift amounts of the four rounds.
constexpr unsigned SHIFTS[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

// floor(abs(sin(i + 1)) * 2^32).
constexpr uint32_t SINES[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Words are assembled from bytes, little-endian, whatever the host's order
// and whatever the alignment of `p`.
inline uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void md5_block(uint32_t state[4], const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; i++) m[i] = get_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (unsigned i = 0; i < 64; i++) {
    uint32_t f;
    unsigned g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) & 15;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) & 15;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) & 15;
    }
    uint32_t next = b + rotl(a + f + SINES[i] + m[g], SHIFTS[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5_init(md5_context* ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->count = 0;
  memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void md5_update(md5_context* ctx, const uint8_t* data, size_t len) {
  if (len == 0) return;
  size_t have = static_cast<size_t>(ctx->count & 63u);
  ctx->count += len;
  // Top up a partial block first.
  if (have != 0) {
    size_t take = 64 - have;
    if (len < take) {
      memcpy(ctx->buffer + have, data, len);
      return;
    }
    memcpy(ctx->buffer + have, data, take);
    md5_block(ctx->state, ctx->buffer);
    data += take;
    len -= take;
  }
  // Whole blocks straight from the caller's bytes.
  while (len >= 64) {
    md5_block(ctx->state, data);
    data += 64;
    len -= 64;
  }
  if (len != 0) memcpy(ctx->buffer, data, len);
}

void md5_final(uint8_t digest[16], md5_context* ctx) {
  uint64_t bits = ctx->count << 3;
  size_t have = static_cast<size_t>(ctx->count & 63u);
  // 0x80, zeros up to 56 bytes into a block, then the bit count: one more
  // block when 56 or more bytes are already in the last one.
  uint8_t pad[72];
  memset(pad, 0, sizeof pad);
  pad[0] = 0x80;
  size_t pad_len = (have < 56) ? (56 - have) : (120 - have);
  md5_update(ctx, pad, pad_len);
  uint8_t length[8];
  for (int i = 0; i < 8; i++) length[i] = static_cast<uint8_t>(bits >> (8 * i));
  md5_update(ctx, length, sizeof length);
  for (int i = 0; i < 4; i++) put_le32(digest + 4 * i, ctx->state[i]);
  // Leave nothing of the input or the state behind.
  volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(ctx);
  for (size_t i = 0; i < sizeof *ctx; i++) p[i] = 0;
}
