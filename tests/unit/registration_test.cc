#include "registration.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_netio.h"
#include "log.h"
#include "md5.h"
#include "status.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr int PIPE_R = 5;
constexpr int PIPE_W = 6;
constexpr int SOCK = 7;

bytes text(const char* s) { return bytes(s, s + strlen(s)); }

bytes control(const char* keyword, const bytes& payload = {}) {
  bytes b = {0x00, 0x81};
  bytes k = text(keyword);
  b.insert(b.end(), k.begin(), k.end());
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

bytes from_hex(const char* h) {
  bytes out;
  for (size_t i = 0; h[i] != '\0' && h[i + 1] != '\0'; i += 2) {
    char pair[3] = {h[i], h[i + 1], 0};
    out.push_back(static_cast<uint8_t>(strtoul(pair, nullptr, 16)));
  }
  return out;
}

const bytes kRequest = control("REQUEST");

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_netio_reset();
    memset(&ctx, 0, sizeof ctx);
    memset(&cfg, 0, sizeof cfg);
    cfg.password = "secret";
    ctx.config = &cfg;
    ctx.password_len = 6;
    ctx.ctl_pipe[0] = PIPE_R;
    ctx.ctl_pipe[1] = PIPE_W;
    ctx.sock_fd = SOCK;
    ctx.server_addr = reinterpret_cast<sockaddr*>(&ctx.server_addr_storage);
    socklen_t len;
    ctx.server_addr_storage = fake_ipv4_address("192.0.2.1", 42000, &len);
    ctx.server_addrlen = len;
    rx.assign(RX_BUF_SIZE, 0);
    tx.assign(TX_BUF_SIZE, 0);
    ctx.rx_buf = rx.data();
    ctx.tx_buf = tx.data();
    ctx.running = 1;
    ctx.reg_state = REG_NONE;
  }

  void TearDown() override { verbose = 0; }

  // The server answers with `dgram` in the next wait.
  void server_says(const bytes& dgram) {
    sockaddr_storage a = ctx.server_addr_storage;
    fake_queue_datagram(dgram, reinterpret_cast<sockaddr*>(&a), ctx.server_addrlen);
    fake_select_ready({SOCK});
  }

  // A stop request arrives in the next wait.
  void stop_arrives() {
    fake_queue_read(PIPE_R, {0});
    fake_select_ready({PIPE_R});
  }

  bytes sent(size_t i) const { return fake_io.sent.at(i).bytes; }

  mux_ctx ctx;
  mux_config cfg;
  bytes rx;
  bytes tx;
};

bytes digest_message(const bytes& digest) { return control("DIGEST", digest); }

bytes challenge_of(size_t n) {
  bytes c(n);
  for (size_t i = 0; i < n; i++) c[i] = static_cast<uint8_t>(i * 7 + 3);
  return c;
}

// MD5 of challenge, password, password, ":", challenge, joined first and
// hashed in one go, not in the three pieces the exchange feeds.
bytes expected_digest(const bytes& challenge, const char* password) {
  bytes all = challenge;
  bytes pw = text(password);
  all.insert(all.end(), pw.begin(), pw.end());
  all.insert(all.end(), pw.begin(), pw.end());
  all.push_back(':');
  all.insert(all.end(), challenge.begin(), challenge.end());
  md5_context c;
  md5_init(&c);
  md5_update(&c, all.data(), all.size());
  bytes d(16);
  md5_final(d.data(), &c);
  return d;
}

TEST(ControlKeywords, MatchByPrefixInIndexOrder) {
  auto match = [](const char* s) {
    return match_control_keyword(reinterpret_cast<const uint8_t*>(s), strlen(s));
  };
  EXPECT_EQ(match("REQUEST"), KW_REQUEST);
  EXPECT_EQ(match("CHANLLANGEabc"), KW_CHANLLANGE);
  EXPECT_EQ(match("DIGEST"), KW_DIGEST);
  EXPECT_EQ(match("DECLINED"), KW_DECLINED);
  EXPECT_EQ(match("AUTHORIZED"), KW_AUTHORIZED);
  EXPECT_EQ(match("AUTHORIZED and more"), KW_AUTHORIZED);
  EXPECT_EQ(match("AUTHORIZE"), -1);  // only the first nine characters
  EXPECT_EQ(match("MAY BE SERVER RESTARTED!"), -1);  // never tried
  EXPECT_EQ(match("request"), -1);
  EXPECT_EQ(match(""), -1);
}

