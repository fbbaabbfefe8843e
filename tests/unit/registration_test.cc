// The registration machine's transitions, the control keywords and the
// digest, and the server-address check of the link.
#include "registration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_netio.h"
#include "link.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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

// The 20-byte challenge 0x40..0x53, whose digest with "secret" is known.
bytes known_challenge() {
  bytes c;
  for (int i = 0; i < 20; i++) c.push_back(static_cast<uint8_t>(0x40 + i));
  return c;
}
const char* const kKnownDigest = "4528079614c30164068a1c9dd539d28e";

constexpr uint64_t T0 = 5000000;

struct machine {
  reg_machine m;
  explicit machine(const char* pw = "secret", uint8_t len = 6) { reg_init(&m, pw, len); }
  bytes msg() const { return bytes(m.msg, m.msg + m.msg_len); }
  unsigned on(const bytes& d, uint64_t now = T0) { return reg_on_control(&m, d.data(), d.size(), now); }
};

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

TEST(RegistrationMachine, RequestAtStartAndAgainEveryTwoSecondsOfSilence) {
  machine r;
  EXPECT_EQ(reg_deadline(&r.m), 0u);
  EXPECT_EQ(reg_begin(&r.m, T0), REG_EV_STARTED | REG_EV_SEND);
  EXPECT_EQ(r.msg(), control("REQUEST"));
  EXPECT_EQ(reg_deadline(&r.m), T0 + REGISTRATION_REPEAT_US);
  EXPECT_EQ(reg_on_timer(&r.m, T0 + REGISTRATION_REPEAT_US - 1), 0u);
  EXPECT_EQ(reg_on_timer(&r.m, T0 + REGISTRATION_REPEAT_US), unsigned{REG_EV_SEND});
  EXPECT_EQ(r.msg(), control("REQUEST"));
  EXPECT_EQ(reg_deadline(&r.m), T0 + 2 * REGISTRATION_REPEAT_US);
}

TEST(RegistrationMachine, ChallengeDigestAuthorized) {
  machine r;
  reg_begin(&r.m, T0);
  // Already waiting: no second start; the calls send full forms.
  EXPECT_EQ(r.on(control("CHANLLANGE", known_challenge()), T0 + 10),
            REG_EV_REFRESH | REG_EV_SEND);
  EXPECT_EQ(r.m.state, REG_DIGEST_SENT);
  EXPECT_EQ(r.msg(), cat(control("DIGEST"), from_hex(kKnownDigest)));
  EXPECT_EQ(reg_deadline(&r.m), T0 + 10 + REGISTRATION_REPEAT_US);
  // Silence: the same bytes again.
  EXPECT_EQ(reg_on_timer(&r.m, T0 + 10 + REGISTRATION_REPEAT_US), unsigned{REG_EV_SEND});
  EXPECT_EQ(r.msg(), cat(control("DIGEST"), from_hex(kKnownDigest)));
  EXPECT_EQ(r.on(control("AUTHORIZED")), REG_EV_AUTHORIZED | REG_EV_REFRESH);
  EXPECT_EQ(r.m.state, REG_AUTHORIZED);
  EXPECT_EQ(reg_deadline(&r.m), 0u);
  EXPECT_EQ(reg_on_timer(&r.m, T0 + 60000000), 0u);
  // Another AUTHORIZED with nothing waiting: counted, nothing else.
  EXPECT_EQ(r.on(control("AUTHORIZED and more")), unsigned{REG_EV_AUTHORIZED});
}

TEST(RegistrationMachine, ChallengeLengthLimitsAndModulo256) {
  for (size_t len : {14u, 64u}) {
    machine r;
    EXPECT_EQ(r.on(control("CHANLLANGE", bytes(len, 'c'))),
              REG_EV_STARTED | REG_EV_REFRESH | REG_EV_SEND) << len;
    EXPECT_EQ(r.msg(), control("REQUEST")) << len;  // unusable: REQUEST at once
    EXPECT_EQ(r.m.state, REG_NONE);
  }
  for (size_t len : {15u, 63u, 256u + 15u}) {
    machine r;
    r.on(control("CHANLLANGE", bytes(len, 'c')));
    EXPECT_EQ(r.m.state, REG_DIGEST_SENT) << len;
    uint8_t d[16];
    compute_registration_digest(bytes(len, 'c').data(), static_cast<uint8_t>(len), "secret", 6, d);
    EXPECT_EQ(r.msg(), cat(control("DIGEST"), bytes(d, d + 16))) << len;
  }
}

