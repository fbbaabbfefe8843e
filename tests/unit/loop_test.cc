#include "loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fake_netio.h"
#include "log.h"
#include "media_fixture.h"
#include "registration.h"

namespace {

using bytes = std::vector<uint8_t>;

// The clock value at real time t (microseconds since the epoch).
uint32_t clock_at(uint64_t t) {
  return static_cast<uint32_t>(((t / 1000000) << 20) | (t % 1000000));
}

TEST(LoopClock, FromTimeval) {
  timeval tv{5, 123456};
  EXPECT_EQ(loop_clock_from(tv), (5u << 20) | 123456u);
  // Only the low 12 bits of the seconds survive.
  timeval big{4096 + 7, 1};
  EXPECT_EQ(loop_clock_from(big), (7u << 20) | 1u);
}

TEST(LoopClock, FrameDueAcrossTheWrap) {
  EXPECT_TRUE(frame_due(100, 100, 0));
  EXPECT_FALSE(frame_due(100, 50, 80000));
  EXPECT_TRUE(frame_due(80050, 50, 80000));
  // Started just before the 32-bit clock wraps, due just after.
  EXPECT_FALSE(frame_due(0x00000010, 0xFFFFFFF0u, 80000));
  EXPECT_TRUE(frame_due(80000 - 16, 0xFFFFFFF0u, 80000));
}

TEST(LoopClock, TimeUntilDueWithinOneSecond) {
  uint32_t now = (5u << 20) | 100000;
  EXPECT_EQ(loop_clock_us_until_due(now, now, 80000), 80000u);
  EXPECT_EQ(loop_clock_us_until_due(now, now - 30000, 80000), 50000u);
  EXPECT_EQ(loop_clock_us_until_due(now, now - 80000, 80000), 0u);
  EXPECT_EQ(loop_clock_us_until_due(now, now - 90000, 80000), 0u);
}

TEST(LoopClock, TimeUntilDueSkipsTheUnusedTopOfASecond) {
  // 10 ms before a second ends: the clock jumps by 48576 units at the
  // boundary, so the frame falls due 21424 us into the next second.
  uint32_t now = (5u << 20) | 990000;
  EXPECT_EQ(loop_clock_us_until_due(now, now, 80000), 31424u);
  // A target in the part of a second the clock never reads is first reached
  // when the next second begins.
  now = (5u << 20) | 900000;
  EXPECT_EQ(loop_clock_us_until_due(now, now, 120000), 100000u);
  // Across the wrap of the 32-bit clock.
  now = (4095u << 20) | 999000;
  EXPECT_EQ(loop_clock_us_until_due(now, now, 80000), 31424u);
}

// Against a simulated clock: waiting the computed time makes the frame due,
// one microsecond less does not.
TEST(LoopClock, TimeUntilDueMatchesASimulatedClock) {
  std::mt19937_64 rng(12345);
  const uint64_t wraps[] = {1700000000ull * 1000000, 4096ull * 1000000 * 400000 - 50000,
                            4096ull * 1000000 * 400001 - 1};
  for (int i = 0; i < 20000; i++) {
    uint64_t t0 = wraps[i % 3] + rng() % 3000000;
    uint64_t started = t0 - rng() % 2000000;
    uint32_t max_age = static_cast<uint32_t>(rng() % 4000000);
    uint32_t now = clock_at(t0);
    uint32_t stamp = clock_at(started);
    uint64_t us = loop_clock_us_until_due(now, stamp, max_age);
    ASSERT_TRUE(frame_due(clock_at(t0 + us), stamp, max_age)) << i;
    if (us > 0) {
      ASSERT_FALSE(frame_due(clock_at(t0 + us - 1), stamp, max_age)) << i;
    }
  }
}

TEST(LoopWait, NonzeroWaitingTimeEndsNoLaterThanThePendingFrame) {
  mux_config cfg{};
  cfg.max_muxing_time = 80000;
  timeval tv;
  cfg.waiting_time = 200000;
  ASSERT_NE(loop_wait_timeout(&cfg, 0, 0, 0, &tv), nullptr);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 200000);
  EXPECT_TRUE(loop_wait_is_idle_wait(&cfg, &tv));
  // With a frame pending the wait ends when it falls due, and is no idle one.
  ASSERT_NE(loop_wait_timeout(&cfg, 100, 0, 5, &tv), nullptr);
  EXPECT_EQ(tv.tv_usec, 79995);
  EXPECT_FALSE(loop_wait_is_idle_wait(&cfg, &tv));
  cfg.waiting_time = 2500000;
  ASSERT_NE(loop_wait_timeout(&cfg, 0, 0, 0, &tv), nullptr);
  EXPECT_EQ(tv.tv_sec, 2);
  EXPECT_EQ(tv.tv_usec, 500000);
  EXPECT_TRUE(loop_wait_is_idle_wait(&cfg, &tv));
  // A frame due later than the waiting time leaves the wait as it is.
  cfg.waiting_time = 1000;
  ASSERT_NE(loop_wait_timeout(&cfg, 100, 0, 5, &tv), nullptr);
  EXPECT_EQ(tv.tv_usec, 1000);
  EXPECT_TRUE(loop_wait_is_idle_wait(&cfg, &tv));
  // With waiting_time 0 no wait is an idle one.
  cfg.waiting_time = 0;
  ASSERT_NE(loop_wait_timeout(&cfg, 100, 0, 5, &tv), nullptr);
  EXPECT_FALSE(loop_wait_is_idle_wait(&cfg, &tv));
  EXPECT_FALSE(loop_wait_is_idle_wait(&cfg, nullptr));
}

