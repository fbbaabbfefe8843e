#include "loop.h"

#include <sys/select.h>

#include <cerrno>
#include <cstring>

#include "control.h"
#include "deadline.h"
#include "log.h"
#include "netio.h"
#include "status.h"

namespace {

// 125 packets: a quarter of the default txqueuelen of 500.
constexpr uint64_t TUN_QUEUE_BUDGET = 125;
// One drain reads at most this many packets from the TUN device and this
// many datagrams from the socket; a drain that reaches its cap is taken up
// again at once.
constexpr int TUN_DRAIN_MAX = 256;
constexpr int SOCK_DRAIN_MAX = 64;
constexpr uint64_t US_PER_SECOND = 1000000;

// The descriptors a wait may watch, by place; -1 is not watched.
enum watched_fd { FD_PIPE, FD_TUN, FD_SOCK, FD_ALT_SOCK, FD_RESOLVER, FD_COUNT };

// What the wait of one pass found.
struct wake {
  uint64_t now;  // monotonic us after the wait
  uint32_t lc;   // the loop clock after the wait
  bool ready[FD_COUNT];
};

// What the drains of one pass found.
struct drain_result {
  int tun_packets;
  int datagrams;
  bool capped;
};

// The running phase's own state between passes.
struct run_state {
  bool gathering;  // traffic at the last wake: the next wait lets packets gather
  uint64_t gather_at;
  uint64_t last_drain_at;
};

// Fills the deadlines of a pass from their owners.
void fill_deadlines(const mux_ctx* s, const run_state* r, uint64_t now, deadline_set* d) {
  memset(d, 0, sizeof *d);
  if (s->egress.frame_len != 0) {
    const uint64_t us = loop_clock_us_until_due(io_loop_clock(), s->egress.frame_stamp,
                                                s->config->max_muxing_time);
    d->at[DL_FRAME] = deadline_after(now, us);
  }
  d->at[DL_RESEND] = reg_deadline(&s->reg);
  d->at[DL_STATUS] = status_deadline(s);
  if (r != nullptr) {
    d->at[DL_IDLE] = s->idle.at;
    if (r->gathering) d->at[DL_GATHER] = r->gather_at;
    d->at[DL_WATCH] = watch_deadline(&s->watch);
  }
}

// The one wait: on `fds` (-1 entries skipped) until the earliest deadline.
// -1 after a failed select (logged).
int wait_pass(const mux_ctx* s, const run_state* r, const int (&fds)[FD_COUNT], wake* w) {
  const uint64_t now = io_monotonic_us();
  deadline_set d;
  fill_deadlines(s, r, now, &d);
  const uint64_t us = deadline_wait_us(&d, now);
  fd_set ready;
  FD_ZERO(&ready);
  int nfds = 0;
  for (int fd : fds) {
    if (fd < 0) continue;
    FD_SET(fd, &ready);
    if (fd + 1 > nfds) nfds = fd + 1;
  }
  int n = 0;
  // A gathering interval already over needs no wait at all.
  const bool skip = r != nullptr && r->gathering && us == 0;
  if (!skip) {
    timeval tv{static_cast<time_t>(us / US_PER_SECOND), static_cast<suseconds_t>(us % US_PER_SECOND)};
    n = io_select(nfds, &ready, us == UINT64_MAX ? nullptr : &tv);
  }
  if (n < 0 && errno != EINTR) {
    log_message("select() ");
    return -1;
  }
  if (n <= 0) FD_ZERO(&ready);  // a signal or the deadline: nothing ready
  w->now = io_monotonic_us();
  w->lc = io_loop_clock();
  for (int i = 0; i < FD_COUNT; i++) w->ready[i] = fds[i] >= 0 && FD_ISSET(fds[i], &ready);
  return 0;
}

// Reads the TUN device until it has nothing more (EAGAIN ends a drain and is
// no error), at most TUN_DRAIN_MAX packets; a blocking device is read once.
// `reported` says that the wait found the device readable: only then is a
// first read that finds nothing logged. A stop request ends the drain at
// once. 0 go on; -1 the run must end.
int drain_tun(mux_ctx* s, uint8_t* buf, uint32_t lc, bool reported, drain_result* d) {
  const uint64_t clock = io_monotonic_clock();
  for (int i = 0; i < TUN_DRAIN_MAX; i++) {
    if (control_stop_requested()) return 0;
    ssize_t n = io_read(s->tun.fd, buf, RX_SLOT_SIZE);
    const int err = errno;
    const bool drained = n < 0 && (err == EAGAIN || err == EWOULDBLOCK) && (i > 0 || !reported);
    if (!drained) log_message("Tun Received: %d", static_cast<int>(n));
    if (n < 0) {
      if (is_transient_tun_read_error(err)) return 0;
      log_message("read from tun");
      return -1;
    }
    if (n == 0) return 0;
    d->tun_packets++;
    if (session_tun_packet(s, buf, static_cast<size_t>(n), lc, clock) != 0) return -1;
    if (!s->tun.nonblocking) return 0;
  }
  d->capped = true;
  return 0;
}

// Receives what the socket holds, RX_BATCH datagrams per call (one while
// registering, so that what follows the authorization waits for the running
// phase), each handed over where it lies. A stop request ends the drain at
// once. 0 go on; 1 the registration ended; -1 the run must end.
int drain_socket(mux_ctx* s, int fd, loop_phase phase, uint64_t now, drain_result* d) {
  const unsigned batch = phase == PHASE_RUNNING ? RX_BATCH : 1;
  const uint64_t clock = io_monotonic_clock();
  link_datagram got[RX_BATCH];
  for (int total = 0; total < SOCK_DRAIN_MAX;) {
    if (control_stop_requested()) return 0;
    const int n = link_receive_on(&s->link, fd, s->rx_block, RX_SLOT_SIZE, batch, got);
    if (n < 0) return -1;
    for (int i = 0; i < n; i++) {
      if (control_stop_requested()) return 0;
      const sockaddr* src = reinterpret_cast<const sockaddr*>(&got[i].src);
      if (phase == PHASE_REGISTERING) {
        if (session_registering_datagram(s, got[i].data, got[i].len, src, got[i].srclen, now) != 0) {
          return -1;
        }
        if (session_registered(s)) return 1;
      } else if (session_datagram(s, got[i].data, got[i].len, src, got[i].srclen, now, clock) !=
                 0) {
        return -1;
      }
      d->datagrams++;
    }
    total += n;
    // A short batch emptied the queue: no further call is needed.
    if (n < static_cast<int>(batch)) return 0;
  }
  d->capped = true;
  return 0;
}

// Serves the control channel after a wake: false on a stop.
bool serve_control(mux_ctx* s, const wake& w) {
  const control_request req = control_take(w.ready[FD_PIPE]);
  if (req == CTL_STOP) return false;
  if (req == CTL_STATUS) status_serve_request(s, w.now);
  return true;
}

loop_end run_registering(mux_ctx* s) {
  if (control_stop_requested()) return LOOP_STOPPED;
  if (session_apply(s, reg_begin(&s->reg, io_monotonic_us()), io_monotonic_us()) != 0) {
    return LOOP_FATAL;
  }
  // The TUN device stays unread until the server has authorized the client.
  const int fds[FD_COUNT] = {control_fd(), -1, s->link.fd, -1, -1};
  for (;;) {
    wake w;
    if (wait_pass(s, nullptr, fds, &w) != 0) return LOOP_FATAL;
    if (!serve_control(s, w)) return LOOP_STOPPED;
    if (w.ready[FD_SOCK]) {
      drain_result d{};
      const int rc = drain_socket(s, s->link.fd, PHASE_REGISTERING, w.now, &d);
      if (rc < 0) return LOOP_FATAL;
      if (rc > 0) return LOOP_AUTHORIZED;
    }
    if (control_stop_requested()) return LOOP_STOPPED;
    if (session_apply(s, reg_on_timer(&s->reg, w.now), w.now) != 0) return LOOP_FATAL;
    status_on_deadline(s, w.now);
  }
}

// The deadlines of a running pass that has come back from its wait, in
// order: the due frame, the status file, a resend, the keepalive, the server
// watch. 0 go on; -1 the run must end.
int fire_deadlines(mux_ctx* s, const wake& w) {
  const mux_config* cfg = s->config;
  if (s->egress.frame_len != 0 && frame_due(w.lc, s->egress.frame_stamp, cfg->max_muxing_time) &&
      egress_send_frame(&s->egress, FLUSH_AGE) != 0) {
    return -1;
  }
  status_on_deadline(s, w.now);
  if (session_apply(s, reg_on_timer(&s->reg, w.now), w.now) != 0) return -1;
  // While a handshake waits, its own messages keep the line busy.
  if (keepalive_tick(&s->idle, w.now, s->reg.waiting)) session_send_idle_request(s);
  session_watch(s, w.now);
  return 0;
}

loop_end run_running(mux_ctx* s) {
  const bool tun_drains = tun_make_nonblocking(&s->tun);
  (void)link_set_batching(&s->link, true);
  keepalive_start(&s->idle, io_monotonic_us());
  run_state r{false, 0, 0};
  for (;;) {
    // Frames made full or due in a pass go out together before the next wait.
    if (link_flush(&s->link) != 0) return LOOP_FATAL;
    // While gathering only the control channel is watched: a stop is still
    // served at once.
    const int alt = s->link.alt_fd;
    const int names = s->names.fd;
    const int all[FD_COUNT] = {control_fd(), s->tun.fd, s->link.fd, alt, names};
    const int pipe_only[FD_COUNT] = {control_fd(), -1, -1, alt, names};
    wake w;
    if (wait_pass(s, &r, r.gathering ? pipe_only : all, &w) != 0) return LOOP_FATAL;
    if (!serve_control(s, w)) return LOOP_STOPPED;
    const bool tun_ready = w.ready[FD_TUN];
    const bool sock_ready = w.ready[FD_SOCK];
    // A status request is not traffic: the keepalive's count goes on.
    if (tun_ready || sock_ready) keepalive_traffic(&s->idle, w.now);
    if (w.ready[FD_RESOLVER]) session_resolved(s, w.now);
    // The TUN device first, so that packets that arrived before a frame fell
    // due still join it; then the deadlines; then the socket.
    drain_result d{};
    if ((r.gathering || tun_ready) && drain_tun(s, s->rx_block, w.lc, tun_ready, &d) != 0) {
      return LOOP_FATAL;
    }
    if (control_stop_requested()) return LOOP_STOPPED;
    if (fire_deadlines(s, w) != 0) return LOOP_FATAL;
    if ((r.gathering || sock_ready) && drain_socket(s, s->link.fd, PHASE_RUNNING, w.now, &d) != 0) {
      return LOOP_FATAL;
    }
    // Answers to a search at an address of the other family.
    if (w.ready[FD_ALT_SOCK] && drain_socket(s, alt, PHASE_RUNNING, w.now, &d) != 0) {
      return LOOP_FATAL;
    }
    if (control_stop_requested()) return LOOP_STOPPED;
    if (d.tun_packets + d.datagrams > 0) keepalive_traffic(&s->idle, w.now);
    const uint64_t at = io_monotonic_us();
    const uint64_t gather = r.gathering ? gather_interval(d.tun_packets, d.capped, at - r.last_drain_at)
                                        : (d.capped ? 0 : GATHER_MAX_US);
    r.gathering = tun_drains && d.tun_packets + d.datagrams > 0;
    r.gather_at = deadline_after(at, gather);
    r.last_drain_at = at;
  }
}

}  // namespace

uint64_t gather_interval(int tun_packets, bool capped, uint64_t elapsed_us) {
  if (capped) return 0;
  if (tun_packets <= 0) return GATHER_MAX_US;
  const uint64_t us = elapsed_us * TUN_QUEUE_BUDGET / static_cast<uint64_t>(tun_packets);
  return us < GATHER_MAX_US ? us : GATHER_MAX_US;
}

loop_end run_loop(mux_ctx* s, loop_phase phase) {
  if (phase == PHASE_REGISTERING) return run_registering(s);
  const loop_end end = run_running(s);
  (void)link_set_batching(&s->link, false);  // frames made full or due still go
  return end;
}
