#include "link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "netio.h"

// The port sits at the same place in both address families, so one write
// serves IPv4 and IPv6 alike.
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));

namespace {

constexpr unsigned RECV_MAX = 8;

int send_failed(server_link* l, int err, send_purpose why) {
  if (is_transient_send_error(err)) {
    stats_drop(l->stats, DIR_EGRESS, DROP_SEND_ERROR);
    return 1;
  }
  switch (why) {
    case SEND_FRAME:
      LOG_ERRNO("write_muxed_data_to_sock() %s [%d]\n", err);
      break;
    case SEND_NON_RTP:
      LOG_ERRNO(" write_sip_packet_to_sock() %s [%d]\n", err);
      break;
    case SEND_CONTROL:
      LOG_ERRNO("Error in socket_send() %s [%d]\n", err);
      break;
    case SEND_RECOVERY:
      LOG_ERRNO("recovery request send: %s [%d]\n", err);
      break;
  }
  return -1;
}

// A non-blocking UDP socket of `family` that select can watch, or -1 (logged).
int new_socket(int family) {
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    log_message("can not create socket");
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    log_message("fcntl");
    close(fd);
    return -1;
  }
  if (fd >= FD_SETSIZE) {
    log_message("descriptor %d is beyond the select limit %d", fd, FD_SETSIZE);
    close(fd);
    return -1;
  }
  return fd;
}

int open_socket(server_link* l, const mux_config* cfg) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(cfg->server != nullptr ? cfg->server : "", nullptr, &hints, &res);
  if (rc != 0) {
    log_message("getaddrinfo: %s", gai_strerror(rc));
    return -1;
  }
  // Only the first result is used; the others are never tried.
  const addrinfo* ai = res;
  if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
      ai->ai_addrlen > sizeof l->addr) {
    log_message("unknown ai_family %d", ai->ai_family);
    freeaddrinfo(res);
    return -1;
  }
  auto* storage = reinterpret_cast<uint8_t*>(&l->addr);
  memcpy(storage, ai->ai_addr, ai->ai_addrlen);
  memcpy(storage + offsetof(sockaddr_in, sin_port), &cfg->port, sizeof cfg->port);
  l->addrlen = ai->ai_addrlen;
  const int family = ai->ai_family;
  freeaddrinfo(res);
  l->fd = new_socket(family);
  return l->fd >= 0 ? 0 : -1;
}

}  // namespace

bool is_transient_recv_error(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == ENETUNREACH || err == ENETDOWN ||
         err == EPERM || err == EINTR;
}

bool is_transient_send_error(int err) { return err == EMSGSIZE || is_transient_recv_error(err); }

int link_open(server_link* l, const mux_config* cfg, mux_stats* stats) {
  memset(l, 0, sizeof *l);
  l->fd = -1;
  l->alt_fd = -1;
  l->stats = stats;
  if (open_socket(l, cfg) != 0) return -1;
  l->slot = cfg->mtu != 0 ? cfg->mtu : 1;
  l->bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, l->slot));
  if (l->bufs == nullptr) {
    log_message("can not allocate the loop buffers");
    link_close(l);
    return -1;
  }
  return 0;
}

void link_close(server_link* l) {
  if (l->fd >= 0) {
    (void)link_flush(l);
    shutdown(l->fd, SHUT_RDWR);
    close(l->fd);
  }
  l->fd = -1;
  if (l->alt_fd >= 0) close(l->alt_fd);
  l->alt_fd = -1;
  free(l->bufs);
  l->bufs = nullptr;
  l->count = 0;
  l->batching = false;
}

bool link_is_server(const server_link* l, const sockaddr* addr, socklen_t len) {
  if (len != l->addrlen || l->addrlen == 0) return false;
  return memcmp(addr, &l->addr, len) == 0;
}

int link_send(server_link* l, const uint8_t* buf, size_t len, send_purpose why) {
  if (link_flush(l) != 0) return -1;
  l->sends++;
  ssize_t n = io_sendto(l->fd, buf, len, reinterpret_cast<const sockaddr*>(&l->addr), l->addrlen);
  if (n >= 0) return 0;
  return send_failed(l, errno, why);
}

int link_queue_frame(server_link* l, const uint8_t* frame, size_t len) {
  if (!l->batching || l->bufs == nullptr) {
    l->sends++;
    ssize_t n =
        io_sendto(l->fd, frame, len, reinterpret_cast<const sockaddr*>(&l->addr), l->addrlen);
    return n >= 0 || send_failed(l, errno, SEND_FRAME) >= 0 ? 0 : -1;
  }
  if (len > l->slot) return 0;  // never: frames are at most mtu bytes
  int rc = 0;
  if (l->count == FRAME_BATCH_MAX) rc = link_flush(l);
  memcpy(l->bufs + l->count * l->slot, frame, len);
  l->lens[l->count++] = static_cast<uint16_t>(len);
  return rc;
}

