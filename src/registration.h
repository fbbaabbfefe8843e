// The registration exchange with the server, as one non-blocking state
// machine: it reacts to the server's control messages and to its own resend
// timer, and says what to do in events; it never sends, waits or reads a
// clock itself. The same machine serves the registration at start and every
// handshake the server starts during the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire.h"

enum reg_states : int32_t {
  REG_NONE = 0,
  REG_CHALLENGED = 1,
  REG_DIGEST_SENT = 2,
  REG_AUTHORIZED = 4,
};

// How long the exchange waits for an answer before it sends again.
constexpr uint64_t REGISTRATION_REPEAT_US = 2000000;

struct reg_machine {
  int32_t state;
  // A handshake awaits the server's decision: `msg` goes again at resend_at
  // (monotonic microseconds).
  bool waiting;
  bool digest_fresh;  // msg is a DIGEST not sent before
  uint64_t resend_at;
  uint8_t digest[16];
  const char* password;
  uint8_t password_len;
  uint8_t msg[CONTROL_MAX_LEN];  // the message to send (REQUEST or DIGEST)
  uint8_t msg_len;
};

// What the caller is to do after a step, as bits.
enum reg_event : unsigned {
  REG_EV_SEND = 1u << 0,        // send msg now
  REG_EV_STARTED = 1u << 1,     // a handshake started (count it)
  REG_EV_DECLINED = 1u << 2,    // the server declined (count it)
  REG_EV_AUTHORIZED = 1u << 3,  // the server authorized the client
  REG_EV_REFRESH = 1u << 4,     // every call's next packet goes in full form
  REG_EV_FATAL = 1u << 5,       // the run must end (logged)
};

// A machine with nothing sent, for `password` (its first password_len bytes).
void reg_init(reg_machine* m, const char* password, uint8_t password_len);

// The registration at start: REQUEST, then wait. Events.
unsigned reg_begin(reg_machine* m, uint64_t now);

// A control message from the server (the whole datagram, 0x00 0x81 first).
// A challenge is answered with its digest (an unusable one with REQUEST), a
// decline with REQUEST, AUTHORIZED ends the wait; anything else changes
// nothing but, while a handshake waits, sends its message again at once.
unsigned reg_on_control(reg_machine* m, const uint8_t* dgram, size_t len, uint64_t now);

// The resend timer: while a handshake waits and its 2 s have run out at `now`,
// the same message again. Events.
unsigned reg_on_timer(reg_machine* m, uint64_t now);

// The send that REG_EV_SEND asked for failed for good: a first DIGEST gives
// way to a REQUEST (sent at once); any other is fatal. Events.
unsigned reg_send_failed(reg_machine* m, uint64_t now);

// When the machine wants reg_on_timer; 0 while nothing waits.
inline uint64_t reg_deadline(const reg_machine* m) { return m->waiting ? m->resend_at : 0; }

// The registration digest: MD5 over challenge, password, password, ":",
// challenge. Always 0.
int compute_registration_digest(const uint8_t* challenge, uint8_t challenge_len,
                                const char* password, uint8_t password_len, uint8_t out[16]);
