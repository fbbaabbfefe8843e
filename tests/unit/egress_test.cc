// The RTP test, the call table and the building and sending of frames.
#include "session.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "log.h"
#include "media_fixture.h"
#include "wire.h"

namespace {

constexpr uint32_t T0 = 5000000;

using bytes = std::vector<uint8_t>;

bytes payload_of(const bytes& pkt) { return bytes(pkt.begin() + 40, pkt.end()); }

// One packet at `now`, on the egress clock and (cut to 32 bits) the loop clock.
int mux(media_ctx& m, const bytes& pkt, uint64_t now) {
  fake_io.clock = now;
  return egress_rtp(&m.ctx, pkt.data(), pkt.size(), static_cast<uint32_t>(now));
}

// Exactly sized heap copy: the sanitizer catches reads beyond `len`.
bool rtp_test_exact(const bytes& pkt) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.size()]);
  memcpy(copy.get(), pkt.data(), pkt.size());
  return is_rtp_packet(copy.get(), pkt.size());
}

TEST(RtpTest, StaticPayloadTypes) {
  for (int pt = 0; pt < 128; pt++) {
    bool expected = pt <= 19 || pt == 25 || pt == 26 || pt == 28 || (pt >= 31 && pt <= 34);
    EXPECT_EQ(is_static_payload_type(static_cast<uint8_t>(pt)), expected) << pt;
  }
}

TEST(RtpTest, ProtocolVersionPayloadTypeAndLength) {
  rtp_fields s;
  EXPECT_TRUE(rtp_test_exact(make_rtp(s)));
  s.marker = true;
  EXPECT_TRUE(rtp_test_exact(make_rtp(s)));
  s.marker = false;

  auto pkt = make_rtp(s);
  pkt[9] = 6;
  EXPECT_FALSE(rtp_test_exact(pkt));
  pkt = make_rtp(s);
  pkt[28] = 0x40;  // version 1
  EXPECT_FALSE(rtp_test_exact(pkt));
  s.pt = 96;
  EXPECT_FALSE(rtp_test_exact(make_rtp(s)));

  // The UDP ports do not matter: RTP on the SIP port is carried as RTP.
  s.pt = 0;
  s.dport = 5060;
  EXPECT_TRUE(rtp_test_exact(make_rtp(s)));

  // Bytes 28 and 29 must be inside the packet.
  s.len = 30;
  EXPECT_TRUE(rtp_test_exact(make_rtp(s)));
  s.len = 29;
  EXPECT_FALSE(rtp_test_exact(make_rtp(s)));
  s.len = 10;
  EXPECT_FALSE(rtp_test_exact(make_rtp(s)));
}

// Only what a 40-byte template can rebuild passes: a whole, unfragmented IPv4
// packet with a plain 20-byte header, RTP version 2 in both bits.
TEST(RtpTest, OnlyWholeUnfragmentedPlainIpv4Version2) {
  rtp_fields s;
  auto changed = [&](size_t at, uint8_t v) {
    bytes p = make_rtp(s);
    p[at] = v;
    return p;
  };
  EXPECT_TRUE(rtp_test_exact(changed(6, 0x40)));   // don't-fragment is fine
  EXPECT_FALSE(rtp_test_exact(changed(28, 0xC0)));  // version 3
  EXPECT_FALSE(rtp_test_exact(changed(28, 0x00)));  // version 0
  EXPECT_FALSE(rtp_test_exact(changed(0, 0x46)));   // IPv4 options
  EXPECT_FALSE(rtp_test_exact(changed(0, 0x65)));   // IPv6 whose bytes happen to fit
  EXPECT_FALSE(rtp_test_exact(changed(6, 0x20)));   // more fragments
  EXPECT_FALSE(rtp_test_exact(changed(7, 0x01)));   // a later fragment
  EXPECT_FALSE(rtp_test_exact(changed(6, 0x10)));
  EXPECT_FALSE(rtp_test_exact(changed(3, 199)));    // total length says less
  bytes longer = make_rtp(s);
  longer.push_back(0);                              // one byte more than it says
  EXPECT_FALSE(rtp_test_exact(longer));
}

