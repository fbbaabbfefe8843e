#include "netio.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  return sendto(fd, buf, len, 0, to, tolen);
}

ssize_t io_recvfrom(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromlen) {
  return recvfrom(fd, buf, len, 0, from, fromlen);
}

ssize_t io_read(int fd, void* buf, size_t len) { return read(fd, buf, len); }

ssize_t io_write(int fd, const void* buf, size_t len) { return write(fd, buf, len); }

uint64_t io_monotonic_clock() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) << 20) +
         (static_cast<uint64_t>(ts.tv_nsec) << 20) / 1000000000u;
}

int io_select(int nfds, fd_set* readfds, timeval* timeout) {
  return select(nfds, readfds, nullptr, nullptr, timeout);
}

int io_sendmmsg(int fd, mmsghdr* msgs, unsigned vlen) { return sendmmsg(fd, msgs, vlen, 0); }

int io_recvmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  return recvmmsg(fd, msgs, vlen, 0, nullptr);
}

uint64_t io_monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t io_loop_clock() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return (static_cast<uint32_t>(tv.tv_sec) << 20) | (static_cast<uint32_t>(tv.tv_usec) & 0xFFFFFu);
}

int64_t io_wall_time() { return static_cast<int64_t>(time(nullptr)); }
