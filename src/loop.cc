#include "loop.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "egress.h"
#include "forward.h"
#include "ingress.h"
#include "log.h"
#include "netio.h"
#include "registration.h"
#include "scripts.h"

namespace {

constexpr uint64_t US_PER_SECOND = 1000000;
constexpr unsigned CLOCK_SECOND_SHIFT = 20;
constexpr uint32_t CLOCK_MICROS_MASK = 0xFFFFF;

bool is_transient_tun_read_error(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EPERM || err == EINTR;
}

void free_buffers(mux_ctx* ctx) {
  free(ctx->rx_buf);
  free(ctx->frame_buf);
  free(ctx->tx_buf);
  ctx->rx_buf = nullptr;
  ctx->frame_buf = nullptr;
  ctx->tx_buf = nullptr;
  ctx->frame_len = 0;
}

void close_endpoints(mux_ctx* ctx) {
  if (ctx->tun_fd >= 0) close(ctx->tun_fd);
  ctx->tun_fd = -1;
  if (ctx->sock_fd >= 0) {
    shutdown(ctx->sock_fd, SHUT_RDWR);
    close(ctx->sock_fd);
  }
  ctx->sock_fd = -1;
}

// One packet from the TUN device: media to the frame, the rest forwarded
// when allowed. 0 go on; -1 the run must end.
int serve_tun(mux_ctx* ctx, uint32_t now) {
  ssize_t n = io_read(ctx->tun_fd, ctx->rx_buf, RX_BUF_SIZE);
  int err = errno;
  log_message("Tun Received: %d", static_cast<int>(n));
  if (n < 0) {
    if (is_transient_tun_read_error(err)) return 0;
    log_message("read from tun");
    return -1;
  }
  if (n == 0) return 0;
  size_t len = static_cast<size_t>(n);
  if (is_rtp_packet(ctx->rx_buf, len)) return mux_rtp_packet(ctx, ctx->rx_buf, len, now) == 0 ? 0 : -1;
  if (is_forwardable(ctx->config, ctx->rx_buf, len)) {
    return write_sip_packet_to_sock(ctx, ctx->rx_buf, len) == 0 ? 0 : -1;
  }
  return 0;
}

// One datagram from the socket, handed to the ingress side. 0 go on; -1 end.
int serve_socket(mux_ctx* ctx, sockaddr_storage* src) {
  socklen_t srclen = sizeof *src;
  ssize_t n = io_recvfrom(ctx->sock_fd, ctx->rx_buf, RX_BUF_SIZE, reinterpret_cast<sockaddr*>(src),
                          &srclen);
  if (n < 0) {
    int err = errno;
    if (is_transient_recv_error(err)) return 0;
    LOG_ERRNO("recvfrom() %s [%d]\n", err);
    return -1;
  }
  return handle_server_datagram(ctx, static_cast<size_t>(n), reinterpret_cast<const sockaddr*>(src),
                                srclen) == 0
             ? 0
             : -1;
}

void send_idle_request(mux_ctx* ctx) {
  build_request(ctx);
  (void)socket_send(ctx);  // a failure is logged there; the run goes on
}

}  // namespace

uint32_t loop_clock_now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return loop_clock_from(tv);
}

uint64_t loop_clock_us_until_due(uint32_t now, uint32_t stamp, uint32_t max_age) {
  if (frame_due(now, stamp, max_age)) return 0;
  // The clock must advance by `ahead` units; work in unwrapped 64-bit values.
  const uint32_t ahead = max_age - static_cast<uint32_t>(now - stamp);
  const uint64_t target = static_cast<uint64_t>(now) + ahead;
  const uint64_t now_sec = now >> CLOCK_SECOND_SHIFT;
  uint64_t now_us = now & CLOCK_MICROS_MASK;
  if (now_us > US_PER_SECOND) now_us = US_PER_SECOND;
  const uint64_t target_sec = target >> CLOCK_SECOND_SHIFT;
  uint64_t target_us = target & CLOCK_MICROS_MASK;
  // A target in the unused top of a second is first reached when the next
  // second begins.
  if (target_us > US_PER_SECOND) target_us = US_PER_SECOND;
  return (target_sec - now_sec) * US_PER_SECOND + target_us - now_us;
}

timeval* loop_wait_timeout(const mux_config* cfg, uint16_t frame_len, uint32_t frame_stamp,
                           uint32_t now, timeval* tv) {
  uint64_t us = cfg->waiting_time;
  if (frame_len != 0) {
    // The pending frame leaves when it falls due, however long the wait.
    const uint64_t due = loop_clock_us_until_due(now, frame_stamp, cfg->max_muxing_time);
    if (us == 0 || due < us) us = due;
  } else if (us == 0) {
    return nullptr;  // nothing to do until something arrives
  }
  tv->tv_sec = static_cast<time_t>(us / US_PER_SECOND);
  tv->tv_usec = static_cast<suseconds_t>(us % US_PER_SECOND);
  return tv;
}