TEST(SubPacketForms, LiveStreamCompressedNewStreamWhole) {
  media_ctx m;
  rtp_fields a;  // slot 0, 200 bytes of G.711
  rtp_fields b;  // slot 1
  b.sport = 4002;
  rtp_fields c;  // slot 2, 60 bytes of G.729
  c.sport = 4004;
  c.len = 60;

  auto pa = make_rtp(a);
  ASSERT_EQ(mux(m, pa, T0), 0);
  EXPECT_EQ(m.frame(), cat({0x01, 0x00}, pa));  // first packet of a stream: whole
  ASSERT_EQ(mux(m, make_rtp(b), T0), 0);

  // A new stream with slots 0 and 1 live takes slot 2: 0x03 0x00 + packet.
  auto pc = make_rtp(c);
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pc, T0), 0);
  ASSERT_NE(m.ctx.egress.calls[2], nullptr);
  EXPECT_EQ(m.ctx.egress.calls[2]->call_id, 3);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len), cat({0x03, 0x00}, pc));

  // Live stream in slot 0, 200 bytes: 0x01 0x80 0x00 0xA0 + 160 payload bytes.
  a.seq = 2;
  a.fill = 9;
  pa = make_rtp(a);
  before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pa, T0 + 1), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len),
            cat({0x01, 0x80, 0x00, 0xA0}, payload_of(pa)));

  // Live stream in slot 2, 60 bytes: 0x03 0x14 + 20 payload bytes.
  c.seq = 2;
  pc = make_rtp(c);
  before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pc, T0 + 2), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len),
            cat({0x03, 0x14}, payload_of(pc)));
  EXPECT_TRUE(fake_io.sent.empty());
}

// Opens a stream with one packet, then returns the item its next packet of
// `len` bytes adds to the frame.
bytes second_item(size_t len, rtp_fields s = {}) {
  media_ctx m;
  EXPECT_EQ(mux(m, make_rtp(s), T0), 0);
  size_t before = m.ctx.egress.frame_len;
  s.len = len;
  EXPECT_EQ(mux(m, make_rtp(s), T0 + 1), 0);
  return bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len);
}

TEST(SubPacketForms, PayloadLengthChoosesTheForm) {
  auto item = second_item(167);  // 127 payload bytes
  ASSERT_EQ(item.size(), 129u);
  EXPECT_EQ(item[1], 0x7F);
  item = second_item(168);  // 128
  ASSERT_EQ(item.size(), 132u);
  EXPECT_EQ(bytes(item.begin(), item.begin() + 4), (bytes{0x01, 0x80, 0x00, 0x80}));
  item = second_item(42);  // 2: the shortest short form
  EXPECT_EQ(bytes(item.begin(), item.begin() + 2), (bytes{0x01, 0x02}));
  // 1 payload byte goes in the long form: a short type byte 0x01 would make
  // the receiver drop it and the rest of the frame.
  item = second_item(41);
  EXPECT_EQ(item, (bytes{0x01, 0x80, 0x00, 0x01, 0x00}));
  // No payload: nothing to carry for a live stream.
  EXPECT_TRUE(second_item(40).empty());
}

TEST(SubPacketForms, HeaderOnlyPacketsRefreshNothingAndShortOnesOpenNoCall) {
  media_ctx m;
  rtp_fields s;
  ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
  s.len = 40;
  ASSERT_EQ(mux(m, make_rtp(s), T0 + 100), 0);
  EXPECT_EQ(m.ctx.egress.calls[0]->last_seen, T0);  // not refreshed

  // A 40-byte packet opening a call is sent whole.
  rtp_fields n;
  n.sport = 4100;
  n.len = 40;
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, make_rtp(n), T0), 0);
  EXPECT_EQ(m.ctx.egress.frame_len, before + 42);

  // 30 to 39 bytes: no whole header for the receiver's template, no call.
  for (size_t len = 30; len < 40; len++) {
    rtp_fields t;
    t.sport = 4200;
    t.len = len;
    auto pkt = make_rtp(t);
    before = m.ctx.egress.frame_len;
    ASSERT_EQ(mux(m, pkt, T0), 0);
    EXPECT_EQ(m.ctx.egress.frame_len, before) << len;
    EXPECT_EQ(m.ctx.egress.calls[2], nullptr) << len;
  }
}

TEST(SubPacketForms, PayloadTypeChangeSendsTheHeaderAgain) {
  media_ctx m;
  rtp_fields s;
  ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
  s.marker = true;  // only the marker changed: still compressed
  ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
  EXPECT_EQ(m.ctx.egress.frame_buf[203], SUB_LONG);

  s.marker = false;
  s.pt = 8;
  auto p8 = make_rtp(s);
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, p8, T0), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len), cat({0x01, 0x00}, p8));
  EXPECT_EQ(m.ctx.egress.calls[0]->payload_type, 8);
  EXPECT_EQ(m.ctx.egress.calls[1], nullptr);  // same call id, no new slot

  before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, p8, T0), 0);
  EXPECT_EQ(m.ctx.egress.frame_len, before + 164);  // compressed again
}

