#include "tunnel.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "log.h"
#include "netio.h"

mux_ctx g_ctx;

// The port sits at the same place in both address families, so one write
// serves IPv4 and IPv6 alike.
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));

bool fd_fits_select(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

bool is_transient_recv_error(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == ENETUNREACH || err == ENETDOWN ||
         err == EPERM || err == EINTR;
}

bool is_transient_send_error(int err) { return err == EMSGSIZE || is_transient_recv_error(err); }

int set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    log_message("fcntl");
    close(fd);
    return -1;
  }
  return fd;
}

namespace {

// A descriptor that select cannot watch is refused: putting it into an
// fd_set would write past the set.
bool check_selectable(int fd) {
  if (fd_fits_select(fd)) return true;
  log_message("descriptor %d is beyond the select limit %d", fd, FD_SETSIZE);
  return false;
}

void close_tun(mux_ctx* ctx) {
  if (ctx->tun_fd >= 0) close(ctx->tun_fd);
  ctx->tun_fd = -1;
}

int open_tun(mux_ctx* ctx, const mux_config* cfg) {
  // Close-on-exec, here as for the socket and the control pipe: a script's
  // background job must not keep the device (and its name) after we end.
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    log_message("can not open /dev/net/tun");
    ctx->tun_fd = -1;
    return -1;
  }
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  const char* name = (cfg->intf != nullptr) ? cfg->intf : "";
  // At most IFNAMSIZ bytes; the kernel terminates a full-length name itself.
  size_t n = strnlen(name, IFNAMSIZ);
  memcpy(ifr.ifr_name, name, n);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
    log_message("can not setup tun device: %s", name);
    close(fd);
    ctx->tun_fd = -1;
    return -1;
  }
  ctx->tun_fd = fd;
  if (!check_selectable(fd)) {
    close_tun(ctx);
    return -1;
  }
  return 0;
}

int open_socket(mux_ctx* ctx, const mux_config* cfg) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(cfg->server != nullptr ? cfg->server : "", nullptr, &hints, &res);
  if (rc != 0) {
    log_message("getaddrinfo: %s", gai_strerror(rc));
    ctx->sock_fd = -1;
    return -1;
  }
  // Only the first result is used; the others are never tried.
  const addrinfo* ai = res;
  if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
      ai->ai_addrlen > sizeof ctx->server_addr_storage) {
    log_message("unknown ai_family %d", ai->ai_family);
    freeaddrinfo(res);
    ctx->sock_fd = -1;
    return -1;
  }
  auto* storage = reinterpret_cast<uint8_t*>(&ctx->server_addr_storage);
  memcpy(storage, ai->ai_addr, ai->ai_addrlen);
  memcpy(storage + offsetof(sockaddr_in, sin_port), &cfg->port, sizeof cfg->port);
  ctx->server_addrlen = ai->ai_addrlen;

  int fd = socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    log_message("can not create socket");
    freeaddrinfo(res);
    ctx->sock_fd = -1;
    return -1;
  }
  freeaddrinfo(res);
  ctx->sock_fd = set_nonblocking(fd);
  if (ctx->sock_fd == -1) return -1;
  if (!check_selectable(ctx->sock_fd)) {
    close(ctx->sock_fd);
    ctx->sock_fd = -1;
    return -1;
  }
  return 0;
}

}  // namespace

int setup_context(mux_ctx* ctx, const mux_config* cfg) {
  memset(ctx, 0, sizeof *ctx);
  ctx->server_addr = reinterpret_cast<sockaddr*>(&ctx->server_addr_storage);

  // The pipe comes first, so both its ends are below the other descriptors.
  if (pipe2(ctx->ctl_pipe, O_CLOEXEC) != 0) {
    log_message("pipe");
    return -1;
  }
  if (!check_selectable(ctx->ctl_pipe[0])) return -1;
  if (open_tun(ctx, cfg) != 0) return -1;
  if (open_socket(ctx, cfg) != 0) {
    close_tun(ctx);
    return -1;
  }
  ctx->config = cfg;
  ctx->password_len =
      static_cast<uint8_t>(cfg->password != nullptr ? strlen(cfg->password) : 0);
  return 0;
}

namespace {
// A stop that comes before the loop runs (during setup) is kept here, so that
// the loop ends as soon as it starts instead of the request being lost.
volatile sig_atomic_t stop_pending = 0;
}  // namespace

bool take_pending_stop() {
  bool pending = stop_pending != 0;
  stop_pending = 0;
  return pending;
}

int request_stop(mux_ctx* ctx) {
  if (ctx->running == 0) {
    stop_pending = 1;
    return -1;
  }
  ctx->running = 0;
  const uint8_t wake = 0;
  return io_write(ctx->ctl_pipe[1], &wake, 1) == 1 ? 0 : -1;
}

void stop_signal_handler(int) {
  // The interrupted code may be about to read errno: keep it.
  int saved = errno;
  request_stop(&g_ctx);
  errno = saved;
}

bool is_server_address(const mux_ctx* ctx, const sockaddr* addr, socklen_t len) {
  if (ctx->server_addr == nullptr || len != ctx->server_addrlen) return false;
  return memcmp(addr, ctx->server_addr, len) == 0;
}
