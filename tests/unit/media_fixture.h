// A hand-built session for the media-path tests: every module prepared as
// the session does it (frame_buf exactly mtu bytes, so the sanitizer sees any
// overrun), the defaults of the configuration, a loopback server address on
// fake descriptors and the in-memory system-call seam. Frames are sent at
// once (no batch).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "classify.h"
#include "config.h"
#include "fake_netio.h"
#include "netio.h"
#include "session.h"

constexpr int TEST_SOCK_FD = 7;
constexpr int TEST_TUN_FD = 8;

struct media_ctx {
  mux_ctx ctx{};
  mux_config cfg{};
  sockaddr_in server{};

  explicit media_ctx(uint16_t mtu = 1472) {
    config_set_defaults(&cfg);
    cfg.mtu = mtu;
    server.sin_family = AF_INET;
    server.sin_port = htons(42000);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fake_netio_reset();
    prepare();
  }
  ~media_ctx() { release(); }
  media_ctx(const media_ctx&) = delete;
  media_ctx& operator=(const media_ctx&) = delete;

  // (Re)wires the session to the configuration as it now stands.
  void prepare() {
    ctx.link.fd = TEST_SOCK_FD;
    ctx.link.alt_fd = -1;
    ctx.link.stats = &ctx.stats;
    memcpy(&ctx.link.addr, &server, sizeof server);
    ctx.link.addrlen = sizeof server;
    ctx.tun.fd = TEST_TUN_FD;
    ctx.tun.stats = &ctx.stats;
    ctx.tun.nonblocking = true;
    if (session_prepare(&ctx, &cfg) != 0) abort();
  }
  void release() {
    egress_free(&ctx.egress);
    free_rx_templates(&ctx.ingress);
    free(ctx.rx_block);
    ctx.rx_block = nullptr;
    free(ctx.link.bufs);
    ctx.link.bufs = nullptr;
  }

  void set_password(const char* pw) {
    cfg.password = pw;
    release();
    prepare();
  }

  const sockaddr* server_addr() const { return reinterpret_cast<const sockaddr*>(&ctx.link.addr); }
  socklen_t server_addrlen() const { return ctx.link.addrlen; }

  // The datagram at the very end of a buffer of RX_SLOT_SIZE bytes, so that a
  // read past it leaves the buffer and is caught by the address sanitizer.
  int deliver_at_end(const std::vector<uint8_t>& dgram) {
    uint8_t* at = ctx.rx_block + RX_SLOT_SIZE - dgram.size();
    if (!dgram.empty()) memcpy(at, dgram.data(), dgram.size());
    return session_datagram(&ctx, at, dgram.size(), server_addr(), server_addrlen(),
                            io_monotonic_us(), fake_io.clock);
  }

  std::vector<uint8_t> frame() const {
    return std::vector<uint8_t>(ctx.egress.frame_buf, ctx.egress.frame_buf + ctx.egress.frame_len);
  }

  // Hands a datagram over as coming from the server.
  int deliver(const std::vector<uint8_t>& dgram) {
    if (!dgram.empty()) memcpy(ctx.rx_block, dgram.data(), dgram.size());
    return session_datagram(&ctx, ctx.rx_block, dgram.size(), server_addr(), server_addrlen(),
                            io_monotonic_us(), fake_io.clock);
  }
};

// A packet that passed the RTP test, carried as the session carries it:
// egress at loop clock `now` (the egress clock is fake_io.clock), or whole
// when it cannot be compressed.
inline int egress_rtp(mux_ctx* s, const uint8_t* pkt, size_t len, uint32_t now) {
  const int rc = egress_packet(&s->egress, pkt, len, now, fake_io.clock);
  if (rc != EGRESS_CARRY_WHOLE) return rc;
  return forward_to_server(&s->forward, pkt, len, KIND_RTP_WHOLE);
}

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
