#include "loop.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
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
#include "sendbatch.h"
#include "status.h"

namespace {

constexpr uint64_t US_PER_SECOND = 1000000;
constexpr unsigned CLOCK_SECOND_SHIFT = 20;
constexpr uint32_t CLOCK_MICROS_MASK = 0xFFFFF;

// Coalesced wakes, in the manner of a network card's interrupt moderation:
// after a wake that found traffic the loop lets packets gather for a short
// interval before it reads again, and then reads all that is there. Quiet,
// it waits for traffic as before. The interval is at most GATHER_MAX_US (a
// packet waits no longer than that on top of max_muxing_time), and shorter
// when the TUN device delivers so fast that one interval's packets, at the
// rate of the last drain, would exceed a quarter of its transmit queue
// (txqueuelen, 500 by default): at 255 calls of 50 packets a second, 5 ms
// gathers 64 packets.
constexpr uint64_t GATHER_MAX_US = 5000;
constexpr uint64_t TUN_QUEUE_BUDGET = 125;
// One drain reads at most this many packets from the TUN device, and at
// most SOCK_DRAIN_MAX datagrams from the socket in batches of RX_BATCH; a
// drain that reaches its cap is taken up again at once.
constexpr int TUN_DRAIN_MAX = 256;
constexpr unsigned RX_BATCH = 8;
constexpr int SOCK_DRAIN_MAX = 64;

// What the drains of one pass found.
struct drain_result {
  int tun_packets;
  int datagrams;
  bool capped;
};

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

// One packet read from the TUN device into rx_buf: media to the frame, the
// rest forwarded when allowed. 0 go on; -1 the run must end.
int dispatch_tun_packet(mux_ctx* ctx, size_t len, uint32_t now) {
  if (is_rtp_packet(ctx->rx_buf, len)) return mux_rtp_packet(ctx, ctx->rx_buf, len, now) == 0 ? 0 : -1;
  if (is_forwardable(ctx->config, ctx->rx_buf, len)) {
    if (frame_batch_flush(ctx) != 0) return -1;
    return write_sip_packet_to_sock(ctx, ctx->rx_buf, len) == 0 ? 0 : -1;
  }
  return stats_drop(&ctx->stats, DIR_EGRESS, DROP_NOT_FORWARDABLE);
}

// Reads the TUN device until it has nothing more (EAGAIN ends a drain and is
// no error), at most TUN_DRAIN_MAX packets; a blocking device is read once.
// `reported` says that the wait found the device readable: only then is a
// first read that finds nothing logged. A stop request ends the drain at
// once. 0 go on; -1 the run must end.
int drain_tun(mux_ctx* ctx, uint32_t now, bool reported, bool nonblocking, drain_result* d) {
  for (int i = 0; i < TUN_DRAIN_MAX; i++) {
    if (ctx->running == 0) return 0;
    ssize_t n = io_read(ctx->tun_fd, ctx->rx_buf, RX_BUF_SIZE);
    int err = errno;
    const bool drained = n < 0 && (err == EAGAIN || err == EWOULDBLOCK) && (i > 0 || !reported);
    if (!drained) log_message("Tun Received: %d", static_cast<int>(n));
    if (n < 0) {
      if (is_transient_tun_read_error(err)) return 0;
      log_message("read from tun");
      return -1;
    }
    if (n == 0) return 0;
    d->tun_packets++;
    if (dispatch_tun_packet(ctx, static_cast<size_t>(n), now) != 0) return -1;
    if (!nonblocking) return 0;
  }
  d->capped = true;
  return 0;
}

// Receives what the socket holds, RX_BATCH datagrams per call into the slots
// of the receive block (rx_buf is its first slot), each handed to the ingress
// side where it lies. A stop request ends the drain at once. 0 go on; -1 end.
int drain_socket(mux_ctx* ctx, uint8_t* block, drain_result* d) {
  mmsghdr msgs[RX_BATCH];
  iovec iov[RX_BATCH];
  sockaddr_storage src[RX_BATCH];
  for (int got = 0; got < SOCK_DRAIN_MAX;) {
    if (ctx->running == 0) return 0;
    memset(msgs, 0, sizeof msgs);
    for (unsigned i = 0; i < RX_BATCH; i++) {
      iov[i].iov_base = block + i * RX_BUF_SIZE;
      iov[i].iov_len = RX_BUF_SIZE;
      msgs[i].msg_hdr.msg_name = &src[i];
      msgs[i].msg_hdr.msg_namelen = sizeof src[i];
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = io_recvmmsg(ctx->sock_fd, msgs, RX_BATCH);
    if (n < 0) {
      int err = errno;
      if (is_transient_recv_error(err)) return 0;
      LOG_ERRNO("recvfrom() %s [%d]\n", err);
      return -1;
    }
    for (int i = 0; i < n; i++) {
      if (ctx->running == 0) return 0;
      ctx->rx_buf = block + static_cast<size_t>(i) * RX_BUF_SIZE;
      int rc = handle_server_datagram(ctx, msgs[i].msg_len,
                                      reinterpret_cast<const sockaddr*>(&src[i]),
                                      msgs[i].msg_hdr.msg_namelen);
      ctx->rx_buf = block;
      if (rc != 0) return -1;
      d->datagrams++;
    }
    got += n;
    // A short batch emptied the queue: no further call is needed.
    if (n < static_cast<int>(RX_BATCH)) return 0;
  }
  d->capped = true;
  return 0;
}

// The next gathering interval, from the packets the last drain read over the
// time since the drain before.
uint64_t gather_interval(const drain_result& d, uint64_t elapsed_us) {
  if (d.capped) return 0;
  if (d.tun_packets <= 0) return GATHER_MAX_US;
  const uint64_t us = elapsed_us * TUN_QUEUE_BUDGET / static_cast<uint64_t>(d.tun_packets);
  return us < GATHER_MAX_US ? us : GATHER_MAX_US;
}

// Reads from the TUN device stop at EAGAIN instead of blocking; false when
// the descriptor cannot be made non-blocking (it is then read once per wake).
bool make_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && ((flags & O_NONBLOCK) != 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0);
}

uint64_t timeval_us(const timeval& tv) {
  return static_cast<uint64_t>(tv.tv_sec) * US_PER_SECOND + static_cast<uint64_t>(tv.tv_usec);
}

void set_timeval_us(timeval* tv, uint64_t us) {
  tv->tv_sec = static_cast<time_t>(us / US_PER_SECOND);
  tv->tv_usec = static_cast<suseconds_t>(us % US_PER_SECOND);
}

void send_idle_request(mux_ctx* ctx) {
  build_request(ctx);
  ctx->stats.idle_requests++;
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

  // rx_buf is the first slot of a block that the socket's drain fills a
  // batch of datagrams at a time.
  ctx->rx_buf = static_cast<uint8_t*>(calloc(RX_BATCH, RX_BUF_SIZE));
  ctx->frame_buf = static_cast<uint8_t*>(calloc(cfg->mtu != 0 ? cfg->mtu : 1, 1));
  ctx->tx_buf = static_cast<uint8_t*>(calloc(TX_BUF_SIZE, 1));
  frame_batch batch;
  const bool batch_ok = frame_batch_init(&batch, cfg->mtu) == 0;
  if (ctx->rx_buf == nullptr || ctx->frame_buf == nullptr || ctx->tx_buf == nullptr || !batch_ok) {
    // The tunnel never came up: no registration, no scripts.
    log_message("can not allocate the loop buffers");
    frame_batch_free(&batch);
    free_buffers(ctx);
    close_endpoints(ctx);
    ctx->running = 0;
    return -1;
  }
  uint8_t* const rx_block = ctx->rx_buf;
  ctx->frame_len = 0;
  ctx->frame_stamp = 0;
  ctx->tx_len = 0;
  ctx->reg_state = REG_NONE;
  ctx->reg_resend_at = 0;
  status_loop_start(ctx);

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
  const bool tun_drains = ctx->running != 0 && make_nonblocking(tun_fd);
  uint16_t idle = 0;
  // Traffic flowed at the last wake: the next wait lets packets gather.
  bool gathering = false;
  uint64_t gather_us = GATHER_MAX_US;
  uint64_t last_drain_at = 0;
  // Frames made full or due in a pass go out together at its end; any other
  // send to the server first sends the frames held, so the order on the wire
  // stays that of a frame sent at once.
  ctx->batch = &batch;

  while (ctx->running != 0) {
    if (frame_batch_flush(ctx) != 0) break;
    fd_set ready;
    timeval tv;
    timeval* timeout;
    bool idle_wait = false;
    int n;
    if (gathering) {
      // Only the control pipe is watched: a stop is still served at once.
      uint64_t us = gather_us;
      if (ctx->frame_len != 0) {
        const uint64_t due =
            loop_clock_us_until_due(loop_clock_now(), ctx->frame_stamp, cfg->max_muxing_time);
        if (due < us) us = due;
      }
      if (cfg->waiting_time != 0 && cfg->waiting_time < us) us = cfg->waiting_time;
      if (registration_waiting(ctx)) {
        const uint64_t resend = registration_us_until_resend(ctx, registration_clock_us());
        if (resend < us) us = resend;
      }
      FD_ZERO(&ready);
      n = 0;
      if (us != 0) {
        FD_SET(pipe_fd, &ready);
        set_timeval_us(&tv, us);
        n = io_select(pipe_fd + 1, &ready, &tv);
      }
    } else {
      ready = watched;
      timeout = loop_wait_timeout(cfg, ctx->frame_len, ctx->frame_stamp,
                                  ctx->frame_len != 0 ? loop_clock_now() : 0, &tv);
      timeout = status_wait_bound(ctx, timeout, &tv);
      // Only a wait that may run its whole waiting_time counts as idle when
      // nothing arrives; one cut short for a frame or a resend does not.
      idle_wait = loop_wait_is_idle_wait(cfg, timeout);
      if (registration_waiting(ctx)) {
        const uint64_t resend = registration_us_until_resend(ctx, registration_clock_us());
        if (timeout == nullptr || resend < timeval_us(tv)) {
          set_timeval_us(&tv, resend);
          timeout = &tv;
        }
      }
      n = io_select(nfds, &ready, timeout);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      log_message("select() ");
      break;
    }
    const uint32_t now = loop_clock_now();

    if (gathering) {
      // What gathered meanwhile: the TUN device first, so that packets that
      // arrived before a frame fell due still join it; then the due frame,
      // a due resend, and the socket.
      if (n > 0 && FD_ISSET(pipe_fd, &ready)) {
        uint8_t wake;
        (void)io_read(pipe_fd, &wake, 1);
        if (!status_wake(ctx)) break;  // a stop, not a status request
      }
      drain_result d{};
      if (drain_tun(ctx, now, false, tun_drains, &d) != 0 || ctx->running == 0) break;
      if (ctx->frame_len != 0 && frame_due(now, ctx->frame_stamp, cfg->max_muxing_time)) {
        ctx->stats.flushes[FLUSH_AGE]++;
        if (write_muxed_data_to_sock(ctx) != 0) break;
      }
      (void)status_after_wait(ctx, 1, now);  // the status file, when due
      if (frame_batch_flush(ctx) != 0) break;
      if (registration_waiting(ctx) &&
          registration_resend_if_due(ctx, registration_clock_us()) != 0) {
        break;
      }
      if (drain_socket(ctx, rx_block, &d) != 0) break;
      const uint64_t at = registration_clock_us();
      gathering = d.tun_packets + d.datagrams > 0;
      gather_us = gather_interval(d, at - last_drain_at);
      last_drain_at = at;
      continue;
    }

    if (ctx->frame_len != 0 && frame_due(now, ctx->frame_stamp, cfg->max_muxing_time)) {
      ctx->stats.flushes[FLUSH_AGE]++;
      if (write_muxed_data_to_sock(ctx) != 0) break;
    }
    // A handshake of the run sends again every 2 s until the server decides.
    if (registration_waiting(ctx)) {
      if (frame_batch_flush(ctx) != 0) break;
      if (registration_resend_if_due(ctx, registration_clock_us()) != 0) break;
    }
    if (status_after_wait(ctx, n, now)) continue;  // woken for the status file only

    if (n == 0) {
      // While a handshake waits, its own messages keep the line busy.
      if (!idle_wait || registration_waiting(ctx)) continue;
      if (idle == cfg->max_idle_cycle) {
        if (frame_batch_flush(ctx) != 0) break;
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
      if (!status_wake(ctx)) break;  // a stop, not a status request
    }
    drain_result d{};
    if (FD_ISSET(tun_fd, &ready)) {
      if (drain_tun(ctx, now, true, tun_drains, &d) != 0 || ctx->running == 0) break;
    }
    if (FD_ISSET(sock_fd, &ready)) {
      if (frame_batch_flush(ctx) != 0 || drain_socket(ctx, rx_block, &d) != 0) break;
    }
    // A status request is not traffic: the keepalive's count goes on.
    if (FD_ISSET(tun_fd, &ready) || FD_ISSET(sock_fd, &ready)) idle = 0;
    // Traffic: from now on let packets gather between wakes.
    gathering = tun_drains && d.tun_packets + d.datagrams > 0;
    gather_us = d.capped ? 0 : GATHER_MAX_US;
    last_drain_at = registration_clock_us();
  }

  // Frames already made full or due still go; a pending frame that was not
  // due yet is dropped with its buffer.
  (void)frame_batch_flush(ctx);
  ctx->batch = nullptr;
  frame_batch_free(&batch);
  ctx->rx_buf = rx_block;
  free_buffers(ctx);
  (void)run_down_script(cfg);
  free_call_entries(ctx);
  free_rx_templates(ctx);
  close_endpoints(ctx);
  ctx->running = 0;
  return -1;
}
