// Fuzz target: the event loop as a whole, run_loop through both phases as a
// run has them (the registration at start, then, once authorized, the
// running phase) on a session wired to scripted endpoints, with every wait,
// TUN read, socket receive, clock reading and signal scripted by the input.
// It covers the dispatch between the branches (the control channel first,
// the TUN device before the deadlines and the socket, the gathering of
// packets after a wake with traffic, the frame batch, the idle REQUEST, the
// resend of the registration, the status file, the fatal and transient
// errors) that the other targets play by hand.
//
// Input: 6 setting bytes, then records (fuzz_support.h). Settings:
//   s0 mtu choice, s1 max_call choice,
//   s2 bits 0-1 password (0 none, 1 empty, 2-3 length s3), bit 2 allow_all,
//      bit 3 allow_ping, bit 4 verbose, bit 5 waiting_time 1000 (else 0),
//      bits 6-7 max_idle_cycle (0, 1, 2, 65535)
//   s3 password length, s5 password seed,
//   s4 bits 0-2 max_muxing_time choice, bit 3 a TUN device that cannot be
//      made non-blocking (read once per wake), bit 4 a status file and a pid
//      file (status requests write reports), bit 5 IPv6 server, bit 6 the
//      loop clock one second before it wraps, bit 7 a stop asked for before
//      the run starts.
// Each wait takes one record. While registering (the wait watches the
// control pipe and the socket only) ctl bits 6-7 choose the event: 0-1 the
// socket readable with the record's bytes, 2 the time-out (or EINTR with
// aux bit 5), 3 a status request (SIGUSR1). While running, aux bits 0-2
// choose: 0 the TUN device readable with the record's bytes, 1 the socket
// with the record's bytes, 2 both (the same bytes), 3 the time-out, 4 EINTR,
// 5 a status request (the socket reported readable too, with nothing to
// receive), 6 the TUN device readable but the read fails (aux bit 5: fatal),
// 7 the wait itself fails; ctl bits 6-7 how much time a wake that is not a
// time-out takes (100 us, 1 ms, 20 ms, 250 ms, never beyond the timeout).
// While packets gather after a wake with traffic, the loop's wait watches
// the control pipe alone: the record's choice then stands for what arrives
// meanwhile (the drains that follow find it) and the whole interval passes.
// Always: the top 3 bits of the record's length field give how many more
// copies of its bytes arrive with it (a burst read by one drain), ctl bits
// 0-1 the source, 2-3 the sends, 4-5 the TUN writes, aux bits 3-4 the
// receive (fuzz_support.h), aux bits 6-7 a signal during the record's first
// TUN read or receive (2 a status request, 3 a stop). When the records run
// out, the next wait raises a stop (SIGTERM) and returns with the control
// pipe readable.
//
// Checks: the sanitizers (receive slots beyond what was read or received
// are poisoned), every send goes to the server and every frame fits mtu, no
// wait after a stop, the phases end as they may (authorized only with the
// server's AUTHORIZED, stopped only after a stop, fatal only after a
// scripted fatal error), a stop before the start sends nothing, no frame is
// left held after the running phase, and session_close frees everything and
// closes both descriptors.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "control.h"
#include "fuzz_support.h"
#include "log.h"
#include "loop.h"
#include "netio.h"
#include "session.h"
#include "status.h"
#include "wire.h"

