// The yardstick of the throughput run: the least a program can do with a TUN
// device, that is create it like corvex does (IFF_TUN | IFF_NO_PI), read one
// packet after the other with blocking reads and drop them. It counts what it
// read; on SIGINT or SIGTERM it prints the count and exits.
//
//   tun_baseline IFNAME
//
// Prints "ready" once the device exists, "packets N bytes B" at the end.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: tun_baseline IFNAME\n");
    return 2;
  }
  int fd = open("/dev/net/tun", O_RDWR);
  if (fd < 0) {
    perror("open /dev/net/tun");
    return 1;
  }
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  strncpy(ifr.ifr_name, argv[1], IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
    perror("TUNSETIFF");
    return 1;
  }
  // No SA_RESTART: a stop signal interrupts the blocking read.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  printf("ready\n");
  fflush(stdout);

  static uint8_t buf[4096];
  uint64_t packets = 0;
  uint64_t bytes = 0;
  while (stop_requested == 0) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      perror("read");
      break;
    }
    packets++;
    bytes += static_cast<uint64_t>(n);
  }
  printf("packets %llu bytes %llu\n", static_cast<unsigned long long>(packets),
         static_cast<unsigned long long>(bytes));
  fflush(stdout);
  close(fd);
  return 0;
}
