// A system-call seam that does nothing: sends and TUN writes are counted and
// discarded, reads and receives find nothing, waits return at once. The
// clocks are the real ones. The benchmarks measure the user-space work
// around these calls.
#include "null_netio.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

null_netio_counters null_io;

ssize_t io_sendto(int, const void*, size_t len, const sockaddr*, socklen_t) {
  null_io.sends++;
  null_io.sent_bytes += len;
  return static_cast<ssize_t>(len);
}

ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  errno = EAGAIN;
  return -1;
}

ssize_t io_read(int, void*, size_t) {
  errno = EAGAIN;
  return -1;
}

ssize_t io_write(int, const void*, size_t len) {
  null_io.writes++;
  null_io.written_bytes += len;
  return static_cast<ssize_t>(len);
}

int io_select(int, fd_set*, timeval*) { return 0; }

int io_sendmmsg(int, mmsghdr* msgs, unsigned vlen) {
  for (unsigned i = 0; i < vlen; i++) {
    size_t len = 0;
    for (size_t k = 0; k < msgs[i].msg_hdr.msg_iovlen; k++) len += msgs[i].msg_hdr.msg_iov[k].iov_len;
    msgs[i].msg_len = static_cast<unsigned>(len);
    null_io.sends++;
    null_io.sent_bytes += len;
  }
  return static_cast<int>(vlen);
}

int io_recvmmsg(int, mmsghdr*, unsigned) {
  errno = EAGAIN;
  return -1;
}

// The real clock: reading it is part of what a packet costs.
uint64_t io_monotonic_clock() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) << 20) +
         (static_cast<uint64_t>(ts.tv_nsec) << 20) / 1000000000u;
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
