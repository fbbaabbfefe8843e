// Fuzz target: the event loop as a whole, run_event_loop from its start
// (buffers, registration) to its teardown, with every wait, TUN read and
// socket receive scripted by the input. It covers the dispatch between the
// branches (TUN before socket, the control pipe first, the idle REQUEST,
// the time-based flush, the fatal and transient errors) that the other
// targets play by hand.
//
// Input: 6 setting bytes, then records (fuzz_support.h). Settings:
//   s0 mtu choice, s1 max_call choice,
//   s2 bits 0-1 password (0 none, 1 empty, 2-3 length s3), bit 2 allow_all,
//      bit 3 allow_ping, bit 4 verbose, bit 5 waiting_time 1000 (else 0),
//      bits 6-7 max_idle_cycle (0, 1, 2, 65535)
//   s3 password length, s4 max_muxing_time choice, s5 password seed.
// Each wait takes one record. In the handshake (the wait watches the pipe
// and the socket only) ctl bits 6-7 choose the event (fz_handshake_wait).
// In the loop, aux bits 0-2 choose: 0 the TUN device readable with the
// record's bytes, 1 the socket with the record's bytes, 2 both (the same
// bytes), 3 time-out, 4 EINTR, 5 the control pipe, 6 the TUN device readable
// but the read fails (aux bit 5: fatal), 7 the wait itself fails. ctl bits
// 0-1 the source, 2-3 the sends, 4-5 the TUN writes, aux bits 3-4 the
// receive (fuzz_support.h). When the records run out, `running` is cleared
// and the wait fails with EINTR, as a stop request would do. While packets
// gather after a wake with traffic, the loop's wait watches the control pipe
// alone: the record's choice then stands for what arrives meanwhile (the
// drains that follow find it), and only the pipe is reported ready.
//
// Checks: the sanitizers (rx_buf beyond what was read or received is
// poisoned), every send goes to the server and every frame fits mtu, the
// loop returns -1 with `running` cleared, its buffers freed and descriptors
// closed, and it ends (a wait after the stop is counted).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "fuzz_support.h"
#include "log.h"
#include "loop.h"
#include "netio.h"
#include "tunnel.h"

