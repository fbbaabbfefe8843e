// Ingress: the server's multiplexed frames taken apart, their packets
// rebuilt from the calls' header templates and written to the TUN device; a
// compressed packet of a call without template is answered with a recovery
// request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "link.h"
#include "stats.h"
#include "tundev.h"

constexpr int MAX_TEMPLATES = 255;
// Room for the longest packet rebuilt from a datagram.
constexpr size_t REBUILD_BUF_SIZE = 4096;

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
// Recovery requests across all call ids within one RECOVERY_GAP: anyone can
// forge the server's address, and one frame must not turn into many
// datagrams towards the server.
constexpr unsigned RECOVERY_BUDGET = 4;

struct ingress_state {
  const mux_config* cfg;
  server_link* link;
  tun_device* tun;
  mux_stats* stats;
  uint8_t password_len;
  rx_template* templates[MAX_TEMPLATES];
  // Per call id (index call id - 1), the egress clock value from which a
  // recovery request for it may be sent again; 0: any time.
  uint64_t recovery_next[MAX_TEMPLATES];
  // The budget's window: its start on the egress clock and what it spent.
  uint64_t budget_start;
  unsigned budget_used;
  uint8_t out[REBUILD_BUF_SIZE];  // the packet being rebuilt
};

// Wires the state to its endpoints and counters; no template yet.
void ingress_init(ingress_state* in, const mux_config* cfg, server_link* link, tun_device* tun,
                  mux_stats* stats);

// A multiplexed frame of `len` bytes from the server (it is un-XORed in
// place); `clock` is the egress clock. 0 go on; -1 the run must end.
int ingress_frame(ingress_state* in, uint8_t* dgram, size_t len, uint64_t clock);

// Advances the template for one more packet of n payload bytes (lengths,
// sequence + 1, timestamp + 160, RTP marker bit cleared, IPv4 header
// checksum) and writes the 40 header bytes and the payload to out. Returns
// n + 40, or 0 without touching anything when that would exceed out_cap.
size_t rebuild_packet(rx_template* t, const uint8_t* payload, size_t n, uint8_t* out,
                      size_t out_cap);

// RFC 1071 Internet checksum over a 20-byte IPv4 header (its checksum field
// counted as it stands).
uint16_t ipv4_header_checksum(const uint8_t* hdr);

// Frees every header template.
void free_rx_templates(ingress_state* in);
