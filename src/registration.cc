#include "registration.h"

#include <sys/select.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log.h"
#include "md5.h"
#include "netio.h"
#include "status.h"

const char* const control_keywords[6] = {
    "REQUEST", "CHANLLANGE", "DIGEST", "DECLINED", "AUTHORIZED", "MAY BE SERVER RESTARTED!",
};

namespace {

// Offset of the challenge in a CHANLLANGE datagram: 0x00 0x81 "CHANLLANGE".
constexpr size_t CHALLENGE_OFFSET = 12;
constexpr size_t DIGEST_MESSAGE_LEN = 2 + 6 + 16;
constexpr uint64_t US_PER_SECOND = 1000000;
static_assert(REGISTRATION_REPEAT_US % US_PER_SECOND == 0);

// Writes 0x00 0x81 and the keyword at the start of tx_buf; returns its length.
size_t put_control_header(mux_ctx* ctx, control_keyword_index kw) {
  size_t k = strlen(control_keywords[kw]);
  ctx->tx_buf[0] = CONTROL_BYTE0;
  ctx->tx_buf[1] = CONTROL_BYTE1;
  memcpy(ctx->tx_buf + 2, control_keywords[kw], k);
  return 2 + k;
}

}  // namespace

int match_control_keyword(const uint8_t* payload, size_t len) {
  for (int i = KW_REQUEST; i <= KW_AUTHORIZED; i++) {
    size_t k = strlen(control_keywords[i]);
    if (len >= k && memcmp(payload, control_keywords[i], k) == 0) return i;
  }
  return -1;
}

int socket_send(mux_ctx* ctx) {
  ssize_t n = io_sendto(ctx->sock_fd, ctx->tx_buf, ctx->tx_len, ctx->server_addr,
                        ctx->server_addrlen);
  if (n >= 0) return 0;
  int err = errno;
  if (is_transient_send_error(err)) return stats_drop(&ctx->stats, DIR_EGRESS, DROP_SEND_ERROR);
  LOG_ERRNO("Error in socket_send() %s [%d]\n", err);
  return -1;
}

void build_request(mux_ctx* ctx) {
  ctx->tx_len = static_cast<uint16_t>(put_control_header(ctx, KW_REQUEST));
}

void build_digest_message(mux_ctx* ctx) {
  size_t n = put_control_header(ctx, KW_DIGEST);
  memcpy(ctx->tx_buf + n, ctx->digest, sizeof ctx->digest);
  ctx->tx_len = static_cast<uint16_t>(n + sizeof ctx->digest);
  static_assert(DIGEST_MESSAGE_LEN == 24);
}

int compute_registration_digest(const uint8_t* challenge, uint8_t challenge_len,
                                const char* password, uint8_t password_len, uint8_t out[16]) {
  if (password == nullptr) password_len = 0;
  const size_t p = password_len;
  const size_t l = challenge_len;
  // password ":" challenge, fed after the challenge and the password.
  auto* joined = static_cast<uint8_t*>(calloc(p + l + 1, 1));
  if (joined == nullptr) return -1;
  if (p != 0) memcpy(joined, password, p);
  joined[p] = ':';
  memcpy(joined + p + 1, challenge, l);

  md5_context md5;
  md5_init(&md5);
  md5_update(&md5, challenge, l);
  md5_update(&md5, reinterpret_cast<const uint8_t*>(password), p);
  md5_update(&md5, joined, p + 1 + l);
  md5_final(out, &md5);
  free(joined);
  return 0;
}

int registration_event(const mux_ctx* ctx, const uint8_t* dgram, size_t len, const sockaddr* src,
                       socklen_t srclen) {
  if (!is_server_address(ctx, src, srclen)) return -1;
  if (len < 3 || dgram[0] != CONTROL_BYTE0 || dgram[1] != CONTROL_BYTE1) return -1;
  return match_control_keyword(dgram + 2, len - 2);
}

uint64_t registration_clock_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * US_PER_SECOND + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

int registration_send(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len) {
  switch (ctx->reg_state) {
    case REG_NONE:
      build_request(ctx);
      if (socket_send(ctx) != 0) {
        log_message("send request to server failed!!!");
        return -1;
      }
      return 1;
    case REG_CHALLENGED:
      if (challenge == nullptr || !challenge_usable(challenge_len)) {
        ctx->reg_state = REG_NONE;
        return 0;
      }
      if (compute_registration_digest(challenge, challenge_len,
                                      ctx->config != nullptr ? ctx->config->password : nullptr,
                                      ctx->password_len, ctx->digest) != 0) {
        log_message("can not allocate the digest input");
        return -1;
      }
      ctx->reg_state = REG_DIGEST_SENT;
      build_digest_message(ctx);
      if (socket_send(ctx) != 0) {
        ctx->reg_state = REG_NONE;
        return 0;
      }
      return 1;
    case REG_DIGEST_SENT:
      // The same bytes again; the digest is not recomputed.
      build_digest_message(ctx);
      if (socket_send(ctx) != 0) {
        log_message("digest send error!!");
        return -1;
      }
      return 1;
    default:
      return 1;
  }
}

