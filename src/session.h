// The session: everything one run of the tunnel holds, as one record whose
// members each belong to one module, which alone writes them (the counters
// are added to by every module of the data path through its own pointer, and
// read by the reports). Here too the glue between the halves: what a packet
// from the TUN device or a datagram from the server is handed to, and what
// the registration's events make happen.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "egress.h"
#include "forward.h"
#include "ingress.h"
#include "keepalive.h"
#include "link.h"
#include "registration.h"
#include "resolver.h"
#include "stats.h"
#include "tundev.h"
#include "watch.h"

// Datagrams one receive call takes, and the size of each slot.
constexpr unsigned RX_BATCH = 8;
constexpr size_t RX_SLOT_SIZE = 4096;

struct mux_ctx {
  const mux_config* config;
  mux_stats stats;
  server_link link;        // link
  tun_device tun;          // tundev
  reg_machine reg;         // registration
  egress_state egress;     // egress
  ingress_state ingress;   // ingress
  forward_state forward;   // forward
  keepalive idle;          // keepalive
  server_watch watch;      // watch
  resolver names;          // resolver
  uint64_t status_due_at;  // status: the next status-file write (monotonic us), 0 none
  uint8_t* rx_block;       // loop: RX_BATCH receive slots of RX_SLOT_SIZE bytes
};

// Opens the TUN device and the server link and prepares every module. The
// control channel is opened before (its descriptors come first). 0 or -1
// (logged; nothing left open).
int session_open(mux_ctx* s, const mux_config* cfg);

// Prepares every module on endpoints already in place (link and tun). 0, or
// -1 when a buffer cannot be allocated (session_close frees what was).
int session_prepare(mux_ctx* s, const mux_config* cfg);

// Sends the frames already held (a pending frame that was not due is
// dropped), frees the call entries and templates, closes the TUN device and
// the socket.
void session_close(mux_ctx* s);

// True while the server has the client authorized.
inline bool session_registered(const mux_ctx* s) { return s->reg.state == REG_AUTHORIZED; }

// Carries out what a step of the registration asked for (counts, full forms,
// the message to send). 0, or -1 when the run must end.
int session_apply(mux_ctx* s, unsigned events, uint64_t now);

// One packet read from the TUN device: media to the frame (`now` the loop
// clock, `clock` the egress clock), the rest forwarded when allowed.
// 0 go on; -1 the run must end.
int session_tun_packet(mux_ctx* s, const uint8_t* pkt, size_t len, uint32_t now, uint64_t clock);

// One datagram from the socket while running: by its kind to forwarding, the
// registration, egress (recovery requests) or ingress (frames). `now` is the
// monotonic clock in microseconds, `clock` the egress clock. 0 go on; -1 end.
int session_datagram(mux_ctx* s, uint8_t* dgram, size_t len, const sockaddr* src,
                     socklen_t srclen, uint64_t now, uint64_t clock);

// One datagram while registering at start: only the server's control
// messages count; anything else is no answer and changes nothing.
// 0 go on; -1 end.
int session_registering_datagram(mux_ctx* s, const uint8_t* dgram, size_t len,
                                 const sockaddr* src, socklen_t srclen, uint64_t now);

// The server watch, once a running pass: what was sent, and a probe, a
// search step or a new resolution when one is due. A failed send is counted
// and logged; the run goes on.
void session_watch(mux_ctx* s, uint64_t now);

// The resolver's pipe is readable: a round of the search may begin.
void session_resolved(mux_ctx* s, uint64_t now);

// The keepalive's REQUEST on an idle line. A failed send is logged; the run
// goes on.
void session_send_idle_request(mux_ctx* s);
