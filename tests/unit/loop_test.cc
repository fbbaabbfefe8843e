// The loop's pure pieces (the loop clock, the deadlines, the keepalive, the
// gathering interval) and whole runs of both phases on the in-memory seam,
// on a fake clock.
#include "loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "control.h"
#include "deadline.h"
#include "fake_netio.h"
#include "keepalive.h"
#include "log.h"
#include "media_fixture.h"
#include "status.h"

namespace {

using bytes = std::vector<uint8_t>;

// The clock value at real time t (microseconds since the epoch).
uint32_t clock_at(uint64_t t) {
  return static_cast<uint32_t>(((t / 1000000) << 20) | (t % 1000000));
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

TEST(Deadlines, TheWaitEndsAtTheEarliestSetDeadline) {
  struct row {
    uint64_t frame, resend, status, idle, gather, now, want;
  };
  const row rows[] = {
      {0, 0, 0, 0, 0, 100, UINT64_MAX},  // nothing set: wait for traffic
      {500, 0, 0, 0, 0, 100, 400},
      {500, 300, 900, 0, 0, 100, 200},
      {0, 0, 900, 150, 0, 100, 50},
      {500, 0, 0, 0, 120, 100, 20},
      {0, 2000, 0, 0, 0, 2500, 0},  // already passed: no wait
  };
  for (const row& r : rows) {
    deadline_set d{{r.frame, r.resend, r.status, r.idle, r.gather}};
    EXPECT_EQ(deadline_wait_us(&d, r.now), r.want) << r.now << " " << r.frame;
  }
  deadline_set d{{0, 2000, 0, 0, 0}};
  EXPECT_FALSE(deadline_expired(&d, DL_RESEND, 1999));
  EXPECT_TRUE(deadline_expired(&d, DL_RESEND, 2000));
  EXPECT_FALSE(deadline_expired(&d, DL_FRAME, 5000));  // not set
  EXPECT_NE(deadline_after(UINT64_MAX, 1), 0u);         // 0 would read as none
}

TEST(Keepalive, RequestAfterMaxIdlePlusOneQuietPeriods) {
  keepalive k;
  keepalive_init(&k, 1000000, 24);
  keepalive_start(&k, 0);
  int sent_at = -1;
  for (int t = 1; t <= 25 && sent_at < 0; t++) {
    if (keepalive_tick(&k, static_cast<uint64_t>(t) * 1000000, false)) sent_at = t;
  }
  EXPECT_EQ(sent_at, 25);
  // Traffic starts the count again; ticks while busy count nothing.
  keepalive_traffic(&k, 30000000);
  for (int t = 31; t <= 40; t++) EXPECT_FALSE(keepalive_tick(&k, t * 1000000ull, true));
  for (int t = 41; t <= 64; t++) EXPECT_FALSE(keepalive_tick(&k, t * 1000000ull, false)) << t;
  EXPECT_TRUE(keepalive_tick(&k, 65000000, false));
  // A tick looked at early or late: late ones stay on their grid.
  EXPECT_FALSE(keepalive_tick(&k, 65500000, false));
  EXPECT_FALSE(keepalive_tick(&k, 66300000, false));
  EXPECT_EQ(k.at, 67000000u);
  keepalive off;
  keepalive_init(&off, 0, 0);  // waiting_time 0: no keepalive at all
  keepalive_start(&off, 0);
  EXPECT_EQ(off.at, 0u);
  EXPECT_FALSE(keepalive_tick(&off, 1ull << 40, false));
}

TEST(Gather, IntervalFromTheLastDrain) {
  EXPECT_EQ(gather_interval(0, false, 1000), GATHER_MAX_US);
  EXPECT_EQ(gather_interval(10, true, 1000), 0u);  // capped: read again at once
  EXPECT_EQ(gather_interval(10, false, 5000), GATHER_MAX_US);
  // 250 packets in 5 ms: 125 of them take 2.5 ms.
  EXPECT_EQ(gather_interval(250, false, 5000), 2500u);
}

std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return out;
  int c;
  while ((c = fgetc(f)) != EOF) out.push_back(static_cast<char>(c));
  fclose(f);
  return out;
}

// --- whole runs ------------------------------------------------------------

const bytes kRequest = {0x00, 0x81, 'R', 'E', 'Q', 'U', 'E', 'S', 'T'};
const bytes kAuthorized = {0x00, 0x81, 'A', 'U', 'T', 'H', 'O', 'R', 'I', 'Z', 'E', 'D'};

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (control_fd() < 0) {
      ASSERT_EQ(control_open(), 0);
    }
    control_clear();
    m.cfg.password = nullptr;  // frames travel without XOR
    m.release();
    // Descriptors of its own that fcntl accepts; the fake seam reads and
    // writes in their place.
    tun = open("/dev/null", O_RDWR);
    sock = open("/dev/null", O_RDWR);
    ASSERT_GE(tun, 0);
    ASSERT_GE(sock, 0);
    m.prepare();
    m.ctx.tun.fd = tun;
    m.ctx.link.fd = sock;
    m.ctx.link.slot = m.cfg.mtu;
    m.ctx.link.bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, m.cfg.mtu));
    fake_io.fake_time = true;
    fake_io.now_us = 1000000000;
    char dir[] = "/tmp/corvex_loop_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tmpdir = dir;
  }
  void TearDown() override {
    verbose = 0;
    control_clear();
    close(tun);
    close(sock);
    std::string cmd = "rm -rf " + tmpdir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  void server_says(const bytes& d) { fake_queue_datagram(d, m.server_addr(), m.server_addrlen()); }
  // The registration ends at the first wait.
  void registers() {
    server_says(kAuthorized);
    fake_select_ready({sock});
  }
  static void stop_arrives() {
    fake_select_ready({control_fd()}, [] { control_stop_handler(SIGTERM); });
  }
  // Both phases, as a run has them.
  loop_end run() {
    status_start(&m.ctx, io_monotonic_us());
    const loop_end reg = run_loop(&m.ctx, PHASE_REGISTERING);
    return reg == LOOP_AUTHORIZED ? run_loop(&m.ctx, PHASE_RUNNING) : reg;
  }
  // When the REQUESTs went, in ms after `from`.
  static std::vector<uint64_t> request_times(uint64_t from) {
    std::vector<uint64_t> out;
    for (size_t i = 0; i < fake_io.sent.size(); i++) {
      if (fake_io.sent[i].bytes == kRequest) out.push_back((fake_io.sent_at[i] - from) / 1000);
    }
    return out;
  }

  media_ctx m;
  int tun = -1;
  int sock = -1;
  std::string tmpdir;
};

