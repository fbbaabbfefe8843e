// What the server sends: frames taken apart and rebuilt, recovery requests,
// control messages, the source check and malformed datagrams.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "session.h"
#include "log.h"
#include "media_fixture.h"
#include "registration.h"
#include "wire.h"

namespace {

using bytes = std::vector<uint8_t>;

uint16_t be16_at(const bytes& b, size_t o) { return static_cast<uint16_t>((b[o] << 8) | b[o + 1]); }
uint32_t be32_at(const bytes& b, size_t o) {
  return (static_cast<uint32_t>(be16_at(b, o)) << 16) | be16_at(b, o + 2);
}

// Independent check of an IPv4 header: the one's complement sum of its ten
// 16-bit words, checksum included, is 0xFFFF when the checksum is right.
bool ipv4_checksum_ok(const bytes& pkt) {
  uint64_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) sum += be16_at(pkt, i);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

// The packet as a receiver writes it from a full form: UDP checksum and
// RTP timestamp zeroed.
bytes as_template_source(bytes pkt) {
  pkt[26] = pkt[27] = 0;
  pkt[32] = pkt[33] = pkt[34] = pkt[35] = 0;
  return pkt;
}

TEST(IngressRebuild, FullThenCompressedPacketsOfOneCall) {
  media_ctx m;
  rtp_fields s;
  s.len = 60;
  s.seq = 0x1234;
  s.ts = 0xDEADBEEF;
  s.pt = 8;
  s.marker = true;  // a talkspurt's first packet
  auto full = make_rtp(s);
  full[26] = 0xAB;  // a UDP checksum the receiver drops
  bytes short_payload(20, 0x77);
  bytes long_payload(200, 0x66);
  auto frame = cat(cat({0x03, 0x00}, full), cat({0x03, 0x14}, short_payload));
  frame = cat(frame, cat({0x03, 0x80, 0x00, 0xC8}, long_payload));
  ASSERT_EQ(m.deliver(frame), 0);

  ASSERT_EQ(fake_io.written.size(), 3u);
  const bytes& w0 = fake_io.written[0].bytes;
  EXPECT_EQ(fake_io.written[0].fd, TEST_TUN_FD);
  EXPECT_EQ(w0, as_template_source(full));

  const bytes& w1 = fake_io.written[1].bytes;
  ASSERT_EQ(w1.size(), 60u);
  EXPECT_EQ(be16_at(w1, 2), 60);       // IPv4 total length n + 40
  EXPECT_EQ(be16_at(w1, 24), 40);      // UDP length n + 20
  EXPECT_EQ(be16_at(w1, 26), 0);       // UDP checksum
  EXPECT_EQ(be16_at(w1, 30), 0x1235);  // sequence + 1
  EXPECT_EQ(be32_at(w1, 32), 160u);    // timestamp from 0, + 160
  EXPECT_EQ(w1[29], 8);                // marker clear, payload type kept
  EXPECT_TRUE(ipv4_checksum_ok(w1));
  EXPECT_EQ(bytes(w1.begin() + 12, w1.begin() + 24), bytes(full.begin() + 12, full.begin() + 24));
  EXPECT_EQ(be32_at(w1, 36), s.ssrc);
  EXPECT_EQ(bytes(w1.begin() + 40, w1.end()), short_payload);

  const bytes& w2 = fake_io.written[2].bytes;  // the long form is rebuilt alike
  ASSERT_EQ(w2.size(), 240u);
  EXPECT_EQ(be16_at(w2, 2), 240);
  EXPECT_EQ(be16_at(w2, 24), 220);
  EXPECT_EQ(be16_at(w2, 30), 0x1236);
  EXPECT_EQ(be32_at(w2, 32), 320u);
  EXPECT_EQ(w2[29], 8);
  EXPECT_TRUE(ipv4_checksum_ok(w2));
  EXPECT_EQ(bytes(w2.begin() + 40, w2.end()), long_payload);
}

TEST(IngressRebuild, CountersWrapAndChecksumFoldsCarries) {
  rx_template t{};
  rtp_fields s;
  s.seq = 0xFFFF;
  auto pkt = make_rtp(s);
  memcpy(t.hdr, as_template_source(pkt).data(), 40);
  // Addresses of all ones force carries in the checksum sum.
  memset(t.hdr + 12, 0xFF, 8);
  put_be32(t.hdr + 32, 0xFFFFFF60u);
  bytes out(4096);
  uint8_t payload[3] = {1, 2, 3};
  ASSERT_EQ(rebuild_packet(&t, payload, 3, out.data(), out.size()), 43u);
  out.resize(43);
  EXPECT_EQ(be16_at(out, 30), 0);
  EXPECT_EQ(be32_at(out, 32), 0u);
  EXPECT_TRUE(ipv4_checksum_ok(out));
  // A sum whose first fold carries again: 0xFFFF + 0xFFFF + 0x0001.
  uint8_t hdr[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01};
  EXPECT_EQ(ipv4_header_checksum(hdr), 0xFFFE);
  // No room: nothing rebuilt, the template not advanced.
  bytes small(42);
  EXPECT_EQ(rebuild_packet(&t, payload, 3, small.data(), small.size()), 0u);
  EXPECT_EQ(get_be16(t.hdr + 30), 0);
}

TEST(IngressRebuild, PasswordIsUndoneBeforeTheWalk) {
  media_ctx m;
  m.set_password("pw");
  auto full = make_rtp({});
  auto frame = cat(cat({0x01, 0x00}, full), cat({0x01, 0x80, 0x00, 0xA0}, bytes(160, 0x42)));
  bytes wire = frame;
  password_xor(wire.data(), wire.size(), "pw", 2);
  ASSERT_EQ(m.deliver(wire), 0);
  ASSERT_EQ(fake_io.written.size(), 2u);
  EXPECT_EQ(fake_io.written[0].bytes, as_template_source(full));
  EXPECT_EQ(bytes(fake_io.written[1].bytes.begin() + 40, fake_io.written[1].bytes.end()),
            bytes(160, 0x42));
}

TEST(IngressRebuild, EgressThenIngressRoundTrip) {
  // Packets whose header fields follow the rebuild rules (timestamps 0, 160,
  // 320, sequence + 1, UDP checksum 0) come back byte for byte.
  media_ctx m;
  m.set_password("round-trip");
  std::vector<bytes> sent;
  for (uint16_t i = 0; i < 3; i++) {
    for (uint8_t call = 0; call < 2; call++) {
      rtp_fields s;
      s.sport = static_cast<uint16_t>(4000 + call);
      s.len = call == 0 ? 200 : 60;
      s.seq = static_cast<uint16_t>(100 + i);
      s.ts = 160u * i;
      s.fill = static_cast<uint8_t>(i * 16 + call);
      sent.push_back(make_rtp(s));
      ASSERT_EQ(egress_rtp(&m.ctx, sent.back().data(), sent.back().size(), 1000), 0);
    }
  }
  ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  bytes wire = fake_io.sent[0].bytes;
  ASSERT_EQ(m.deliver(wire), 0);
  ASSERT_EQ(fake_io.written.size(), sent.size());
  for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(fake_io.written[i].bytes, sent[i]) << i;
}

// A header-only packet (40 bytes, what the client itself sends whole when
// such a packet opens a call) is a valid full form and gives the template.
TEST(IngressRebuild, FortyByteFullFormGivesATemplate) {
  media_ctx m;
  rtp_fields s;
  s.len = 40;
  s.seq = 77;
  const bytes full = make_rtp(s);
  ASSERT_EQ(m.deliver(cat(cat({0x03, 0x00}, full), cat({0x03, 0x14}, bytes(20, 9)))), 0);
  ASSERT_NE(m.ctx.ingress.templates[2], nullptr);
  ASSERT_EQ(fake_io.written.size(), 2u);
  EXPECT_EQ(fake_io.written[0].bytes, as_template_source(full));
  EXPECT_EQ(fake_io.written[1].bytes.size(), 60u);
  EXPECT_EQ(be16_at(fake_io.written[1].bytes, 30), 78);
  EXPECT_TRUE(fake_io.sent.empty());  // no recovery request
}

// The server's request is read up to the call id only: 3 bytes do.
TEST(IngressRecovery, ThreeByteRequestFromTheServerExpiresTheCall) {
  media_ctx m;
  rtp_fields s;
  auto pkt = make_rtp(s);
  ASSERT_EQ(egress_rtp(&m.ctx, pkt.data(), pkt.size(), 10), 0);
  m.ctx.egress.frame_len = 0;
  ASSERT_EQ(m.deliver_at_end({0x01, 0x81, 0x01}), 0);
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[0], 0, m.cfg.rtp_timeout), SLOT_EXPIRED);
  ASSERT_EQ(egress_rtp(&m.ctx, pkt.data(), pkt.size(), 20), 0);
  EXPECT_EQ(m.frame(), cat({0x01, 0x00}, pkt));
}