TEST(LoopWait, ZeroWaitingTimeWaitsForTrafficOrTheFrame) {
  mux_config cfg{};
  cfg.max_muxing_time = 80000;
  timeval tv;
  EXPECT_EQ(loop_wait_timeout(&cfg, 0, 0, 12345, &tv), nullptr);
  uint32_t now = (9u << 20) | 500000;
  ASSERT_NE(loop_wait_timeout(&cfg, 60, now - 20000, now, &tv), nullptr);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 60000);
  // Overdue: poll.
  ASSERT_NE(loop_wait_timeout(&cfg, 60, now - 90000, now, &tv), nullptr);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
}

// A TCP segment: neither RTP nor forwardable with the default settings.
bytes tcp_packet() {
  bytes p(40, 0);
  p[0] = 0x45;
  p[3] = 40;
  p[9] = 6;
  return p;
}

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_netio_reset();
    memset(&ctx, 0, sizeof ctx);
    memset(&cfg, 0, sizeof cfg);
    config_set_defaults(&cfg);
    cfg.password = "secret";
    ctx.config = &cfg;
    ctx.password_len = 6;
    ASSERT_EQ(pipe(ctx.ctl_pipe), 0);
    ctx.tun_fd = open("/dev/null", O_RDWR);
    ctx.sock_fd = open("/dev/null", O_RDWR);
    ASSERT_GE(ctx.tun_fd, 0);
    ASSERT_GE(ctx.sock_fd, 0);
    tun = ctx.tun_fd;
    sock = ctx.sock_fd;
    ctx.server_addr = reinterpret_cast<sockaddr*>(&ctx.server_addr_storage);
    socklen_t len;
    ctx.server_addr_storage = fake_ipv4_address("192.0.2.1", 42000, &len);
    ctx.server_addrlen = len;
    char dir[] = "/tmp/corvex_loop_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmpdir = dir;
  }

  void TearDown() override {
    verbose = 0;
    close(ctx.ctl_pipe[0]);
    close(ctx.ctl_pipe[1]);
    if (ctx.tun_fd >= 0) close(ctx.tun_fd);
    if (ctx.sock_fd >= 0) close(ctx.sock_fd);
    std::string cmd = "rm -rf " + tmpdir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // The registration at start succeeds at its first wait.
  void registers() {
    sockaddr_storage a = ctx.server_addr_storage;
    fake_queue_datagram({0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'},
                        reinterpret_cast<sockaddr*>(&a), ctx.server_addrlen);
    fake_select_ready({sock});
  }

  void stop_arrives() {
    fake_queue_read(ctx.ctl_pipe[0], {0});
    fake_select_ready({ctx.ctl_pipe[0]});
  }

  // Up and down scripts that note their runs in one file.
  void with_scripts() {
    up_path = tmpdir + "/up.sh";
    down_path = tmpdir + "/down.sh";
    log_path = tmpdir + "/runs";
    write_file(up_path, "echo up >> " + log_path + "\n");
    write_file(down_path, "echo down >> " + log_path + "\n");
    cfg.up = up_path.c_str();
    cfg.down = down_path.c_str();
  }

  static void write_file(const std::string& path, const std::string& body) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(body.c_str(), f);
    fclose(f);
  }

  std::string script_runs() const {
    FILE* f = fopen(log_path.c_str(), "r");
    if (f == nullptr) return "";
    std::string out;
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
    fclose(f);
    return out;
  }

  // The loop's own waits, after the one of the registration at start.
  std::vector<fake_select_call> loop_waits() const {
    return std::vector<fake_select_call>(fake_io.select_calls.begin() + 1,
                                         fake_io.select_calls.end());
  }

  void expect_torn_down() {
    EXPECT_EQ(ctx.running, 0);
    EXPECT_EQ(ctx.rx_buf, nullptr);
    EXPECT_EQ(ctx.frame_buf, nullptr);
    EXPECT_EQ(ctx.tx_buf, nullptr);
    EXPECT_EQ(ctx.tun_fd, -1);
    EXPECT_EQ(ctx.sock_fd, -1);
    EXPECT_EQ(fcntl(tun, F_GETFD), -1);  // really closed
    EXPECT_EQ(fcntl(sock, F_GETFD), -1);
  }

  mux_ctx ctx;
  mux_config cfg;
  int tun = -1;
  int sock = -1;
  std::string tmpdir, up_path, down_path, log_path;
};

