// A hand-built runtime context for the media-path tests: the loop's buffers
// (frame_buf exactly mtu bytes, so the sanitizer sees any overrun), the
// defaults of the configuration, a loopback server address and the in-memory
// system-call seam.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config.h"
#include "egress.h"
#include "fake_netio.h"
#include "ingress.h"
#include "tunnel.h"

constexpr int TEST_SOCK_FD = 7;
constexpr int TEST_TUN_FD = 8;

struct media_ctx {
  mux_ctx ctx{};
  mux_config cfg{};
  sockaddr_in server{};

  explicit media_ctx(uint16_t mtu = 1472) {
    config_set_defaults(&cfg);
    cfg.mtu = mtu;
    ctx.config = &cfg;
    ctx.sock_fd = TEST_SOCK_FD;
    ctx.tun_fd = TEST_TUN_FD;
    ctx.rx_buf = static_cast<uint8_t*>(calloc(1, RX_BUF_SIZE));
    ctx.tx_buf = static_cast<uint8_t*>(calloc(1, TX_BUF_SIZE));
    ctx.frame_buf = static_cast<uint8_t*>(calloc(1, mtu));
    server.sin_family = AF_INET;
    server.sin_port = htons(42000);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    memcpy(&ctx.server_addr_storage, &server, sizeof server);
    ctx.server_addr = reinterpret_cast<sockaddr*>(&ctx.server_addr_storage);
    ctx.server_addrlen = sizeof server;
    fake_netio_reset();
  }
  ~media_ctx() {
    free_call_entries(&ctx);
    free_rx_templates(&ctx);
    free(ctx.rx_buf);
    free(ctx.tx_buf);
    free(ctx.frame_buf);
  }
  media_ctx(const media_ctx&) = delete;
  media_ctx& operator=(const media_ctx&) = delete;

  void set_password(const char* pw) {
    cfg.password = pw;
    ctx.password_len = static_cast<uint8_t>(strlen(pw));
  }

  // The same with the datagram at the very end of rx_buf, so that a read past
  // it leaves the buffer and is caught by the address sanitizer.
  int deliver_at_end(const std::vector<uint8_t>& dgram) {
    uint8_t* saved = ctx.rx_buf;
    ctx.rx_buf = saved + RX_BUF_SIZE - dgram.size();
    if (!dgram.empty()) memcpy(ctx.rx_buf, dgram.data(), dgram.size());
    int rc = handle_server_datagram(&ctx, dgram.size(), ctx.server_addr, ctx.server_addrlen);
    ctx.rx_buf = saved;
    return rc;
  }

  std::vector<uint8_t> frame() const {
    return std::vector<uint8_t>(ctx.frame_buf, ctx.frame_buf + ctx.frame_len);
  }

  // Puts a datagram into rx_buf and hands it over as coming from the server.
  int deliver(const std::vector<uint8_t>& dgram) {
    if (!dgram.empty()) memcpy(ctx.rx_buf, dgram.data(), dgram.size());
    return handle_server_datagram(&ctx, dgram.size(), ctx.server_addr, ctx.server_addrlen);
  }
};

// An IPv4/UDP/RTP packet of `len` bytes (shorter than 40: cut off), payload bytes counting
// up from `fill`, with a valid IPv4 header checksum and UDP checksum 0.
struct rtp_fields {
  size_t len = 200;
  uint8_t src_last = 10;  // 10.0.0.<src_last>
  uint16_t sport = 4000;
  uint8_t dst_last = 20;  // 10.0.1.<dst_last>
  uint16_t dport = 5000;
  uint8_t pt = 0;
  bool marker = false;
  uint16_t seq = 1;
  uint32_t ts = 0;
  uint32_t ssrc = 0x11223344;
  uint8_t fill = 0;
};

inline std::vector<uint8_t> make_rtp(const rtp_fields& s) {
  std::vector<uint8_t> p(s.len < 40 ? 40 : s.len, 0);
  auto be16 = [&](size_t o, uint16_t v) {
    p[o] = static_cast<uint8_t>(v >> 8);
    p[o + 1] = static_cast<uint8_t>(v);
  };
  auto be32 = [&](size_t o, uint32_t v) {
    be16(o, static_cast<uint16_t>(v >> 16));
    be16(o + 2, static_cast<uint16_t>(v));
  };
  p[0] = 0x45;
  be16(2, static_cast<uint16_t>(s.len));
  be16(4, 0x1234);
  p[8] = 64;
  p[9] = 17;
  p[12] = 10; p[13] = 0; p[14] = 0; p[15] = s.src_last;
  p[16] = 10; p[17] = 0; p[18] = 1; p[19] = s.dst_last;
  uint32_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) sum += (p[i] << 8) | p[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  be16(10, static_cast<uint16_t>(~sum));
  be16(20, s.sport);
  be16(22, s.dport);
  be16(24, static_cast<uint16_t>(s.len - 20));
  p[28] = 0x80;
  p[29] = static_cast<uint8_t>(s.pt | (s.marker ? 0x80 : 0));
  be16(30, s.seq);
  be32(32, s.ts);
  be32(36, s.ssrc);
  for (size_t i = 40; i < s.len; i++) p[i] = static_cast<uint8_t>(s.fill + i - 40);
  p.resize(s.len);
  return p;
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
