// Datagram kinds, the password XOR, sub-packet heads and the frame walker.
#include "wire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "media_fixture.h"

namespace {

TEST(ClassifyDatagram, KindsByTheFirstTwoBytes) {
  EXPECT_EQ(classify_datagram(0x00, 0x00), DGRAM_NON_RTP);
  EXPECT_EQ(classify_datagram(0x00, 0x81), DGRAM_CONTROL);
  EXPECT_EQ(classify_datagram(0x01, 0x81), DGRAM_RECOVERY);
  // A frame whose first sub-packet is short form for call id 1.
  EXPECT_EQ(classify_datagram(0x01, 0x14), DGRAM_FRAME);
  EXPECT_EQ(classify_datagram(0x02, 0x81), DGRAM_FRAME);
  EXPECT_EQ(classify_datagram(0x00, 0x05), DGRAM_FRAME);  // call id 0: invalid frame
  EXPECT_EQ(classify_datagram(0xFF, 0xFF), DGRAM_FRAME);
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

TEST(PasswordXor, KeyRepeatsFromByteTwoAndLeavesTheKindInClear) {
  const char* pw = "k3Y";  // K = 3
  auto plain = counting(22);
  auto buf = plain;
  password_xor(buf.data(), buf.size(), pw, 3);
  EXPECT_EQ(buf[0], plain[0]);
  EXPECT_EQ(buf[1], plain[1]);
  for (size_t i = 2; i < buf.size(); i++) {
    ASSERT_EQ(buf[i], plain[i] ^ static_cast<uint8_t>(pw[(i - 2) % 3])) << i;
  }
  password_xor(buf.data(), buf.size(), pw, 3);  // its own inverse
  EXPECT_EQ(buf, plain);
}

TEST(PasswordXor, LongPasswordsUseTheLengthModulo256) {
  // 300 bytes: K = 44, only the first 44 key bytes are used.
  std::string pw300(300, '\0');
  for (size_t i = 0; i < pw300.size(); i++) pw300[i] = static_cast<char>('A' + i % 50);
  auto plain = counting(200);
  auto buf = plain;
  password_xor(buf.data(), buf.size(), pw300.c_str(), static_cast<uint8_t>(300));
  for (size_t i = 2; i < buf.size(); i++) {
    ASSERT_EQ(buf[i], plain[i] ^ static_cast<uint8_t>(pw300[(i - 2) % 44])) << i;
  }

  // 256 bytes: K = 0, and the key index cycles over all 256 bytes by wrapping.
  std::string pw256(256, '\0');
  for (size_t i = 0; i < 256; i++) pw256[i] = static_cast<char>(1 + i % 255);
  plain = counting(600);
  buf = plain;
  password_xor(buf.data(), buf.size(), pw256.c_str(), 0);
  for (size_t i = 2; i < buf.size(); i++) {
    ASSERT_EQ(buf[i], plain[i] ^ static_cast<uint8_t>(pw256[(i - 2) % 256])) << i;
  }
}

TEST(PasswordXor, NothingWithoutAKeyOrWithoutBytesToCover) {
  auto plain = counting(40);
  auto buf = plain;
  password_xor(buf.data(), buf.size(), nullptr, 0);
  EXPECT_EQ(buf, plain);
  password_xor(buf.data(), buf.size(), "", 0);  // configured but empty
  EXPECT_EQ(buf, plain);
  password_xor(buf.data(), 2, "abc", 3);
  EXPECT_EQ(buf, plain);
}

TEST(SubPacketHeads, FormByPayloadLength) {
  EXPECT_EQ(compressed_type_for(1), SUB_LONG);  // 0x01 would be rejected
  EXPECT_EQ(compressed_type_for(2), 0x02);
  EXPECT_EQ(compressed_type_for(20), 0x14);
  EXPECT_EQ(compressed_type_for(127), 0x7F);
  EXPECT_EQ(compressed_type_for(128), SUB_LONG);
  EXPECT_EQ(sub_packet_size(SUB_FULL, 200), 202u);
  EXPECT_EQ(sub_packet_size(0x14, 20), 22u);
  EXPECT_EQ(sub_packet_size(SUB_LONG, 160), 164u);

  uint8_t head[4] = {};
  ASSERT_EQ(write_sub_packet_head(head, 1, SUB_LONG, 160), 4u);
  EXPECT_EQ(std::vector<uint8_t>(head, head + 4), (std::vector<uint8_t>{0x01, 0x80, 0x00, 0xA0}));
  ASSERT_EQ(write_sub_packet_head(head, 3, 0x14, 20), 2u);
  EXPECT_EQ(head[0], 0x03);
  EXPECT_EQ(head[1], 0x14);

  uint8_t rr[4] = {};
  write_recovery_request(rr, 5, 0x14);
  EXPECT_EQ(std::vector<uint8_t>(rr, rr + 4), (std::vector<uint8_t>{0x01, 0x81, 0x05, 0x14}));
}

// A frame of a full form (call 3, 60-byte packet), a short form (call 3,
// 20 bytes) and a long form (call 9, 200 bytes).
std::vector<uint8_t> sample_frame() {
  rtp_fields s;
  s.len = 60;
  auto frame = cat({0x03, 0x00}, make_rtp(s));
  frame = cat(frame, {0x03, 0x14});
  frame = cat(frame, std::vector<uint8_t>(20, 0xAA));
  frame = cat(frame, {0x09, 0x80, 0x00, 0xC8});
  frame = cat(frame, std::vector<uint8_t>(200, 0xBB));
  return frame;
}

// Walks a heap copy of exactly the frame's size, so that any read past it
// is caught by the address sanitizer.
std::vector<sub_packet> walk(const std::vector<uint8_t>& frame, walk_status* last) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[frame.size() ? frame.size() : 1]);
  if (!frame.empty()) memcpy(copy.get(), frame.data(), frame.size());
  byte_cursor c = make_cursor(copy.get(), frame.size());
  std::vector<sub_packet> items;
  sub_packet sp{};
  walk_status st;
  while ((st = frame_next(&c, &sp)) == WALK_ITEM) items.push_back(sp);
  *last = st;
  return items;
}

