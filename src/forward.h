// Forwarding of non-RTP packets in padded messages, both ways.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "link.h"
#include "stats.h"
#include "tundev.h"

// Room for the longest message or packet forwarded.
constexpr size_t FORWARD_BUF_SIZE = 4096;

struct forward_state {
  const mux_config* cfg;
  server_link* link;
  tun_device* tun;
  mux_stats* stats;
  uint8_t password_len;
  uint8_t buf[FORWARD_BUF_SIZE];
};

void forward_init(forward_state* f, const mux_config* cfg, server_link* link, tun_device* tun,
                  mux_stats* stats);

// TUN to server: the packet whole in a padded message, counted as `kind`
// (non_rtp, or rtp_whole for media that could not be compressed). 0 go on;
// -1 the run must end.
int forward_to_server(forward_state* f, const uint8_t* pkt, size_t len, stat_kind kind);

// Server to TUN, for a datagram starting 0x00 0x00. 0 go on; -1 end.
int forward_to_tun(forward_state* f, const uint8_t* dgram, size_t len);
