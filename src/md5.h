// MD5 message digest (RFC 1321), streaming.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_context {
  uint32_t state[4];
  uint64_t count;       // bytes fed so far
  uint8_t buffer[64];   // a partial block
};

void md5_init(md5_context* ctx);
void md5_update(md5_context* ctx, const uint8_t* data, size_t len);
// Writes the digest and zeroes the whole context.
void md5_final(uint8_t digest[16], md5_context* ctx);