int link_flush(server_link* l) {
  if (l->count == 0) return 0;
  iovec iov[FRAME_BATCH_MAX];
  mmsghdr msgs[FRAME_BATCH_MAX];
  memset(msgs, 0, sizeof msgs);
  for (unsigned i = 0; i < l->count; i++) {
    iov[i].iov_base = l->bufs + i * l->slot;
    iov[i].iov_len = l->lens[i];
    msgs[i].msg_hdr.msg_name = &l->addr;
    msgs[i].msg_hdr.msg_namelen = l->addrlen;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const unsigned n = l->count;
  l->count = 0;
  l->sends += n;
  unsigned i = 0;
  while (i < n) {
    int sent = io_sendmmsg(l->fd, msgs + i, n - i);
    if (sent > 0) {
      i += static_cast<unsigned>(sent);
      continue;
    }
    if (send_failed(l, sent == 0 ? EAGAIN : errno, SEND_FRAME) < 0) return -1;
    i++;  // that frame is lost; the others still go
  }
  return 0;
}

int link_set_batching(server_link* l, bool on) {
  const int rc = on ? 0 : link_flush(l);
  l->batching = on;
  return rc;
}

namespace {

int family_of(const sockaddr_storage& a) { return a.ss_family; }

// The link's socket for `family`, opening the other family's on first use.
int socket_for(server_link* l, int family) {
  if (family == family_of(l->addr)) return l->fd;
  if (l->alt_fd < 0) l->alt_fd = new_socket(family);
  return l->alt_fd;
}

}  // namespace

int link_send_to(server_link* l, const sockaddr* to, socklen_t len, const uint8_t* buf, size_t n) {
  if (len > sizeof(sockaddr_storage)) return 1;
  const int fd = socket_for(l, to->sa_family);
  if (fd >= 0 && io_sendto(fd, buf, n, to, len) >= 0) return 0;
  stats_drop(l->stats, DIR_EGRESS, DROP_SEND_ERROR);
  return 1;
}

int link_set_server(server_link* l, const sockaddr* addr, socklen_t len) {
  if (len > sizeof l->addr) return -1;
  if (addr->sa_family != family_of(l->addr)) {
    const int fd = socket_for(l, addr->sa_family);
    if (fd < 0) return -1;
    if (link_flush(l) != 0) return -1;
    l->alt_fd = l->fd;  // kept: the old family may be asked again
    l->fd = fd;
  }
  memset(&l->addr, 0, sizeof l->addr);
  memcpy(&l->addr, addr, len);
  l->addrlen = len;
  return 0;
}

int link_receive(server_link* l, uint8_t* block, size_t slot, unsigned count, link_datagram* out) {
  return link_receive_on(l, l->fd, block, slot, count, out);
}

int link_receive_on(server_link*, int fd, uint8_t* block, size_t slot, unsigned count,
                    link_datagram* out) {
  if (count > RECV_MAX) count = RECV_MAX;
  mmsghdr msgs[RECV_MAX];
  iovec iov[RECV_MAX];
  memset(msgs, 0, sizeof msgs);
  for (unsigned i = 0; i < count; i++) {
    iov[i].iov_base = block + i * slot;
    iov[i].iov_len = slot;
    msgs[i].msg_hdr.msg_name = &out[i].src;
    msgs[i].msg_hdr.msg_namelen = sizeof out[i].src;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  int n = io_recvmmsg(fd, msgs, count);
  if (n < 0) {
    int err = errno;
    if (is_transient_recv_error(err)) return 0;
    LOG_ERRNO("recvfrom() %s [%d]\n", err);
    return -1;
  }
  for (int i = 0; i < n; i++) {
    out[i].data = block + static_cast<size_t>(i) * slot;
    out[i].len = msgs[i].msg_len;
    out[i].srclen = msgs[i].msg_hdr.msg_namelen;
  }
  return n;
}

void link_format_address(const sockaddr_storage* a, char* out, size_t cap) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (a->ss_family == AF_INET) {
    sockaddr_in v4;
    memcpy(&v4, a, sizeof v4);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    port = ntohs(v4.sin_port);
    snprintf(out, cap, "%s:%u", host, port);
  } else if (a->ss_family == AF_INET6) {
    sockaddr_in6 v6;
    memcpy(&v6, a, sizeof v6);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    port = ntohs(v6.sin6_port);
    snprintf(out, cap, "[%s]:%u", host, port);
  } else {
    snprintf(out, cap, "?");
  }
}