const bytes kRequest = {0x00, 0x81, 'R', 'E', 'Q', 'U', 'E', 'S', 'T'};

TEST_F(Loop, RefusesToRunTwice) {
  ctx.running = 1;
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(ctx.rx_buf, nullptr);
  EXPECT_EQ(ctx.tun_fd, tun);
  EXPECT_TRUE(fake_io.select_calls.empty());
  EXPECT_TRUE(fake_io.sent.empty());
}

TEST_F(Loop, StopOnThePipeEndsTheRunAndTearsDown) {
  with_scripts();
  registers();
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(script_runs(), "up\ndown\n");
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(fake_io.sent[0].bytes, kRequest);
  auto waits = loop_waits();
  ASSERT_EQ(waits.size(), 1u);
  // The whole set is watched: pipe, TUN device and socket.
  EXPECT_EQ(waits[0].watched, (std::vector<int>{ctx.ctl_pipe[0], tun, sock}));
  EXPECT_EQ(waits[0].nfds, std::max(tun, sock) + 1);
  EXPECT_EQ(fake_io.read_calls, std::vector<int>{ctx.ctl_pipe[0]});
  expect_torn_down();
}

TEST_F(Loop, FailedRegistrationRunsUpThenDownWithoutAPass) {
  with_scripts();
  stop_arrives();  // during the registration
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(script_runs(), "up\ndown\n");
  EXPECT_EQ(fake_io.select_calls.size(), 1u);
  expect_torn_down();
}

TEST_F(Loop, StopDuringSetupEndsTheRunAsSoonAsItStarts) {
  with_scripts();
  EXPECT_EQ(request_stop(&ctx), -1);  // not running yet: kept for the loop
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(script_runs(), "up\ndown\n");
  EXPECT_TRUE(fake_io.select_calls.empty());  // no registration, no pass
  EXPECT_TRUE(fake_io.sent.empty());
  expect_torn_down();
  EXPECT_FALSE(take_pending_stop());  // taken once
}

TEST_F(Loop, SignalDuringTheWaitEndsTheRun) {
  with_scripts();
  registers();
  fake_select_fail(EINTR, [this] { request_stop(&ctx); });
  fake_select_timeout();  // never reached
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(script_runs(), "up\ndown\n");
  EXPECT_EQ(fake_io.selects.size(), 1u);
  expect_torn_down();
}

