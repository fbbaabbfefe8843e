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

// Runs the exchange until AUTHORIZED (0), `running` cleared (0), a stop on the
// control pipe (-1) or a fatal error (-1). The caller sets reg_state first.
int do_registration(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len);