namespace {

// A descriptor number no one opens: fcntl on it fails, so the TUN device
// stays blocking and is read once per wake.
constexpr int FZ_BLOCKING_TUN_FD = 1000;
// Seam calls one input may make before the loop counts as not ending.
constexpr uint64_t MAX_CALLS = 1u << 20;
constexpr uint64_t US_PER_SECOND = 1000000;

struct seam_state {
  mux_ctx* ctx;
  const mux_config* cfg;
  fz_reader* reader;
  fz_record rec;
  uint8_t cur_ctl;
  uint8_t cur_aux;
  unsigned tun_left;   // packets the TUN device still holds
  unsigned sock_left;  // datagrams the socket still holds
  bool tun_fails;
  uint8_t signal_at_read;  // 2 status request, 3 stop, at the next read or receive
  bool stop_raised;        // a stop was asked for: no wait may follow
  bool fatal_scripted;     // a fatal error was scripted
  uint64_t calls;
  uint64_t selects;
  uint64_t sends;
  unsigned zero_waits;    // waits in a row without timeout at one clock value
  uint64_t zero_wait_at;  // that value
  uint64_t now_us;    // the monotonic clock in microseconds
  int64_t wall_base;  // Unix seconds at now_us 0
};

seam_state* S;
bool trace;  // FUZZ_TRACE: what the seam is asked and answers, on stderr
uint32_t initial_pad_state;
char status_dir[64];
char status_file[128];
char pid_file[128];

void count_call() { FZ_CHECK(++S->calls < MAX_CALLS); }

void raise_stop() {
  S->stop_raised = true;
  control_stop_handler(SIGTERM);
}

// A signal the record asked for during its first read or receive.
void signal_during_read() {
  const uint8_t what = S->signal_at_read;
  S->signal_at_read = 0;
  if (what == 2) control_status_handler(SIGUSR1);
  if (what == 3) raise_stop();
}

uint64_t timeout_us(const timeval* tv) {
  return static_cast<uint64_t>(tv->tv_sec) * US_PER_SECOND + static_cast<uint64_t>(tv->tv_usec);
}

// Time passes during a wait: `us`, never beyond the timeout.
void pass_time(const timeval* timeout, uint64_t us) {
  if (timeout != nullptr && timeout_us(timeout) < us) us = timeout_us(timeout);
  S->now_us += us;
}

void take_record_io() {
  S->cur_ctl = S->rec.ctl;
  S->cur_aux = S->rec.aux;
  S->signal_at_read = static_cast<uint8_t>(S->rec.aux >> 6);
  if (S->signal_at_read < 2) S->signal_at_read = 0;
}

unsigned burst() { return 1u + (S->rec.len_field >> 13); }

void remove_status_files() {
  char path[160];
  const char* names[] = {status_file, pid_file};
  for (const char* name : names) {
    snprintf(path, sizeof path, "%s", name);
    unlink(path);
    snprintf(path, sizeof path, "%s.tmp", name);
    unlink(path);
  }
  snprintf(path, sizeof path, "%s.status", pid_file);
  unlink(path);
  snprintf(path, sizeof path, "%s.status.tmp", pid_file);
  unlink(path);
  rmdir(status_dir);
}

bool is_pipe(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

// ------------------------------------------------------------------ seam --

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  count_call();
  FZ_CHECK(fd == S->ctx->link.fd);
  FZ_CHECK(buf != nullptr && len >= 1);
  FZ_CHECK(fz_is_server_address(S->ctx, to, tolen));
  const auto* p = static_cast<const uint8_t*>(buf);
  if (p[0] != 0x00 && !(len == RECOVERY_LEN && p[0] == 0x01 && p[1] == 0x81)) {
    // A multiplexed frame, from the frame buffer or the batch: bounded by mtu
    // (up to 65535), starting with a call id.
    FZ_CHECK(len <= S->cfg->mtu);
    FZ_CHECK(p[0] >= 1 && p[0] <= S->cfg->max_call);
  } else {
    FZ_CHECK(len <= FORWARD_BUF_SIZE);  // a message or request built by the client
  }
  fz_touch(buf, len);
  S->sends++;
  if (trace) {
    fprintf(stderr, "  send %zu bytes %02x %02x, result %d\n", len, p[0], len > 1 ? p[1] : 0,
            static_cast<int>(fz_send_result(S->cur_ctl)));
  }
  if (fz_send_result(S->cur_ctl) == FZ_FATAL) S->fatal_scripted = true;
  return fz_send_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_write(int fd, const void* buf, size_t len) {
  count_call();
  if (fd != S->ctx->tun.fd && is_pipe(fd)) return write(fd, buf, len);  // a wake byte
  FZ_CHECK(fd == S->ctx->tun.fd);
  FZ_CHECK(buf != nullptr && len <= RX_SLOT_SIZE);
  fz_touch(buf, len);
  if (fz_write_result(S->cur_ctl) == FZ_FATAL) S->fatal_scripted = true;
  return fz_write_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_read(int fd, void* buf, size_t len) {
  count_call();
  FZ_CHECK(buf != nullptr && len >= 1);
  if (fd >= 0 && fd == control_fd()) return read(fd, buf, len);  // wake bytes
  FZ_CHECK(fd == S->ctx->tun.fd);
  FZ_CHECK(buf == S->ctx->rx_block && len == RX_SLOT_SIZE);
  signal_during_read();
  if (S->tun_left == 0) {
    errno = EAGAIN;
    return -1;
  }
  S->tun_left--;
  if (S->tun_fails) {
    S->tun_left = 0;
    const bool fatal = (S->cur_aux & 0x20) != 0;
    if (fatal) S->fatal_scripted = true;
    errno = fatal ? EIO : EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(fz_fill_slot(static_cast<uint8_t*>(buf), S->rec.data, S->rec.len));
}

ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  FZ_CHECK(!"the loop receives in batches");
  return -1;
}

int io_recvmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  count_call();
  FZ_CHECK(fd == S->ctx->link.fd);
  FZ_CHECK(msgs != nullptr && vlen >= 1 && vlen <= RX_BATCH);
  signal_during_read();
  if (S->sock_left == 0) {
    errno = EAGAIN;
    return -1;
  }
  if (fz_recv_fails(S->rec.aux)) {
    S->sock_left = 0;
    if (fz_recv_result(S->rec.aux) == FZ_FATAL) S->fatal_scripted = true;
    return -1;
  }
  const unsigned n = S->sock_left < vlen ? S->sock_left : vlen;
  for (unsigned i = 0; i < n; i++) {
    msghdr& h = msgs[i].msg_hdr;
    FZ_CHECK(h.msg_iovlen == 1 && h.msg_iov[0].iov_len == RX_SLOT_SIZE);
    FZ_CHECK(h.msg_iov[0].iov_base == S->ctx->rx_block + i * RX_SLOT_SIZE);
    FZ_CHECK(h.msg_name != nullptr && h.msg_namelen >= sizeof(sockaddr_in6));
    msgs[i].msg_len = static_cast<unsigned>(
        fz_fill_slot(static_cast<uint8_t*>(h.msg_iov[0].iov_base), S->rec.data, S->rec.len));
    fz_report_source(S->ctx, S->rec.ctl, static_cast<sockaddr*>(h.msg_name), &h.msg_namelen);
  }
  S->sock_left -= n;
  if (trace) {
    fprintf(stderr, "  receive %u of %zu bytes %02x %02x, source %u\n", n, S->rec.len,
            S->rec.len > 0 ? S->rec.data[0] : 0, S->rec.len > 1 ? S->rec.data[1] : 0,
            S->rec.ctl & 3u);
  }
  return static_cast<int>(n);
}

int io_sendmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  count_call();
  FZ_CHECK(msgs != nullptr && vlen >= 1 && vlen <= FRAME_BATCH_MAX);
  unsigned i = 0;
  for (; i < vlen; i++) {
    const msghdr& h = msgs[i].msg_hdr;
    FZ_CHECK(h.msg_iovlen == 1);
    // Only frames travel in batches.
    FZ_CHECK(h.msg_iov[0].iov_len >= 1 && static_cast<const uint8_t*>(h.msg_iov[0].iov_base)[0] != 0);
    ssize_t n = io_sendto(fd, h.msg_iov[0].iov_base, h.msg_iov[0].iov_len,
                          static_cast<const sockaddr*>(h.msg_name), h.msg_namelen);
    if (n < 0) break;
    msgs[i].msg_len = static_cast<unsigned>(n);
  }
  return i == 0 ? -1 : static_cast<int>(i);
}

uint64_t io_monotonic_us() {
  count_call();
  return S->now_us;
}

uint32_t io_loop_clock() {
  count_call();
  const uint64_t sec = static_cast<uint64_t>(S->wall_base) + S->now_us / US_PER_SECOND;
  return (static_cast<uint32_t>(sec) << 20) | static_cast<uint32_t>(S->now_us % US_PER_SECOND);
}

uint64_t io_monotonic_clock() {
  count_call();
  return ((S->now_us / US_PER_SECOND) << 20) + ((S->now_us % US_PER_SECOND) << 20) / US_PER_SECOND;
}

int64_t io_wall_time() {
  count_call();
  return S->wall_base + static_cast<int64_t>(S->now_us / US_PER_SECOND);
}

int io_select(int nfds, fd_set* readfds, timeval* timeout) {
  count_call();
  mux_ctx* s = S->ctx;
  FZ_CHECK(!S->stop_raised);  // a stop ends the phase without another wait
  S->selects++;
  FZ_CHECK(readfds != nullptr);
  const int pipe_fd = control_fd();
  FZ_CHECK(pipe_fd >= 0 && FD_ISSET(pipe_fd, readfds) && nfds > pipe_fd);
  if (timeout != nullptr) {
    FZ_CHECK(timeout->tv_sec >= 0 && timeout->tv_usec >= 0 && timeout->tv_usec < 1000000);
  }
  // A wait that does not wait, again and again with the clock standing
  // still, is a loop spinning on a deadline it never clears.
  if (timeout != nullptr && timeout_us(timeout) == 0 && S->now_us == S->zero_wait_at) {
    FZ_CHECK(++S->zero_waits < 256);
  } else {
    S->zero_waits = 0;
  }
  S->zero_wait_at = S->now_us;
  const bool sock = FD_ISSET(s->link.fd, readfds);
  const bool tun = FD_ISSET(s->tun.fd, readfds);
  if (sock) FZ_CHECK(nfds > s->link.fd);
  if (tun) FZ_CHECK(nfds > s->tun.fd && sock);
  const bool gathering = !sock && !tun;
  const bool registering = sock && !tun;
  if (gathering) {
    // Packets gather: the pipe alone is watched, for at most 5 ms.
    FZ_CHECK(timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_usec <= 5000);
  }
  FD_ZERO(readfds);
  S->tun_left = 0;
  S->sock_left = 0;
  S->tun_fails = false;
  S->signal_at_read = 0;
  if (!fz_next_record(S->reader, &S->rec)) {
    // The script is over: a stop, as SIGTERM would bring it.
    raise_stop();
    S->now_us += 100;
    FD_SET(pipe_fd, readfds);
    return 1;
  }
  take_record_io();
  if (trace) {
    fprintf(stderr, "wait (%s, timeout %lld us): ctl %02x aux %02x, %zu bytes x%u\n",
            registering ? "registering" : gathering ? "gathering" : "running",
            timeout != nullptr ? static_cast<long long>(timeout_us(timeout)) : -1LL, S->rec.ctl,
            S->rec.aux, S->rec.len, burst());
  }
  static const uint64_t steps[4] = {100, 1000, 20000, 250000};
  const uint64_t step = steps[S->rec.ctl >> 6];
  if (registering) {
    switch (S->rec.ctl >> 6) {
      case 2:
        if (timeout == nullptr || (S->rec.aux & 0x20)) {
          pass_time(timeout, 1000);
          errno = EINTR;
          return -1;
        }
        pass_time(timeout, UINT64_MAX);
        return 0;
      case 3:
        pass_time(timeout, 1000);
        control_status_handler(SIGUSR1);
        FD_SET(pipe_fd, readfds);
        return 1;
      default:
        pass_time(timeout, 1000);
        S->sock_left = burst();
        FD_SET(s->link.fd, readfds);
        return 1;
    }
  }
  const unsigned choice = S->rec.aux & 7u;
  if (gathering) {
    switch (choice) {
      case 0:
      case 2:
      case 6:
        S->tun_left = burst();
        S->tun_fails = choice == 6;
        if (choice == 2) S->sock_left = burst();
        pass_time(timeout, UINT64_MAX);
        return 0;
      case 1:
        S->sock_left = burst();
        pass_time(timeout, UINT64_MAX);
        return 0;
      case 3:
        pass_time(timeout, UINT64_MAX);
        return 0;
      case 4:
        pass_time(timeout, step);
        errno = EINTR;
        return -1;
      case 5:
        pass_time(timeout, step);
        control_status_handler(SIGUSR1);
        FD_SET(pipe_fd, readfds);
        return 1;
      default:
        S->fatal_scripted = true;
        errno = EBADF;
        return -1;
    }
  }
  switch (choice) {
    case 0:
      pass_time(timeout, step);
      S->tun_left = burst();
      FD_SET(s->tun.fd, readfds);
      return 1;
    case 1:
      pass_time(timeout, step);
      S->sock_left = burst();
      FD_SET(s->link.fd, readfds);
      return 1;
    case 2:
      pass_time(timeout, step);
      S->tun_left = burst();
      S->sock_left = burst();
      FD_SET(s->tun.fd, readfds);
      FD_SET(s->link.fd, readfds);
      return 2;
    case 3:
      if (timeout == nullptr) {
        // No deadline at all: a wait without traffic ends only by a signal.
        pass_time(timeout, US_PER_SECOND);
        errno = EINTR;
        return -1;
      }
      pass_time(timeout, UINT64_MAX);
      return 0;
    case 4:
      pass_time(timeout, step);
      errno = EINTR;
      return -1;
    case 5:
      pass_time(timeout, step);
      control_status_handler(SIGUSR1);
      FD_SET(pipe_fd, readfds);
      FD_SET(s->link.fd, readfds);
      return 2;
    case 6:
      pass_time(timeout, step);
      S->tun_left = 1;
      S->tun_fails = true;
      FD_SET(s->tun.fd, readfds);
      return 1;
    default:
      S->fatal_scripted = true;
      errno = EBADF;
      return -1;
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet_stdout();
  trace = getenv("FUZZ_TRACE") != nullptr;
  S = static_cast<seam_state*>(calloc(1, sizeof(seam_state)));
  initial_pad_state = pad_rng_state;
  // The control channel, as the process opens it first.
  if (control_open() != 0) abort();
  snprintf(status_dir, sizeof status_dir, "/tmp/corvex-fuzz-loop.XXXXXX");
  if (mkdtemp(status_dir) == nullptr) abort();
  snprintf(status_file, sizeof status_file, "%s/status.prom", status_dir);
  snprintf(pid_file, sizeof pid_file, "%s/corvex.pid", status_dir);
  atexit(remove_status_files);
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
  cfg.max_muxing_time = fz_pick_muxing_time(s4 & 7u);
  const bool blocking_tun = (s4 & 8u) != 0;
  cfg.pidfile = nullptr;
  cfg.status_file = nullptr;
  if (s4 & 0x10u) {
    cfg.pidfile = pid_file;
    cfg.status_file = status_file;
    cfg.status_interval = 1;
  }
  verbose = (s2 & 0x10u) ? 1 : 0;

  // Every run starts alike: no request left from the last, the same pads.
  control_clear();
  pad_rng_state = initial_pad_state;

  // Real descriptors for session_close to close: a UDP socket (the seam
  // takes its traffic) and /dev/null as the TUN device.
  const int sock_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int tun_fd = blocking_tun ? FZ_BLOCKING_TUN_FD : open("/dev/null", O_RDWR | O_CLOEXEC);
  FZ_CHECK(sock_fd >= 0 && tun_fd >= 0 && sock_fd < FD_SETSIZE && tun_fd < FD_SETSIZE);
  static mux_ctx s;
  S->ctx = &s;
  S->cfg = &cfg;
  S->reader = &r;
  S->cur_ctl = 0;
  S->cur_aux = 0;
  S->tun_left = S->sock_left = 0;
  S->tun_fails = false;
  S->signal_at_read = 0;
  S->stop_raised = false;
  S->fatal_scripted = false;
  S->calls = S->selects = S->sends = 0;
  S->zero_waits = 0;
  S->zero_wait_at = 0;
  S->now_us = 1000 * US_PER_SECOND;
  // The loop clock's seconds take 12 bits less than its 32: it wraps every
  // 4096 s. One second before a wrap, or a plain time of day.
  S->wall_base = (s4 & 0x40u) ? 1700000000 / 4096 * 4096 + 4095 - 1000 : 1700000000;
  fz_session_init(&s, &cfg, (s4 & 0x20u) != 0, sock_fd, tun_fd, true);

  const bool stop_first = (s4 & 0x80u) != 0;
  if (stop_first) raise_stop();
  status_start(&s, io_monotonic_us());
  const uint64_t sends_before = S->sends;
  loop_end end = run_loop(&s, PHASE_REGISTERING);
  FZ_CHECK(end == LOOP_AUTHORIZED || end == LOOP_STOPPED || end == LOOP_FATAL);
  if (stop_first) {
    FZ_CHECK(end == LOOP_STOPPED && S->sends == sends_before && S->selects == 0);
  }
  const bool running = end == LOOP_AUTHORIZED;
  if (running) {
    FZ_CHECK(session_registered(&s));
    end = run_loop(&s, PHASE_RUNNING);
    FZ_CHECK(end == LOOP_STOPPED || end == LOOP_FATAL);
    // Frames held in the batch went out (or were lost) as the phase ended.
    FZ_CHECK(s.link.count == 0 && !s.link.batching);
  }
  if (trace) {
    static const char* const names[] = {"authorized", "stopped", "fatal"};
    fprintf(stderr, "%s%s, %llu waits, %llu sends, %llu us\n",
            running ? "registered, running ended " : "registering ended ",
            names[end], static_cast<unsigned long long>(S->selects),
            static_cast<unsigned long long>(S->sends),
            static_cast<unsigned long long>(S->now_us - 1000 * US_PER_SECOND));
  }
  if (end == LOOP_STOPPED) FZ_CHECK(control_stop_requested());
  if (end == LOOP_FATAL) FZ_CHECK(S->fatal_scripted);
  FZ_CHECK(s.egress.frame_len <= cfg.mtu);

  // The teardown: held frames first, then everything freed and closed.
  fz_unpoison_rx(&s);
  if (blocking_tun) s.tun.fd = -1;  // never opened
  session_close(&s);
  FZ_CHECK(s.link.fd == -1 && s.tun.fd == -1);
  FZ_CHECK(s.rx_block == nullptr && s.link.bufs == nullptr && s.egress.frame_buf == nullptr);
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    FZ_CHECK(s.egress.calls[i] == nullptr && s.ingress.templates[i] == nullptr);
  }
  FZ_CHECK(fcntl(sock_fd, F_GETFD) == -1 && errno == EBADF);
  if (!blocking_tun) FZ_CHECK(fcntl(tun_fd, F_GETFD) == -1 && errno == EBADF);

  memset(&s, 0, sizeof s);
  control_clear();
  free(password);
  verbose = 0;
  return 0;
}
