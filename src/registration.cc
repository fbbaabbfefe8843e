#include "registration.h"

#include <cstring>

#include "log.h"
#include "md5.h"

namespace {

// Arms the wait for the message now in msg.
unsigned send_and_wait(reg_machine* m, uint64_t now) {
  m->waiting = true;
  const uint64_t at = now + REGISTRATION_REPEAT_US;
  m->resend_at = at != 0 ? at : 1;
  return REG_EV_SEND;
}

unsigned send_request(reg_machine* m, uint64_t now) {
  m->state = REG_NONE;
  m->digest_fresh = false;
  m->msg_len = static_cast<uint8_t>(write_request(m->msg));
  return send_and_wait(m, now);
}

unsigned answer_challenge(reg_machine* m, const uint8_t* dgram, size_t len, uint64_t now) {
  // The challenge's length is carried in 8 bits; the keyword match
  // guarantees len >= 12.
  const uint8_t clen = challenge_length(len);
  m->state = REG_CHALLENGED;
  if (!challenge_usable(clen)) return send_request(m, now);
  (void)compute_registration_digest(dgram + CHALLENGE_OFFSET, clen, m->password, m->password_len,
                                    m->digest);
  m->state = REG_DIGEST_SENT;
  m->digest_fresh = true;
  m->msg_len = static_cast<uint8_t>(write_digest_message(m->msg, m->digest));
  return send_and_wait(m, now);
}

}  // namespace

void reg_init(reg_machine* m, const char* password, uint8_t password_len) {
  memset(m, 0, sizeof *m);
  m->password = password;
  m->password_len = password != nullptr ? password_len : 0;
}

unsigned reg_begin(reg_machine* m, uint64_t now) { return REG_EV_STARTED | send_request(m, now); }

unsigned reg_on_control(reg_machine* m, const uint8_t* dgram, size_t len, uint64_t now) {
  const unsigned started = m->waiting ? 0u : unsigned{REG_EV_STARTED};
  switch (control_keyword_of(dgram, len)) {
    case KW_CHANLLANGE:
      // A challenge during the run often means the server restarted and lost
      // the calls' templates: each call's next packet goes in full form, so
      // that it follows the DIGEST and the server has it once it authorizes.
      return started | REG_EV_REFRESH | answer_challenge(m, dgram, len, now);
    case KW_DECLINED:
      return started | REG_EV_DECLINED | send_request(m, now);
    case KW_AUTHORIZED: {
      // Full forms sent before the server decided may have been dropped, so
      // at the end of a handshake each call sends one more.
      const unsigned refresh = m->waiting ? unsigned{REG_EV_REFRESH} : 0u;
      m->state = REG_AUTHORIZED;
      m->waiting = false;
      m->digest_fresh = false;
      m->resend_at = 0;
      return REG_EV_AUTHORIZED | refresh;
    }
    default:
      // REQUEST, DIGEST or no keyword: a waiting handshake answers a control
      // message that changes nothing at once.
      if (!m->waiting) return 0;
      m->digest_fresh = false;
      return send_and_wait(m, now);
  }
}

unsigned reg_on_timer(reg_machine* m, uint64_t now) {
  if (!m->waiting || now < m->resend_at) return 0;
  m->digest_fresh = false;  // the same bytes again; the digest is not recomputed
  return send_and_wait(m, now);
}

unsigned reg_send_failed(reg_machine* m, uint64_t now) {
  if (m->digest_fresh) return send_request(m, now);
  log_message(m->state == REG_DIGEST_SENT ? "digest send error!!"
                                          : "send request to server failed!!!");
  m->waiting = false;
  return REG_EV_FATAL;
}

int compute_registration_digest(const uint8_t* challenge, uint8_t challenge_len,
                                const char* password, uint8_t password_len, uint8_t out[16]) {
  if (password == nullptr) password_len = 0;
  const auto* pw = reinterpret_cast<const uint8_t*>(password);
  const uint8_t colon = ':';
  md5_context md5;
  md5_init(&md5);
  md5_update(&md5, challenge, challenge_len);
  if (password_len != 0) md5_update(&md5, pw, password_len);
  // password ":" challenge, fed after the challenge and the password.
  if (password_len != 0) md5_update(&md5, pw, password_len);
  md5_update(&md5, &colon, 1);
  md5_update(&md5, challenge, challenge_len);
  md5_final(out, &md5);
  return 0;
}