TEST_F(Loop, StatusRequestsDuringTheRegistrationChangeNothingOnTheWire) {
  const uint64_t t0 = fake_io.now_us;
  m.cfg.pidfile = nullptr;  // no report file to write here
  fake_io.timeout_when_unscripted = true;
  fake_io.interrupt_every_us = 700000;  // SIGUSR1 every 0.7 s
  fake_io.interrupt_from = t0;
  int requests = 0;
  fake_io.on_interrupt = [&] {
    control_status_handler(SIGUSR1);
    // A frame from the server is no answer either; the stop ends the test.
    if (++requests == 3) server_says(cat({0x01, 0x00}, make_rtp({})));
    if (fake_io.now_us - t0 > 7000000) control_stop_handler(SIGTERM);
  };
  ASSERT_EQ(run_loop(&m.ctx, PHASE_REGISTERING), LOOP_STOPPED);
  EXPECT_EQ(request_times(t0), (std::vector<uint64_t>{0, 2000, 4000, 6000}));
  EXPECT_FALSE(session_registered(&m.ctx));
}

TEST_F(Loop, NoNumberOfStatusRequestsEndsARun) {
  // Requests before the run, during the registration and in the run.
  control_status_handler(SIGUSR1);
  control_status_handler(SIGUSR1);
  m.cfg.pidfile = nullptr;
  fake_select_ready({control_fd()}, [] { control_status_handler(SIGUSR1); });
  registers();
  fake_select_ready({control_fd()}, [] { control_status_handler(SIGUSR1); });
  fake_select_ready({control_fd()});  // a stray wake byte means nothing
  stop_arrives();
  EXPECT_EQ(run(), LOOP_STOPPED);
  EXPECT_TRUE(fake_io.selects.empty());
}