TEST(ControlKeywords, ChallengeLengthIsModulo256) {
  EXPECT_EQ(challenge_length(26), 14);
  EXPECT_EQ(challenge_length(283), 15);
  EXPECT_EQ(challenge_length(12), 0);
  EXPECT_FALSE(challenge_usable(14));
  EXPECT_TRUE(challenge_usable(15));
  EXPECT_TRUE(challenge_usable(63));
  EXPECT_FALSE(challenge_usable(64));
}

// Published figures: a 20-byte challenge 0x40..0x53 and password "secret".
TEST(RegistrationDigest, KnownValue) {
  bytes challenge;
  for (int i = 0; i < 20; i++) challenge.push_back(static_cast<uint8_t>(0x40 + i));
  uint8_t d[16];
  ASSERT_EQ(compute_registration_digest(challenge.data(), 20, "secret", 6, d), 0);
  EXPECT_EQ(bytes(d, d + 16), from_hex("4528079614c30164068a1c9dd539d28e"));
}

TEST(RegistrationDigest, WithoutPasswordIsChallengeColonChallenge) {
  bytes challenge = text("0123456789abcdefghij");
  uint8_t d[16];
  ASSERT_EQ(compute_registration_digest(challenge.data(), 20, nullptr, 0, d), 0);
  EXPECT_EQ(bytes(d, d + 16), from_hex("52799ea09765a134693f77fab37e886b"));
}

TEST_F(Registration, SendsRequestAtOnceAndAgainAfterEachSilentWait) {
  fake_select_timeout();
  fake_select_timeout();
  stop_arrives();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);

  ASSERT_EQ(fake_io.sent.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(sent(i), kRequest);
    EXPECT_EQ(fake_io.sent[i].fd, SOCK);
    const auto* server = reinterpret_cast<const uint8_t*>(&ctx.server_addr_storage);
    EXPECT_EQ(fake_io.sent_to[i], bytes(server, server + ctx.server_addrlen));
  }
  ASSERT_EQ(fake_io.select_calls.size(), 3u);
  for (const auto& call : fake_io.select_calls) {
    ASSERT_TRUE(call.has_timeout);
    EXPECT_EQ(call.timeout.tv_sec, 2);
    EXPECT_EQ(call.timeout.tv_usec, 0);
    EXPECT_EQ(call.watched, (std::vector<int>{PIPE_R, SOCK}));
  }
  // The wake byte was taken out of the pipe.
  EXPECT_EQ(fake_io.read_calls, std::vector<int>{PIPE_R});
}

TEST_F(Registration, AnswersChallengeWithDigestAndEndsOnAuthorized) {
  bytes challenge;
  for (int i = 0; i < 20; i++) challenge.push_back(static_cast<uint8_t>(0x40 + i));
  server_says(control("CHANLLANGE", challenge));
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);

  ASSERT_EQ(fake_io.sent.size(), 2u);
  EXPECT_EQ(sent(0), kRequest);
  bytes want = digest_message(from_hex("4528079614c30164068a1c9dd539d28e"));
  ASSERT_EQ(want.size(), 24u);
  EXPECT_EQ(sent(1), want);
  EXPECT_EQ(ctx.reg_state, REG_AUTHORIZED);
  EXPECT_EQ(bytes(ctx.digest, ctx.digest + 16), from_hex("4528079614c30164068a1c9dd539d28e"));
}

TEST_F(Registration, ChallengeLengthLimits) {
  struct {
    size_t dgram_len;
    bool answered;
  } cases[] = {{26, false}, {27, true}, {75, true}, {76, false}};
  for (const auto& c : cases) {
    SetUp();
    bytes challenge = challenge_of(c.dgram_len - 12);
    server_says(control("CHANLLANGE", challenge));
    server_says(control("AUTHORIZED"));
    ASSERT_EQ(do_registration(&ctx, nullptr, 0), 0) << c.dgram_len;
    ASSERT_EQ(fake_io.sent.size(), 2u) << c.dgram_len;
    if (c.answered) {
      EXPECT_EQ(sent(1), digest_message(expected_digest(challenge, "secret"))) << c.dgram_len;
    } else {
      // No digest, and the REQUEST follows at once, without a wait between.
      EXPECT_EQ(sent(1), kRequest) << c.dgram_len;
      EXPECT_EQ(fake_io.select_calls.size(), 2u) << c.dgram_len;
    }
  }
}

