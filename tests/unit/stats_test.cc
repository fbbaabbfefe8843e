// The counters against known exchanges: one packet of each kind and each drop
// reason in both directions, the registration counts, and the status written
// by a running loop (at start, on a status request, in the status file).
#include "stats.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_netio.h"
#include "forward.h"
#include "log.h"
#include "report.h"
#include "media_fixture.h"
#include "registration.h"
#include "status.h"
#include "wire.h"

namespace {

using bytes = std::vector<uint8_t>;

// "direction/reason=count" for every drop counter that is not 0.
std::vector<std::string> nonzero_drops(const mux_ctx& ctx) {
  std::vector<std::string> out;
  for (int d = 0; d < DIR_COUNT; d++) {
    for (int r = 0; r < DROP_COUNT; r++) {
      if (ctx.stats.drops[d][r] == 0) continue;
      out.push_back(std::string(stats_direction_names[d]) + "/" + stats_drop_names[r] + "=" +
                    std::to_string(ctx.stats.drops[d][r]));
    }
  }
  return out;
}


int carry(media_ctx& m, const rtp_fields& s, uint32_t now) {
  bytes p = make_rtp(s);
  return egress_rtp(&m.ctx, p.data(), p.size(), now);
}

TEST(Counters, EgressKindsFlushesAndDrops) {
  media_ctx m(300);
  m.cfg.max_call = 1;
  const uint32_t now = 5000;
  rtp_fields s;
  s.len = 200;
  ASSERT_EQ(carry(m, s, now), 0);  // full form, 202 bytes in the frame
  s.len = 60;
  ASSERT_EQ(carry(m, s, now), 0);  // short form (20 payload bytes): 224
  s.len = 240;
  ASSERT_EQ(carry(m, s, now), 0);  // long form of 204 bytes: no room, frame 1 leaves
  s.len = 40;
  ASSERT_EQ(carry(m, s, now), 0);  // nothing to compress: dropped
  rtp_fields other = s;
  other.sport = 4002;
  other.len = 100;
  ASSERT_EQ(carry(m, other, now), 0);  // a second stream, the one slot live: dropped
  s.len = 134;
  ASSERT_EQ(carry(m, s, now), 0);  // 96 more bytes make the frame exactly mtu: frame 2
  s.len = 60;
  ASSERT_EQ(carry(m, s, now), 0);
  fake_io.send_errno = ENETUNREACH;  // frame 3 is lost to a transient error
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0);
  fake_io.send_errno = 0;

  bytes sip(100, 0x45);
  ASSERT_EQ(forward_to_server(&m.ctx.forward, sip.data(), sip.size(), KIND_NON_RTP), 0);
  bytes huge(FORWARD_BUF_SIZE, 0x45);
  ASSERT_EQ(forward_to_server(&m.ctx.forward, huge.data(), huge.size(), KIND_NON_RTP), 0);

  const mux_stats& st = m.ctx.stats;
  EXPECT_EQ(st.packets[DIR_EGRESS][KIND_RTP_FULL], 1u);
  EXPECT_EQ(st.bytes[DIR_EGRESS][KIND_RTP_FULL], 200u);
  EXPECT_EQ(st.packets[DIR_EGRESS][KIND_RTP_SHORT], 3u);
  EXPECT_EQ(st.bytes[DIR_EGRESS][KIND_RTP_SHORT], 60u + 134u + 60u);
  EXPECT_EQ(st.packets[DIR_EGRESS][KIND_RTP_LONG], 1u);
  EXPECT_EQ(st.bytes[DIR_EGRESS][KIND_RTP_LONG], 240u);
  EXPECT_EQ(st.packets[DIR_EGRESS][KIND_NON_RTP], 1u);
  EXPECT_EQ(st.bytes[DIR_EGRESS][KIND_NON_RTP], 100u);
  EXPECT_EQ(st.flushes[FLUSH_NO_ROOM], 1u);
  EXPECT_EQ(st.flushes[FLUSH_FULL], 1u);
  EXPECT_EQ(st.flushes[FLUSH_AGE], 1u);  // the frame sent by hand
  EXPECT_EQ(st.frames[DIR_EGRESS], 3u);
  EXPECT_EQ(st.frame_bytes[DIR_EGRESS], 224u + 300u + 22u);
  EXPECT_EQ(stats_wire_bytes(&st, DIR_EGRESS, false), 546u + 3 * 28u);
  EXPECT_EQ(stats_plain_bytes(&st, DIR_EGRESS), 694u);
  EXPECT_EQ(st.slot_packets[1], 5u);
  EXPECT_EQ(st.slot_bytes[1], 694u);
  EXPECT_EQ(st.slot_last[1], now);
  EXPECT_EQ(nonzero_drops(m.ctx),
            (std::vector<std::string>{"egress/no_slot=1", "egress/short=1", "egress/too_large=1",
                                      "egress/send_error=1"}));

  // Once the slot has expired (on the egress table's clock) a new stream
  // takes it: its figures start again.
  const uint32_t later = now + 7;
  fake_io.clock += m.cfg.rtp_timeout;
  ASSERT_EQ(carry(m, other, later), 0);
  EXPECT_EQ(st.slot_packets[1], 1u);
  EXPECT_EQ(st.slot_bytes[1], 100u);
  EXPECT_EQ(st.slot_last[1], later);
  EXPECT_EQ(report_live_calls(&m.ctx, fake_io.clock), 1);
}