// A pending frame of `len` bytes from one full-form item of call id 9.
void pend(media_ctx& m, size_t len, uint32_t now) {
  bytes filler(len - 2, 0x5A);
  ASSERT_EQ(append_sub_packet(&m.ctx.egress, 9, SUB_FULL, filler.data(), filler.size(), now), 0);
  ASSERT_EQ(m.ctx.egress.frame_len, len);
}

TEST(FrameBoundaries, FullFrameNextItemTooLargeAndOneByteShort) {
  {  // An item that makes the frame exactly mtu bytes sends it at once.
    media_ctx m;
    rtp_fields s;
    ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
    fake_netio_reset();
    m.ctx.egress.frame_len = 0;
    pend(m, 1472 - 164, T0);
    ASSERT_EQ(mux(m, make_rtp(s), T0 + 1), 0);
    ASSERT_EQ(fake_io.sent.size(), 1u);
    EXPECT_EQ(fake_io.sent[0].bytes.size(), 1472u);
    EXPECT_EQ(fake_io.sent[0].fd, TEST_SOCK_FD);
    EXPECT_EQ(m.ctx.egress.frame_len, 0);
  }
  {  // One byte left free: the frame waits.
    media_ctx m;
    rtp_fields s;
    ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
    fake_netio_reset();
    m.ctx.egress.frame_len = 0;
    pend(m, 1472 - 165, T0);
    ASSERT_EQ(mux(m, make_rtp(s), T0 + 1), 0);
    EXPECT_TRUE(fake_io.sent.empty());
    EXPECT_EQ(m.ctx.egress.frame_len, 1471);
  }
  {  // 1400 + 164 > 1472: the 1400 bytes leave first, the item starts a frame.
    media_ctx m;
    rtp_fields s;
    ASSERT_EQ(mux(m, make_rtp(s), T0), 0);
    fake_netio_reset();
    m.ctx.egress.frame_len = 0;
    pend(m, 1400, T0);
    s.seq = 2;
    auto pkt = make_rtp(s);
    ASSERT_EQ(mux(m, pkt, T0 + 777), 0);
    ASSERT_EQ(fake_io.sent.size(), 1u);
    EXPECT_EQ(fake_io.sent[0].bytes.size(), 1400u);
    EXPECT_EQ(m.frame(), cat({0x01, 0x80, 0x00, 0xA0}, payload_of(pkt)));
    EXPECT_EQ(m.ctx.egress.frame_stamp, T0 + 777u);
  }
}

TEST(FrameBoundaries, AnItemLargerThanAnEmptyFrameTravelsWholeAsNonRtp) {
  media_ctx m(100);
  rtp_fields s;  // 200 bytes: 202 as a full form, 164 compressed
  pend(m, 30, T0);
  auto pkt = make_rtp(s);
  ASSERT_EQ(mux(m, pkt, T0), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(fake_io.sent[0].bytes, cat({0x00, 0x00}, pkt));  // no password: no pad
  EXPECT_EQ(m.ctx.egress.frame_len, 30);                           // pending frame untouched
  EXPECT_EQ(m.ctx.egress.calls[0], nullptr);                // no call opened
  // Handed such an item directly, the append refuses it and keeps the frame.
  ASSERT_EQ(append_sub_packet(&m.ctx.egress, 1, SUB_LONG, pkt.data(), 97, T0), 0);
  EXPECT_EQ(m.ctx.egress.frame_len, 30);
  EXPECT_EQ(fake_io.sent.size(), 1u);
}

TEST(CallTable, MaxCallTwoAndAThirdStream) {
  media_ctx m;
  m.cfg.max_call = 2;
  m.cfg.rtp_timeout = 1000;
  rtp_fields a, b, c;
  b.sport = 4002;
  c.sport = 4004;
  ASSERT_EQ(mux(m, make_rtp(a), T0), 0);
  ASSERT_EQ(mux(m, make_rtp(b), T0), 0);
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, make_rtp(c), T0 + 10), 0);
  ASSERT_EQ(mux(m, make_rtp(c), T0 + 20), 0);
  EXPECT_EQ(m.ctx.egress.frame_len, before);  // both dropped
  EXPECT_EQ(m.ctx.egress.calls[2], nullptr);

  // Stream b keeps talking, a falls silent for rtp_timeout: c takes slot 0.
  ASSERT_EQ(mux(m, make_rtp(b), T0 + 500), 0);
  before = m.ctx.egress.frame_len;
  auto pc = make_rtp(c);
  ASSERT_EQ(mux(m, pc, T0 + 1000), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len), cat({0x01, 0x00}, pc));
  EXPECT_EQ(m.ctx.egress.calls[0]->src_port[1], 4004 & 0xFF);
}