TEST_F(Registration, LongChallengeCountsModulo256) {
  bytes challenge = challenge_of(283 - 12);
  server_says(control("CHANLLANGE", challenge));
  server_says(control("AUTHORIZED"));
  ASSERT_EQ(do_registration(&ctx, nullptr, 0), 0);
  ASSERT_EQ(fake_io.sent.size(), 2u);
  // L = 271 mod 256 = 15: the digest covers the first 15 challenge bytes.
  EXPECT_EQ(sent(1), digest_message(from_hex("d577a2e621ea221758613fcb3391fdbc")));
}

TEST_F(Registration, AuthorizedBeforeAnyChallenge) {
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  EXPECT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(ctx.reg_state, REG_AUTHORIZED);
}

TEST_F(Registration, DatagramsFromAnotherAddressAreIgnored) {
  socklen_t len;
  sockaddr_storage other_host = fake_ipv4_address("192.0.2.2", 42000, &len);
  fake_queue_datagram(control("AUTHORIZED"), reinterpret_cast<sockaddr*>(&other_host), len);
  fake_select_ready({SOCK});
  sockaddr_storage other_port = fake_ipv4_address("192.0.2.1", 42001, &len);
  fake_queue_datagram(control("AUTHORIZED"), reinterpret_cast<sockaddr*>(&other_port), len);
  fake_select_ready({SOCK});
  // Same bytes, but a longer address.
  sockaddr_storage longer = ctx.server_addr_storage;
  fake_queue_datagram(control("AUTHORIZED"), reinterpret_cast<sockaddr*>(&longer),
                      ctx.server_addrlen + 1);
  fake_select_ready({SOCK});
  for (int i = 0; i < 1000; i++) {
    fake_queue_datagram({0x55}, reinterpret_cast<sockaddr*>(&other_host), len);
    fake_select_ready({SOCK});
  }
  // The server's own message that changes nothing is still answered at once.
  server_says(control("MAY BE SERVER RESTARTED!"));
  stop_arrives();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  EXPECT_EQ(ctx.reg_state, REG_NONE);
  // No foreign datagram ends the wait: they draw no REQUEST, and the waits
  // after them only run out what is left of the 2 seconds.
  ASSERT_EQ(fake_io.sent.size(), 2u);
  for (size_t i = 0; i < 2; i++) EXPECT_EQ(sent(i), kRequest);
  ASSERT_EQ(fake_io.select_calls.size(), 1005u);
  EXPECT_EQ(fake_io.select_calls[0].timeout.tv_sec, 2);
  EXPECT_EQ(fake_io.select_calls[0].timeout.tv_usec, 0);
  for (size_t i = 1; i < 1004; i++) {
    const timeval& t = fake_io.select_calls[i].timeout;
    ASSERT_LE(t.tv_sec * 1000000ll + t.tv_usec, 2000000ll) << i;
  }
}

