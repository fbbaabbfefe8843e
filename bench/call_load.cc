// One side of the lab load: N calls of one codec, each sending one RTP
// packet every 20 ms from a socket of its own, at a phase of its own (a
// random offset within the 20 ms, as independent phones send), and counting
// the far side's packets of the same calls.
//
//   call_load LOCAL REMOTE CALLS PAYLOAD_TYPE PAYLOAD_LEN RX_PORT BASE_PORT SEED SIDE
//
// Call c sends from LOCAL:BASE_PORT+c to REMOTE:RX_PORT and receives on
// LOCAL:RX_PORT. SIDE is 0 (phones) or 1 (far host): it goes into the stamp
// so that a packet coming back the wrong way is told apart. The program
// prints "ready", reads "go START WARMUP WINDOW TAIL GRACE" (CLOCK_MONOTONIC
// seconds, then durations) from standard input, sends from START for
// WARMUP + WINDOW + TAIL seconds, receives GRACE seconds more, and prints one
// line of "name value" pairs. The window figures are those of the packets
// whose send time falls in [START + WARMUP, START + WARMUP + WINDOW): sent,
// received (of the far side's, by the far side's send time) and latency; and
// how late this side's sends due in the window were against their schedule.
//
// Each payload begins with a stamp: call (16 bits), side (8), magic (8),
// counter (32), send time in ns (64), all big-endian; the rest is filler.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_CALLS = 255;
constexpr int64_t PTIME_NS = 20000000;
constexpr size_t RTP_HEADER = 12;
constexpr size_t STAMP_LEN = 16;
constexpr uint8_t MAGIC = 0xB7;
constexpr uint8_t FILLER = 0xD5;
constexpr int RX_BATCH = 64;
constexpr size_t RX_SIZE = 2048;
// Latency histogram: 100-us buckets up to 1 s, the last one catching the rest.
constexpr int64_t BUCKET_NS = 100000;
constexpr int BUCKETS = 10000;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v & 0xFFFF);
}

void put64(uint8_t* p, uint64_t v) {
  put32(p, static_cast<uint32_t>(v >> 32));
  put32(p + 4, static_cast<uint32_t>(v));
}

uint32_t get16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

uint32_t get32(const uint8_t* p) { return get16(p) << 16 | get16(p + 2); }

uint64_t get64(const uint8_t* p) { return static_cast<uint64_t>(get32(p)) << 32 | get32(p + 4); }

// xorshift64*: the calls' phases, reproducible from the seed.
uint64_t next_random(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 0x2545F4914F6CDD1DULL;
}

struct Window {
  int64_t from;
  int64_t to;
  bool holds(int64_t t) const { return t >= from && t < to; }
};

struct Figures {
  uint64_t sent = 0, send_errors = 0;
  uint64_t sent_window = 0;             // by the send time, as the receiver counts them
  uint64_t due_window = 0;              // by the schedule, for the lateness
  uint64_t late_2ms = 0, late_5ms = 0;  // window sends later than 2 ms / 5 ms
  int64_t lateness_sum = 0, lateness_max = 0;
  uint64_t received = 0, received_window = 0, duplicates = 0, corrupt = 0;
  int64_t latency_sum = 0, latency_max = 0;
  uint32_t latency_buckets[BUCKETS] = {};
};

struct Receiver {
  int calls;
  uint8_t side;  // the far side's
  size_t length;
  uint32_t counters;  // per call
  uint8_t* seen;      // calls * counters
  Window window;
  Figures* fig;

  void on_packet(const uint8_t* p, size_t n, int64_t t) {
    if (n != length || (p[0] & 0xC0) != 0x80) {
      fig->corrupt++;
      return;
    }
    const uint8_t* s = p + RTP_HEADER;
    const uint32_t call = get16(s);
    const uint32_t counter = get32(s + 4);
    const int64_t sent = static_cast<int64_t>(get64(s + 8));
    if (call >= static_cast<uint32_t>(calls) || s[2] != side || s[3] != MAGIC ||
        counter >= counters) {
      fig->corrupt++;
      return;
    }
    for (size_t i = RTP_HEADER + STAMP_LEN; i < n; i++) {
      if (p[i] != FILLER) {
        fig->corrupt++;
        return;
      }
    }
    uint8_t* mark = seen + static_cast<size_t>(call) * counters + counter;
    if (*mark != 0) {
      fig->duplicates++;
      return;
    }
    *mark = 1;
    fig->received++;
    if (!window.holds(sent)) return;
    fig->received_window++;
    const int64_t latency = t - sent;
    fig->latency_sum += latency;
    if (latency > fig->latency_max) fig->latency_max = latency;
    int64_t b = latency / BUCKET_NS;
    fig->latency_buckets[b < 0 ? 0 : b >= BUCKETS ? BUCKETS - 1 : b]++;
  }
};

