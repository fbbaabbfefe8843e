#include "tundev.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "netio.h"

int tun_open(tun_device* t, const mux_config* cfg, mux_stats* stats) {
  t->fd = -1;
  t->nonblocking = false;
  t->stats = stats;
  // Close-on-exec: a script's background job must not keep the device (and
  // its name) after we end.
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    log_message("can not open /dev/net/tun");
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
    return -1;
  }
  // A descriptor that select cannot watch is refused: putting it into an
  // fd_set would write past the set.
  if (fd >= FD_SETSIZE) {
    log_message("descriptor %d is beyond the select limit %d", fd, FD_SETSIZE);
    close(fd);
    return -1;
  }
  t->fd = fd;
  return 0;
}

void tun_close(tun_device* t) {
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
}

bool tun_make_nonblocking(tun_device* t) {
  int flags = fcntl(t->fd, F_GETFL);
  t->nonblocking = flags != -1 && ((flags & O_NONBLOCK) != 0 ||
                                   fcntl(t->fd, F_SETFL, flags | O_NONBLOCK) == 0);
  return t->nonblocking;
}

bool is_transient_tun_read_error(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EPERM || err == EINTR;
}

bool is_transient_tun_write_error(int err) {
  // EIO: the interface is down (an up script that failed, an operator's
  // "ip link set down"); the packet is lost, the tunnel stays.
  return err == EAGAIN || err == EWOULDBLOCK || err == EPERM || err == EINTR || err == EINVAL ||
         err == EIO;
}

int tun_write(tun_device* t, const uint8_t* pkt, size_t len, const char* fatal_msg) {
  ssize_t w = io_write(t->fd, pkt, len);
  if (w >= 0) return 0;
  const int err = errno;
  stats_drop(t->stats, DIR_INGRESS, DROP_WRITE_ERROR);
  if (is_transient_tun_write_error(err)) return 0;
  log_message("%s", fatal_msg);
  return -1;
}
