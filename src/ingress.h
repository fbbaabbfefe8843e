// Ingress: what the server sends, taken apart and written to the TUN device.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

// The 40 header bytes (IPv4, UDP, RTP fixed header) of a call's last full-form
// packet, from which its compressed packets are rebuilt.
struct rx_template {
  uint8_t hdr[40];
};

// Least time between two recovery requests for one call id, in units of
// io_monotonic_clock (2^20 a second): 100 ms and 10 ms more for the coarse
// clock's resolution, rounded up. The clock is read once per frame, so one
// frame never asks twice for the same call id either.
constexpr uint64_t RECOVERY_GAP = ((uint64_t{1} << 20) * 11 + 99) / 100;

// Handles the datagram of `len` bytes in ctx->rx_buf. 0 go on; -1 end the run.
int handle_server_datagram(mux_ctx* ctx, size_t len, const sockaddr* src, socklen_t srclen);

// Advances the template for one more packet of n payload bytes (lengths,
// sequence + 1, timestamp + 160, RTP marker bit cleared, IPv4 header checksum) and writes the 40
// header bytes and the payload to out. Returns n + 40, or 0 without touching
// anything when that would exceed out_cap.
size_t rebuild_packet(rx_template* t, const uint8_t* payload, size_t n, uint8_t* out,
                      size_t out_cap);

// RFC 1071 Internet checksum over a 20-byte IPv4 header (its checksum field
// counted as it stands).
uint16_t ipv4_header_checksum(const uint8_t* hdr);

// Frees every header template.
void free_rx_templates(mux_ctx* ctx);
