// The server watch's course (probes, loss, rounds of the search with their
// back-off) and the resolver's answer layout.
#include "watch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "fake_netio.h"
#include "media_fixture.h"
#include "resolver.h"

namespace {

constexpr uint64_t S = 1000000;

watch_candidate v4(const char* ip, uint16_t port) {
  watch_candidate c{};
  socklen_t len;
  c.addr = fake_ipv4_address(ip, port, &len);
  c.len = len;
  return c;
}

// Runs the watch from `from` to `to` in steps of 100 ms; the times (in
// tenths of a second after `from`) at which it asked for something.
std::vector<std::pair<int, watch_action>> course(server_watch* w, uint64_t from, uint64_t to) {
  std::vector<std::pair<int, watch_action>> out;
  for (uint64_t t = from; t <= to; t += S / 10) {
    int asked = -1;
    const watch_action a = watch_tick(w, t, &asked);
    if (a != WATCH_NOTHING) out.push_back({static_cast<int>((t - from) / (S / 10)), a});
  }
  return out;
}

TEST(ServerWatch, OffWithoutATimeout) {
  server_watch w;
  watch_init(&w, 0, 0);
  watch_sent(&w, 5, S);
  EXPECT_EQ(watch_deadline(&w), 0u);
  EXPECT_TRUE(course(&w, S, 600 * S).empty());
}

TEST(ServerWatch, SendingUnheardIsProbedThenLost) {
  server_watch w;
  watch_init(&w, 10, 0);
  EXPECT_EQ(watch_deadline(&w), 0u);  // nothing sent: nothing to ask
  watch_sent(&w, 1, 5 * S);
  watch_sent(&w, 9, 7 * S);  // the clock runs from the first send
  EXPECT_EQ(watch_deadline(&w), 15 * S);
  using p = std::pair<int, watch_action>;
  EXPECT_EQ(course(&w, 5 * S, 22 * S),
            (std::vector<p>{{100, WATCH_PROBE}, {120, WATCH_PROBE}, {140, WATCH_PROBE},
                            {160, WATCH_LOST}}));
  EXPECT_EQ(w.lost_total, 1u);
  EXPECT_TRUE(w.resolving);
}

TEST(ServerWatch, AnyAnswerKeepsEverythingAsItIs) {
  server_watch w;
  watch_init(&w, 10, 0);
  watch_sent(&w, 1, S);
  int asked;
  EXPECT_EQ(watch_tick(&w, 11 * S, &asked), WATCH_PROBE);
  watch_heard(&w, 12 * S);
  EXPECT_EQ(w.state, WATCH_ALIVE);
  EXPECT_EQ(watch_deadline(&w), 0u);
  EXPECT_EQ(w.lost_total, 0u);
  // Heard now and then while sending: never a probe.
  for (uint64_t t = 12; t < 100; t++) {
    watch_sent(&w, t, t * S);
    if (t % 9 == 0) watch_heard(&w, t * S);
    EXPECT_EQ(watch_tick(&w, t * S, &asked), WATCH_NOTHING) << t;
  }
}

TEST(ServerWatch, RoundsAskEveryAddressThenPauseDoublingToAMinute) {
  server_watch w;
  watch_init(&w, 1, 0);
  watch_sent(&w, 1, S);
  int asked = -1;
  for (uint64_t t = 2; t <= 8; t += 2) (void)watch_tick(&w, t * S, &asked);
  ASSERT_EQ(w.state, WATCH_SEARCHING);
  const watch_candidate found[2] = {v4("192.0.2.1", 42000), v4("192.0.2.2", 42000)};
  const watch_candidate current = v4("192.0.2.9", 42000);
  const uint64_t t0 = 9 * S;
  watch_resolved(&w, found, 2, reinterpret_cast<const sockaddr*>(&current.addr), current.len, t0);
  EXPECT_EQ(watch_candidate_index(&w, reinterpret_cast<const sockaddr*>(&found[1].addr),
                                  found[1].len),
            1);
  EXPECT_EQ(watch_tick(&w, t0, &asked), WATCH_ASK);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(watch_tick(&w, t0 + 2 * S, &asked), WATCH_ASK);
  EXPECT_EQ(asked, 1);
  // Unanswered rounds: the pauses between them double up to a minute.
  std::vector<uint64_t> resolves;
  for (uint64_t t = t0 + 2 * S; t < t0 + 400 * S; t += S / 10) {
    const watch_action a = watch_tick(&w, t, &asked);
    if (a == WATCH_RESOLVE) {
      resolves.push_back((t - t0) / S);
      watch_resolved(&w, found, 1, nullptr, 0, t);  // one address this time
    }
  }
  ASSERT_GE(resolves.size(), 7u);
  std::vector<uint64_t> gaps;
  for (size_t i = 1; i < resolves.size(); i++) gaps.push_back(resolves[i] - resolves[i - 1]);
  // Each round: its one REQUEST, 2 s for the answer, then the pause.
  EXPECT_EQ(std::vector<uint64_t>(gaps.begin(), gaps.begin() + 6),
            (std::vector<uint64_t>{2 + 4, 2 + 8, 2 + 16, 2 + 32, 2 + 60, 2 + 60}));
  // An answer from the server ends the search.
  watch_found(&w, t0 + 500 * S);
  EXPECT_EQ(w.state, WATCH_ALIVE);
  EXPECT_EQ(watch_candidate_index(&w, reinterpret_cast<const sockaddr*>(&found[0].addr),
                                  found[0].len),
            -1);
}

TEST(ServerWatch, AResolutionThatGivesNothingAsksTheAddressKnown) {
  server_watch w;
  watch_init(&w, 1, 0);
  watch_sent(&w, 1, S);
  int asked = -1;
  for (uint64_t t = 2; t <= 8; t += 2) (void)watch_tick(&w, t * S, &asked);
  const watch_candidate current = v4("192.0.2.9", 42000);
  watch_resolved(&w, nullptr, 0, reinterpret_cast<const sockaddr*>(&current.addr), current.len,
                 9 * S);
  EXPECT_EQ(watch_tick(&w, 9 * S, &asked), WATCH_ASK);
  EXPECT_EQ(memcmp(&w.candidates[asked].addr, &current.addr, current.len), 0);
}

TEST(Resolver, AnswerLayout) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(42000);
  a.sin_addr.s_addr = htonl(0xC0000201);
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  b.sin6_port = htons(42000);
  b.sin6_addr.s6_addr[15] = 1;
  std::vector<uint8_t> buf = {4, sizeof a};
  const auto* pa = reinterpret_cast<const uint8_t*>(&a);
  buf.insert(buf.end(), pa, pa + sizeof a);
  buf.push_back(6);
  buf.push_back(sizeof b);
  const auto* pb = reinterpret_cast<const uint8_t*>(&b);
  buf.insert(buf.end(), pb, pb + sizeof b);
  watch_candidate out[WATCH_CANDIDATES];
  ASSERT_EQ(resolver_decode(buf.data(), buf.size(), out, WATCH_CANDIDATES), 2);
  EXPECT_EQ(out[0].len, sizeof a);
  EXPECT_EQ(memcmp(&out[0].addr, &a, sizeof a), 0);
  EXPECT_EQ(out[1].addr.ss_family, AF_INET6);
  // Cut short, a wrong length or an unknown family: what came before counts.
  EXPECT_EQ(resolver_decode(buf.data(), buf.size() - 1, out, WATCH_CANDIDATES), 1);
  buf[1] = 12;
  EXPECT_EQ(resolver_decode(buf.data(), buf.size(), out, WATCH_CANDIDATES), 0);
  EXPECT_EQ(resolver_decode(buf.data(), buf.size(), out, 0), 0);
}