TEST_F(Loop, DefaultSettingsWaitWithoutTimeoutAndSendNoIdleRequests) {
  // waiting_time 0 and max_idle_cycle 0 (the defaults): the wait has no
  // timeout, so an idle line costs nothing and draws no REQUEST.
  registers();
  for (int i = 0; i < 5; i++) fake_select_ready({tun});  // reads find nothing
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  for (const auto& w : loop_waits()) EXPECT_FALSE(w.has_timeout);
  EXPECT_EQ(fake_io.sent.size(), 1u);
}

TEST_F(Loop, IdleRequestAfterMaxIdleCyclePlusOneEmptyWaits) {
  cfg.waiting_time = 1000;
  cfg.max_idle_cycle = 2;
  registers();
  std::vector<size_t> seen;
  for (int i = 0; i < 7; i++) fake_select_timeout([&] { seen.push_back(fake_io.sent.size()); });
  fake_select_fail(EBADF, [&] { seen.push_back(fake_io.sent.size()); });
  EXPECT_EQ(run_event_loop(&ctx), -1);
  // One REQUEST from the registration, then one after every third empty wait.
  EXPECT_EQ(seen, (std::vector<size_t>{1, 1, 1, 2, 2, 2, 3, 3}));
  for (const auto& p : fake_io.sent) EXPECT_EQ(p.bytes, kRequest);
  for (const auto& w : loop_waits()) {
    ASSERT_TRUE(w.has_timeout);
    EXPECT_EQ(w.timeout.tv_sec, 0);
    EXPECT_EQ(w.timeout.tv_usec, 1000);
  }
  expect_torn_down();
}

TEST_F(Loop, EveryEmptyWaitSendsARequestWithMaxIdleCycleZero) {
  cfg.waiting_time = 500;
  registers();
  for (int i = 0; i < 3; i++) fake_select_timeout();
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.sent.size(), 4u);
}

TEST_F(Loop, AReadyDescriptorRestartsTheIdleCount) {
  cfg.waiting_time = 1000;
  cfg.max_idle_cycle = 1;
  registers();
  fake_select_timeout();                        // idle 1
  fake_queue_read(tun, tcp_packet());
  fake_select_ready({tun});                     // dropped packet: idle 0
  fake_select_timeout();                        // packets gather: no idle wait
  fake_select_timeout();                        // idle 1
  fake_select_timeout([&] { EXPECT_EQ(fake_io.sent.size(), 1u); });  // REQUEST
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.sent.size(), 2u);
}

TEST_F(Loop, InterruptedWaitKeepsTheIdleCount) {
  cfg.waiting_time = 1000;
  cfg.max_idle_cycle = 1;
  registers();
  fake_select_timeout();     // idle 1
  fake_select_fail(EINTR);   // no change
  fake_select_timeout();     // idle == max: REQUEST
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.sent.size(), 2u);
}

TEST_F(Loop, PendingFrameBoundsTheWaitWhenWaitingTimeIsZero) {
  cfg.max_muxing_time = 20000;
  registers();
  fake_io.sleep_on_timeout = true;
  // A packet opens a frame in the first pass.
  fake_select_ready({tun}, [&] {
    ctx.frame_len = 10;
    ctx.frame_stamp = loop_clock_now();
  });
  // The wait for the frame runs out and the frame is flushed; a wake for a
  // frame is no empty wait, so no idle REQUEST follows (max_idle_cycle 0).
  fake_select_timeout();
  fake_select_ready({ctx.ctl_pipe[0]}, [&] { EXPECT_EQ(ctx.frame_len, 0); });
  fake_queue_read(ctx.ctl_pipe[0], {0});
  EXPECT_EQ(run_event_loop(&ctx), -1);

  auto waits = loop_waits();
  ASSERT_EQ(waits.size(), 3u);
  EXPECT_FALSE(waits[0].has_timeout);
  ASSERT_TRUE(waits[1].has_timeout);
  uint64_t us = waits[1].timeout.tv_sec * 1000000ull + waits[1].timeout.tv_usec;
  EXPECT_GT(us, 0u);
  EXPECT_LE(us, 20000u);
  EXPECT_FALSE(waits[2].has_timeout);  // no frame pending any more
  ASSERT_EQ(fake_io.sent.size(), 2u);  // the registration's REQUEST and the frame
  EXPECT_EQ(fake_io.sent[0].bytes, kRequest);
  EXPECT_NE(fake_io.sent[1].bytes, kRequest);
}

