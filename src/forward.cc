#include "forward.h"

#include <cerrno>
#include <cstring>

#include "ingress_filter.h"
#include "log.h"
#include "netio.h"
#include "wire.h"

uint32_t pad_rng_state = 0x2545F491u;

uint32_t pad_rng_next() {
  uint32_t x = pad_rng_state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  pad_rng_state = x;
  return x;
}

bool is_transient_tun_write_error(int err) {
  // EIO: the interface is down (an up script that failed, an operator's
  // "ip link set down"); the packet is lost, the tunnel stays.
  return err == EAGAIN || err == EWOULDBLOCK || err == EPERM || err == EINTR || err == EINVAL ||
         err == EIO;
}

namespace {

constexpr uint8_t PROTO_ICMP = 1;
constexpr uint8_t PROTO_UDP = 17;
constexpr size_t NON_RTP_HEAD = 2;

// Compares the raw 16-bit field at `off` with a port held in network order.
bool port_field_is(const uint8_t* pkt, size_t len, size_t off, uint16_t port_net) {
  if (len < off + 2) return false;
  uint8_t want[2];
  memcpy(want, &port_net, 2);
  return pkt[off] == want[0] && pkt[off + 1] == want[1];
}

}  // namespace

bool is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len) {
  if (cfg->allow_all) return true;
  if (len < 10) return false;
  if (cfg->allow_ping && pkt[9] == PROTO_ICMP) return true;
  if (pkt[9] != PROTO_UDP) return false;
  return port_field_is(pkt, len, 20, cfg->sip_port) || port_field_is(pkt, len, 22, cfg->sip_port);
}

int write_sip_packet_to_sock(mux_ctx* ctx, const uint8_t* pkt, size_t len) {
  const size_t p = ctx->password_len;
  if (NON_RTP_HEAD + p + len > TX_BUF_SIZE) {
    log_message("too large sip/other packet");
    return 0;
  }
  uint8_t* out = ctx->tx_buf;
  out[0] = 0x00;
  out[1] = 0x00;
  uint8_t* pad = out + NON_RTP_HEAD;
  for (size_t k = 0; k < p; k++) pad[k] = static_cast<uint8_t>(pad_rng_next());
  uint8_t* body = pad + p;
  if (p == 0) {
    // No pad, no key: the packet travels unchanged.
    memcpy(body, pkt, len);
  } else {
    for (size_t j = 0; j < len; j++) body[j] = pkt[j] ^ pad[j % p];
  }
  size_t total = NON_RTP_HEAD + p + len;
  ctx->tx_len = static_cast<uint16_t>(total);
  ssize_t sent = io_sendto(ctx->sock_fd, out, total, ctx->server_addr, ctx->server_addrlen);
  int err = errno;
  if (sent >= 0 || is_transient_send_error(err)) return 0;
  LOG_ERRNO(" write_sip_packet_to_sock() %s [%d]\n", err);
  return -1;
}

int write_sip_packet_to_tun(mux_ctx* ctx, const uint8_t* dgram, size_t len) {
  const size_t p = ctx->password_len;
  // Too short to hold the pad and at least one byte of packet: nothing to write.
  if (len <= NON_RTP_HEAD + p) return 0;
  const size_t n = len - NON_RTP_HEAD - p;
  if (n > TX_BUF_SIZE) return 0;
  const uint8_t* pad = dgram + NON_RTP_HEAD;
  const uint8_t* body = pad + p;
  uint8_t* out = ctx->tx_buf;
  if (p == 0) {
    memcpy(out, body, n);
  } else {
    for (size_t i = 0; i < n; i++) out[i] = body[i] ^ pad[i % p];
  }
  if (ingress_filter_check(ctx->config, INGRESS_NON_RTP, out, n) != INGRESS_PASS) return 0;
  ssize_t w = io_write(ctx->tun_fd, out, n);
  int err = errno;
  if (w >= 0 || is_transient_tun_write_error(err)) return 0;
  log_message("write_sip_packet_to_tun() severe error.. exiting the program.\n");
  return -1;
}