TEST(IngressRecovery, UnknownCallIdIsAskedForAndTheWalkGoesOn) {
  media_ctx m;
  auto full = make_rtp({});
  auto frame = cat(cat({0x07, 0x14}, bytes(20, 1)), cat({0x01, 0x00}, full));
  ASSERT_EQ(m.deliver(frame), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(fake_io.sent[0].bytes, (bytes{0x01, 0x81, 0x07, 0x14}));
  EXPECT_EQ(fake_io.sent[0].fd, TEST_SOCK_FD);
  ASSERT_EQ(fake_io.written.size(), 1u);  // only the full form after it
  EXPECT_EQ(m.ctx.ingress.templates[6], nullptr);
}

// One forged datagram must not turn into many requests: per call id at most
// one per frame and one per RECOVERY_GAP.
TEST(IngressRecovery, AtMostOnePerCallIdPerFrameAndPerGap) {
  media_ctx m;
  const bytes frame = cat(cat(cat({0x07, 0x04}, bytes(4, 1)), cat({0x09, 0x04}, bytes(4, 2))),
                          cat(cat({0x07, 0x05}, bytes(5, 3)), cat({0x07, 0x04}, bytes(4, 4))));
  auto requests = [&](uint64_t at) {
    fake_io.sent.clear();
    fake_io.clock = at;
    EXPECT_EQ(m.deliver(frame), 0);
    std::vector<bytes> got;
    for (const auto& p : fake_io.sent) got.push_back(p.bytes);
    return got;
  };
  const uint64_t t = 5000000;
  const std::vector<bytes> both = {{0x01, 0x81, 0x07, 0x04}, {0x01, 0x81, 0x09, 0x04}};
  EXPECT_EQ(requests(t), both);
  EXPECT_TRUE(requests(t + RECOVERY_GAP - 1).empty());
  EXPECT_EQ(requests(t + RECOVERY_GAP), both);
  EXPECT_TRUE(fake_io.written.empty());
}

TEST(IngressRecovery, AnUnsendableRequestLosesNothingElse) {
  media_ctx m;
  auto frame = cat(cat({0x07, 0x14}, bytes(20, 1)), cat({0x01, 0x00}, make_rtp({})));
  fake_io.send_errno = EAGAIN;  // lost to a transient error: the walk goes on
  ASSERT_EQ(m.deliver(frame), 0);
  ASSERT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(fake_io.written[0].bytes, make_rtp({}));
  EXPECT_EQ(m.ctx.stats.drops[DIR_EGRESS][DROP_SEND_ERROR], 1u);
  fake_io.send_errno = ECONNREFUSED;  // for good: the run ends
  EXPECT_EQ(m.deliver(frame), -1);
}

TEST(IngressRecovery, OneFrameAsksForAFewCallsOnly) {
  media_ctx m;
  bytes frame;
  for (int id = 1; id <= 255; id++) frame = cat(frame, cat({static_cast<uint8_t>(id), 0x02}, {1, 2}));
  fake_io.clock = 5000000;
  ASSERT_EQ(m.deliver(frame), 0);
  EXPECT_EQ(fake_io.sent.size(), RECOVERY_BUDGET);
  EXPECT_EQ(m.ctx.stats.drops[DIR_INGRESS][DROP_NO_TEMPLATE], 255u);
  // The next window grants as many again.
  fake_io.clock += RECOVERY_GAP;
  ASSERT_EQ(m.deliver(frame), 0);
  EXPECT_EQ(fake_io.sent.size(), 2 * RECOVERY_BUDGET);
}

TEST(IngressRecovery, ServerRequestExpiresTheEgressCall) {
  media_ctx m;
  rtp_fields s;
  ASSERT_EQ(egress_rtp(&m.ctx, make_rtp(s).data(), s.len, 10), 0);
  m.ctx.egress.frame_len = 0;
  ASSERT_EQ(m.deliver({0x01, 0x81, 0x00, 0x14}), 0);  // call id 0: logged only
  m.ctx.rx_block[2] = 0x01;  // a stale call id where none was received
  ASSERT_EQ(m.deliver({0x01, 0x81}), 0);
  ASSERT_EQ(m.deliver_at_end({0x01, 0x81}), 0);
  EXPECT_FALSE(m.ctx.egress.calls[0]->force_full);
  ASSERT_EQ(m.deliver({0x01, 0x81, 0x05, 0x14}), 0);  // empty slot: nothing
  ASSERT_EQ(m.deliver({0x01, 0x81, 0x01, 0x14}), 0);
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[0], 20, m.cfg.rtp_timeout), SLOT_EXPIRED);
  EXPECT_TRUE(fake_io.sent.empty());

  auto pkt = make_rtp(s);
  ASSERT_EQ(egress_rtp(&m.ctx, pkt.data(), pkt.size(), 20), 0);
  EXPECT_EQ(m.frame(), cat({0x01, 0x00}, pkt));
}

