// The TUN device: opening it, its reads and writes, and its error rules.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "stats.h"

struct tun_device {
  int fd;
  bool nonblocking;  // reads stop at EAGAIN (else one read per wake)
  mux_stats* stats;
};

// Opens /dev/net/tun as `intf` (IFF_TUN | IFF_NO_PI). 0 or -1 (logged).
int tun_open(tun_device* t, const mux_config* cfg, mux_stats* stats);

void tun_close(tun_device* t);

// Makes reads stop at EAGAIN instead of blocking; false when the descriptor
// cannot be made non-blocking (it is then read once per wake).
bool tun_make_nonblocking(tun_device* t);

// A read error after which the read counts as empty and the run goes on:
// EAGAIN/EWOULDBLOCK, EPERM, EINTR.
bool is_transient_tun_read_error(int err);

// A TUN write that fails with one of these (EAGAIN, EPERM, EINTR, EINVAL, EIO)
// counts as done and loses the packet; any other failure ends the run.
bool is_transient_tun_write_error(int err);

// Writes one packet under the write rule: 0 done (also when lost to a
// tolerated error, counted as a write_error drop), -1 fatal (logged with
// `fatal_msg`).
int tun_write(tun_device* t, const uint8_t* pkt, size_t len, const char* fatal_msg);
