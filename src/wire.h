// The byte layouts shared with the server: datagram kinds, the password XOR,
// sub-packets of multiplexed frames and recovery requests.
#pragma once

#include <cstddef>
#include <cstdint>

enum datagram_kind {
  DGRAM_NON_RTP,   // 0x00 0x00
  DGRAM_CONTROL,   // 0x00 0x81
  DGRAM_RECOVERY,  // 0x01 0x81
  DGRAM_FRAME,     // anything else
};

datagram_kind classify_datagram(uint8_t b0, uint8_t b1);

// XORs bytes 2 .. len-1 with the password as a repeating key (8-bit key index,
// reset when it equals K). No-op without a password or for len <= 2.
void password_xor(uint8_t* buf, size_t len, const char* password, uint8_t key_len);
