// Ingress: what the server sends, taken apart and written to the TUN device.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "tunnel.h"

// Handles the datagram of `len` bytes in ctx->rx_buf. 0 go on; -1 end the run.
int handle_server_datagram(mux_ctx* ctx, size_t len, const sockaddr* src, socklen_t srclen);

// Frees every header template.
void free_rx_templates(mux_ctx* ctx);