TEST(FrameWalker, LocatesEverySubPacketOfAWellFormedFrame) {
  walk_status st;
  auto items = walk(sample_frame(), &st);
  EXPECT_EQ(st, WALK_END);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].call_id, 3);
  EXPECT_EQ(items[0].type, SUB_FULL);
  EXPECT_EQ(items[0].offset, 2u);
  EXPECT_EQ(items[0].len, 60u);
  EXPECT_EQ(items[1].type, 0x14);
  EXPECT_EQ(items[1].offset, 64u);
  EXPECT_EQ(items[1].len, 20u);
  EXPECT_EQ(items[2].call_id, 9);
  EXPECT_EQ(items[2].type, SUB_LONG);
  EXPECT_EQ(items[2].offset, 88u);
  EXPECT_EQ(items[2].len, 200u);
}

TEST(FrameWalker, StopsAtWhatCannotBeTrusted) {
  walk_status st;
  auto good = cat({0x02, 0x03}, {1, 2, 3});

  for (uint8_t bad : {0x01, 0x81, 0xC0, 0xFF}) {
    auto items = walk(cat(good, {0x02, bad, 0, 0, 0}), &st);
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(st, WALK_BAD_TYPE) << int(bad);
  }
  walk(cat(good, {0x00, 0x03, 1, 2, 3}), &st);
  EXPECT_EQ(st, WALK_BAD_CALL_ID);
  walk({0x00, 0x05, 1, 2, 3, 4, 5}, &st);  // a frame starting 0x00, other than 0x00/0x81
  EXPECT_EQ(st, WALK_BAD_CALL_ID);

  walk(cat(good, {0x04}), &st);  // a lone call id byte
  EXPECT_EQ(st, WALK_TRUNCATED);
  walk(cat(good, {0x04, 0x05, 1, 2, 3, 4}), &st);  // payload one byte short
  EXPECT_EQ(st, WALK_TRUNCATED);
  walk(cat(good, {0x04, 0x80, 0x00}), &st);  // long form without its length
  EXPECT_EQ(st, WALK_TRUNCATED);
  walk(cat(good, {0x04, 0x00, 0x45, 0x00, 0x00}), &st);  // full form, length field cut
  EXPECT_EQ(st, WALK_TRUNCATED);

  // A full form whose total length fits the whole datagram but not the bytes
  // that remain after the sub-packets before it.
  rtp_fields s;
  s.len = 60;
  auto pkt = make_rtp(s);
  pkt.resize(55);
  auto frame = cat(cat(good, {0x04, 0x00}), pkt);
  ASSERT_LT(60u, frame.size());
  auto items = walk(frame, &st);
  EXPECT_EQ(items.size(), 1u);
  EXPECT_EQ(st, WALK_TRUNCATED);

  // A full form claiming fewer than 40 bytes carries no whole header.
  pkt = make_rtp(s);
  pkt[2] = 0;
  pkt[3] = 39;
  walk(cat({0x04, 0x00}, pkt), &st);
  EXPECT_EQ(st, WALK_SHORT_FULL);
}

TEST(FrameWalker, NeverReadsPastTheFrame) {
  // Every prefix of a valid frame, then random datagrams: each walk must stay
  // inside its exactly sized buffer and account for every byte it accepts.
  auto frame = sample_frame();
  for (size_t cut = 0; cut <= frame.size(); cut++) {
    walk_status st;
    auto items = walk(std::vector<uint8_t>(frame.begin(), frame.begin() + cut), &st);
    size_t end = items.empty() ? 0 : items.back().offset + items.back().len;
    ASSERT_LE(end, cut);
    ASSERT_EQ(st == WALK_END, end == cut) << cut;
  }
  std::mt19937 rng(1234);
  for (int round = 0; round < 20000; round++) {
    std::vector<uint8_t> d(rng() % 96);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    // Bias towards plausible heads so the walk gets past the first item.
    for (size_t i = 1; i < d.size(); i += 9) d[i] &= 0x8F;
    walk_status st;
    auto items = walk(d, &st);
    for (const auto& it : items) {
      ASSERT_NE(it.call_id, 0);
      ASSERT_LE(it.offset + it.len, d.size());
    }
  }
}

}  // namespace
