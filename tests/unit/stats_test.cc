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
#include "loop.h"
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

std::string read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return "<missing>";
  std::string out;
  int c;
  while ((c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
  fclose(f);
  return out;
}

int carry(media_ctx& m, const rtp_fields& s, uint32_t now) {
  bytes p = make_rtp(s);
  return mux_rtp_packet(&m.ctx, p.data(), p.size(), now);
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
  ASSERT_EQ(write_muxed_data_to_sock(&m.ctx), 0);
  fake_io.send_errno = 0;

  bytes sip(100, 0x45);
  ASSERT_EQ(write_sip_packet_to_sock(&m.ctx, sip.data(), sip.size()), 0);
  bytes huge(TX_BUF_SIZE, 0x45);
  ASSERT_EQ(write_sip_packet_to_sock(&m.ctx, huge.data(), huge.size()), 0);

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
  EXPECT_EQ(st.flushes[FLUSH_AGE], 0u);
  EXPECT_EQ(st.frames[DIR_EGRESS], 3u);
  EXPECT_EQ(st.frame_bytes[DIR_EGRESS], 224u + 300u + 22u);
  EXPECT_EQ(stats_wire_bytes(&m.ctx, DIR_EGRESS), 546u + 3 * 28u);
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
  EXPECT_EQ(stats_live_calls(&m.ctx, fake_io.clock), 1);
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
  m.ctx.rx_buf[0] = 0x03;
  ASSERT_EQ(handle_server_datagram(&m.ctx, 1, reinterpret_cast<sockaddr*>(&stranger),
                                   sizeof stranger),
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

TEST(Counters, RegistrationStartedDeclinedAuthorized) {
  media_ctx m;
  m.ctx.ctl_pipe[0] = 5;
  const sockaddr* server = m.ctx.server_addr;
  fake_queue_datagram({0x00, 0x81, 'D', 'E', 'C', 'L', 'I', 'N', 'E', 'D'}, server,
                      m.ctx.server_addrlen);
  fake_select_ready({TEST_SOCK_FD});
  fake_queue_datagram({0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'}, server,
                      m.ctx.server_addrlen);
  fake_select_ready({TEST_SOCK_FD});
  m.ctx.running = 1;
  ASSERT_EQ(do_registration(&m.ctx, nullptr, 0), 0);
  const mux_stats& st = m.ctx.stats;
  EXPECT_EQ(st.registrations[REGS_STARTED], 1u);
  EXPECT_EQ(st.registrations[REGS_DECLINED], 1u);
  EXPECT_EQ(st.registrations[REGS_AUTHORIZED], 1u);
  fake_io.send_errno = EAGAIN;  // a control message lost to a transient error
  build_request(&m.ctx);
  EXPECT_EQ(socket_send(&m.ctx), 0);
  EXPECT_EQ(nonzero_drops(m.ctx), std::vector<std::string>{"egress/send_error=1"});
}

// A whole run: the status file before the registration, a filtered packet,
// an age flush, an idle REQUEST, a status request served without ending the
// run, and a stop.
TEST(Status, LoopCountsAndWritesOnRequest) {
  char dir[] = "/tmp/corvex_status_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string prom = std::string(dir) + "/corvex.prom";
  const std::string pidfile = std::string(dir) + "/corvex.pid";
  const std::string report = pidfile + ".status";

  media_ctx m;
  m.cfg.status_file = prom.c_str();
  m.cfg.pidfile = pidfile.c_str();
  m.cfg.waiting_time = 1000;
  m.cfg.max_muxing_time = 0;
  ASSERT_EQ(pipe(m.ctx.ctl_pipe), 0);
  // The loop closes its endpoints at the end: give it descriptors of its own.
  const int tun = m.ctx.tun_fd = open("/dev/null", O_RDWR);
  const int sock = m.ctx.sock_fd = open("/dev/null", O_RDWR);
  ASSERT_GE(tun, 0);
  ASSERT_GE(sock, 0);
  free(m.ctx.rx_buf);  // the loop allocates its own buffers
  free(m.ctx.tx_buf);
  free(m.ctx.frame_buf);
  m.ctx.rx_buf = m.ctx.tx_buf = m.ctx.frame_buf = nullptr;
  const int pipe_fd = m.ctx.ctl_pipe[0];

  std::string at_start;
  fake_queue_datagram({0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'},
                      m.ctx.server_addr, m.ctx.server_addrlen);
  fake_select_ready({sock}, [&] { at_start = read_file(prom); });
  bytes tcp(40, 0);
  tcp[0] = 0x45;
  tcp[3] = 40;
  tcp[9] = 6;
  fake_queue_read(tun, tcp);
  fake_select_ready({tun});
  rtp_fields s;
  fake_queue_read(tun, make_rtp(s));
  fake_select_ready({tun});
  fake_select_timeout();  // the frame has left by age; an empty wait: an idle REQUEST
  fake_queue_read(pipe_fd, {0});
  fake_select_ready({pipe_fd}, [] { status_signal_handler(SIGUSR1); });
  fake_queue_read(pipe_fd, {0});
  fake_select_ready({pipe_fd}, [&] { m.ctx.running = 0; });  // a stop
  ASSERT_EQ(run_event_loop(&m.ctx), -1);
  close(m.ctx.ctl_pipe[0]);
  close(m.ctx.ctl_pipe[1]);

  EXPECT_NE(at_start.find("\ncorvex_registered 0\n"), std::string::npos) << at_start;
  // The request was served and the run went on to the stop.
  EXPECT_TRUE(fake_io.selects.empty());
  const std::string text = read_file(report);
  EXPECT_EQ(text.rfind("registered\n", 0), 0u) << text;
  EXPECT_NE(text.find("\n1 live call\n  call 1: 10.0.0.10:4000 > 10.0.1.20:5000, payload type 0, "
                      "1 packets, 200 bytes, last 0."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  egress not forwardable: 1\n"), std::string::npos) << text;
  const std::string metrics = read_file(prom);
  for (const char* line : {"corvex_registered 1", "corvex_idle_requests_total 1",
                           "corvex_frame_flushes_total{trigger=\"age\"} 1",
                           "corvex_drops_total{direction=\"egress\",reason=\"not_forwardable\"} 1",
                           "corvex_packets_total{direction=\"egress\",kind=\"rtp_full\"} 1",
                           "corvex_registrations_total{result=\"authorized\"} 1"}) {
    EXPECT_NE(metrics.find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }
  std::string cmd = std::string("rm -rf ") + dir;
  ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(Status, WaitUnchangedWithoutStatusFile) {
  media_ctx m;
  timeval tv{0, 0};
  EXPECT_EQ(status_wait_bound(&m.ctx, nullptr, &tv), nullptr);
  timeval given{3, 0};
  EXPECT_EQ(status_wait_bound(&m.ctx, &given, &tv), &given);
  EXPECT_FALSE(status_after_wait(&m.ctx, 0, 12345));
  m.cfg.status_file = "/nonexistent/corvex.prom";
  m.cfg.status_interval = 2;
  timeval* bounded = status_wait_bound(&m.ctx, nullptr, &tv);
  ASSERT_EQ(bounded, &tv);
  EXPECT_LE(tv.tv_sec, 2);
}

}  // namespace
