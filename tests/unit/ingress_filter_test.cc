// The ingress filter: what passes, what is dropped and why, and what a drop
// leaves untouched on the way from the server to the TUN device.
#include "ingress_filter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "media_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

// The verdict on an exactly sized copy, so that a read past the end traps
// under the address sanitizer.
ingress_verdict check(const mux_config& cfg, ingress_kind kind, const bytes& pkt) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.empty() ? 1 : pkt.size()]);
  if (!pkt.empty()) memcpy(copy.get(), pkt.data(), pkt.size());
  return ingress_filter_check(&cfg, kind, copy.get(), pkt.size());
}

// An IPv4 packet of `len` bytes with protocol `proto` and UDP-style ports.
bytes ip_packet(size_t len, uint8_t proto, uint16_t sport, uint16_t dport) {
  bytes p(len, 0);
  p[0] = 0x45;
  p[2] = static_cast<uint8_t>(len >> 8);
  p[3] = static_cast<uint8_t>(len);
  p[9] = proto;
  p[20] = static_cast<uint8_t>(sport >> 8);
  p[21] = static_cast<uint8_t>(sport);
  p[22] = static_cast<uint8_t>(dport >> 8);
  p[23] = static_cast<uint8_t>(dport);
  return p;
}

mux_config filter_config(uint8_t on) {
  mux_config cfg{};
  config_set_defaults(&cfg);
  cfg.ingress_filter = on;
  return cfg;
}

TEST(IngressFilter, OffPassesEverything) {
  const mux_config cfg = filter_config(0);
  const bytes rtp = make_rtp({});
  bytes v6 = rtp;
  v6[0] = 0x60;
  for (const bytes& p : {rtp, v6, ip_packet(60, 6, 40000, 80), bytes{}, bytes{0x45}}) {
    EXPECT_EQ(check(cfg, INGRESS_FULL, p), INGRESS_PASS);
    EXPECT_EQ(check(cfg, INGRESS_NON_RTP, p), INGRESS_PASS);
  }
}

TEST(IngressFilter, FullFormMustBeRtpOverPlainIpv4AndUdp) {
  const mux_config cfg = filter_config(1);
  const bytes good = make_rtp({});
  EXPECT_EQ(check(cfg, INGRESS_FULL, good), INGRESS_PASS);
  EXPECT_EQ(check(cfg, INGRESS_FULL, make_rtp({.len = 40})), INGRESS_PASS);

  for (uint8_t first : {0x46, 0x44, 0x65, 0x00}) {  // options, short header, IPv6-ish
    bytes p = good;
    p[0] = first;
    EXPECT_EQ(check(cfg, INGRESS_FULL, p), INGRESS_DROP_NOT_IPV4_20) << int(first);
  }
  bytes udp_long = good;
  udp_long[25] += 1;  // UDP length 181 in a packet of total length 200
  EXPECT_EQ(check(cfg, INGRESS_FULL, udp_long), INGRESS_DROP_UDP_LENGTH);
  bytes total_short = good;
  total_short[3] = 10;  // total length below the IPv4 header
  total_short[24] = 0xFF;
  total_short[25] = 0xF6;  // 10 - 20 wrapped to 16 bits must not match either
  // A total length other than the bytes at hand already fails the RTP test.
  EXPECT_EQ(check(cfg, INGRESS_FULL, total_short), INGRESS_DROP_NOT_RTP);
  EXPECT_EQ(check(cfg, INGRESS_FULL, bytes(good.begin(), good.begin() + 24)),
            INGRESS_DROP_NOT_RTP);  // too short for the RTP test

  bytes tcp = good;
  tcp[9] = 6;
  EXPECT_EQ(check(cfg, INGRESS_FULL, tcp), INGRESS_DROP_NOT_RTP);
  bytes version0 = good;
  version0[28] = 0x00;
  EXPECT_EQ(check(cfg, INGRESS_FULL, version0), INGRESS_DROP_NOT_RTP);
  EXPECT_EQ(check(cfg, INGRESS_FULL, make_rtp({.pt = 96})), INGRESS_DROP_NOT_RTP);
}

TEST(IngressFilter, NonRtpPacketFollowsTheEgressForwardingRule) {
  mux_config cfg = filter_config(1);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(300, 17, 5060, 40000)), INGRESS_PASS);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(300, 17, 40000, 5060)), INGRESS_PASS);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(300, 17, 40000, 40001)),
            INGRESS_DROP_NOT_FORWARDABLE);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(60, 6, 40000, 5060)),
            INGRESS_DROP_NOT_FORWARDABLE);
  const bytes ping = ip_packet(84, 1, 0x0800, 0);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ping), INGRESS_DROP_NOT_FORWARDABLE);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, bytes{0x45, 0, 0}), INGRESS_DROP_NOT_IPV4_20);

  cfg.allow_ping = 1;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ping), INGRESS_PASS);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(60, 6, 40000, 5060)),
            INGRESS_DROP_NOT_FORWARDABLE);
  cfg.allow_all = 1;
  bytes v6(60, 0);
  v6[0] = 0x60;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, v6), INGRESS_PASS);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(60, 6, 40000, 80)), INGRESS_PASS);

  EXPECT_STREQ(ingress_verdict_name(INGRESS_DROP_NOT_FORWARDABLE), "not-forwardable");
}