TEST_F(Loop, TheStatusFileIsRewrittenWhileTheServerNeverAnswers) {
  const std::string prom = tmpdir + "/corvex.prom";
  m.cfg.status_file = prom.c_str();
  m.cfg.status_interval = 1;
  fake_io.timeout_when_unscripted = true;
  const uint64_t t0 = fake_io.now_us;
  fake_io.interrupt_every_us = 5500000;
  fake_io.interrupt_from = t0;
  fake_io.on_interrupt = [] { control_stop_handler(SIGTERM); };
  status_start(&m.ctx, t0);
  ASSERT_EQ(run_loop(&m.ctx, PHASE_REGISTERING), LOOP_STOPPED);
  // The waits ended at every second for the file (the resends fall on the
  // same seconds) until the stop at 5.5 s.
  std::vector<uint64_t> began;
  for (const fake_select_call& c : fake_io.select_calls) began.push_back((c.at_us - t0) / 1000);
  EXPECT_EQ(began, (std::vector<uint64_t>{0, 1000, 2000, 3000, 4000, 5000}));
  EXPECT_EQ(status_deadline(&m.ctx), t0 + 6000000);
  EXPECT_NE(read_file(prom).find("\ncorvex_registered 0\n"), std::string::npos);
}

// The keepalive of the sample configuration (a REQUEST every 25 s of quiet)
// keeps its pace whatever else ends the waits: the status file's timer or a
// poller's status requests.
TEST_F(Loop, StatusWritesAndRequestsNeverDelayTheKeepalive) {
  const std::string prom = tmpdir + "/corvex.prom";
  m.cfg.waiting_time = 1000000;
  m.cfg.max_idle_cycle = 24;
  m.cfg.pidfile = nullptr;
  keepalive_init(&m.ctx.idle, m.cfg.waiting_time, m.cfg.max_idle_cycle);
  for (uint32_t interval : {0u, 1u, 5u, 10u, 100u}) {
    SCOPED_TRACE(interval);
    fake_netio_reset();
    control_clear();
    fake_io.fake_time = true;
    fake_io.now_us = 1000000000;
    fake_io.timeout_when_unscripted = true;
    m.cfg.status_file = interval == 0 ? nullptr : prom.c_str();
    m.cfg.status_interval = interval;
    // interval 100 stands for a poller: SIGUSR1 every 0.9 s.
    fake_io.interrupt_every_us = interval == 100 ? 900000 : 0;
    const uint64_t t0 = fake_io.now_us;
    fake_io.interrupt_from = t0;
    m.ctx.stats = mux_stats{};
    fake_io.on_interrupt = [] { control_status_handler(SIGUSR1); };
    registers();
    fake_select_timeout();
    status_start(&m.ctx, t0);
    ASSERT_EQ(run_loop(&m.ctx, PHASE_REGISTERING), LOOP_AUTHORIZED);
    fake_io.select_limit = 400;  // about 80 s of waits
    EXPECT_EQ(run_loop(&m.ctx, PHASE_RUNNING), LOOP_FATAL);
    const std::vector<uint64_t> t = request_times(t0);
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[0], 0u);  // the registration's
    for (size_t i = 2; i < t.size(); i++) EXPECT_EQ(t[i] - t[i - 1], 25000u) << i;
    EXPECT_EQ(m.ctx.stats.idle_requests, t.size() - 1);
  }
}