TEST_F(Loop, OnlyAWholeEmptyWaitingTimeCountsAsIdle) {
  cfg.waiting_time = 50000;
  cfg.max_muxing_time = 20000;
  registers();
  fake_io.sleep_on_timeout = true;
  fake_select_ready({tun}, [&] {
    ctx.frame_len = 10;
    ctx.frame_stamp = loop_clock_now();
  });
  size_t after_frame_wake = 0;
  fake_select_timeout();  // cut short: the frame falls due and leaves
  fake_select_timeout([&] { after_frame_wake = fake_io.sent.size(); });  // whole: REQUEST
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  auto waits = loop_waits();
  ASSERT_EQ(waits.size(), 4u);
  ASSERT_TRUE(waits[1].has_timeout);
  EXPECT_LE(waits[1].timeout.tv_sec * 1000000ull + waits[1].timeout.tv_usec, 20000u);
  EXPECT_EQ(waits[2].timeout.tv_usec, 50000);
  EXPECT_EQ(after_frame_wake, 2u);  // the registration's REQUEST and the frame
  ASSERT_EQ(fake_io.sent.size(), 3u);
  EXPECT_EQ(fake_io.sent[2].bytes, kRequest);
}

TEST_F(Loop, HandshakeDuringTheRunKeepsTheDataPathGoing) {
  cfg.password = nullptr;  // frames travel without XOR
  ctx.password_len = 0;
  registers();
  auto server_says = [&](const bytes& d) {
    sockaddr_storage a = ctx.server_addr_storage;
    fake_queue_datagram(d, reinterpret_cast<sockaddr*>(&a), ctx.server_addrlen);
  };
  bytes challenge = {0x00, 0x81, 'C', 'H', 'A', 'N', 'L', 'L', 'A', 'N', 'G', 'E'};
  for (int i = 0; i < 20; i++) challenge.push_back(static_cast<uint8_t>(i));
  fake_select_ready({sock}, [&] { server_says(challenge); });
  // While the server holds its decision back: a packet from the TUN device,
  // a frame from the server, and 2 seconds of silence.
  fake_select_ready({tun}, [&] { fake_queue_read(tun, make_rtp({})); });
  const bytes server_packet = make_rtp({.len = 60, .fill = 9});
  fake_select_ready({sock}, [&] { server_says(cat({0x01, 0x00}, server_packet)); });
  fake_select_timeout([&] { ctx.reg_resend_at = 1; });
  fake_select_ready({sock}, [&] {
    server_says({0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'});
  });
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);

  // DIGEST at once, the same bytes again after the silence, and nothing for
  // the frame; the frame's packet was written and the TUN device was read.
  ASSERT_EQ(fake_io.sent.size(), 3u);
  EXPECT_EQ(fake_io.sent[1].bytes.size(), 24u);
  EXPECT_EQ(fake_io.sent[2].bytes, fake_io.sent[1].bytes);
  ASSERT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(fake_io.written[0].bytes, server_packet);
  EXPECT_TRUE(fake_io.reads[tun].empty());
  EXPECT_EQ(ctx.reg_state, REG_AUTHORIZED);
  EXPECT_EQ(ctx.reg_resend_at, 0u);
  // The waits of the handshake are bounded by its resend, with waiting_time 0.
  auto waits = loop_waits();
  ASSERT_EQ(waits.size(), 6u);
  EXPECT_FALSE(waits[0].has_timeout);
  for (size_t i = 1; i < 4; i++) {
    ASSERT_TRUE(waits[i].has_timeout) << i;
    EXPECT_LE(waits[i].timeout.tv_sec * 1000000ll + waits[i].timeout.tv_usec, 2000000ll) << i;
  }
}

// Sends of frames after the registration's REQUEST, one run of the loop.
std::vector<bytes> frames_sent() {
  std::vector<bytes> out;
  for (size_t i = 1; i < fake_io.sent.size(); i++) out.push_back(fake_io.sent[i].bytes);
  return out;
}

// Packets of three G.711 calls, interleaved.
std::vector<bytes> burst_of_calls(int rounds) {
  std::vector<bytes> out;
  for (int k = 0; k < rounds; k++) {
    for (uint16_t call = 0; call < 3; call++) {
      out.push_back(make_rtp({.sport = static_cast<uint16_t>(4000 + 2 * call),
                              .seq = static_cast<uint16_t>(100 + k),
                              .fill = static_cast<uint8_t>(k * 3 + call)}));
    }
  }
  return out;
}

TEST_F(Loop, ABurstReadInOneWakeYieldsTheSameFramesAsOneByOne) {
  cfg.mtu = 400;  // two 164-byte items per frame: frames leave as the third comes
  const auto packets = burst_of_calls(4);
  auto reopen = [&] {
    fake_netio_reset();
    ctx.tun_fd = tun = open("/dev/null", O_RDWR);
    ctx.sock_fd = sock = open("/dev/null", O_RDWR);
    ASSERT_GE(tun, 0);
    ASSERT_GE(sock, 0);
  };
  // All of them waiting at one wake: one drain.
  registers();
  fake_select_ready({tun}, [&] {
    for (const auto& p : packets) fake_queue_read(tun, p);
  });
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  const auto in_one_wake = frames_sent();
  const auto batches = fake_io.sendmmsg_calls;

  // One packet per wake.
  reopen();
  registers();
  for (const auto& p : packets) fake_select_ready({tun}, [&, p] { fake_queue_read(tun, p); });
  stop_arrives();
  EXPECT_EQ(run_event_loop(&ctx), -1);

  ASSERT_GE(in_one_wake.size(), 4u);  // 12 items, at most two per frame
  EXPECT_EQ(frames_sent(), in_one_wake);
  // The frames that one drain made full went out in one call.
  EXPECT_EQ(batches, std::vector<size_t>{in_one_wake.size()});
}

TEST_F(Loop, AFrameDueWhilePacketsGatherLeavesOnTime) {
  cfg.max_muxing_time = 2000;  // about 2 ms, less than a gathering interval
  registers();
  fake_io.sleep_on_timeout = true;
  fake_select_ready({tun}, [&] { fake_queue_read(tun, make_rtp({})); });
  fake_select_timeout();  // packets gather; the frame falls due meanwhile
  size_t sent_by_then = 0;
  fake_select_ready({ctx.ctl_pipe[0]}, [&] { sent_by_then = fake_io.sent.size(); });
  fake_queue_read(ctx.ctl_pipe[0], {0});
  EXPECT_EQ(run_event_loop(&ctx), -1);
  auto waits = loop_waits();
  ASSERT_EQ(waits.size(), 3u);
  // The gathering wait watched the control pipe alone and ended when the
  // frame fell due; the frame had left before the next wait.
  EXPECT_EQ(waits[1].watched, std::vector<int>{ctx.ctl_pipe[0]});
  ASSERT_TRUE(waits[1].has_timeout);
  EXPECT_LE(waits[1].timeout.tv_sec * 1000000ll + waits[1].timeout.tv_usec, 2000);
  EXPECT_EQ(sent_by_then, 2u);
}

TEST_F(Loop, AStopRequestDuringABurstIsServedAtOnce) {
  registers();
  const auto packets = burst_of_calls(4);
  fake_select_ready({tun}, [&] {
    for (size_t i = 0; i < packets.size(); i++) {
      if (i == 2) {
        fake_queue_read_with(tun, packets[i], [&] { request_stop(&ctx); });
      } else {
        fake_queue_read(tun, packets[i]);
      }
    }
  });
  fake_select_timeout();  // never reached
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.reads[tun].size(), packets.size() - 3);  // no read after the stop
  EXPECT_EQ(fake_io.selects.size(), 1u);
  expect_torn_down();
}

