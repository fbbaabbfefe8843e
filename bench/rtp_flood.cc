// RTP generator of the throughput and memory runs: pre-built RTP packets of
// N streams (one source address and port, destination ports P, P+2, ...),
// sent with sendmmsg in batches, as fast as the socket takes them or paced to
// a given rate, for a given time.
//
//   rtp_flood udp DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]
//   rtp_flood raw IFNAME DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]
//
// udp: a UDP socket; the packets take the routing of the namespace (from a
// LAN namespace: forwarded by the router into its TUN device).
// raw: whole IPv4 packets (source 10.201.0.2:16384) written by a packet
// socket straight into the transmit path of IFNAME, bypassing its qdisc: on
// a TUN device, into the reader's queue with the least work per packet.
//
// PKT_LEN is the IPv4 packet length (40 + RTP payload). PPS 0 or absent means
// no pacing. At the end prints "sent N refused R seconds S": packets taken by
// the kernel, and packets offered but refused (with a packet socket on a TUN
// device, when the reader's queue is full).
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
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

uint16_t ipv4_checksum(const uint8_t* h) {
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>((h[i] << 8) | h[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void put16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

int usage() {
  fprintf(stderr,
          "usage: rtp_flood udp DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]\n"
          "       rtp_flood raw IFNAME DST_ADDR DST_PORT STREAMS PKT_LEN SECONDS [PPS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const bool raw = strcmp(argv[1], "raw") == 0;
  if (!raw && strcmp(argv[1], "udp") != 0) return usage();
  const int first = raw ? 3 : 2;  // index of DST_ADDR
  if (argc < first + 5 || argc > first + 6) return usage();
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[first], &dst.sin_addr) != 1) {
    fprintf(stderr, "bad address %s\n", argv[first]);
    return 2;
  }
  const int port = atoi(argv[first + 1]);
  const int streams = atoi(argv[first + 2]);
  const int pkt_len = atoi(argv[first + 3]);
  const double seconds = atof(argv[first + 4]);
  const double pps = argc == first + 6 ? atof(argv[first + 5]) : 0.0;
  if (port <= 0 || streams < 1 || streams > MAX_STREAMS || port + 2 * streams > 65535 ||
      pkt_len < 41 || pkt_len > 1400 || seconds <= 0) {
    fprintf(stderr, "bad arguments\n");
    return 2;
  }
  const size_t rtp_len = static_cast<size_t>(pkt_len) - UDP_IP_HEADERS;

  // A packet socket of protocol 0 only sends: it is handed no copies of the
  // namespace's traffic.
  int fd = raw ? socket(AF_PACKET, SOCK_RAW, 0) : socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  int sndbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
  sockaddr_ll link{};
  if (raw) {
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(if_nametoindex(argv[2]));
    if (link.sll_ifindex == 0) {
      perror(argv[2]);
      return 1;
    }
    int one = 1;
    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  }

  // One packet and one destination per stream, built once: the RTP packet
  // (UDP payload) for udp, the whole IPv4 packet for raw.
  static uint8_t pkt[MAX_STREAMS][1400];
  static sockaddr_in to[MAX_STREAMS];
  const size_t head = raw ? UDP_IP_HEADERS : 0;
  for (int s = 0; s < streams; s++) {
    uint8_t* p = pkt[s] + head;
    memset(pkt[s], 0, head + rtp_len);
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
    if (raw) {
      uint8_t* ip = pkt[s];
      ip[0] = 0x45;
      put16(ip + 2, static_cast<unsigned>(pkt_len));
      ip[6] = 0x40;  // don't fragment
      ip[8] = 64;
      ip[9] = 17;
      const uint8_t src[4] = {10, 201, 0, 2};
      memcpy(ip + 12, src, 4);
      memcpy(ip + 16, &dst.sin_addr, 4);
      put16(ip + 10, ipv4_checksum(ip));
      put16(ip + 20, 16384);
      put16(ip + 22, static_cast<unsigned>(port + 2 * s));
      put16(ip + 24, static_cast<unsigned>(pkt_len - 20));
    }
  }

  static mmsghdr msgs[BATCH];
  static iovec iov[BATCH];
  uint64_t sent = 0;
  uint64_t refused = 0;  // offered but not taken (a full queue, no buffer)
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
      int s = (next + i) % streams;
      iov[i].iov_base = pkt[s];
      iov[i].iov_len = head + rtp_len;
      memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
      if (raw) {
        msgs[i].msg_hdr.msg_name = &link;
        msgs[i].msg_hdr.msg_namelen = sizeof link;
      } else {
        msgs[i].msg_hdr.msg_name = &to[s];
        msgs[i].msg_hdr.msg_namelen = sizeof to[s];
      }
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // sendmmsg stops at the first message that fails: that one was offered
    // and lost; the next batch starts after it.
    int n = sendmmsg(fd, msgs, BATCH, 0);
    if (n < 0) n = 0;
    sent += static_cast<uint64_t>(n);
    int done = n;
    if (n < BATCH) {
      refused++;
      done++;
    }
    next = (next + done) % streams;
  }
  const double took = seconds_now() - start;
  printf("sent %llu refused %llu seconds %.3f\n", static_cast<unsigned long long>(sent),
         static_cast<unsigned long long>(refused), took);
  close(fd);
  return 0;
}