TEST(IngressMalformed, RestOfTheFrameIsDroppedWithoutReadingPastIt) {
  rtp_fields s;
  s.len = 60;
  auto full = make_rtp(s);
  auto good = cat({0x02, 0x00}, full);  // one packet written, then the fault
  struct fault {
    const char* what;
    bytes tail;
  };
  auto cut_full = full;
  cut_full.resize(50);
  auto short_total = full;
  short_total[3] = 39;
  const fault faults[] = {
      {"lone call id", {0x04}},
      {"invalid type 0x01", {0x04, 0x01, 0xAA}},
      {"invalid type 0x81", {0x04, 0x81, 0xAA, 0xBB}},
      {"short payload past the end", {0x02, 0x10, 1, 2, 3}},
      {"long form without length", {0x02, 0x80, 0x00}},
      {"long payload past the end", {0x02, 0x80, 0x00, 0x05, 1, 2}},
      {"call id 0", {0x00, 0x03, 1, 2, 3}},
      {"full form past the remaining bytes", cat({0x04, 0x00}, cut_full)},
      {"full form below 40 bytes", cat({0x04, 0x00}, short_total)},
  };
  for (const auto& f : faults) {
    media_ctx m;
    EXPECT_EQ(m.deliver_at_end(cat(good, f.tail)), 0) << f.what;
    EXPECT_EQ(fake_io.written.size(), 1u) << f.what;
    EXPECT_TRUE(fake_io.sent.empty()) << f.what;
    EXPECT_EQ(m.ctx.ingress.templates[3], nullptr) << f.what;  // call 4 never touched
  }
}