TEST_F(Loop, DueFrameIsFlushedBeforeThePassServesAnything) {
  cfg.waiting_time = 1000;
  cfg.max_muxing_time = 0;
  registers();
  fake_select_timeout([&] {
    ctx.frame_len = 4;
    ctx.frame_stamp = loop_clock_now();
  });
  fake_select_ready({ctx.ctl_pipe[0]}, [&] { EXPECT_EQ(ctx.frame_len, 0); });
  fake_queue_read(ctx.ctl_pipe[0], {0});
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.selects.size(), 0u);
}

TEST_F(Loop, FrameNotYetDueIsKept) {
  cfg.waiting_time = 1000;
  cfg.max_muxing_time = 50000000;  // about 48 s
  registers();
  fake_select_timeout([&] {
    ctx.frame_len = 4;
    ctx.frame_stamp = loop_clock_now();
  });
  fake_select_ready({ctx.ctl_pipe[0]}, [&] { EXPECT_EQ(ctx.frame_len, 4); });
  fake_queue_read(ctx.ctl_pipe[0], {0});
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(ctx.frame_len, 0);  // dropped with its buffer at the end
}

TEST_F(Loop, PipeIsServedAloneWhenEverythingIsReady) {
  registers();
  fake_queue_read(ctx.ctl_pipe[0], {0});
  fake_queue_read(tun, tcp_packet());
  socklen_t len;
  sockaddr_storage other = fake_ipv4_address("192.0.2.7", 1000, &len);
  fake_queue_datagram({1, 2, 3}, reinterpret_cast<sockaddr*>(&other), len);
  fake_select_ready({ctx.ctl_pipe[0], tun, sock});
  EXPECT_EQ(run_event_loop(&ctx), -1);
  EXPECT_EQ(fake_io.read_calls, std::vector<int>{ctx.ctl_pipe[0]});
  EXPECT_EQ(fake_io.datagrams.size(), 1u);
}

