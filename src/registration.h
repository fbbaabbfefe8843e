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

// Runs the exchange until AUTHORIZED (0), `running` cleared (0), a stop on the
// control pipe (-1) or a fatal error (-1). The caller sets reg_state first.
int do_registration(mux_ctx* ctx, const uint8_t* challenge, uint8_t challenge_len);