TEST(IngressMalformed, RebuiltPacketLargerThanTheSendBuffer) {
  media_ctx m;
  auto full = make_rtp({});
  ASSERT_EQ(m.deliver(cat({0x01, 0x00}, full)), 0);
  // A long form of 4060 payload bytes would rebuild to 4100 > 4096.
  bytes frame = cat({0x01, 0x80, 0x0F, 0xDC}, bytes(4060, 0x11));
  ASSERT_EQ(frame.size(), 4064u);
  ASSERT_EQ(m.deliver(frame), 0);
  EXPECT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(get_be16(m.ctx.ingress.templates[0]->hdr + 30), 1);  // sequence not advanced
  // 4056 bytes still fit exactly.
  frame = cat({0x01, 0x80, 0x0F, 0xD8}, bytes(4056, 0x11));
  ASSERT_EQ(m.deliver(frame), 0);
  ASSERT_EQ(fake_io.written.size(), 2u);
  EXPECT_EQ(fake_io.written[1].bytes.size(), 4096u);
}

TEST(IngressMalformed, TooShortToTellItsKind) {
  media_ctx m;
  EXPECT_EQ(m.deliver_at_end({}), 0);
  EXPECT_EQ(m.deliver_at_end({0x01}), 0);
  EXPECT_EQ(m.deliver_at_end({0x00, 0x00}), 0);  // non-RTP without a packet
  EXPECT_EQ(m.deliver_at_end({0x00, 0x81, 'A'}), 0);
  EXPECT_TRUE(fake_io.written.empty());
  EXPECT_TRUE(fake_io.sent.empty());
}

