#include "resolver.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "bytes.h"
#include "log.h"

namespace {

// The child: resolve, write the answer, end. Never returns.
[[noreturn]] void resolve_in_child(int out, const char* name, uint16_t port) {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGUSR1, SIG_DFL);
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* res = nullptr;
  uint8_t answer[sizeof(resolver::buf)];
  size_t n = 0;
  if (getaddrinfo(name, nullptr, &hints, &res) == 0) {
    int kept = 0;
    for (const addrinfo* ai = res; ai != nullptr && kept < WATCH_CANDIDATES; ai = ai->ai_next) {
      if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
          ai->ai_addrlen > sizeof(sockaddr_storage)) {
        continue;
      }
      uint8_t* p = answer + n;
      p[0] = ai->ai_family == AF_INET ? 4 : 6;
      p[1] = static_cast<uint8_t>(ai->ai_addrlen);
      memcpy(p + 2, ai->ai_addr, ai->ai_addrlen);
      memcpy(p + 2 + offsetof(sockaddr_in, sin_port), &port, sizeof port);
      n += 2 + ai->ai_addrlen;
      kept++;
    }
    freeaddrinfo(res);
  }
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(out, answer + done, n - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  _exit(0);
}

}  // namespace

void resolver_init(resolver* r) {
  r->pid = 0;
  r->fd = -1;
  r->got = 0;
}

int resolver_start(resolver* r, const char* name, uint16_t port) {
  resolver_cancel(r);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    log_message("can not resolve %s again: no pipe", name != nullptr ? name : "");
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    log_message("can not resolve %s again: no child", name != nullptr ? name : "");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    close(fds[0]);
    resolve_in_child(fds[1], name != nullptr ? name : "", port);
  }
  close(fds[1]);
  const int flags = fcntl(fds[0], F_GETFL);
  if (flags != -1) (void)fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
  r->pid = pid;
  r->fd = fds[0];
  r->got = 0;
  return 0;
}

int resolver_read(resolver* r, watch_candidate* out, int* count) {
  *count = 0;
  if (r->fd < 0) return 1;
  for (;;) {
    if (r->got == sizeof r->buf) break;  // all it may say: done
    ssize_t n = read(r->fd, r->buf + r->got, sizeof r->buf - r->got);
    if (n > 0) {
      r->got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0 && errno == EINTR) continue;
    break;  // end of the answer (or an error: what came counts)
  }
  *count = resolver_decode(r->buf, r->got, out, WATCH_CANDIDATES);
  resolver_cancel(r);
  return 1;
}

void resolver_cancel(resolver* r) {
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
  if (r->pid > 0) {
    (void)kill(r->pid, SIGKILL);
    while (waitpid(r->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  r->pid = 0;
  r->got = 0;
}

int resolver_decode(const uint8_t* buf, size_t len, watch_candidate* out, int cap) {
  byte_cursor c = make_cursor(buf, len);
  int n = 0;
  while (n < cap && cursor_left(&c) > 0) {
    uint8_t family = 0;
    uint8_t alen = 0;
    if (cursor_u8(&c, &family) != 0 || cursor_u8(&c, &alen) != 0) break;
    const size_t want = family == 4 ? sizeof(sockaddr_in) : family == 6 ? sizeof(sockaddr_in6) : 0;
    if (want == 0 || alen != want) break;
    const uint8_t* a = cursor_take(&c, alen);
    if (a == nullptr) break;
    memset(&out[n].addr, 0, sizeof out[n].addr);
    memcpy(&out[n].addr, a, alen);
    // The family field is the host's own layout: trust only the code.
    out[n].addr.ss_family = family == 4 ? AF_INET : AF_INET6;
    out[n].len = alen;
    n++;
  }
  return n;
}