// The protocol and ports are read at fixed offsets: only where the header is
// IPv4 of 20 bytes, whole and unfragmented, do they mean what they seem to.
TEST(IngressFilter, NonRtpPacketMustBeWholePlainIpv4) {
  mux_config cfg = filter_config(1);
  cfg.allow_ping = 1;
  // IPv6 whose bytes 9 and 20..21 read UDP and the SIP port.
  bytes v6 = ip_packet(300, 17, 5060, 40000);
  v6[0] = 0x60;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, v6), INGRESS_DROP_NOT_IPV4_20);
  // IPv4 with one option word: the ports sit 4 bytes later.
  bytes options = ip_packet(300, 17, 5060, 40000);
  options[0] = 0x46;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, options), INGRESS_DROP_NOT_IPV4_20);
  // A later fragment (offset 185 words, or more-fragments set).
  for (uint16_t frag : {0x00B9, 0x2000}) {
    bytes f = ip_packet(300, 17, 5060, 40000);
    f[6] = static_cast<uint8_t>(frag >> 8);
    f[7] = static_cast<uint8_t>(frag);
    EXPECT_EQ(check(cfg, INGRESS_NON_RTP, f), INGRESS_DROP_NOT_WHOLE) << frag;
  }
  // Don't-fragment alone is a whole packet.
  bytes df = ip_packet(300, 17, 5060, 40000);
  df[6] = 0x40;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, df), INGRESS_PASS);
  // Total length other than the bytes received.
  bytes longer = ip_packet(300, 17, 5060, 40000);
  longer[3] = static_cast<uint8_t>(longer[3] + 1);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, longer), INGRESS_DROP_NOT_WHOLE);
  // ICMPv6 echo; an ICMPv4 echo passes with allow_ping.
  bytes echo6(48, 0);
  echo6[0] = 0x60;
  echo6[6] = 58;
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, echo6), INGRESS_DROP_NOT_IPV4_20);
  EXPECT_EQ(check(cfg, INGRESS_NON_RTP, ip_packet(28, 1, 0x0800, 0)), INGRESS_PASS);
  EXPECT_STREQ(ingress_verdict_name(INGRESS_DROP_NOT_WHOLE), "not-whole");
}

// Through handle_server_datagram: a dropped full form is not written and
// leaves the call's template as it was; a dropped non-RTP message is not
// written; the same datagrams with the filter off are.
TEST(IngressFilter, DropsOnTheWayToTheTunDevice) {
  for (uint8_t on : {0, 1}) {
    SCOPED_TRACE(on);
    media_ctx m;
    m.cfg.ingress_filter = on;
    const bytes good = make_rtp({.seq = 100});
    bytes forged = make_rtp({.dst_last = 99, .dport = 22, .seq = 7000});
    forged[9] = 6;  // TCP: fails the RTP test
    const bytes payload(20, 0xAB);
    bytes frame = cat(bytes{3, 0x00}, good);
    frame = cat(frame, cat(bytes{3, 0x00}, forged));
    frame = cat(frame, cat(bytes{3, 20}, payload));
    ASSERT_EQ(m.deliver(frame), 0);

    ASSERT_EQ(fake_io.written.size(), on ? 2u : 3u);
    EXPECT_EQ(fake_io.written[0].bytes[30], 0);
    EXPECT_EQ(fake_io.written[0].bytes[31], 100);
    const bytes& rebuilt = fake_io.written.back().bytes;
    ASSERT_EQ(rebuilt.size(), 60u);
    // From the good packet's template (filter on) or the forged one's.
    EXPECT_EQ(rebuilt[9], on ? 17 : 6);
    EXPECT_EQ(rebuilt[19], on ? 20 : 99);
    EXPECT_EQ((rebuilt[30] << 8) | rebuilt[31], on ? 101 : 7001);

    fake_io.written.clear();
    bytes tcp_msg = cat(bytes{0x00, 0x00}, ip_packet(60, 6, 40000, 5060));
    ASSERT_EQ(m.deliver(tcp_msg), 0);
    EXPECT_EQ(fake_io.written.size(), on ? 0u : 1u);
    ASSERT_EQ(m.deliver(cat(bytes{0x00, 0x00}, ip_packet(60, 17, 40000, 5060))), 0);
    EXPECT_EQ(fake_io.written.size(), on ? 1u : 2u);
  }
}

}  // namespace