TEST(CallTable, ExpiryWhileTheLoopClockWraps) {
  media_ctx m;
  m.cfg.rtp_timeout = 1000;
  rtp_fields a, b;
  b.sport = 4002;
  const uint64_t start = 0xFFFFFF00u;  // the loop clock wraps during the test
  ASSERT_EQ(mux(m, make_rtp(a), start), 0);
  ASSERT_EQ(mux(m, make_rtp(b), start), 0);

  // Age 999 across the wrap: still live, compressed.
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, make_rtp(b), start + 999), 0);
  EXPECT_EQ(m.ctx.egress.frame_len, before + 164);

  // a has been silent for exactly rtp_timeout: expired, though its entry
  // stays. b is still live; b falls silent too.
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[0], start + 1000, 1000), SLOT_EXPIRED);
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[1], start + 1000, 1000), SLOT_LIVE);
  EXPECT_EQ(call_slot_state(nullptr, start, 1000), SLOT_EMPTY);

  // b comes back after its own expiry and gets the lowest free slot, 0.
  auto pb = make_rtp(b);
  before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pb, start + 999 + 1000), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len), cat({0x01, 0x00}, pb));
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pb.data(), start + 999 + 1000), 0);
}

// A slot silent for a whole cycle of the 32-bit loop clock (about 68 minutes)
// is still free: with one slot, a new stream takes it.
TEST(CallTable, SlotSilentForAWholeLoopClockCycleStaysFree) {
  media_ctx m;
  m.cfg.max_call = 1;
  rtp_fields a, b;
  b.sport = 4002;
  ASSERT_EQ(mux(m, make_rtp(a), T0), 0);
  m.ctx.egress.frame_len = 0;
  auto pb = make_rtp(b);
  ASSERT_EQ(mux(m, pb, T0 + (uint64_t{1} << 32) + 10), 0);
  EXPECT_EQ(m.frame(), cat({0x01, 0x00}, pb));
}

TEST(CallTable, RecoveryRequestForcesTheFullFormAtAnyClockValue) {
  media_ctx m;  // rtp_timeout 60000000; the clock stays far below it
  rtp_fields a, b, c;
  b.sport = 4002;
  c.sport = 4004;
  for (auto* s : {&a, &b, &c}) ASSERT_EQ(mux(m, make_rtp(*s), 1000), 0);
  egress_force_full(&m.ctx.egress, 3);
  egress_force_full(&m.ctx.egress, 0);    // no call id 0
  egress_force_full(&m.ctx.egress, 200);  // empty slot
  egress_force_full(&m.ctx.egress, 255);

  auto pc = make_rtp(c);
  size_t before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pc, 2000), 0);
  EXPECT_EQ(bytes(m.ctx.egress.frame_buf + before, m.ctx.egress.frame_buf + m.ctx.egress.frame_len), cat({0x03, 0x00}, pc));
  before = m.ctx.egress.frame_len;
  ASSERT_EQ(mux(m, pc, 3000), 0);  // the call is live again: compressed
  EXPECT_EQ(m.ctx.egress.frame_len, before + 164);
}

TEST(FrameSend, PasswordKeyRunsAcrossSubPackets) {
  media_ctx m;
  m.set_password("s3cr3t!");  // K = 7
  rtp_fields a, b;
  b.sport = 4002;
  b.len = 60;
  ASSERT_EQ(mux(m, make_rtp(a), T0), 0);
  ASSERT_EQ(mux(m, make_rtp(b), T0), 0);
  bytes plain = m.frame();
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  const bytes& wire = fake_io.sent[0].bytes;
  ASSERT_EQ(wire.size(), plain.size());
  EXPECT_EQ(wire[0], plain[0]);
  EXPECT_EQ(wire[1], plain[1]);
  for (size_t i = 2; i < wire.size(); i++) {
    ASSERT_EQ(wire[i], plain[i] ^ static_cast<uint8_t>("s3cr3t!"[(i - 2) % 7])) << i;
  }
  // The second sub-packet's call id (byte 202) is covered like any byte.
  EXPECT_EQ(wire[202], 0x02 ^ static_cast<uint8_t>("s3cr3t!"[200 % 7]));
}

