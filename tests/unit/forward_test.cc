// The forwarding filter and the padded non-RTP message, both ways.
#include "forward.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "media_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

// An IPv4 packet of `len` bytes with protocol `proto` and, where they fit,
// the UDP ports.
bytes ip_packet(size_t len, uint8_t proto, uint16_t sport = 40000, uint16_t dport = 40001) {
  bytes p(len < 24 ? 24 : len, 0);
  p[0] = 0x45;
  p[9] = proto;
  p[20] = static_cast<uint8_t>(sport >> 8);
  p[21] = static_cast<uint8_t>(sport);
  p[22] = static_cast<uint8_t>(dport >> 8);
  p[23] = static_cast<uint8_t>(dport);
  for (size_t i = 24; i < p.size(); i++) p[i] = static_cast<uint8_t>(i);
  p.resize(len);
  return p;
}

// The filter on an exactly sized copy, so fields beyond the end are never read.
bool forwardable(const mux_config& cfg, const bytes& pkt) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.size() ? pkt.size() : 1]);
  if (!pkt.empty()) memcpy(copy.get(), pkt.data(), pkt.size());
  return is_forwardable(&cfg, copy.get(), pkt.size());
}

TEST(ForwardingFilter, SipPortBothWaysOnlyByDefault) {
  mux_config cfg{};
  config_set_defaults(&cfg);
  EXPECT_TRUE(forwardable(cfg, ip_packet(100, 17, 5060, 40000)));
  EXPECT_TRUE(forwardable(cfg, ip_packet(100, 17, 40000, 5060)));
  EXPECT_FALSE(forwardable(cfg, ip_packet(100, 17, 40000, 40001)));
  EXPECT_FALSE(forwardable(cfg, ip_packet(100, 6, 40000, 5060)));  // TCP
  EXPECT_FALSE(forwardable(cfg, ip_packet(84, 1)));                // ICMP
  // Port fields compared as held (network order), not byte-swapped.
  EXPECT_FALSE(forwardable(cfg, ip_packet(100, 17, 0xC413, 0xC413)));

  cfg.sip_port = htons(5070);
  EXPECT_TRUE(forwardable(cfg, ip_packet(100, 17, 5070, 1)));
  EXPECT_FALSE(forwardable(cfg, ip_packet(100, 17, 5060, 1)));
}

TEST(ForwardingFilter, PingAndEverything) {
  mux_config cfg{};
  config_set_defaults(&cfg);
  cfg.allow_ping = 1;
  auto unreachable = ip_packet(56, 1);
  unreachable[20] = 3;
  EXPECT_TRUE(forwardable(cfg, unreachable));
  EXPECT_TRUE(forwardable(cfg, ip_packet(84, 1)));
  EXPECT_FALSE(forwardable(cfg, ip_packet(100, 6)));

  cfg.allow_all = 1;
  bytes ipv6(60, 0);
  ipv6[0] = 0x60;
  EXPECT_TRUE(forwardable(cfg, ipv6));
  EXPECT_TRUE(forwardable(cfg, ip_packet(100, 6)));
  EXPECT_TRUE(forwardable(cfg, bytes{}));
}

TEST(ForwardingFilter, FieldsBeyondAShortPacketNeverMatch) {
  mux_config cfg{};
  config_set_defaults(&cfg);
  auto udp = ip_packet(24, 17, 5060, 5060);
  EXPECT_TRUE(forwardable(cfg, udp));
  EXPECT_TRUE(forwardable(cfg, bytes(udp.begin(), udp.begin() + 22)));   // source port whole
  EXPECT_FALSE(forwardable(cfg, bytes(udp.begin(), udp.begin() + 21)));  // half a port
  auto to_sip = ip_packet(24, 17, 40000, 5060);
  EXPECT_FALSE(forwardable(cfg, bytes(to_sip.begin(), to_sip.begin() + 23)));
  EXPECT_FALSE(forwardable(cfg, bytes(udp.begin(), udp.begin() + 9)));  // no protocol byte
  cfg.allow_ping = 1;
  EXPECT_FALSE(forwardable(cfg, bytes(udp.begin(), udp.begin() + 9)));
}

