#include "fake_netio.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/time.h>

#include "netio.h"

fake_netio_state fake_io;

fake_netio_state::fake_netio_state() : select_default_errno(EINTR) {}

void fake_netio_reset() { fake_io = fake_netio_state{}; }

void fake_select_ready(std::initializer_list<int> fds, std::function<void()> action) {
  fake_select_step step;
  step.ready.assign(fds.begin(), fds.end());
  step.action = std::move(action);
  fake_io.selects.push_back(std::move(step));
}

void fake_select_timeout(std::function<void()> action) {
  fake_select_step step;
  step.action = std::move(action);
  fake_io.selects.push_back(std::move(step));
}

void fake_select_fail(int err, std::function<void()> action) {
  fake_select_step step;
  step.err = err;
  step.action = std::move(action);
  fake_io.selects.push_back(std::move(step));
}

void fake_queue_datagram(const std::vector<uint8_t>& bytes, const sockaddr* from,
                         socklen_t fromlen) {
  fake_datagram d;
  d.bytes = bytes;
  memcpy(&d.from, from, std::min<size_t>(fromlen, sizeof d.from));
  d.fromlen = fromlen;
  fake_io.datagrams.push_back(std::move(d));
}

void fake_queue_recv_error(int err) {
  fake_datagram d;
  d.err = err;
  fake_io.datagrams.push_back(std::move(d));
}

void fake_queue_read(int fd, const std::vector<uint8_t>& bytes) {
  fake_read r;
  r.bytes = bytes;
  fake_io.reads[fd].push_back(std::move(r));
}

void fake_queue_read_with(int fd, const std::vector<uint8_t>& bytes, std::function<void()> action) {
  fake_read r;
  r.bytes = bytes;
  r.action = std::move(action);
  fake_io.reads[fd].push_back(std::move(r));
}

void fake_queue_read_error(int fd, int err) {
  fake_read r;
  r.err = err;
  fake_io.reads[fd].push_back(std::move(r));
}

sockaddr_storage fake_ipv4_address(const char* ip, uint16_t port, socklen_t* len) {
  sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  inet_pton(AF_INET, ip, &sin.sin_addr);
  memcpy(&ss, &sin, sizeof sin);
  *len = sizeof sin;
  return ss;
}

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  fake_io.send_attempts++;
  int err = fake_io.send_errno;
  if (!fake_io.send_errnos.empty()) {
    err = fake_io.send_errnos.front();
    fake_io.send_errnos.pop_front();
  }
  if (err != 0) {
    errno = err;
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(buf);
  fake_io.sent.push_back({fd, std::vector<uint8_t>(p, p + len)});
  fake_io.sent_at.push_back(fake_io.fake_time ? fake_io.now_us : 0);
  const auto* a = reinterpret_cast<const uint8_t*>(to);
  fake_io.sent_to.push_back(to != nullptr ? std::vector<uint8_t>(a, a + tolen)
                                          : std::vector<uint8_t>());
  return static_cast<ssize_t>(len);
}