namespace {

struct seam_state {
  mux_ctx* ctx;
  const mux_config* cfg;
  fz_reader* reader;
  uint8_t cur_ctl;
  uint8_t cur_aux;
  bool sock_pending;
  bool tun_pending;
  bool tun_fails;
  fz_record rec;
  unsigned waits_after_stop;
  uint64_t clock;  // the egress clock: 1/64 s further at every reading
};

seam_state* S;

}  // namespace

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  FZ_CHECK(fd == S->ctx->sock_fd);
  FZ_CHECK(buf != nullptr);
  FZ_CHECK(to != nullptr && tolen == S->ctx->server_addrlen);
  FZ_CHECK(memcmp(to, &S->ctx->server_addr_storage, tolen) == 0);
  const auto* p = static_cast<const uint8_t*>(buf);
  if (len >= 1 && p[0] != 0x00 && !(len == 4 && p[0] == 0x01 && p[1] == 0x81)) {
    // A multiplexed frame, from frame_buf: bounded by mtu (up to 65535).
    FZ_CHECK(len <= S->cfg->mtu);
    FZ_CHECK(p[0] <= S->cfg->max_call);
  } else {
    FZ_CHECK(len <= TX_BUF_SIZE);  // built in tx_buf
  }
  fz_touch(buf, len);
  return fz_send_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_write(int fd, const void* buf, size_t len) {
  FZ_CHECK(fd == S->ctx->tun_fd);
  FZ_CHECK(buf != nullptr && len <= TX_BUF_SIZE);
  fz_touch(buf, len);
  return fz_write_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_read(int fd, void* buf, size_t len) {
  FZ_CHECK(buf != nullptr && len >= 1);
  if (fd == FZ_PIPE_RD) {
    static_cast<uint8_t*>(buf)[0] = 's';
    return 1;
  }
  FZ_CHECK(fd == S->ctx->tun_fd);
  FZ_CHECK(len >= RX_BUF_SIZE);
  if (!S->tun_pending) {
    errno = EAGAIN;
    return -1;
  }
  S->tun_pending = false;
  if (S->tun_fails) {
    errno = (S->cur_aux & 0x20) ? EIO : EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(fz_deliver(S->ctx, buf, len, S->rec.data, S->rec.len));
}

ssize_t io_recvfrom(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromlen) {
  FZ_CHECK(fd == S->ctx->sock_fd);
  FZ_CHECK(buf != nullptr && from != nullptr && fromlen != nullptr);
  if (!S->sock_pending) {
    errno = EAGAIN;
    return -1;
  }
  S->sock_pending = false;
  if (fz_recv_fails(S->rec.aux)) return -1;
  size_t n = fz_deliver(S->ctx, buf, len, S->rec.data, S->rec.len);
  fz_report_source(S->ctx, S->rec.ctl, from, fromlen);
  return static_cast<ssize_t>(n);
}

uint64_t io_monotonic_clock() { return S->clock += 1u << 14; }

int io_select(int nfds, fd_set* readfds, timeval* timeout) {
  mux_ctx* ctx = S->ctx;
  FZ_CHECK(readfds != nullptr);
  FZ_CHECK(FD_ISSET(FZ_PIPE_RD, readfds) && nfds > FZ_PIPE_RD);
  if (timeout != nullptr) {
    FZ_CHECK(timeout->tv_sec >= 0 && timeout->tv_usec >= 0 && timeout->tv_usec < 1000000);
  }
  const bool gathering = !FD_ISSET(ctx->sock_fd, readfds);
  if (gathering) {
    // Packets gather: the pipe alone is watched, with a timeout of at most 5 ms.
    FZ_CHECK(!FD_ISSET(ctx->tun_fd, readfds));
    FZ_CHECK(timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_usec <= 5000);
  } else {
    FZ_CHECK(nfds > ctx->sock_fd);
  }
  const bool in_loop = gathering || FD_ISSET(ctx->tun_fd, readfds);
  if (in_loop && !gathering) FZ_CHECK(nfds > ctx->tun_fd);
  FD_ZERO(readfds);
  S->sock_pending = false;
  S->tun_pending = false;
  S->tun_fails = false;
  if (!fz_wait_record(ctx, S->reader, &S->rec, &S->waits_after_stop)) return -1;
  S->cur_ctl = S->rec.ctl;
  S->cur_aux = S->rec.aux;
  if (!in_loop) return fz_handshake_wait(&S->rec, ctx->sock_fd, readfds, &S->sock_pending);
  if (gathering) {
    switch (S->rec.aux & 7u) {
      case 0:
      case 2:
      case 6:
        S->tun_pending = true;
        S->tun_fails = (S->rec.aux & 7u) == 6;
        S->sock_pending = (S->rec.aux & 7u) == 2;
        return 0;
      case 1:
        S->sock_pending = true;
        return 0;
      case 3:
        return 0;
      case 4:
        errno = EINTR;
        return -1;
      case 5:
        FD_SET(FZ_PIPE_RD, readfds);
        return 1;
      default:
        errno = EBADF;
        return -1;
    }
  }
  switch (S->rec.aux & 7u) {
    case 0:
      S->tun_pending = true;
      FD_SET(ctx->tun_fd, readfds);
      return 1;
    case 1:
      S->sock_pending = true;
      FD_SET(ctx->sock_fd, readfds);
      return 1;
    case 2:
      S->tun_pending = true;
      S->sock_pending = true;
      FD_SET(ctx->tun_fd, readfds);
      FD_SET(ctx->sock_fd, readfds);
      return 2;
    case 3:
      return 0;
    case 4:
      errno = EINTR;
      return -1;
    case 5:
      FD_SET(FZ_PIPE_RD, readfds);
      FD_SET(ctx->sock_fd, readfds);
      return 2;
    case 6:
      S->tun_pending = true;
      S->tun_fails = true;
      FD_SET(ctx->tun_fd, readfds);
      return 1;
    default:
      errno = EBADF;
      return -1;
  }
}

int io_sendmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  FZ_CHECK(msgs != nullptr && vlen >= 1);
  unsigned i = 0;
  for (; i < vlen; i++) {
    const msghdr& h = msgs[i].msg_hdr;
    FZ_CHECK(h.msg_iovlen == 1);
    ssize_t n = io_sendto(fd, h.msg_iov[0].iov_base, h.msg_iov[0].iov_len,
                          static_cast<const sockaddr*>(h.msg_name), h.msg_namelen);
    if (n < 0) break;
    msgs[i].msg_len = static_cast<unsigned>(n);
  }
  return i == 0 ? -1 : static_cast<int>(i);
}

int io_recvmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  FZ_CHECK(msgs != nullptr && vlen >= 1);
  msghdr& h = msgs[0].msg_hdr;
  FZ_CHECK(h.msg_iovlen == 1 && h.msg_iov[0].iov_base == S->ctx->rx_buf);
  ssize_t n = io_recvfrom(fd, h.msg_iov[0].iov_base, h.msg_iov[0].iov_len,
                          static_cast<sockaddr*>(h.msg_name), &h.msg_namelen);
  if (n < 0) return -1;
  msgs[0].msg_len = static_cast<unsigned>(n);
  return 1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet_stdout();
  S = static_cast<seam_state*>(calloc(1, sizeof(seam_state)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_reader r{data, size, 0};
  uint8_t s0 = fz_u8(&r);
  uint8_t s1 = fz_u8(&r);
  uint8_t s2 = fz_u8(&r);
  uint8_t s3 = fz_u8(&r);
  uint8_t s4 = fz_u8(&r);
  uint8_t s5 = fz_u8(&r);

  char* password = fz_pick_password(s2, s3, s5);
  mux_config cfg;
  fz_config_init(&cfg, password);
  cfg.mtu = fz_pick_mtu(s0);
  cfg.max_call = fz_pick_max_call(s1);
  cfg.allow_all = (s2 & 4u) ? 1 : 0;
  cfg.allow_ping = (s2 & 8u) ? 1 : 0;
  cfg.waiting_time = (s2 & 0x20u) ? 1000 : 0;
  static const uint16_t idle_cycles[4] = {0, 1, 2, 65535};
  cfg.max_idle_cycle = idle_cycles[s2 >> 6];
  cfg.max_muxing_time = fz_pick_muxing_time(s4);
  verbose = (s2 & 0x10u) ? 1 : 0;

  // The loop allocates its own buffers and closes the TUN device and the
  // socket at its end: give it real descriptors to close.
  static mux_ctx ctx;
  fz_ctx_init(&ctx, &cfg, false);
  free(ctx.rx_buf);
  free(ctx.frame_buf);
  free(ctx.tx_buf);
  ctx.rx_buf = ctx.frame_buf = ctx.tx_buf = nullptr;
  ctx.running = 0;
  ctx.tun_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ctx.sock_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  FZ_CHECK(ctx.tun_fd >= 0 && ctx.sock_fd >= 0);
  const int tun_fd = ctx.tun_fd;
  const int sock_fd = ctx.sock_fd;

  S->ctx = &ctx;
  S->cfg = &cfg;
  S->reader = &r;
  S->cur_ctl = 0;
  S->cur_aux = 0;
  S->sock_pending = S->tun_pending = S->tun_fails = false;
  S->waits_after_stop = 0;

  int rc = run_event_loop(&ctx);
  FZ_CHECK(rc == -1);
  FZ_CHECK(ctx.running == 0);
  FZ_CHECK(ctx.rx_buf == nullptr && ctx.frame_buf == nullptr && ctx.tx_buf == nullptr);
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    FZ_CHECK(ctx.egress_calls[i] == nullptr && ctx.rx_templates[i] == nullptr);
  }
  // Both descriptors were closed by the loop's teardown.
  FZ_CHECK(fcntl(tun_fd, F_GETFD) == -1 && errno == EBADF);
  FZ_CHECK(fcntl(sock_fd, F_GETFD) == -1 && errno == EBADF);

  fz_end_input(&ctx, password);
  return 0;
}