TEST(IngressDispatch, OnlyTheServersAddressIsHeard) {
  media_ctx m;
  auto frame = cat({0x01, 0x00}, make_rtp({}));
  sockaddr_in other = m.server;
  other.sin_port = htons(42001);
  EXPECT_EQ(session_datagram(&m.ctx, frame.data(), frame.size(), reinterpret_cast<sockaddr*>(&other),
                             sizeof other, 0, 0),
            0);
  uint8_t authorized[] = "\x00\x81" "AUTHORIZED";
  EXPECT_EQ(session_datagram(&m.ctx, authorized, 12, reinterpret_cast<sockaddr*>(&other),
                             sizeof other, 0, 0),
            0);
  EXPECT_TRUE(fake_io.written.empty());
  EXPECT_EQ(m.ctx.reg.state, REG_NONE);
}

bytes control(const char* text, size_t extra = 0) {
  bytes d = {0x00, 0x81};
  d.insert(d.end(), text, text + strlen(text));
  for (size_t i = 0; i < extra; i++) d.push_back(static_cast<uint8_t>('a' + i));
  return d;
}

TEST(IngressDispatch, ControlMessagesDriveTheRegistration) {
  media_ctx m;
  m.set_password("registration");
  ASSERT_EQ(m.deliver(control("AUTHORIZED")), 0);
  EXPECT_EQ(m.ctx.reg.state, REG_AUTHORIZED);
  EXPECT_TRUE(fake_io.sent.empty());

  m.ctx.reg.state = REG_NONE;
  ASSERT_EQ(m.deliver(control("AUTHO")), 0);  // shorter than 8 bytes: ignored
  ASSERT_EQ(m.deliver(control("REQUEST")), 0);
  ASSERT_EQ(m.deliver(control("MAY BE SERVER RESTARTED!")), 0);
  EXPECT_EQ(m.ctx.reg.state, REG_NONE);
  EXPECT_TRUE(fake_io.sent.empty());

  // A challenge is answered at once with a DIGEST, without waiting here: the
  // loop sends it again until the server decides.
  ASSERT_EQ(m.deliver(control("CHANLLANGE", 16)), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  const bytes digest = fake_io.sent[0].bytes;
  ASSERT_EQ(digest.size(), 24u);
  EXPECT_EQ(bytes(digest.begin(), digest.begin() + 8), control("DIGEST"));
  EXPECT_TRUE(fake_io.select_calls.empty());
  EXPECT_TRUE(m.ctx.reg.waiting);
  // A frame is no reason to send again; a control message that changes
  // nothing is, with the same bytes.
  ASSERT_EQ(m.deliver(cat({0x01, 0x00}, make_rtp({}))), 0);
  EXPECT_EQ(fake_io.sent.size(), 1u);
  ASSERT_EQ(m.deliver(control("MAY BE SERVER RESTARTED!")), 0);
  ASSERT_EQ(fake_io.sent.size(), 2u);
  EXPECT_EQ(fake_io.sent[1].bytes, digest);
  ASSERT_EQ(m.deliver(control("AUTHORIZED")), 0);
  EXPECT_FALSE(m.ctx.reg.waiting);

  fake_netio_reset();
  ASSERT_EQ(m.deliver(control("DECLINED")), 0);  // starts over with a REQUEST
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(fake_io.sent[0].bytes, control("REQUEST"));
  EXPECT_TRUE(m.ctx.reg.waiting);
}

TEST(IngressDispatch, HandshakeOfTheRunRefreshesTemplates) {
  media_ctx m;
  rtp_fields s;
  const bytes pkt = make_rtp(s);
  auto next_sub_packet = [&] {
    m.ctx.egress.frame_len = 0;
    EXPECT_EQ(egress_rtp(&m.ctx, pkt.data(), pkt.size(), 10), 0);
    return m.frame();
  };
  const bytes full = cat({0x01, 0x00}, pkt);
  EXPECT_EQ(next_sub_packet(), full);  // opens the call
  EXPECT_NE(next_sub_packet(), full);
  ASSERT_EQ(m.deliver(control("AUTHORIZED")), 0);  // no handshake waited: nothing changes
  EXPECT_NE(next_sub_packet(), full);
  // A restarted server challenges, then authorizes: after each, the call's
  // next packet goes in full form under the same call id, the one after it
  // compressed.
  ASSERT_EQ(m.deliver(control("CHANLLANGE", 16)), 0);
  EXPECT_EQ(next_sub_packet(), full);
  EXPECT_NE(next_sub_packet(), full);
  ASSERT_EQ(m.deliver(control("AUTHORIZED")), 0);
  EXPECT_EQ(next_sub_packet(), full);
  EXPECT_NE(next_sub_packet(), full);
}

TEST(IngressDispatch, TunWriteRule) {
  auto frame = cat(cat({0x01, 0x00}, make_rtp({})), cat({0x01, 0x14}, bytes(20, 3)));
  for (int e : {EAGAIN, EPERM, EINTR, EINVAL, EIO}) {
    media_ctx m;
    fake_io.write_errno = e;
    EXPECT_EQ(m.deliver(frame), 0) << e;
    EXPECT_NE(m.ctx.ingress.templates[0], nullptr);
    EXPECT_EQ(get_be16(m.ctx.ingress.templates[0]->hdr + 30), 2);  // advanced though lost
  }
  for (int e : {EBADF, ENOSPC}) {
    media_ctx m;
    fake_io.write_errno = e;
    EXPECT_EQ(m.deliver(frame), -1) << e;
  }
}

// Runs `fn` with the verbose flag as given and returns what went to stdout.
template <typename F>
std::string logged(bool on, F fn) {
  verbose = on ? 1 : 0;
  testing::internal::CaptureStdout();
  fn();
  std::string out = testing::internal::GetCapturedStdout();
  verbose = 0;
  return out;
}

TEST(IngressLog, MessagesOfTheReceivePath) {
  media_ctx m;
  auto run = [&] {
    m.deliver({0x01, 0x81, 0x00, 0x14});
    m.deliver({0x05, 0x81, 0x00});
    fake_io.send_errno = EAGAIN;
    m.deliver(cat({0x07, 0x14}, bytes(20, 1)));
    fake_io.send_errno = 0;
    fake_io.write_errno = EBADF;
    m.deliver(cat({0x01, 0x00}, make_rtp({})));
    m.deliver(cat({0x01, 0x14}, bytes(20, 1)));
    m.deliver({0x00, 0x00, 0x45, 0x00});
  };
  EXPECT_EQ(logged(false, run), "");
  std::string out = logged(true, run);
  for (const char* line : {
           "Socket receive : 4 bytes\n",
           "Could not Recover: bad cid 0\n",
           "**********************NEED TO THINK MORE!!!"
           "**********************************************\n",
           "sending 4 bytes for recovery egress index 6\n",
           "egress tun write() in new entry severe error.. exiting the program.\n\n",
           "egress tup write() severe error.. exiting the program.\n\n",
           "write_sip_packet_to_tun() severe error.. exiting the program.\n\n",
       }) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
}

}  // namespace