TEST_F(Registration, StatusRequestIsNoAnswer) {
  char dir[] = "/tmp/corvex_reg_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string pidfile = std::string(dir) + "/corvex.pid";
  cfg.pidfile = pidfile.c_str();
  fake_queue_read(PIPE_R, {0});
  fake_select_ready({PIPE_R}, [] { status_signal_handler(SIGUSR1); });
  stop_arrives();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  // The request is served, but sends nothing: the wait goes on for the rest
  // of its 2 seconds.
  EXPECT_EQ(access((pidfile + ".status").c_str(), F_OK), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(sent(0), kRequest);
  ASSERT_EQ(fake_io.select_calls.size(), 2u);
  const timeval& t = fake_io.select_calls[1].timeout;
  EXPECT_LE(t.tv_sec * 1000000ll + t.tv_usec, 2000000ll);
  std::string cmd = std::string("rm -rf ") + dir;
  ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST_F(Registration, MalformedAndUnknownControlMessagesChangeNothing) {
  server_says({0x00, 0x81});                          // too short
  server_says({0x00, 0x00, 'A', 'U', 'T', 'H'});      // not a control message
  server_says(control("AUTHORIZE"));                  // keyword cut short
  server_says(control("MAY BE SERVER RESTARTED!"));   // not in the table
  server_says(control("REQUEST"));                    // the client's own words
  server_says(control("DIGEST", bytes(16, 1)));
  server_says({});                                    // empty datagram
  stop_arrives();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  EXPECT_EQ(fake_io.sent.size(), 8u);
  for (const auto& p : fake_io.sent) EXPECT_EQ(p.bytes, kRequest);
}

TEST_F(Registration, DeclinedStartsOver) {
  bytes c1 = challenge_of(20);
  server_says(control("CHANLLANGE", c1));
  server_says(control("DECLINED", text("x")));
  bytes c2 = challenge_of(32);
  c2[0] = 0xEE;
  server_says(control("CHANLLANGE", c2));
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  ASSERT_EQ(fake_io.sent.size(), 4u);
  EXPECT_EQ(sent(0), kRequest);
  EXPECT_EQ(sent(1), digest_message(expected_digest(c1, "secret")));
  EXPECT_EQ(sent(2), kRequest);
  EXPECT_EQ(sent(3), digest_message(expected_digest(c2, "secret")));
}

TEST_F(Registration, DigestRepeatedUnchangedOnSilenceAndRenewedOnNewChallenge) {
  bytes c1 = challenge_of(16);
  server_says(control("CHANLLANGE", c1));
  fake_select_timeout();
  bytes c2 = challenge_of(40);
  server_says(control("CHANLLANGE", c2));
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  ASSERT_EQ(fake_io.sent.size(), 4u);
  bytes d1 = digest_message(expected_digest(c1, "secret"));
  EXPECT_EQ(sent(1), d1);
  EXPECT_EQ(sent(2), d1);
  EXPECT_EQ(sent(3), digest_message(expected_digest(c2, "secret")));
}

TEST_F(Registration, StartsFromAChallengeGivenByTheCaller) {
  bytes c = challenge_of(30);
  memcpy(ctx.rx_buf + 12, c.data(), c.size());
  ctx.reg_state = REG_CHALLENGED;
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, ctx.rx_buf + 12, 30), 0);
  ASSERT_EQ(fake_io.sent.size(), 1u);
  EXPECT_EQ(sent(0), digest_message(expected_digest(c, "secret")));
}

TEST_F(Registration, PasswordLengthIsTheHeldLength) {
  // Only password_len bytes of the password enter the digest.
  cfg.password = "secretXYZ";
  ctx.password_len = 6;
  bytes c = challenge_of(20);
  server_says(control("CHANLLANGE", c));
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  EXPECT_EQ(sent(1), digest_message(expected_digest(c, "secret")));
}

TEST_F(Registration, PipeStopWinsOverAReadySocket) {
  server_says(control("AUTHORIZED"));
  fake_io.selects.clear();
  fake_queue_read(PIPE_R, {0});
  fake_select_ready({PIPE_R, SOCK});
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  EXPECT_EQ(fake_io.datagrams.size(), 1u);  // the socket was not read
  EXPECT_NE(ctx.reg_state, REG_AUTHORIZED);
}

TEST_F(Registration, StopThroughRunningEndsThePassWithZero) {
  // The signal interrupts the wait: the byte stays in the pipe.
  fake_select_fail(EINTR, [this] { EXPECT_EQ(request_stop(&ctx), 0); });
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  EXPECT_EQ(ctx.running, 0);
  ASSERT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(fake_io.written[0].fd, PIPE_W);
  EXPECT_EQ(fake_io.written[0].bytes, bytes{0});
  EXPECT_TRUE(fake_io.read_calls.empty());
}

TEST_F(Registration, InterruptedWaitStartsTheNextPass) {
  fake_select_fail(EINTR);
  server_says(control("AUTHORIZED"));
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  EXPECT_EQ(fake_io.sent.size(), 2u);
}

TEST_F(Registration, TransientFailuresAreRidden) {
  for (int err : {EAGAIN, ENETUNREACH, ENETDOWN, EPERM, EINTR, EMSGSIZE}) {
    SetUp();
    fake_io.send_errnos = {err};
    fake_queue_recv_error(err == EMSGSIZE ? EAGAIN : err);
    fake_select_ready({SOCK});
    server_says(control("AUTHORIZED"));
    EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0) << err;
    // The lost REQUEST is waited on like a sent one; the lost receive ends
    // the pass, and the next pass asks again.
    EXPECT_EQ(fake_io.send_attempts, 2) << err;
    EXPECT_EQ(fake_io.sent.size(), 1u) << err;
  }
}

