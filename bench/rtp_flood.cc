// RTP generator of the throughput and memory runs: pre-built RTP packets of
// N streams (one source address and port, destination ports P, P+2, ...),
// sent with sendmmsg in batches, as fast as the socket takes them or paced to
// a given rate, for a given time.
//
//   rtp_flood DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]
//
// PKT_LEN is the IPv4 packet length (40 + RTP payload). PPS 0 or absent means
// no pacing. At the end prints "sent N seconds S errors E".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_STREAMS = 1024;
constexpr int BATCH = 64;
constexpr size_t UDP_IP_HEADERS = 28;

double seconds_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleep_until(double t) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || argc > 7) {
    fprintf(stderr, "usage: rtp_flood DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]\n");
    return 2;
  }
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[1], &dst.sin_addr) != 1) {
    fprintf(stderr, "bad address %s\n", argv[1]);
    return 2;
  }
  const int port = atoi(argv[2]);
  const int streams = atoi(argv[3]);
  const int pkt_len = atoi(argv[4]);
  const double seconds = atof(argv[5]);
  const double pps = argc == 7 ? atof(argv[6]) : 0.0;
  if (port <= 0 || streams < 1 || streams > MAX_STREAMS || port + 2 * streams > 65535 ||
      pkt_len < 41 || pkt_len > 1400 || seconds <= 0) {
    fprintf(stderr, "bad arguments\n");
    return 2;
  }
  const size_t rtp_len = static_cast<size_t>(pkt_len) - UDP_IP_HEADERS;

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  int sndbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);

  // One RTP packet and one destination per stream, built once.
  static uint8_t rtp[MAX_STREAMS][1400];
  static sockaddr_in to[MAX_STREAMS];
  for (int s = 0; s < streams; s++) {
    uint8_t* p = rtp[s];
    memset(p, 0, rtp_len);
    p[0] = 0x80;  // version 2
    p[1] = 0x00;  // PCMU
    p[2] = 0;
    p[3] = 1;
    p[8] = static_cast<uint8_t>(s >> 8);
    p[9] = static_cast<uint8_t>(s);
    p[10] = 0x5A;
    p[11] = 0xA5;
    for (size_t i = 12; i < rtp_len; i++) p[i] = static_cast<uint8_t>(0xFF - (i & 0x7F));
    to[s] = dst;
    to[s].sin_port = htons(static_cast<uint16_t>(port + 2 * s));
  }

  static mmsghdr msgs[BATCH];
  static iovec iov[BATCH];
  uint64_t sent = 0;
  uint64_t errors = 0;
  int next = 0;
  const double start = seconds_now();
  const double end = start + seconds;
  double due = start;
  for (;;) {
    double now = seconds_now();
    if (now >= end) break;
    if (pps > 0) {
      if (now < due) sleep_until(due);
      due += BATCH / pps;
    }
    for (int i = 0; i < BATCH; i++) {
      int s = next;
      next = (next + 1) % streams;
      iov[i].iov_base = rtp[s];
      iov[i].iov_len = rtp_len;
      memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
      msgs[i].msg_hdr.msg_name = &to[s];
      msgs[i].msg_hdr.msg_namelen = sizeof to[s];
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = sendmmsg(fd, msgs, BATCH, 0);
    if (n < 0) {
      errors++;
      continue;
    }
    sent += static_cast<uint64_t>(n);
    if (n < BATCH) errors++;
  }
  const double took = seconds_now() - start;
  printf("sent %llu seconds %.3f errors %llu\n", static_cast<unsigned long long>(sent), took,
         static_cast<unsigned long long>(errors));
  close(fd);
  return 0;
}