int registration_begin(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len) {
  int r;
  // Nothing to wait for means REG_NONE: the REQUEST follows at once.
  while ((r = registration_send(ctx, challenge, challenge_len)) == 0) challenge = nullptr;
  if (r < 0 || ctx->reg_state == REG_AUTHORIZED) {
    ctx->reg_resend_at = 0;
    return r < 0 ? -1 : 0;
  }
  const uint64_t at = registration_clock_us() + REGISTRATION_REPEAT_US;
  ctx->reg_resend_at = at != 0 ? at : 1;
  return 0;
}

uint64_t registration_us_until_resend(const mux_ctx* ctx, uint64_t now) {
  return ctx->reg_resend_at > now ? ctx->reg_resend_at - now : 0;
}

int registration_resend_if_due(mux_ctx* ctx, uint64_t now) {
  if (!registration_waiting(ctx) || ctx->reg_resend_at > now) return 0;
  return registration_begin(ctx, nullptr, 0);
}

void registration_end(mux_ctx* ctx) { ctx->reg_resend_at = 0; }

int do_registration(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len) {
  const int pipe_fd = ctx->ctl_pipe[0];
  const int sock_fd = ctx->sock_fd;
  if (ctx->rx_buf == nullptr || ctx->tx_buf == nullptr) return -1;
  if (!fd_fits_select(pipe_fd) || !fd_fits_select(sock_fd)) {
    log_message("descriptor %d is beyond the select limit %d",
                fd_fits_select(pipe_fd) ? sock_fd : pipe_fd, FD_SETSIZE);
    return -1;
  }
  const int nfds = (pipe_fd > sock_fd ? pipe_fd : sock_fd) + 1;
  ctx->stats.registrations[REGS_STARTED]++;
  // A datagram from another address is dropped without ending the wait: the
  // next pass then only waits out what is left of it, sending nothing.
  bool resume_wait = false;
  uint64_t wait_until = 0;

  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(pipe_fd, &readable);
    FD_SET(sock_fd, &readable);

    // One send per pass; an unusable challenge or a failed first DIGEST send
    // skips the wait, so that a REQUEST follows at once.
    bool wait = true;
    timeval timeout{static_cast<time_t>(REGISTRATION_REPEAT_US / US_PER_SECOND), 0};
    if (resume_wait) {
      const uint64_t now = registration_clock_us();
      const uint64_t left = wait_until > now ? wait_until - now : 0;
      timeout.tv_sec = static_cast<time_t>(left / US_PER_SECOND);
      timeout.tv_usec = static_cast<suseconds_t>(left % US_PER_SECOND);
      resume_wait = false;
    } else {
      int sent = registration_send(ctx, challenge, challenge_len);
      if (sent < 0) return -1;
      wait = sent == 1;
      wait_until = registration_clock_us() + REGISTRATION_REPEAT_US;
    }

    if (wait) {
      int ready = io_select(nfds, &readable, &timeout);
      if (ready < 0) {
        if (errno != EINTR) {
          log_message("select() in do_registration");
          return -1;
        }
      } else if (ready > 0) {
        if (FD_ISSET(pipe_fd, &readable)) {
          uint8_t wake;
          (void)io_read(pipe_fd, &wake, 1);
          if (!status_wake(ctx)) return -1;  // a stop, not a status request
          // A status request alone is no answer: wait out the rest.
          if (!FD_ISSET(sock_fd, &readable)) resume_wait = true;
        }
        if (FD_ISSET(sock_fd, &readable)) {
          sockaddr_storage src;
          socklen_t srclen = sizeof src;
          ssize_t n = io_recvfrom(sock_fd, ctx->rx_buf, RX_BUF_SIZE,
                                  reinterpret_cast<sockaddr*>(&src), &srclen);
          if (n < 0) {
            int err = errno;
            if (!is_transient_recv_error(err)) {
              LOG_ERRNO("recvfrom() in do_registration %s [%d]\n", err);
              return -1;
            }
          } else if (!is_server_address(ctx, reinterpret_cast<const sockaddr*>(&src), srclen)) {
            resume_wait = true;
          } else {
            size_t len = static_cast<size_t>(n);
            switch (registration_event(ctx, ctx->rx_buf, len,
                                       reinterpret_cast<const sockaddr*>(&src), srclen)) {
              case KW_CHANLLANGE:
                // Used where it lies: nothing is received before the next pass.
                challenge = ctx->rx_buf + CHALLENGE_OFFSET;
                challenge_len = challenge_length(len);
                ctx->reg_state = REG_CHALLENGED;
                break;
              case KW_DECLINED:
                ctx->stats.registrations[REGS_DECLINED]++;
                ctx->reg_state = REG_NONE;
                break;
              case KW_AUTHORIZED:
                stats_authorized(&ctx->stats);
                ctx->reg_state = REG_AUTHORIZED;
                break;
              default:
                break;  // REQUEST, DIGEST, unknown keyword or not a control message
            }
          }
        }
      }
    }

    if (ctx->reg_state == REG_AUTHORIZED) return 0;
    if (ctx->running == 0) return 0;
  }
}