bool loop_wait_is_idle_wait(const mux_config* cfg, const timeval* timeout) {
  if (cfg->waiting_time == 0 || timeout == nullptr) return false;
  const uint64_t us = static_cast<uint64_t>(timeout->tv_sec) * US_PER_SECOND +
                      static_cast<uint64_t>(timeout->tv_usec);
  return us == cfg->waiting_time;
}

int run_event_loop(mux_ctx* ctx) {
  if (ctx->running != 0) return -1;
  const mux_config* cfg = ctx->config;
  if (cfg == nullptr) return -1;
  ctx->running = 1;

  ctx->rx_buf = static_cast<uint8_t*>(calloc(RX_BUF_SIZE, 1));
  ctx->frame_buf = static_cast<uint8_t*>(calloc(cfg->mtu != 0 ? cfg->mtu : 1, 1));
  ctx->tx_buf = static_cast<uint8_t*>(calloc(TX_BUF_SIZE, 1));
  if (ctx->rx_buf == nullptr || ctx->frame_buf == nullptr || ctx->tx_buf == nullptr) {
    // The tunnel never came up: no registration, no scripts.
    log_message("can not allocate the loop buffers");
    free_buffers(ctx);
    close_endpoints(ctx);
    ctx->running = 0;
    return -1;
  }
  ctx->frame_len = 0;
  ctx->frame_stamp = 0;
  ctx->tx_len = 0;
  ctx->reg_state = REG_NONE;
  ctx->reg_resend_at = 0;

  // A stop requested during setup ends the run now: no registration, but the
  // scripts still run as for a stop during registration.
  if (take_pending_stop()) ctx->running = 0;
  if (ctx->running != 0 && do_registration(ctx, nullptr, 0) == -1) ctx->running = 0;
  (void)run_up_script(cfg);

  const int pipe_fd = ctx->ctl_pipe[0];
  const int tun_fd = ctx->tun_fd;
  const int sock_fd = ctx->sock_fd;
  fd_set watched;
  FD_ZERO(&watched);
  int nfds = 0;
  const int endpoints[3] = {pipe_fd, tun_fd, sock_fd};
  for (int fd : endpoints) {
    if (!fd_fits_select(fd)) {
      log_message("descriptor %d is beyond the select limit %d", fd, FD_SETSIZE);
      ctx->running = 0;
      break;
    }
    FD_SET(fd, &watched);
    if (fd + 1 > nfds) nfds = fd + 1;
  }
  sockaddr_storage src;
  memset(&src, 0, sizeof src);
  uint16_t idle = 0;

  while (ctx->running != 0) {
    fd_set ready = watched;
    timeval tv;
    timeval* timeout = loop_wait_timeout(cfg, ctx->frame_len, ctx->frame_stamp,
                                         ctx->frame_len != 0 ? loop_clock_now() : 0, &tv);
    // Only a wait that may run its whole waiting_time counts as idle when
    // nothing arrives; one cut short for a frame or a resend does not.
    const bool idle_wait = loop_wait_is_idle_wait(cfg, timeout);
    if (registration_waiting(ctx)) {
      const uint64_t resend = registration_us_until_resend(ctx, registration_clock_us());
      const uint64_t cur = timeout == nullptr
                               ? UINT64_MAX
                               : static_cast<uint64_t>(tv.tv_sec) * US_PER_SECOND +
                                     static_cast<uint64_t>(tv.tv_usec);
      if (resend < cur) {
        tv.tv_sec = static_cast<time_t>(resend / US_PER_SECOND);
        tv.tv_usec = static_cast<suseconds_t>(resend % US_PER_SECOND);
        timeout = &tv;
      }
    }
    int n = io_select(nfds, &ready, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      log_message("select() ");
      break;
    }
    const uint32_t now = loop_clock_now();

    if (ctx->frame_len != 0 && frame_due(now, ctx->frame_stamp, cfg->max_muxing_time)) {
      if (write_muxed_data_to_sock(ctx) != 0) break;
    }
    // A handshake of the run sends again every 2 s until the server decides.
    if (registration_waiting(ctx) &&
        registration_resend_if_due(ctx, registration_clock_us()) != 0) {
      break;
    }

    if (n == 0) {
      // While a handshake waits, its own messages keep the line busy.
      if (!idle_wait || registration_waiting(ctx)) continue;
      if (idle == cfg->max_idle_cycle) {
        send_idle_request(ctx);
        idle = 0;
      } else {
        idle++;
      }
      continue;
    }

    if (FD_ISSET(pipe_fd, &ready)) {
      uint8_t wake;
      (void)io_read(pipe_fd, &wake, 1);
      break;
    }
    if (FD_ISSET(tun_fd, &ready) && serve_tun(ctx, now) != 0) break;
    if (FD_ISSET(sock_fd, &ready) && serve_socket(ctx, &src) != 0) break;
    idle = 0;
  }

  // A pending frame that was not due yet is dropped with its buffer.
  free_buffers(ctx);
  (void)run_down_script(cfg);
  free_call_entries(ctx);
  free_rx_templates(ctx);
  close_endpoints(ctx);
  ctx->running = 0;
  return -1;
}