TEST_F(Loop, StopBeforeTheRegistrationSendsNothing) {
  control_stop_handler(SIGTERM);
  EXPECT_EQ(run(), LOOP_STOPPED);
  EXPECT_TRUE(fake_io.sent.empty());
  EXPECT_TRUE(fake_io.select_calls.empty());
}

TEST_F(Loop, HandshakeDuringTheRunKeepsTheDataPathGoing) {
  registers();
  bytes challenge = {0x00, 0x81, 'C', 'H', 'A', 'N', 'L', 'L', 'A', 'N', 'G', 'E'};
  for (int i = 0; i < 20; i++) challenge.push_back(static_cast<uint8_t>(i));
  fake_select_ready({sock}, [&] { server_says(challenge); });
  // While the server holds its decision back: a packet from the TUN device,
  // a frame from the server, and 2 seconds of silence.
  fake_select_ready({tun}, [&] { fake_queue_read(tun, make_rtp({})); });
  const bytes server_packet = make_rtp({.len = 60, .fill = 9});
  fake_select_ready({sock}, [&] { server_says(cat({0x01, 0x00}, server_packet)); });
  fake_io.timeout_when_unscripted = false;
  fake_select_timeout();  // the gathering interval
  fake_select_timeout();  // the frame falls due
  fake_select_timeout();  // the resend
  fake_select_ready({sock}, [&] { server_says(kAuthorized); });
  stop_arrives();
  EXPECT_EQ(run(), LOOP_STOPPED);
  // REQUEST, DIGEST at once, the frame, the same DIGEST again after 2 s, and
  // nothing for the server's frame, whose packet was written.
  ASSERT_EQ(fake_io.sent.size(), 4u);
  EXPECT_EQ(fake_io.sent[1].bytes.size(), 24u);
  EXPECT_EQ(fake_io.sent[2].bytes[1], 0x00);  // a full form of call 1
  EXPECT_EQ(fake_io.sent[3].bytes, fake_io.sent[1].bytes);
  EXPECT_EQ(fake_io.sent_at[3] - fake_io.sent_at[1], REGISTRATION_REPEAT_US);
  ASSERT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(fake_io.written[0].bytes, server_packet);
  EXPECT_EQ(m.ctx.reg.state, REG_AUTHORIZED);
  EXPECT_FALSE(m.ctx.reg.waiting);
}

// Sends of frames after the registration's REQUEST.
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
  m.cfg.mtu = 400;  // two 164-byte items per frame: frames leave as the third comes
  m.release();
  m.prepare();
  m.ctx.tun.fd = tun;
  m.ctx.link.fd = sock;
  m.ctx.link.slot = m.cfg.mtu;
  m.ctx.link.bufs = static_cast<uint8_t*>(calloc(FRAME_BATCH_MAX, m.cfg.mtu));
  const auto packets = burst_of_calls(4);
  // All of them waiting at one wake: one drain.
  registers();
  fake_select_ready({tun}, [&] {
    for (const auto& p : packets) fake_queue_read(tun, p);
  });
  stop_arrives();
  EXPECT_EQ(run(), LOOP_STOPPED);
  const auto in_one_wake = frames_sent();
  const auto batches = fake_io.sendmmsg_calls;

  // One packet per wake.
  free_call_entries(&m.ctx.egress);
  m.ctx.egress.frame_len = 0;
  fake_netio_reset();
  fake_io.fake_time = true;
  control_clear();
  registers();
  for (const auto& p : packets) fake_select_ready({tun}, [&, p] { fake_queue_read(tun, p); });
  stop_arrives();
  EXPECT_EQ(run(), LOOP_STOPPED);

  ASSERT_GE(in_one_wake.size(), 4u);  // 12 items, at most two per frame
  EXPECT_EQ(frames_sent(), in_one_wake);
  // The frames that one drain made full went out in one call.
  EXPECT_EQ(batches, std::vector<size_t>{in_one_wake.size()});
}

