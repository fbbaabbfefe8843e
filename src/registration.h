// The registration exchange with the server and its control messages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

enum control_keyword_index {
  KW_REQUEST = 0,
  KW_CHANLLANGE = 1,
  KW_DIGEST = 2,
  KW_DECLINED = 3,
  KW_AUTHORIZED = 4,
  KW_SERVER_RESTARTED = 5,
};

extern const char* const control_keywords[6];

constexpr uint8_t CONTROL_BYTE0 = 0x00;
constexpr uint8_t CONTROL_BYTE1 = 0x81;

// Matches a control payload (the bytes after 0x00 0x81) against keywords 0 to
// 4 by prefix, in index order; returns the index or -1.
int match_control_keyword(const uint8_t* payload, size_t len);

// Sends tx_len bytes of tx_buf to the server. Transient errors count as done.
// 0 or -1 (logged).
int socket_send(mux_ctx* ctx);

// Builds the 9-byte REQUEST in tx_buf and sets tx_len.
void build_request(mux_ctx* ctx);

// Builds the 24-byte DIGEST message from ctx->digest in tx_buf and sets tx_len.
void build_digest_message(mux_ctx* ctx);

// The registration digest: MD5 over challenge, password, password, ":",
// challenge. 0, or -1 when the scratch buffer cannot be allocated (`out` is
// then untouched).
int compute_registration_digest(const uint8_t* challenge, uint8_t challenge_len,
                                const char* password, uint8_t password_len, uint8_t out[16]);

// The length of the challenge carried by a CHANLLANGE datagram of `dgram_len`
// bytes: (dgram_len - 12) modulo 256.
constexpr uint8_t challenge_length(size_t dgram_len) {
  return static_cast<uint8_t>(dgram_len - 12);
}

// Only challenges of 15 to 63 bytes are answered.
constexpr bool challenge_usable(uint8_t len) { return len >= 15 && len <= 63; }

// What one received datagram asks of the exchange: the keyword index of an
// accepted control message (from the server's address, 0x00 0x81, at least 3
// bytes), or -1 for anything to ignore.
int registration_event(const mux_ctx* ctx, const uint8_t* dgram, size_t len, const sockaddr* src,
                       socklen_t srclen);

// A monotonic clock in microseconds for the exchange's 2-second waits.
uint64_t registration_clock_us();

// How long the exchange waits for an answer before it sends again.
constexpr uint64_t REGISTRATION_REPEAT_US = 2000000;

// One send of the exchange, by reg_state: REQUEST (REG_NONE), the digest of
// the given challenge (REG_CHALLENGED, then REG_DIGEST_SENT) or the same
// DIGEST again (REG_DIGEST_SENT). 1: sent (or lost to a transient error),
// wait for an answer; 0: nothing to wait for (an unusable challenge or a
// failed first DIGEST: reg_state is REG_NONE), send again at once; -1: fatal.
int registration_send(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len);

// The handshake during the run, which never blocks the loop. The caller sets
// reg_state as for do_registration; this sends at once (a REQUEST follows an
// unusable challenge at once) and arms the resend 2 seconds later. The
// challenge is used at once, so rx_buf may be reused afterwards. 0, or -1
// when the run must end.
int registration_begin(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len);

// True while a handshake of the run waits for the server's decision.
inline bool registration_waiting(const mux_ctx* ctx) { return ctx->reg_resend_at != 0; }

// Microseconds from `now` (registration_clock_us) until the waiting handshake
// sends again; 0 when it is due.
uint64_t registration_us_until_resend(const mux_ctx* ctx, uint64_t now);

// Sends the waiting handshake's current message again when its 2 seconds
// have run out at `now`. 0, or -1 when the run must end.
int registration_resend_if_due(mux_ctx* ctx, uint64_t now);

// AUTHORIZED during the run: the server has decided, nothing is sent again.
void registration_end(mux_ctx* ctx);

// Runs the exchange until AUTHORIZED (0), `running` cleared (0), a stop on the
// control pipe (-1) or a fatal error (-1). The caller sets reg_state first.
int do_registration(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len);
