#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t d[16]) {
  char out[33];
  for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", d[i]);
  return std::string(out, 32);
}

std::string md5_hex(const std::vector<uint8_t>& data) {
  md5_context c;
  md5_init(&c);
  md5_update(&c, data.data(), data.size());
  uint8_t d[16];
  md5_final(d, &c);
  return hex(d);
}

std::vector<uint8_t> bytes_of(const char* s) {
  return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(s),
                              reinterpret_cast<const uint8_t*>(s) + strlen(s));
}

struct vector_case {
  const char* input;
  const char* digest;
};

// The published test suite of the algorithm's definition.
const vector_case kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, PublishedSuite) {
  for (const auto& c : kSuite) EXPECT_EQ(md5_hex(bytes_of(c.input)), c.digest) << c.input;
}

// Lengths around the padding boundary: from 56 bytes left in the last block
// on, the length no longer fits and a second block is needed.
TEST(Md5, PaddingBoundaries) {
  const struct {
    size_t n;
    const char* digest;
  } cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},  {128, "e510683b3f5ffe4093d021808bc6ff70"},
      {1000, "cabe45dcc9ae5b66ba86600cca6b8ba8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(md5_hex(std::vector<uint8_t>(c.n, 'a')), c.digest) << c.n;
  }
}

TEST(Md5, AnySplitGivesTheSameDigest) {
  std::vector<uint8_t> data;
  for (int r = 0; r < 5; r++)
    for (int i = 0; i < 256; i++) data.push_back(static_cast<uint8_t>(i));
  const std::string whole = "82829f1f3f2bb0f18b25f278e5bba8bd";
  ASSERT_EQ(md5_hex(data), whole);

  // Byte by byte.
  {
    md5_context c;
    md5_init(&c);
    for (uint8_t b : data) md5_update(&c, &b, 1);
    uint8_t d[16];
    md5_final(d, &c);
    EXPECT_EQ(hex(d), whole);
  }
  // Two pieces at every split point, with empty updates mixed in.
  for (size_t cut = 0; cut <= data.size(); cut += 7) {
    md5_context c;
    md5_init(&c);
    md5_update(&c, data.data(), cut);
    md5_update(&c, data.data() + cut, 0);
    md5_update(&c, data.data() + cut, data.size() - cut);
    uint8_t d[16];
    md5_final(d, &c);
    ASSERT_EQ(hex(d), whole) << "cut at " << cut;
  }
  // Three pieces of uneven sizes that straddle block ends.
  const size_t cuts[][2] = {{1, 64}, {63, 65}, {64, 128}, {100, 101}, {3, 700}};
  for (const auto& cut : cuts) {
    md5_context c;
    md5_init(&c);
    md5_update(&c, data.data(), cut[0]);
    md5_update(&c, data.data() + cut[0], cut[1] - cut[0]);
    md5_update(&c, data.data() + cut[1], data.size() - cut[1]);
    uint8_t d[16];
    md5_final(d, &c);
    EXPECT_EQ(hex(d), whole) << cut[0] << "/" << cut[1];
  }
}

// Input that does not start on a word boundary must hash the same (and must
// not trap on hosts that fault on unaligned loads).
TEST(Md5, UnalignedInput) {
  std::vector<uint8_t> storage(300, 0);
  const char* text = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  size_t n = strlen(text);
  for (size_t off = 1; off < 4; off++) {
    memcpy(storage.data() + off, text, n);
    md5_context c;
    md5_init(&c);
    md5_update(&c, storage.data() + off, n);
    uint8_t d[16];
    md5_final(d, &c);
    EXPECT_EQ(hex(d), "57edf4a22be3c955ac49da2e2107b67a") << off;
  }
}

TEST(Md5, ZeroCountUpdateChangesNothing) {
  md5_context a;
  md5_context b;
  md5_init(&a);
  md5_init(&b);
  md5_update(&a, reinterpret_cast<const uint8_t*>("abc"), 3);
  md5_update(&b, reinterpret_cast<const uint8_t*>("abc"), 3);
  md5_update(&b, reinterpret_cast<const uint8_t*>("zzz"), 0);
  EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
}

TEST(Md5, ContextIsZeroAfterFinal) {
  md5_context c;
  md5_init(&c);
  md5_update(&c, reinterpret_cast<const uint8_t*>("message digest"), 14);
  uint8_t d[16];
  md5_final(d, &c);
  const auto* p = reinterpret_cast<const uint8_t*>(&c);
  for (size_t i = 0; i < sizeof c; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
  // And after md5_init it is usable again.
  md5_init(&c);
  md5_update(&c, reinterpret_cast<const uint8_t*>("abc"), 3);
  md5_final(d, &c);
  EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