TEST_F(Loop, AFrameDueWhilePacketsGatherLeavesOnTime) {
  m.cfg.max_muxing_time = 2000;  // about 2 ms, less than a gathering interval
  registers();
  fake_select_ready({tun}, [&] { fake_queue_read(tun, make_rtp({})); });
  fake_select_timeout();  // packets gather; the frame falls due meanwhile
  size_t sent_by_then = 0;
  fake_select_ready({control_fd()}, [&] {
    sent_by_then = fake_io.sent.size();
    control_stop_handler(SIGTERM);
  });
  EXPECT_EQ(run(), LOOP_STOPPED);
  const auto& waits = fake_io.select_calls;
  ASSERT_EQ(waits.size(), 4u);
  // The gathering wait watched the control pipe alone and ended when the
  // frame fell due; the frame had left before the next wait.
  EXPECT_EQ(waits[2].watched, std::vector<int>{control_fd()});
  ASSERT_TRUE(waits[2].has_timeout);
  EXPECT_LE(waits[2].timeout.tv_sec * 1000000ll + waits[2].timeout.tv_usec, 2000);
  EXPECT_EQ(sent_by_then, 2u);
}

TEST_F(Loop, AStopRequestDuringABurstIsServedAtOnce) {
  registers();
  const auto packets = burst_of_calls(4);
  fake_select_ready({tun}, [&] {
    for (size_t i = 0; i < packets.size(); i++) {
      if (i == 2) {
        fake_queue_read_with(tun, packets[i], [] { control_stop_handler(SIGTERM); });
      } else {
        fake_queue_read(tun, packets[i]);
      }
    }
  });
  fake_select_timeout();  // never reached
  EXPECT_EQ(run(), LOOP_STOPPED);
  EXPECT_EQ(fake_io.reads[tun].size(), packets.size() - 3);  // no read after the stop
  EXPECT_EQ(fake_io.selects.size(), 1u);
}

TEST_F(Loop, StatusIsServedUnderOverload) {
  const std::string pidfile = tmpdir + "/corvex.pid";
  m.cfg.pidfile = pidfile.c_str();
  registers();
  // Every drain reaches its cap, so no wait watches the pipe any more: the
  // request is still served between two drains.
  int reads = 0;
  bool served_before_stop = false;
  for (int i = 0; i < 900; i++) {
    fake_queue_read_with(tun, make_rtp({}), [&] {
      ++reads;
      if (reads == 50) control_status_handler(SIGUSR1);
      if (reads == 700) {
        served_before_stop = !read_file(pidfile + ".status").empty();
        control_stop_handler(SIGTERM);
      }
    });
  }
  fake_select_ready({tun});
  EXPECT_EQ(run(), LOOP_STOPPED);
  EXPECT_EQ(reads, 700);
  EXPECT_TRUE(served_before_stop);
  EXPECT_EQ(fake_io.select_calls.size(), 2u);  // the registration's and the first
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
  EXPECT_EQ(run(), LOOP_STOPPED);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fake_io.datagrams.empty());  // received in the same pass
  EXPECT_TRUE(fake_io.selects.empty());    // and the run went on to the stop
  EXPECT_NE(out.find(" Tun Received: -1\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("read from tun"), std::string::npos) << out;
}

TEST_F(Loop, FatalErrorsEndTheRun) {
  verbose = 1;
  struct {
    std::function<void()> script;
    const char* logged;
  } cases[] = {
      {[&] {
         fake_queue_read_error(tun, EIO);
         fake_select_ready({tun});
       },
       " read from tun\n"},
      {[&] {
         for (int err : {EAGAIN, ENETUNREACH, ENETDOWN, EPERM, EINTR}) {
           fake_queue_recv_error(err);
           fake_select_ready({sock});
         }
         fake_queue_recv_error(ECONNREFUSED);
         fake_select_ready({sock});
       },
       "recvfrom() "},
      {[&] { fake_select_fail(EBADF); }, " select() \n"},
  };
  for (auto& c : cases) {
    fake_netio_reset();
    fake_io.fake_time = true;
    registers();
    c.script();
    fake_select_timeout();  // never reached
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(), LOOP_FATAL) << c.logged;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake_io.selects.size(), 1u) << c.logged;
    EXPECT_NE(out.find(c.logged), std::string::npos) << out;
  }
}