// The session: a control message from an address the search asked makes it
// the server's; anything else from there stays foreign.
TEST(ServerWatch, AnAnswerFromAnAddressAskedMovesTheServer) {
  media_ctx m;
  m.cfg.server_timeout = 1;
  watch_init(&m.ctx.watch, 1, 0);
  watch_sent(&m.ctx.watch, 1, S);
  int asked;
  for (uint64_t t = 2; t <= 8; t += 2) (void)watch_tick(&m.ctx.watch, t * S, &asked);
  const watch_candidate moved = v4("127.0.0.2", 42000);
  watch_resolved(&m.ctx.watch, &moved, 1, m.server_addr(), m.server_addrlen(), 9 * S);
  (void)watch_tick(&m.ctx.watch, 9 * S, &asked);
  const sockaddr* from = reinterpret_cast<const sockaddr*>(&moved.addr);
  uint8_t frame[] = {0x01, 0x14, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  ASSERT_EQ(session_datagram(&m.ctx, frame, sizeof frame, from, moved.len, 9 * S, 0), 0);
  EXPECT_EQ(m.ctx.stats.drops[DIR_INGRESS][DROP_FOREIGN_SOURCE], 1u);
  uint8_t challenge[12 + 20] = {0x00, 0x81, 'C', 'H', 'A', 'N', 'L', 'L', 'A', 'N', 'G', 'E'};
  ASSERT_EQ(session_datagram(&m.ctx, challenge, sizeof challenge, from, moved.len, 10 * S, 0), 0);
  EXPECT_TRUE(link_is_server(&m.ctx.link, from, moved.len));
  EXPECT_EQ(m.ctx.watch.state, WATCH_ALIVE);
  ASSERT_EQ(fake_io.sent.size(), 1u);  // the DIGEST, to the new address
  EXPECT_EQ(fake_io.sent[0].bytes.size(), 24u);
  EXPECT_EQ(fake_io.sent_to[0], std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&moved.addr),
                                                     reinterpret_cast<const uint8_t*>(&moved.addr) +
                                                         moved.len));
}

}  // namespace
