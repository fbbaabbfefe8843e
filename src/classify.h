// What a packet from the TUN device is: media to compress, a packet to
// forward whole, or neither. Pure: reads the packet and the settings only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"

// Shortest packet the RTP test can look at: bytes 28 and 29 must be there.
constexpr size_t RTP_TEST_MIN_LEN = 30;

bool is_static_payload_type(uint8_t pt);

// The RTP test: IPv4 with a 20-byte header (first byte 0x45), not a fragment,
// total length equal to `len`, UDP, RTP version 2 and a static payload type.
bool is_rtp_packet(const uint8_t* pkt, size_t len);

// The forwarding filter. A field that lies beyond the packet's end never
// matches.
bool is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len);