TEST_F(Loop, RegistrationCounts) {
  server_says({0x00, 0x81, 'D', 'E', 'C', 'L', 'I', 'N', 'E', 'D'});
  fake_select_ready({sock});
  registers();
  ASSERT_EQ(run_loop(&m.ctx, PHASE_REGISTERING), LOOP_AUTHORIZED);
  const mux_stats& st = m.ctx.stats;
  EXPECT_EQ(st.registrations[REGS_STARTED], 1u);
  EXPECT_EQ(st.registrations[REGS_DECLINED], 1u);
  EXPECT_EQ(st.registrations[REGS_AUTHORIZED], 1u);
  EXPECT_EQ(st.last_authorized, static_cast<int64_t>(fake_io.now_us / 1000000));
}

// A whole run: the status file before the registration, a refused packet,
// an age flush, an idle REQUEST, a status request served without ending the
// run, and a stop.
TEST_F(Loop, CountsAndWritesOnRequest) {
  const std::string prom = tmpdir + "/corvex.prom";
  const std::string pidfile = tmpdir + "/corvex.pid";
  m.cfg.status_file = prom.c_str();
  m.cfg.pidfile = pidfile.c_str();
  m.cfg.waiting_time = 1000;
  m.cfg.max_muxing_time = 0;
  keepalive_init(&m.ctx.idle, m.cfg.waiting_time, 0);
  std::string at_start;
  server_says(kAuthorized);
  fake_select_ready({sock}, [&] { at_start = read_file(prom); });
  bytes tcp(40, 0);
  tcp[0] = 0x45;
  tcp[3] = 40;
  tcp[9] = 6;
  fake_select_ready({tun}, [&] { fake_queue_read(tun, tcp); });
  fake_select_timeout();  // the gathering interval
  fake_select_ready({tun}, [&] { fake_queue_read(tun, make_rtp({})); });
  fake_select_timeout();  // the frame has left by age; gathering
  fake_select_timeout();  // an empty waiting_time: an idle REQUEST
  fake_select_ready({control_fd()}, [] { control_status_handler(SIGUSR1); });
  stop_arrives();
  ASSERT_EQ(run(), LOOP_STOPPED);

  EXPECT_NE(at_start.find("\ncorvex_registered 0\n"), std::string::npos) << at_start;
  EXPECT_TRUE(fake_io.selects.empty());  // the request was served and the run went on
  const std::string text = read_file(pidfile + ".status");
  EXPECT_EQ(text.rfind("registered\n", 0), 0u) << text;
  EXPECT_NE(text.find("\n1 live call\n  call 1: 10.0.0.10:4000 > 10.0.1.20:5000, payload type 0, "
                      "1 packets, 200 bytes, last 0."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  egress not forwardable: 1\n"), std::string::npos) << text;
  const std::string metrics = read_file(prom);
  // Each REQUEST after the registration's was an idle one, and there was one.
  size_t requests = 0;
  for (const auto& p : fake_io.sent) requests += p.bytes == kRequest ? 1 : 0;
  EXPECT_GE(m.ctx.stats.idle_requests, 1u);
  EXPECT_EQ(m.ctx.stats.idle_requests, requests - 1);
  for (const char* line : {"corvex_registered 1",
                           "corvex_frame_flushes_total{trigger=\"age\"} 1",
                           "corvex_drops_total{direction=\"egress\",reason=\"not_forwardable\"} 1",
                           "corvex_packets_total{direction=\"egress\",kind=\"rtp_full\"} 1",
                           "corvex_registrations_total{result=\"authorized\"} 1"}) {
    EXPECT_NE(metrics.find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }
}

}  // namespace
