#include "fake_netio.h"

#include <cerrno>
#include <cstring>

#include "netio.h"

fake_netio_state fake_io;

void fake_netio_reset() { fake_io = fake_netio_state{}; }

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr*, socklen_t) {
  if (fake_io.send_errno != 0) {
    errno = fake_io.send_errno;
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(buf);
  fake_io.sent.push_back({fd, std::vector<uint8_t>(p, p + len)});
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

ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  errno = EAGAIN;
  return -1;
}

ssize_t io_read(int, void*, size_t) {
  errno = EAGAIN;
  return -1;
}

int io_select(int, fd_set*, timeval*) {
  errno = EINTR;
  return -1;
}
