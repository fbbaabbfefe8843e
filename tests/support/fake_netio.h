// An in-memory stand-in for the data path's system calls: every datagram sent
// and every TUN write is captured; receives, reads and waits can be scripted.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <vector>

struct fake_packet {
  int fd;
  std::vector<uint8_t> bytes;
};

// One scripted result of io_select.
struct fake_select_step {
  int err = 0;                    // nonzero: io_select fails with it
  std::vector<int> ready;         // descriptors reported readable (if watched)
  std::function<void()> action;   // runs first, as if during the wait
};

// What one io_select call was given.
struct fake_select_call {
  int nfds;
  bool has_timeout;
  timeval timeout;          // valid when has_timeout
  std::vector<int> watched;  // descriptors in the read set
  uint64_t at_us;            // now_us when it began (fake time)
};

// One scripted result of io_recvfrom.
struct fake_datagram {
  int err = 0;  // nonzero: io_recvfrom fails with it
  std::vector<uint8_t> bytes;
  sockaddr_storage from{};
  socklen_t fromlen = 0;
};

// One scripted result of io_read.
struct fake_read {
  int err = 0;  // nonzero: io_read fails with it
  std::vector<uint8_t> bytes;
  std::function<void()> action;  // runs first, as if during the read
};

struct fake_netio_state {
  std::vector<fake_packet> sent;     // io_sendto (successful ones)
  std::vector<fake_packet> written;  // io_write (successful ones)
  int send_errno = 0;                // nonzero: io_sendto fails with it
  int write_errno = 0;               // nonzero: io_write fails with it
  uint64_t clock = 0;                // what io_monotonic_clock returns
  // With fake_time set, io_monotonic_us returns now_us, io_loop_clock and
  // io_wall_time are taken from it, and a wait that finds nothing ready moves
  // it on by its timeout; without, they read the real clocks.
  bool fake_time = false;
  uint64_t now_us = 0;
  // With fake_time: when no scripted step is left, a wait ends by its
  // timeout (else it fails with select_default_errno); and every
  // `interrupt_every_us` of fake time after `interrupt_from` (0: never) a
  // wait is cut short there as by a signal, after `on_interrupt` ran (it may
  // raise the signal's flag).
  bool timeout_when_unscripted = false;
  uint64_t interrupt_every_us = 0;
  uint64_t interrupt_from = 0;
  std::function<void()> on_interrupt;

  // Destination address bytes of each entry of `sent`.
  std::vector<std::vector<uint8_t>> sent_to;
  // now_us at each entry of `sent` (the fake clock's time, else 0).
  std::vector<uint64_t> sent_at;
  // Per-call send results, taken one per io_sendto before send_errno is
  // looked at: 0 succeeds, anything else fails with that error.
  std::deque<int> send_errnos;
  int send_attempts = 0;
  // Messages given to each io_sendmmsg call (each message also counts in
  // `sent` and `send_attempts` as one io_sendto would).
  std::vector<size_t> sendmmsg_calls;

  // io_select: steps are taken in order; when none is left, io_select fails
  // with select_default_errno (EINTR), and once select_limit calls have been
  // made with EBADF, so that a loop the script forgot to end still ends.
  std::deque<fake_select_step> selects;
  std::vector<fake_select_call> select_calls;
  int select_default_errno;
  size_t select_limit = 10000;
  // Make a step that reports nothing ready really wait for the timeout it was
  // given (for tests that need the clock to move as in a real wait).
  bool sleep_on_timeout = false;

  // io_recvfrom and io_recvmmsg: datagrams in order; EAGAIN when none is
  // left. io_recvmmsg takes up to its vlen of them, stopping before a
  // scripted error unless that error comes first.
  std::deque<fake_datagram> datagrams;
  int recvmmsg_calls = 0;
  // io_read: per descriptor, in order; EAGAIN when none is left.
  std::map<int, std::deque<fake_read>> reads;
  std::vector<int> read_calls;  // descriptor of every io_read

  fake_netio_state();
};

extern fake_netio_state fake_io;

// Clears captures, scripts and scripted failures.
void fake_netio_reset();

// Script the next io_select results.
void fake_select_ready(std::initializer_list<int> fds, std::function<void()> action = {});
void fake_select_timeout(std::function<void()> action = {});
void fake_select_fail(int err, std::function<void()> action = {});

// Script the next io_recvfrom results.
void fake_queue_datagram(const std::vector<uint8_t>& bytes, const sockaddr* from,
                         socklen_t fromlen);
void fake_queue_recv_error(int err);

// Script the next io_read results on fd.
void fake_queue_read(int fd, const std::vector<uint8_t>& bytes);
void fake_queue_read_error(int fd, int err);
// A read of `bytes` during which `action` runs (a signal mid-burst, say).
void fake_queue_read_with(int fd, const std::vector<uint8_t>& bytes, std::function<void()> action);

// An IPv4 socket address ("a.b.c.d", host-order port) as received from the
// socket; its length goes to *len.
sockaddr_storage fake_ipv4_address(const char* ip, uint16_t port, socklen_t* len);