TEST(Counters, IngressKindsAndDrops) {
  media_ctx m;
  rtp_fields s;
  s.len = 60;
  const bytes full = make_rtp(s);
  bytes frame = cat(cat({0x03, 0x00}, full), cat({0x03, 0x14}, bytes(20, 0x77)));
  frame = cat(frame, cat({0x03, 0x80, 0x00, 0xC8}, bytes(200, 0x66)));
  ASSERT_EQ(m.deliver(frame), 0);
  ASSERT_EQ(m.deliver({0x00, 0x00, 0x45, 0x00, 0x00, 0x05, 0x01}), 0);  // non-RTP message

  const mux_stats& st = m.ctx.stats;
  EXPECT_EQ(st.packets[DIR_INGRESS][KIND_RTP_FULL], 1u);
  EXPECT_EQ(st.bytes[DIR_INGRESS][KIND_RTP_FULL], 60u);
  EXPECT_EQ(st.packets[DIR_INGRESS][KIND_RTP_SHORT], 1u);
  EXPECT_EQ(st.bytes[DIR_INGRESS][KIND_RTP_SHORT], 60u);
  EXPECT_EQ(st.packets[DIR_INGRESS][KIND_RTP_LONG], 1u);
  EXPECT_EQ(st.bytes[DIR_INGRESS][KIND_RTP_LONG], 240u);
  EXPECT_EQ(st.packets[DIR_INGRESS][KIND_NON_RTP], 1u);
  EXPECT_EQ(st.bytes[DIR_INGRESS][KIND_NON_RTP], 5u);
  EXPECT_EQ(st.frames[DIR_INGRESS], 1u);
  EXPECT_EQ(st.frame_bytes[DIR_INGRESS], frame.size());
  EXPECT_EQ(st.template_packets[3], 3u);
  EXPECT_TRUE(nonzero_drops(m.ctx).empty());

  // One datagram for each reason.
  ASSERT_EQ(m.deliver({0x09, 0x14, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                       18, 19, 20}),
            0);                                               // no template: recovery request
  ASSERT_EQ(m.deliver({0x03, 0x01, 0xAA}), 0);                // invalid type byte
  ASSERT_EQ(m.deliver({0x00, 0x05, 1, 2, 3, 4, 5}), 0);       // call id 0
  ASSERT_EQ(m.deliver({0x03, 0x14, 1, 2, 3}), 0);             // truncated
  bytes short_full = {0x03, 0x00, 0x45, 0x00, 0x00, 0x1E};    // total length 30
  short_full.resize(2 + 30, 0);
  ASSERT_EQ(m.deliver(short_full), 0);
  ASSERT_EQ(m.deliver(cat({0x03, 0x80, 0x0F, 0xDC}, bytes(4060, 1))), 0);  // n + 40 > tx_buf
  ASSERT_EQ(m.deliver({0x05}), 0);                            // too short for any kind
  ASSERT_EQ(m.deliver({0x00, 0x81, 'D', 'I', 'G'}), 0);       // control message too short
  sockaddr_in stranger = m.server;
  stranger.sin_port = htons(42001);
  uint8_t one = 0x03;
  ASSERT_EQ(session_datagram(&m.ctx, &one, 1, reinterpret_cast<sockaddr*>(&stranger),
                             sizeof stranger, 0, 0),
            0);
  fake_io.write_errno = EAGAIN;  // a tolerated TUN write error
  ASSERT_EQ(m.deliver(cat({0x03, 0x14}, bytes(20, 0x55))), 0);
  fake_io.write_errno = 0;
  ASSERT_EQ(m.deliver({0x01, 0x81, 0x03, 0x14}), 0);  // the server's recovery request

  EXPECT_EQ(st.recovery_requests[DIR_EGRESS], 1u);
  EXPECT_EQ(st.recovery_requests[DIR_INGRESS], 1u);
  EXPECT_EQ(st.frames[DIR_INGRESS], 8u);
  EXPECT_EQ(nonzero_drops(m.ctx),
            (std::vector<std::string>{"ingress/too_large=1", "ingress/write_error=1",
                                      "ingress/foreign_source=1", "ingress/runt=2",
                                      "ingress/bad_type=1", "ingress/bad_call_id=1",
                                      "ingress/truncated=1", "ingress/short_full=1",
                                      "ingress/no_template=1"}));

  ASSERT_EQ(m.deliver({0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'}), 0);
  EXPECT_EQ(st.registrations[REGS_AUTHORIZED], 1u);
  EXPECT_GT(st.last_authorized, 1600000000);

  m.cfg.ingress_filter = 1;  // a full form that is not RTP is refused
  bytes tcp = make_rtp(s);
  tcp[9] = 6;
  ASSERT_EQ(m.deliver(cat({0x04, 0x00}, tcp)), 0);
  EXPECT_EQ(st.drops[DIR_INGRESS][DROP_FILTERED], 1u);
  EXPECT_EQ(st.filtered[INGRESS_DROP_NOT_RTP], 1u);
}

}  // namespace
