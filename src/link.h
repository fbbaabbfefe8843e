// The server link: the UDP socket to the server, the server's address, and
// every datagram sent to it or received from it. One send path with one error
// rule: a transient error loses the datagram (counted), any other ends the
// run. While batching is on, frames are held and leave together in one
// sendmmsg; any other datagram sends the held frames first, so the order on
// the wire is that of frames sent at once.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "stats.h"

// Frames one batch holds; a further frame sends the held ones first.
constexpr unsigned FRAME_BATCH_MAX = 16;

struct server_link {
  int fd;
  // A socket of the other address family, opened only when the server is
  // looked for at an address of that family; -1 otherwise.
  int alt_fd;
  sockaddr_storage addr;
  socklen_t addrlen;
  uint64_t sends;  // datagrams handed to the socket for the server, ever
  mux_stats* stats;
  // The frame batch: FRAME_BATCH_MAX slots of `slot` bytes.
  uint8_t* bufs;
  size_t slot;
  uint16_t lens[FRAME_BATCH_MAX];
  unsigned count;
  bool batching;
};

// What a datagram sent to the server is, for the line logged when its send
// fails for good.
enum send_purpose : uint8_t { SEND_FRAME, SEND_NON_RTP, SEND_CONTROL, SEND_RECOVERY };

// Resolves `server` (the first address the resolver gives, with `port`),
// creates the non-blocking socket and the batch for frames of `mtu` bytes.
// 0 or -1 (logged; nothing left open).
int link_open(server_link* l, const mux_config* cfg, mux_stats* stats);

// Sends what is held, then closes the socket and frees the batch.
void link_close(server_link* l);

// True when the address equals the server's (same length, same bytes).
bool link_is_server(const server_link* l, const sockaddr* addr, socklen_t len);

// Errors after which a send to the server counts as done and what it carried
// is lost: EAGAIN/EWOULDBLOCK, ENETUNREACH, ENETDOWN, EPERM, EINTR, EMSGSIZE.
bool is_transient_send_error(int err);

// The same set without EMSGSIZE, for receives from the socket.
bool is_transient_recv_error(int err);

// Sends one datagram (held frames first). 0 sent; 1 lost to a transient error
// (counted as a send_error drop); -1 a fatal error (logged).
int link_send(server_link* l, const uint8_t* buf, size_t len, send_purpose why);

// Hands over a finished frame: held while batching is on (copied), else sent
// at once. 0, or -1 after a fatal send error.
int link_queue_frame(server_link* l, const uint8_t* frame, size_t len);

// Sends the held frames, in order, and empties the batch. A frame lost to a
// transient error is counted and the others still go; a fatal error drops the
// rest and gives -1. 0 otherwise.
int link_flush(server_link* l);

// Turns holding frames on or off (off sends what is held first). 0 or -1.
int link_set_batching(server_link* l, bool on);

// A REQUEST-sized probe to an address that may become the server's (a
// socket of its family is opened when needed). Never ends the run: any
// error loses the probe (counted as a send_error drop). 0 sent, 1 lost.
int link_send_to(server_link* l, const sockaddr* to, socklen_t len, const uint8_t* buf, size_t n);

// The server is at `addr` from now on (the socket of its family becomes the
// one used). 0, or -1 when no socket of that family could be had.
int link_set_server(server_link* l, const sockaddr* addr, socklen_t len);

// Room for an address as text: "[v6 address]:port" at most.
constexpr size_t LINK_ADDRESS_TEXT = 64;

// The numeric address and port, "a.b.c.d:port" or "[v6]:port".
void link_format_address(const sockaddr_storage* a, char* out, size_t cap);

// One received datagram, where it lies and whom it came from.
struct link_datagram {
  uint8_t* data;
  size_t len;
  sockaddr_storage src;
  socklen_t srclen;
};

// Receives up to `count` datagrams (count <= 8) into `count` slots of `slot`
// bytes at `block`. The number received (0 when none waits or after a
// transient error), or -1 after a fatal error (logged).
int link_receive(server_link* l, uint8_t* block, size_t slot, unsigned count, link_datagram* out);

// The same from a given socket of the link (fd or alt_fd).
int link_receive_on(server_link* l, int fd, uint8_t* block, size_t slot, unsigned count,
                    link_datagram* out);