TEST(RegistrationMachine, NewChallengeRenewsTheDigestAndDeclineStartsOver) {
  machine r;
  r.on(control("CHANLLANGE", known_challenge()));
  const bytes first = r.msg();
  bytes other = known_challenge();
  other[0] ^= 1;
  r.on(control("CHANLLANGE", other));
  EXPECT_NE(r.msg(), first);
  EXPECT_EQ(r.on(control("DECLINED")), REG_EV_DECLINED | REG_EV_SEND);
  EXPECT_EQ(r.msg(), control("REQUEST"));
  EXPECT_EQ(r.m.state, REG_NONE);
  machine idle;
  EXPECT_EQ(idle.on(control("DECLINED")), REG_EV_STARTED | REG_EV_DECLINED | REG_EV_SEND);
}

TEST(RegistrationMachine, MessagesThatChangeNothingResendOnlyWhileWaiting) {
  machine r;
  for (const bytes& d : {control("REQUEST"), control("DIGEST"), control("MAY BE SERVER RESTARTED!"),
                         control("AUTHO"), bytes{0x00, 0x81}}) {
    EXPECT_EQ(r.on(d), 0u);
  }
  EXPECT_EQ(r.m.state, REG_NONE);
  r.on(control("CHANLLANGE", known_challenge()));
  const bytes digest = r.msg();
  EXPECT_EQ(r.on(control("REQUEST"), T0 + 500), unsigned{REG_EV_SEND});
  EXPECT_EQ(r.msg(), digest);
  EXPECT_EQ(reg_deadline(&r.m), T0 + 500 + REGISTRATION_REPEAT_US);
}

TEST(RegistrationMachine, SendFailures) {
  machine r;
  r.on(control("CHANLLANGE", known_challenge()));
  // The first DIGEST gives way to a REQUEST at once...
  EXPECT_EQ(reg_send_failed(&r.m, T0), unsigned{REG_EV_SEND});
  EXPECT_EQ(r.msg(), control("REQUEST"));
  // ...which may not fail.
  EXPECT_EQ(reg_send_failed(&r.m, T0), unsigned{REG_EV_FATAL});
  machine again;
  again.on(control("CHANLLANGE", known_challenge()));
  reg_on_timer(&again.m, T0 + REGISTRATION_REPEAT_US);  // a DIGEST sent before
  EXPECT_EQ(reg_send_failed(&again.m, T0), unsigned{REG_EV_FATAL});
}

TEST(RegistrationMachine, OnlyTheHeldPasswordLengthCounts) {
  machine r("secretXYZ", 6);
  r.on(control("CHANLLANGE", known_challenge()));
  EXPECT_EQ(r.msg(), cat(control("DIGEST"), from_hex(kKnownDigest)));
}

TEST(ServerAddress, WholeAddressAndLengthMustMatch) {
  server_link l{};
  socklen_t len;
  l.addr = fake_ipv4_address("192.0.2.1", 42000, &len);
  l.addrlen = len;
  sockaddr_storage same = fake_ipv4_address("192.0.2.1", 42000, &len);
  EXPECT_TRUE(link_is_server(&l, reinterpret_cast<sockaddr*>(&same), len));
  EXPECT_FALSE(link_is_server(&l, reinterpret_cast<sockaddr*>(&same), len - 1));
  sockaddr_storage port = fake_ipv4_address("192.0.2.1", 42001, &len);
  EXPECT_FALSE(link_is_server(&l, reinterpret_cast<sockaddr*>(&port), len));
  sockaddr_storage host = fake_ipv4_address("192.0.2.9", 42000, &len);
  EXPECT_FALSE(link_is_server(&l, reinterpret_cast<sockaddr*>(&host), len));
}

}  // namespace
