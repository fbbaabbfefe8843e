// The server's half as far as the throughput and memory runs need it: answers
// every REQUEST with AUTHORIZED at once, and takes every multiplexed frame
// apart (password XOR undone, sub-packets walked) to count what corvex
// carried. Every 100 ms and at SIGINT/SIGTERM it rewrites STATS_FILE with one
// line:
//
//   frames F subpackets S full X compressed C calls K malformed M other O
//
// where K is the number of distinct call ids seen.
//
//   frame_sink BIND_ADDR PORT PASSWORD STATS_FILE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "wire.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

struct sink_counts {
  unsigned long long frames, subpackets, full, compressed, malformed, other;
  bool seen[256];
  unsigned calls;
};

void write_stats(const char* path, const sink_counts& c) {
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FILE* f = fopen(tmp, "w");
  if (f == nullptr) return;
  fprintf(f,
          "frames %llu subpackets %llu full %llu compressed %llu calls %u malformed %llu "
          "other %llu\n",
          c.frames, c.subpackets, c.full, c.compressed, c.calls, c.malformed, c.other);
  fclose(f);
  rename(tmp, path);
}

void count_frame(uint8_t* buf, size_t len, const char* password, sink_counts* c) {
  password_xor(buf, len, password, static_cast<uint8_t>(strlen(password)));
  c->frames++;
  byte_cursor cur = make_cursor(buf, len);
  for (;;) {
    sub_packet sp{};
    walk_status st = frame_next(&cur, &sp);
    if (st == WALK_END) return;
    if (st != WALK_ITEM) {
      c->malformed++;
      return;
    }
    c->subpackets++;
    if (sp.type == SUB_FULL) {
      c->full++;
    } else {
      c->compressed++;
    }
    if (!c->seen[sp.call_id]) {
      c->seen[sp.call_id] = true;
      c->calls++;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: frame_sink BIND_ADDR PORT PASSWORD STATS_FILE\n");
    return 2;
  }
  const char* password = argv[3];
  const char* stats = argv[4];
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &me.sin_addr) != 1) {
    fprintf(stderr, "bad address %s\n", argv[1]);
    return 2;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) {
    perror("bind");
    return 1;
  }
  int rcvbuf = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
  timeval tick{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  static sink_counts c;
  static uint8_t buf[65536];
  static const uint8_t authorized[] = {0x00, 0x81, 'A', 'U', 'T', 'H',
                                       'O',  'R',  'I', 'Z', 'E', 'D'};
  write_stats(stats, c);
  unsigned since_stats = 0;
  while (stop_requested == 0) {
    sockaddr_storage from;
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        write_stats(stats, c);
        since_stats = 0;
        continue;
      }
      perror("recvfrom");
      break;
    }
    const size_t len = static_cast<size_t>(n);
    if (len < 2) {
      c.other++;
      continue;
    }
    switch (classify_datagram(buf[0], buf[1])) {
      case DGRAM_CONTROL:
        if (len >= 9 && memcmp(buf + 2, "REQUEST", 7) == 0) {
          sendto(fd, authorized, sizeof authorized, 0, reinterpret_cast<sockaddr*>(&from), fromlen);
        }
        break;
      case DGRAM_FRAME:
        count_frame(buf, len, password, &c);
        break;
      default:
        c.other++;
        break;
    }
    // Keep the file fresh under load too (roughly every few thousand frames).
    if (++since_stats >= 4096) {
      write_stats(stats, c);
      since_stats = 0;
    }
  }
  write_stats(stats, c);
  close(fd);
  return 0;
}