TEST_F(Loop, TransientTunErrorGoesOnToTheSocket) {
  verbose = 1;
  registers();
  fake_queue_read_error(tun, EAGAIN);
  socklen_t len;
  sockaddr_storage other = fake_ipv4_address("192.0.2.7", 1000, &len);
  fake_queue_datagram({1, 2, 3}, reinterpret_cast<sockaddr*>(&other), len);
  fake_select_ready({tun, sock});
  stop_arrives();
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fake_io.datagrams.empty());  // received in the same pass
  EXPECT_TRUE(fake_io.selects.empty());    // and the run went on to the stop
  EXPECT_NE(out.find(" Tun Received: -1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("read from tun"), std::string::npos) << out;
}

TEST_F(Loop, OtherTunErrorEndsTheRun) {
  verbose = 1;
  with_scripts();
  registers();
  fake_queue_read_error(tun, EIO);
  fake_select_ready({tun});
  fake_select_timeout();  // never reached
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" Tun Received: -1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" read from tun\n"), std::string::npos) << out;
  EXPECT_EQ(fake_io.selects.size(), 1u);
  EXPECT_EQ(script_runs(), "up\ndown\n");
  expect_torn_down();
}

TEST_F(Loop, ReceiveErrors) {
  verbose = 1;
  registers();
  for (int err : {EAGAIN, ENETUNREACH, ENETDOWN, EPERM, EINTR}) {
    fake_queue_recv_error(err);
    fake_select_ready({sock});
  }
  fake_queue_recv_error(ECONNREFUSED);
  fake_select_ready({sock});
  fake_select_timeout();  // never reached
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fake_io.selects.size(), 1u);
  std::string want = "recvfrom() " + std::string(strerror(ECONNREFUSED)) + " [" +
                     std::to_string(ECONNREFUSED) + "]\n\n";
  EXPECT_NE(out.find(want), std::string::npos) << out;
  EXPECT_EQ(out.find("recvfrom() " + std::string(strerror(EAGAIN))), std::string::npos) << out;
}

TEST_F(Loop, WaitFailureEndsTheRun) {
  verbose = 1;
  registers();
  fake_select_fail(EBADF);
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" select() \n"), std::string::npos) << out;
  expect_torn_down();
}

TEST_F(Loop, DescriptorBeyondTheSelectLimitIsRefused) {
  verbose = 1;
  close(ctx.tun_fd);
  ctx.tun_fd = FD_SETSIZE + 3;
  registers();
  fake_select_timeout();  // never reached
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_event_loop(&ctx), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fake_io.select_calls.size(), 1u);  // the registration's only
  EXPECT_NE(out.find("beyond the select limit"), std::string::npos) << out;
}

}  // namespace