// The pad generator written out once more: xorshift32 with shifts 13, 17, 5.
uint32_t xorshift32(uint32_t x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

TEST(NonRtpMessage, PadIsTheNextXorshiftStatesAndKeysThePacket) {
  media_ctx m;
  m.set_password("12345678");  // P = 8
  auto pkt = ip_packet(100, 17, 5060, 5060);
  uint32_t state = pad_rng_state;
  ASSERT_EQ(forward_to_server(&m.ctx.forward, pkt.data(), pkt.size(), KIND_NON_RTP), 0);
  ASSERT_EQ(forward_to_server(&m.ctx.forward, pkt.data(), pkt.size(), KIND_NON_RTP), 0);
  ASSERT_EQ(fake_io.sent.size(), 2u);
  for (const auto& sent : fake_io.sent) {
    const bytes& d = sent.bytes;
    ASSERT_EQ(d.size(), 110u);
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[1], 0);
    for (size_t k = 0; k < 8; k++) {
      state = xorshift32(state);
      EXPECT_EQ(d[2 + k], static_cast<uint8_t>(state)) << k;
    }
    for (size_t j = 0; j < pkt.size(); j++) ASSERT_EQ(d[10 + j], pkt[j] ^ d[2 + j % 8]) << j;
  }
  EXPECT_NE(bytes(fake_io.sent[0].bytes.begin() + 2, fake_io.sent[0].bytes.begin() + 10),
            bytes(fake_io.sent[1].bytes.begin() + 2, fake_io.sent[1].bytes.begin() + 10));
  EXPECT_EQ(pad_rng_state, state);
}

TEST(NonRtpMessage, EgressThenIngressGivesThePacketBack) {
  for (const char* pw : {"12345678", "abc", "", "x"}) {
    media_ctx m;
    m.set_password(pw);
    auto pkt = ip_packet(300, 17, 5060, 40000);
    ASSERT_EQ(forward_to_server(&m.ctx.forward, pkt.data(), pkt.size(), KIND_NON_RTP), 0);
    const bytes d = fake_io.sent.at(0).bytes;
    ASSERT_EQ(d.size(), 2 + strlen(pw) + pkt.size());
    if (strlen(pw) == 0) {
      EXPECT_EQ(bytes(d.begin() + 2, d.end()), pkt);  // P = 0: unchanged
    }
    ASSERT_EQ(m.deliver(d), 0);
    ASSERT_EQ(fake_io.written.size(), 1u) << pw;
    EXPECT_EQ(fake_io.written[0].fd, TEST_TUN_FD);
    EXPECT_EQ(fake_io.written[0].bytes, pkt) << pw;
  }
}

TEST(NonRtpMessage, SizeLimitOfTheSendBuffer) {
  media_ctx m;
  m.set_password("12345678");
  bytes big(4087, 0x45);
  ASSERT_EQ(forward_to_server(&m.ctx.forward, big.data(), 4086, KIND_NON_RTP), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(fake_io.sent[0].bytes.size(), 4096u);
  ASSERT_EQ(forward_to_server(&m.ctx.forward, big.data(), 4087, KIND_NON_RTP), 0);
  EXPECT_EQ(fake_io.sent.size(), 1u);  // dropped, the run goes on
}

TEST(NonRtpMessage, SendAndTunWriteErrorRules) {
  media_ctx m;
  m.set_password("12345678");
  auto pkt = ip_packet(60, 17, 5060, 5060);
  fake_io.send_errno = EMSGSIZE;
  EXPECT_EQ(forward_to_server(&m.ctx.forward, pkt.data(), pkt.size(), KIND_NON_RTP), 0);
  fake_io.send_errno = ENOBUFS;
  EXPECT_EQ(forward_to_server(&m.ctx.forward, pkt.data(), pkt.size(), KIND_NON_RTP), -1);

  bytes d = cat(bytes(10, 0), pkt);
  fake_io.write_errno = EINVAL;
  EXPECT_EQ(forward_to_tun(&m.ctx.forward, d.data(), d.size()), 0);
  fake_io.write_errno = EIO;  // interface down
  EXPECT_EQ(forward_to_tun(&m.ctx.forward, d.data(), d.size()), 0);
  fake_io.write_errno = EMSGSIZE;  // tolerated on the socket only
  EXPECT_EQ(forward_to_tun(&m.ctx.forward, d.data(), d.size()), -1);
}

TEST(NonRtpMessage, DatagramWithoutRoomForAPacketIsDropped) {
  media_ctx m;
  m.set_password("12345678");
  for (size_t len : {2u, 9u, 10u}) {
    std::unique_ptr<uint8_t[]> d(new uint8_t[len]());
    EXPECT_EQ(forward_to_tun(&m.ctx.forward, d.get(), len), 0);
  }
  EXPECT_TRUE(fake_io.written.empty());
}

}  // namespace