// The latency (us, the upper end of its bucket) that a share q of the
// window's packets did not exceed.
double latency_quantile(const Figures& fig, double q) {
  const double want = q * static_cast<double>(fig.received_window);
  uint64_t seen = 0;
  for (int b = 0; b < BUCKETS; b++) {
    seen += fig.latency_buckets[b];
    if (static_cast<double>(seen) >= want && seen > 0) {
      return static_cast<double>((b + 1) * BUCKET_NS) / 1e3;
    }
  }
  return 0.0;
}

void drain(int fd, Receiver* rx) {
  static uint8_t bufs[RX_BATCH][RX_SIZE];
  static iovec iov[RX_BATCH];
  static mmsghdr msgs[RX_BATCH];
  for (;;) {
    for (int i = 0; i < RX_BATCH; i++) {
      iov[i].iov_base = bufs[i];
      iov[i].iov_len = RX_SIZE;
      memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, msgs, RX_BATCH, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    const int64_t t = now_ns();
    for (int i = 0; i < n; i++) rx->on_packet(bufs[i], msgs[i].msg_len, t);
    if (n < RX_BATCH) return;
  }
}

// Waits for the socket until `until` (ns); drains what arrived.
void wait_until(int fd, Receiver* rx, int64_t until) {
  const int64_t left = until - now_ns();
  if (left <= 0) {
    drain(fd, rx);
    return;
  }
  pollfd p{fd, POLLIN, 0};
  timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
  if (ppoll(&p, 1, &ts, nullptr) > 0) drain(fd, rx);
}

int usage() {
  fprintf(
      stderr,
      "usage: call_load LOCAL REMOTE CALLS PAYLOAD_TYPE PAYLOAD_LEN RX_PORT BASE_PORT SEED SIDE\n");
  return 2;
}

int bound_socket(in_addr addr, int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr = addr;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 10) return usage();
  in_addr local{}, remote{};
  if (inet_pton(AF_INET, argv[1], &local) != 1 || inet_pton(AF_INET, argv[2], &remote) != 1)
    return usage();
  const int calls = atoi(argv[3]);
  const int payload_type = atoi(argv[4]);
  const size_t payload_len = static_cast<size_t>(atoi(argv[5]));
  const int rx_port = atoi(argv[6]);
  const int base_port = atoi(argv[7]);
  uint64_t seed = strtoull(argv[8], nullptr, 0) | 1;
  const int side = atoi(argv[9]);
  if (calls < 1 || calls > MAX_CALLS || payload_type < 0 || payload_type > 127 ||
      payload_len < STAMP_LEN || payload_len > 1200 || rx_port <= 0 || rx_port > 65535 ||
      base_port <= 0 || base_port + calls > 65535 || (side != 0 && side != 1)) {
    return usage();
  }
  // Wake-ups on time: no slack added to the waits.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  const int rx_fd = bound_socket(local, rx_port);
  if (rx_fd < 0) {
    perror("receive socket");
    return 1;
  }
  int rcvbuf = 8 << 20;
  setsockopt(rx_fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
  static int tx_fd[MAX_CALLS];
  static int64_t offset[MAX_CALLS];
  static int order[MAX_CALLS];
  sockaddr_in far{};
  far.sin_family = AF_INET;
  far.sin_addr = remote;
  far.sin_port = htons(static_cast<uint16_t>(rx_port));
  for (int c = 0; c < calls; c++) {
    tx_fd[c] = bound_socket(local, base_port + c);
    if (tx_fd[c] < 0 || connect(tx_fd[c], reinterpret_cast<sockaddr*>(&far), sizeof far) != 0) {
      perror("call socket");
      return 1;
    }
    offset[c] = static_cast<int64_t>(next_random(&seed) % static_cast<uint64_t>(PTIME_NS));
    order[c] = c;
  }
  // Sending order within a period: by phase (insertion sort, few calls).
  for (int i = 1; i < calls; i++) {
    const int c = order[i];
    int j = i;
    for (; j > 0 && offset[order[j - 1]] > offset[c]; j--) order[j] = order[j - 1];
    order[j] = c;
  }

  printf("ready\n");
  fflush(stdout);
  char line[256];
  double start_s = 0, warmup_s = 0, window_s = 0, tail_s = 0, grace_s = 0;
  if (fgets(line, sizeof line, stdin) == nullptr ||
      sscanf(line, "go %lf %lf %lf %lf %lf", &start_s, &warmup_s, &window_s, &tail_s, &grace_s) !=
          5) {
    return 2;
  }
  const int64_t start = static_cast<int64_t>(start_s * 1e9);
  const Window window{start + static_cast<int64_t>(warmup_s * 1e9),
                      start + static_cast<int64_t>((warmup_s + window_s) * 1e9)};
  const int64_t send_end = window.to + static_cast<int64_t>(tail_s * 1e9);
  const uint32_t periods = static_cast<uint32_t>((send_end - start) / PTIME_NS) + 1;

  Figures fig;
  static uint8_t seen_store[MAX_CALLS * 8192];
  if (periods > 8192) {
    fprintf(stderr, "call_load: at most %d s of sending\n", 8192 / 50);
    return 2;
  }
  Receiver rx{
      calls, static_cast<uint8_t>(side ^ 1), RTP_HEADER + payload_len, periods, seen_store, window,
      &fig};

  const size_t length = RTP_HEADER + payload_len;
  uint8_t pkt[RTP_HEADER + 1200];
  memset(pkt, FILLER, sizeof pkt);
  pkt[0] = 0x80;
  pkt[1] = static_cast<uint8_t>(payload_type);
  uint64_t index = 0;  // over periods x calls, in phase order
  for (;;) {
    const uint32_t period = static_cast<uint32_t>(index / static_cast<uint64_t>(calls));
    const int c = order[index % static_cast<uint64_t>(calls)];
    const int64_t due = start + offset[c] + static_cast<int64_t>(period) * PTIME_NS;
    if (due >= send_end) break;
    int64_t t = now_ns();
    if (t < due) {
      wait_until(rx_fd, &rx, due);
      continue;
    }
    if (window.holds(due)) {
      const int64_t late = t - due;
      fig.due_window++;
      fig.lateness_sum += late;
      if (late > fig.lateness_max) fig.lateness_max = late;
      if (late > 2000000) fig.late_2ms++;
      if (late > 5000000) fig.late_5ms++;
    }
    // A per-call sequence number and timestamp, as a phone keeps them.
    put16(pkt + 2, (static_cast<uint32_t>(c) * 977 + period) & 0xFFFF);
    put32(pkt + 4, static_cast<uint32_t>(c) * 7919 + period * 160);
    put32(pkt + 8, 0x1AB00000u | static_cast<uint32_t>(c) << 1 | static_cast<uint32_t>(side));
    uint8_t* s = pkt + RTP_HEADER;
    put16(s, static_cast<uint32_t>(c));
    s[2] = static_cast<uint8_t>(side);
    s[3] = MAGIC;
    put32(s + 4, period);
    t = now_ns();
    put64(s + 8, static_cast<uint64_t>(t));
    if (send(tx_fd[c], pkt, length, 0) == static_cast<ssize_t>(length)) {
      fig.sent++;
      if (window.holds(t)) fig.sent_window++;
    } else {
      fig.send_errors++;
    }
    index++;
    // Behind schedule the waits stop; keep the receive queue drained anyway.
    if ((index & 63) == 0) drain(rx_fd, &rx);
  }
  const int64_t end = send_end + static_cast<int64_t>(grace_s * 1e9);
  while (now_ns() < end) wait_until(rx_fd, &rx, end);

  printf(
      "calls %d sent %llu send_errors %llu sent_window %llu due_window %llu late_2ms %llu "
      "late_5ms %llu "
      "lateness_mean_us %.1f lateness_max_us %.1f received %llu received_window %llu "
      "duplicates %llu corrupt %llu latency_mean_us %.1f latency_max_us %.1f latency_p99_us %.1f "
      "latency_p999_us %.1f\n",
      calls, static_cast<unsigned long long>(fig.sent),
      static_cast<unsigned long long>(fig.send_errors),
      static_cast<unsigned long long>(fig.sent_window),
      static_cast<unsigned long long>(fig.due_window),
      static_cast<unsigned long long>(fig.late_2ms), static_cast<unsigned long long>(fig.late_5ms),
      fig.due_window
          ? static_cast<double>(fig.lateness_sum) / 1e3 / static_cast<double>(fig.due_window)
          : 0.0,
      static_cast<double>(fig.lateness_max) / 1e3, static_cast<unsigned long long>(fig.received),
      static_cast<unsigned long long>(fig.received_window),
      static_cast<unsigned long long>(fig.duplicates), static_cast<unsigned long long>(fig.corrupt),
      fig.received_window
          ? static_cast<double>(fig.latency_sum) / 1e3 / static_cast<double>(fig.received_window)
          : 0.0,
      static_cast<double>(fig.latency_max) / 1e3, latency_quantile(fig, 0.99),
      latency_quantile(fig, 0.999));
  return 0;
}