TEST(FrameSend, EmptyPasswordSendsTheFrameAsBuilt) {
  media_ctx m;
  m.set_password("");
  ASSERT_EQ(mux(m, make_rtp({}), T0), 0);
  bytes plain = m.frame();
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0);
  EXPECT_EQ(fake_io.sent.at(0).bytes, plain);
}

TEST(FrameSend, TransientErrorsLoseTheFrameOthersEndTheRun) {
  for (int e : {EAGAIN, ENETUNREACH, ENETDOWN, EPERM, EINTR, EMSGSIZE}) {
    media_ctx m;
    ASSERT_EQ(mux(m, make_rtp({}), T0), 0);
    fake_io.send_errno = e;
    EXPECT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0) << e;
    EXPECT_EQ(m.ctx.egress.frame_len, 0);
  }
  media_ctx m;
  ASSERT_EQ(mux(m, make_rtp({}), T0), 0);
  fake_io.send_errno = ENOBUFS;
  EXPECT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), -1);
  EXPECT_EQ(m.ctx.egress.frame_len, 0);

  // A fatal send while making room: the run ends and the item is not appended.
  pend(m, 1400, T0);
  rtp_fields s;
  s.seq = 2;
  EXPECT_EQ(mux(m, make_rtp(s), T0), -1);
  EXPECT_EQ(m.ctx.egress.frame_len, 0);
}

TEST(EgressLog, MessagesOfTheSendPath) {
  media_ctx m(100);
  m.cfg.max_call = 1;
  rtp_fields a, b;
  a.len = 60;
  b.sport = 4002;
  b.len = 60;
  verbose = 1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(mux(m, make_rtp(a), T0), 0);
  ASSERT_EQ(mux(m, make_rtp(b), T0), 0);      // no slot left
  ASSERT_EQ(mux(m, make_rtp({}), T0), 0);     // larger than a frame of 100
  fake_io.send_errno = ENOBUFS;
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), -1);
  std::string out = testing::internal::GetCapturedStdout();
  verbose = 0;
  EXPECT_NE(out.find("ore maximum calls are running ......!!!\n"), std::string::npos);
  EXPECT_NE(out.find("RTP packet of 200 bytes does not fit a frame of 100 bytes"), std::string::npos);
  std::string err = std::string("write_muxed_data_to_sock() ") + strerror(ENOBUFS) + " [" +
                    std::to_string(ENOBUFS) + "]\n\n";
  EXPECT_NE(out.find(err), std::string::npos) << out;
}

// Media that no frame can carry goes whole, counted as such, and after the
// frames already held for the batch, so that it overtakes none of them.
TEST(EgressWhole, TooLargeForAFrameGoesWholeBehindTheHeldFrames) {
  media_ctx m(100);
  m.ctx.link.slot = 100;
  m.ctx.link.bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, 100));
  ASSERT_EQ(link_set_batching(&m.ctx.link, true), 0);
  rtp_fields a;
  a.len = 60;
  ASSERT_EQ(egress_rtp(&m.ctx, make_rtp(a).data(), a.len, T0), 0);
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0);
  EXPECT_TRUE(fake_io.sent.empty());  // held
  rtp_fields b;
  b.sport = 4002;  // 200 bytes
  ASSERT_EQ(session_tun_packet(&m.ctx, make_rtp(b).data(), b.len, T0, fake_io.clock), 0);
  ASSERT_EQ(fake_io.sent.size(), 2u);
  EXPECT_EQ(fake_io.sent[0].bytes[0], 0x01);  // the frame of call 1 first
  EXPECT_EQ(bytes(fake_io.sent[1].bytes.begin(), fake_io.sent[1].bytes.begin() + 2),
            (bytes{0x00, 0x00}));
  EXPECT_EQ(m.ctx.stats.packets[DIR_EGRESS][KIND_RTP_WHOLE], 1u);
  EXPECT_EQ(m.ctx.stats.packets[DIR_EGRESS][KIND_NON_RTP], 0u);
}

}  // namespace