TEST_F(Registration, RequestSendFailureEndsTheExchange) {
  verbose = 1;
  fake_io.send_errno = EBADF;
  testing::internal::CaptureStdout();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Error in socket_send() " + std::string(strerror(EBADF)) + " [" +
                     std::to_string(EBADF) + "]\n\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("send request to server failed!!!\n"), std::string::npos) << out;
  EXPECT_TRUE(fake_io.select_calls.empty());
}

TEST_F(Registration, FirstDigestSendFailureFallsBackToRequestAtOnce) {
  server_says(control("CHANLLANGE", challenge_of(20)));
  server_says(control("AUTHORIZED"));
  fake_io.send_errnos = {0, ECONNREFUSED};
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), 0);
  ASSERT_EQ(fake_io.sent.size(), 2u);
  EXPECT_EQ(sent(1), kRequest);
  EXPECT_EQ(fake_io.select_calls.size(), 2u);
}

TEST_F(Registration, DigestResendFailureEndsTheExchange) {
  verbose = 1;
  server_says(control("CHANLLANGE", challenge_of(20)));
  fake_select_timeout();
  fake_io.send_errnos = {0, 0, ECONNREFUSED};
  testing::internal::CaptureStdout();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("digest send error!!"), std::string::npos) << out;
}

TEST_F(Registration, WaitAndReceiveFailuresEndTheExchange) {
  verbose = 1;
  fake_select_fail(EBADF);
  testing::internal::CaptureStdout();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("select() in do_registration\n"), std::string::npos) << out;

  SetUp();
  verbose = 1;
  fake_queue_recv_error(ECONNREFUSED);
  fake_select_ready({SOCK});
  testing::internal::CaptureStdout();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("recvfrom() in do_registration " + std::string(strerror(ECONNREFUSED)) +
                     " [" + std::to_string(ECONNREFUSED) + "]\n\n"),
            std::string::npos)
      << out;
}

TEST_F(Registration, SilentWithoutVerbose) {
  fake_io.send_errno = EBADF;
  testing::internal::CaptureStdout();
  EXPECT_EQ(do_registration(&ctx, nullptr, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Registration, SocketSendTransientSet) {
  build_request(&ctx);
  for (int err : {EAGAIN, EWOULDBLOCK, ENETUNREACH, ENETDOWN, EPERM, EINTR, EMSGSIZE}) {
    fake_io.send_errno = err;
    EXPECT_EQ(socket_send(&ctx), 0) << err;
  }
  for (int err : {ECONNREFUSED, EBADF, ENOBUFS, EHOSTUNREACH}) {
    fake_io.send_errno = err;
    EXPECT_EQ(socket_send(&ctx), -1) << err;
  }
  EXPECT_TRUE(fake_io.sent.empty());
}

TEST(StopRequest, WritesOneByteOnlyOnce) {
  fake_netio_reset();
  mux_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  ctx.ctl_pipe[1] = PIPE_W;
  EXPECT_EQ(request_stop(&ctx), -1);  // not running: no wake byte, only kept
  EXPECT_TRUE(fake_io.written.empty());
  EXPECT_TRUE(take_pending_stop());
  ctx.running = 1;
  EXPECT_EQ(request_stop(&ctx), 0);
  EXPECT_EQ(request_stop(&ctx), -1);
  EXPECT_EQ(ctx.running, 0);
  ASSERT_EQ(fake_io.written.size(), 1u);
  EXPECT_EQ(fake_io.written[0].bytes, bytes{0});

  // A failed write still clears the flag.
  fake_netio_reset();
  ctx.running = 1;
  fake_io.write_errno = EBADF;
  EXPECT_EQ(request_stop(&ctx), -1);
  EXPECT_EQ(ctx.running, 0);
  (void)take_pending_stop();  // leave no stop behind for later tests
}

TEST(ServerAddress, WholeAddressAndLengthMustMatch) {
  mux_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  ctx.server_addr = reinterpret_cast<sockaddr*>(&ctx.server_addr_storage);
  socklen_t len;
  ctx.server_addr_storage = fake_ipv4_address("192.0.2.1", 42000, &len);
  ctx.server_addrlen = len;
  sockaddr_storage same = fake_ipv4_address("192.0.2.1", 42000, &len);
  EXPECT_TRUE(is_server_address(&ctx, reinterpret_cast<sockaddr*>(&same), len));
  EXPECT_FALSE(is_server_address(&ctx, reinterpret_cast<sockaddr*>(&same), len - 1));
  sockaddr_storage port = fake_ipv4_address("192.0.2.1", 42001, &len);
  EXPECT_FALSE(is_server_address(&ctx, reinterpret_cast<sockaddr*>(&port), len));
  sockaddr_storage host = fake_ipv4_address("192.0.2.9", 42000, &len);
  EXPECT_FALSE(is_server_address(&ctx, reinterpret_cast<sockaddr*>(&host), len));
}

}  // namespace