ssize_t io_write(int fd, const void* buf, size_t len) {
  if (fake_io.write_errno != 0) {
    errno = fake_io.write_errno;
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(buf);
  fake_io.written.push_back({fd, std::vector<uint8_t>(p, p + len)});
  return static_cast<ssize_t>(len);
}

ssize_t io_recvfrom(int, void* buf, size_t len, sockaddr* from, socklen_t* fromlen) {
  if (fake_io.datagrams.empty()) {
    errno = EAGAIN;
    return -1;
  }
  fake_datagram d = std::move(fake_io.datagrams.front());
  fake_io.datagrams.pop_front();
  if (d.err != 0) {
    errno = d.err;
    return -1;
  }
  // Like a datagram socket: a datagram longer than the buffer is cut.
  size_t n = std::min(len, d.bytes.size());
  if (n != 0) memcpy(buf, d.bytes.data(), n);
  if (from != nullptr && fromlen != nullptr) {
    memcpy(from, &d.from, std::min<size_t>(*fromlen, d.fromlen));
    *fromlen = d.fromlen;
  }
  return static_cast<ssize_t>(n);
}

ssize_t io_read(int fd, void* buf, size_t len) {
  fake_io.read_calls.push_back(fd);
  auto it = fake_io.reads.find(fd);
  if (it == fake_io.reads.end() || it->second.empty()) {
    errno = EAGAIN;
    return -1;
  }
  fake_read r = std::move(it->second.front());
  it->second.pop_front();
  if (r.action) r.action();
  if (r.err != 0) {
    errno = r.err;
    return -1;
  }
  size_t n = std::min(len, r.bytes.size());
  if (n != 0) memcpy(buf, r.bytes.data(), n);
  return static_cast<ssize_t>(n);
}

uint64_t io_monotonic_clock() { return fake_io.clock; }

uint64_t io_monotonic_us() {
  if (fake_io.fake_time) return fake_io.now_us;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t io_loop_clock() {
  if (fake_io.fake_time) {
    return static_cast<uint32_t>((fake_io.now_us / 1000000u) << 20) |
           static_cast<uint32_t>(fake_io.now_us % 1000000u);
  }
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return (static_cast<uint32_t>(tv.tv_sec) << 20) | (static_cast<uint32_t>(tv.tv_usec) & 0xFFFFFu);
}

int64_t io_wall_time() {
  if (fake_io.fake_time) return static_cast<int64_t>(fake_io.now_us / 1000000u);
  return static_cast<int64_t>(time(nullptr));
}

int io_select(int nfds, fd_set* readfds, timeval* timeout) {
  fake_select_call call{nfds, timeout != nullptr, timeval{0, 0}, {}, fake_io.now_us};
  if (timeout != nullptr) call.timeout = *timeout;
  for (int fd = 0; fd < nfds && readfds != nullptr; fd++) {
    if (FD_ISSET(fd, readfds)) call.watched.push_back(fd);
  }
  fake_io.select_calls.push_back(call);

  if (fake_io.select_calls.size() >= fake_io.select_limit) {
    errno = EBADF;
    return -1;
  }
  if (fake_io.fake_time && fake_io.interrupt_every_us != 0) {
    // A signal due before the wait would end cuts it short.
    const uint64_t every = fake_io.interrupt_every_us;
    const uint64_t from = fake_io.interrupt_from;
    const uint64_t since = fake_io.now_us > from ? fake_io.now_us - from : 0;
    const uint64_t next = from + (since / every + 1) * every;
    const uint64_t wait = timeout == nullptr ? UINT64_MAX
                                             : static_cast<uint64_t>(timeout->tv_sec) * 1000000u +
                                                   static_cast<uint64_t>(timeout->tv_usec);
    if (next - fake_io.now_us <= wait && fake_io.selects.empty()) {
      fake_io.now_us = next;
      if (fake_io.on_interrupt) fake_io.on_interrupt();
      errno = EINTR;
      return -1;
    }
  }
  if (fake_io.selects.empty()) {
    if (fake_io.fake_time && fake_io.timeout_when_unscripted && timeout != nullptr) {
      fake_io.now_us += static_cast<uint64_t>(timeout->tv_sec) * 1000000u +
                        static_cast<uint64_t>(timeout->tv_usec);
      if (readfds != nullptr) FD_ZERO(readfds);
      return 0;
    }
    errno = fake_io.select_default_errno;
    return -1;
  }
  fake_select_step step = std::move(fake_io.selects.front());
  fake_io.selects.pop_front();
  if (step.action) step.action();
  if (step.err != 0) {
    errno = step.err;
    return -1;
  }
  int count = 0;
  if (readfds != nullptr) {
    FD_ZERO(readfds);
    for (int fd : step.ready) {
      if (std::find(call.watched.begin(), call.watched.end(), fd) == call.watched.end()) continue;
      FD_SET(fd, readfds);
      count++;
    }
  }
  if (count == 0 && fake_io.fake_time && timeout != nullptr) {
    fake_io.now_us += static_cast<uint64_t>(timeout->tv_sec) * 1000000u +
                      static_cast<uint64_t>(timeout->tv_usec);
  } else if (count == 0 && fake_io.sleep_on_timeout && timeout != nullptr) {
    timespec ts{timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  return count;
}

int io_sendmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  fake_io.sendmmsg_calls.push_back(vlen);
  unsigned i = 0;
  for (; i < vlen; i++) {
    const msghdr& h = msgs[i].msg_hdr;
    std::vector<uint8_t> bytes;
    for (size_t k = 0; k < h.msg_iovlen; k++) {
      const auto* p = static_cast<const uint8_t*>(h.msg_iov[k].iov_base);
      bytes.insert(bytes.end(), p, p + h.msg_iov[k].iov_len);
    }
    ssize_t n = io_sendto(fd, bytes.data(), bytes.size(), static_cast<const sockaddr*>(h.msg_name),
                          h.msg_namelen);
    if (n < 0) break;
    msgs[i].msg_len = static_cast<unsigned>(n);
  }
  if (i == 0 && vlen != 0) return -1;  // errno set by the failed send
  return static_cast<int>(i);
}

int io_recvmmsg(int fd, mmsghdr* msgs, unsigned vlen) {
  fake_io.recvmmsg_calls++;
  unsigned i = 0;
  for (; i < vlen; i++) {
    if (i > 0 && (fake_io.datagrams.empty() || fake_io.datagrams.front().err != 0)) break;
    msghdr& h = msgs[i].msg_hdr;
    auto* from = static_cast<sockaddr*>(h.msg_name);
    ssize_t n = io_recvfrom(fd, h.msg_iov[0].iov_base, h.msg_iov[0].iov_len, from, &h.msg_namelen);
    if (n < 0) return -1;  // the first one: errno set
    msgs[i].msg_len = static_cast<unsigned>(n);
  }
  return static_cast<int>(i);
}
