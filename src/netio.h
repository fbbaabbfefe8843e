// The system calls of the data path and every clock read, behind one seam: the binary links the
// real ones (netio.cc); tests, fuzzers and benchmarks link their own.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen);
ssize_t io_recvfrom(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromlen);
ssize_t io_read(int fd, void* buf, size_t len);
ssize_t io_write(int fd, const void* buf, size_t len);
int io_select(int nfds, fd_set* readfds, timeval* timeout);
// Several datagrams in one call (flags 0, no timeout): the count of messages
// sent or received, each message's msg_len set, or -1 with errno.
int io_sendmmsg(int fd, mmsghdr* msgs, unsigned vlen);
int io_recvmmsg(int fd, mmsghdr* msgs, unsigned vlen);

// The monotonic clock in units of 2^-20 s (2^20 a second, as rtp_timeout
// counts), 64 bits wide: it never wraps in the life of a process. It is read
// per packet, so the coarse clock serves (a few ms resolution, a fraction of
// the cost).
uint64_t io_monotonic_clock();

// Every other clock the client reads, behind the same seam so that tests can
// run it on a time of their own:
// microseconds on the monotonic clock (the loop's deadlines),
uint64_t io_monotonic_us();
// the loop clock, (seconds << 20) | (microseconds & 0xFFFFF) of the time of
// day, wrapping (it stamps frames),
uint32_t io_loop_clock();
// and the Unix time in seconds (reports).
int64_t io_wall_time();
