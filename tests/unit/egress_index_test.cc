// The call index against a plain scan. A model of the egress side written
// here (its own table, searched slot by slot in order; its own frames) runs
// beside the real one over random streams, clock values (silences of a whole
// 32-bit cycle included, after which a slot must stay free), max_call values,
// packet lengths, payload-type changes, recovery requests, time-based flushes
// and new runs. Before every packet the
// slot chosen by find_call_slot must be the scan's; after it, the emitted
// frames, the pending frame and every table entry must be the model's.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session.h"
#include "fake_netio.h"
#include "media_fixture.h"
#include "wire.h"

namespace {

using bytes = std::vector<uint8_t>;

// A stream as packet bytes 12 to 23: source address, destination address,
// source port, destination port.
using stream_key = std::array<uint8_t, 12>;

struct model_entry {
  bool present = false;
  stream_key key{};
  uint8_t payload_type = 0;
  uint64_t last_seen = 0;  // egress clock
  bool force_full = false;
};

// What the egress side must do, with the table searched by a plain scan.
struct egress_model {
  std::array<model_entry, MAX_CALL_SLOTS> slots{};
  bytes frame;
  std::vector<bytes> sent;
  size_t mtu = 1472;
  int max_call = 255;
  uint32_t rtp_timeout = 60000000;
  std::string password;

  bool live(int i, uint64_t now) const {
    const model_entry& e = slots[i];
    return e.present && !e.force_full && now - e.last_seen < rtp_timeout;
  }

  static stream_key key_of(const uint8_t* pkt) {
    stream_key k;
    memcpy(k.data(), pkt + 12, k.size());
    return k;
  }

  // The lowest live slot holding the stream, else the lowest free slot, else -1.
  int scan(const uint8_t* pkt, uint64_t now) const {
    const stream_key k = key_of(pkt);
    int free_slot = -1;
    for (int i = 0; i < max_call && i < MAX_CALL_SLOTS; i++) {
      if (!live(i, now)) {
        if (free_slot < 0) free_slot = i;
        continue;
      }
      if (slots[i].key == k) return i;
    }
    return free_slot;
  }

  void flush() {
    if (frame.empty()) return;
    bytes f = frame;
    password_xor(f.data(), f.size(), password.empty() ? nullptr : password.c_str(),
                 static_cast<uint8_t>(password.size()));
    sent.push_back(f);
    frame.clear();
  }

  void append(uint8_t call_id, uint8_t type, const uint8_t* data, size_t n) {
    const size_t item = (type == SUB_LONG ? 4 : 2) + n;
    if (frame.size() + item > mtu) flush();
    frame.push_back(call_id);
    frame.push_back(type);
    if (type == SUB_LONG) {
      frame.push_back(static_cast<uint8_t>(n >> 8));
      frame.push_back(static_cast<uint8_t>(n));
    }
    frame.insert(frame.end(), data, data + n);
  }

  void mux(const uint8_t* pkt, size_t len, uint64_t now) {
    int s = scan(pkt, now);
    if (s >= 0 && live(s, now)) {
      model_entry& e = slots[s];
      if (len > 40) {
        e.last_seen = now;
        const uint8_t pt = pkt[29] & 0x7F;
        if (pt != e.payload_type) {
          e.payload_type = pt;
          append(static_cast<uint8_t>(s + 1), SUB_FULL, pkt, len);
        } else {
          // Short form for 2..127 payload bytes; a single byte goes long, since
          // a receiver rejects the short type byte 0x01.
          const size_t n = len - 40;
          const bool short_form = n >= 2 && n < 128;
          const uint8_t type = short_form ? static_cast<uint8_t>(n) : SUB_LONG;
          append(static_cast<uint8_t>(s + 1), type, pkt + 40, n);
        }
      }
    } else if (s >= 0 && len >= 40) {  // a call is opened only with a whole header
      model_entry& e = slots[s];
      e.present = true;
      e.key = key_of(pkt);
      e.payload_type = pkt[29] & 0x7F;
      e.last_seen = now;
      e.force_full = false;
      append(static_cast<uint8_t>(s + 1), SUB_FULL, pkt, len);
    }
    if (frame.size() == mtu) flush();
  }

  void recovery(uint8_t call_id) {
    if (call_id == 0 || !slots[call_id - 1].present) return;
    slots[call_id - 1].last_seen = 0;
    slots[call_id - 1].force_full = true;
  }

  void new_run() {
    slots = {};
    frame.clear();
  }
};

// How often the cases that an index could get wrong came up.
struct coverage {
  long lookups = 0;
  long live_hits = 0;
  long hit_past_free_slot = 0;     // live match above a free slot
  long duplicate_lower_not_live = 0;  // the stream also in a lower, non-live slot
  long duplicate_higher = 0;       // the stream also in a higher slot
  long revived = 0;                // a slot live again without a packet (set by hand)
  long silent_for_a_cycle = 0;     // a slot expired though 2^32 units have passed
  long table_full = 0;
  long recovery_on_live = 0;
  long opened_in_place_of_other = 0;  // a slot taken over by another stream
  long beyond_max_call = 0;        // the stream held in a slot at or above max_call
};

// Packet bytes 12..23 of stream number `id`: fields from small sets, so that
// many streams share all but one field.
stream_key make_key(int id) {
  static const uint8_t src_last[4] = {2, 3, 7, 200};
  static const uint8_t dst_last[3] = {1, 9, 254};
  static const uint16_t sport[8] = {4000, 4002, 4004, 16384, 16386, 30000, 30002, 65534};
  static const uint16_t dport[4] = {5004, 5006, 20000, 20002};
  stream_key k{};
  k[0] = 192; k[1] = 168; k[2] = 1; k[3] = src_last[id % 4];
  k[4] = 10;  k[5] = 99;  k[6] = 2; k[7] = dst_last[(id / 4) % 3];
  const uint16_t sp = sport[(id / 12) % 8];
  const uint16_t dp = dport[(id / 96) % 4];
  k[8] = static_cast<uint8_t>(sp >> 8);
  k[9] = static_cast<uint8_t>(sp);
  k[10] = static_cast<uint8_t>(dp >> 8);
  k[11] = static_cast<uint8_t>(dp);
  return k;
}
constexpr int KEY_SPACE = 384;

bytes make_packet(const stream_key& k, size_t len, uint8_t pt, uint32_t serial) {
  bytes p(len, 0);
  p[0] = 0x45;
  p[2] = static_cast<uint8_t>(len >> 8);
  p[3] = static_cast<uint8_t>(len);
  p[8] = 64;
  p[9] = 17;
  memcpy(p.data() + 12, k.data(), k.size());
  p[28] = 0x80;
  p[29] = pt;
  for (size_t i = 30; i < len; i++) p[i] = static_cast<uint8_t>(serial * 31 + i);
  return p;
}

testing::AssertionResult same_frames(const media_ctx& m, const egress_model& ref) {
  if (fake_io.sent.size() != ref.sent.size()) {
    return testing::AssertionFailure() << "frames sent " << fake_io.sent.size() << ", expected "
                                       << ref.sent.size();
  }
  if (!ref.sent.empty() && fake_io.sent.back().bytes != ref.sent.back()) {
    return testing::AssertionFailure() << "last frame sent differs";
  }
  if (m.ctx.egress.frame_len != ref.frame.size() ||
      (!ref.frame.empty() && memcmp(m.ctx.egress.frame_buf, ref.frame.data(), ref.frame.size()) != 0)) {
    auto r = testing::AssertionFailure() << "pending frame of " << m.ctx.egress.frame_len
                                         << " bytes differs from the expected " << ref.frame.size();
    for (uint8_t b : m.frame()) r << ' ' << int(b);
    r << "\n";
    for (uint8_t b : ref.frame) r << ' ' << int(b);
    return r;
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult same_table(const media_ctx& m, const egress_model& ref) {
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    const call_entry* e = m.ctx.egress.calls[i];
    const model_entry& r = ref.slots[i];
    if ((e != nullptr) != r.present) {
      return testing::AssertionFailure() << "slot " << i << " present " << (e != nullptr);
    }
    if (e == nullptr) continue;
    stream_key k;
    memcpy(k.data(), e->src_addr, 4);
    memcpy(k.data() + 4, e->dst_addr, 4);
    memcpy(k.data() + 8, e->src_port, 2);
    memcpy(k.data() + 10, e->dst_port, 2);
    if (k != r.key || e->call_id != i + 1 || e->payload_type != r.payload_type ||
        e->last_seen != r.last_seen || e->force_full != r.force_full) {
      return testing::AssertionFailure() << "entry of slot " << i << " differs";
    }
  }
  return testing::AssertionSuccess();
}

void note_coverage(const egress_model& ref, const uint8_t* pkt, uint64_t now, int slot,
                   coverage* cov) {
  cov->lookups++;
  if (slot < 0) {
    cov->table_full++;
    return;
  }
  const stream_key k = egress_model::key_of(pkt);
  if (!ref.live(slot, now)) {
    if (ref.slots[slot].present && ref.slots[slot].key != k) cov->opened_in_place_of_other++;
    for (int i = ref.max_call; i < MAX_CALL_SLOTS; i++) {
      if (ref.slots[i].present && ref.slots[i].key == k) cov->beyond_max_call++;
    }
    return;
  }
  cov->live_hits++;
  for (int i = 0; i < slot; i++) {
    if (!ref.live(i, now)) {
      cov->hit_past_free_slot++;
      break;
    }
  }
  for (int i = 0; i < slot; i++) {
    if (ref.slots[i].present && ref.slots[i].key == k) {
      cov->duplicate_lower_not_live++;
      break;
    }
  }
  for (int i = slot + 1; i < MAX_CALL_SLOTS; i++) {
    if (ref.slots[i].present && ref.slots[i].key == k) {
      cov->duplicate_higher++;
      break;
    }
  }
}

// mux_rtp_packet with egress clock `t` (and the loop clock's view of it).
int mux_at(media_ctx& m, const bytes& pkt, uint64_t t) {
  fake_io.clock = t;
  return egress_rtp(&m.ctx, pkt.data(), pkt.size(), static_cast<uint32_t>(t));
}

// One random run of `steps` events under one configuration.
void run_random(uint32_t seed, int steps, coverage* cov) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

  static const uint16_t mtus[] = {1472, 600, 258};
  static const int max_calls[] = {1, 2, 3, 5, 16, 64, 200, 254, 255};
  static const uint32_t timeouts[] = {1, 50, 1000, 5000, 60000000, 0xFFFFFFF0u};
  const uint16_t mtu = mtus[pick(3)];
  media_ctx m(mtu);
  egress_model ref;
  ref.mtu = mtu;
  ref.max_call = pick(4) == 0 ? static_cast<int>(1 + pick(255)) : max_calls[pick(9)];
  ref.rtp_timeout = timeouts[pick(6)];
  if (pick(2) == 0) ref.password = "k3y-" + std::to_string(seed);
  m.cfg.max_call = static_cast<uint8_t>(ref.max_call);
  m.cfg.rtp_timeout = ref.rtp_timeout;
  if (!ref.password.empty()) m.set_password(ref.password.c_str());

  // The streams of this run: a pool a little larger or much larger than
  // the table, drawn from a space where streams differ in one field.
  const uint32_t pool_max = pick(2) == 0 ? static_cast<uint32_t>(ref.max_call) + 3 : KEY_SPACE;
  const int pool_size = static_cast<int>(1 + pick(pool_max));
  std::vector<stream_key> pool;
  for (int i = 0; i < pool_size; i++) pool.push_back(make_key(static_cast<int>(pick(KEY_SPACE))));
  std::vector<uint8_t> pool_pt(pool.size(), 0);

  static const uint64_t starts[] = {0, 1, 0x7FFFFFFFu, 0xFFFFFF00u, 0xFFFFFFFFu};
  uint64_t now = pick(2) == 0 ? starts[pick(5)] : rng();
  std::array<bool, MAX_CALL_SLOTS> was_live{};

  int step = 0;
  // Built only when an assertion fails.
  auto where = [&] {
    return "seed " + std::to_string(seed) + " step " + std::to_string(step) + " now " +
           std::to_string(now) + " max_call " + std::to_string(ref.max_call) + " rtp_timeout " +
           std::to_string(ref.rtp_timeout);
  };
  static const size_t lengths[] = {30, 39, 40, 41, 42, 60, 167, 168, 200, 250};
  for (step = 0; step < steps; step++) {
    // The egress clock: mostly small steps, sometimes across the timeout,
    // sometimes about a whole cycle of the 32-bit loop clock (what was silent
    // long enough stays free: the egress clock does not wrap).
    switch (pick(16)) {
      case 0:
        now += ref.rtp_timeout;
        break;
      case 1:
        now += ref.rtp_timeout - 1;
        break;
      case 2:
        now += (uint64_t{1} << 32) - pick(ref.rtp_timeout < 100000 ? 3 * ref.rtp_timeout + 1
                                                                   : 100000);
        for (int i = 0; i < MAX_CALL_SLOTS; i++) {
          if (ref.slots[i].present && !ref.live(i, now) &&
              static_cast<uint32_t>(now - ref.slots[i].last_seen) < ref.rtp_timeout) {
            cov->silent_for_a_cycle++;
          }
        }
        break;
      case 3:
        now += rng();
        break;
      default:
        now += pick(ref.rtp_timeout / 8 + 2);
        break;
    }

    for (int i = 0; i < MAX_CALL_SLOTS; i++) {
      const bool l = ref.live(i, now);
      was_live[i] = l;
    }

    const uint32_t event = pick(100);
    if (event < 4) {
      const uint32_t any = pick(256);
      const uint32_t in_reach = 1 + pick(static_cast<uint32_t>(ref.max_call));
      const auto cid = static_cast<uint8_t>(pick(3) == 0 ? any : in_reach);
      if (cid != 0 && ref.live(cid - 1, now)) cov->recovery_on_live++;
      egress_force_full(&m.ctx.egress, cid);
      ref.recovery(cid);
    } else if (event < 6) {
      ASSERT_EQ(egress_send_frame(&m.ctx.egress, FLUSH_AGE), 0) << where();
      ref.flush();
    } else if (event == 7 && pick(8) == 0) {
      // Another max_call over the same table: slots at or above it are out of
      // reach, also when they hold live streams.
      ref.max_call = static_cast<int>(1 + pick(255));
      m.cfg.max_call = static_cast<uint8_t>(ref.max_call);
    } else if (event == 8 || event == 9) {
      // An expired entry live again without a packet of its stream: not
      // something the egress side does (the clock never goes back), but the
      // index must still find the lowest live slot.
      // Preferably the higher of two entries of one stream, the lower one then
      // let expire at times, so that the stream is live only above an entry
      // of its own.
      int pick_i = -1, lower = -1;
      for (int i = 1; i < ref.max_call && pick_i < 0; i++) {
        if (!ref.slots[i].present || ref.slots[i].force_full || ref.live(i, now)) continue;
        for (int j = 0; j < i; j++) {
          if (ref.slots[j].present && ref.slots[j].key == ref.slots[i].key) {
            pick_i = i;
            lower = j;
            break;
          }
        }
      }
      for (int i = 0; i < ref.max_call && pick_i < 0; i++) {
        if (ref.slots[i].present && !ref.slots[i].force_full && !ref.live(i, now) &&
            pick(4) == 0) {
          pick_i = i;
        }
      }
      if (pick_i >= 0) {
        ref.slots[pick_i].last_seen = now;
        m.ctx.egress.calls[pick_i]->last_seen = now;
        cov->revived++;
        if (lower >= 0 && now >= ref.rtp_timeout && pick(2) == 0) {
          ref.slots[lower].last_seen = now - ref.rtp_timeout;
          m.ctx.egress.calls[lower]->last_seen = now - ref.rtp_timeout;
        }
      }
    } else if (event == 6 && pick(4) == 0) {
      free_call_entries(&m.ctx.egress);  // the end of a run; the next starts empty
      m.ctx.egress.frame_len = 0;
      ref.new_run();
    } else {
      const size_t s = pick(static_cast<uint32_t>(pool.size()));
      if (pick(40) == 0) pool_pt[s] = pool_pt[s] == 0 ? 8 : 0;
      const size_t len = lengths[pick(10)];
      bytes pkt = make_packet(pool[s], len, pool_pt[s], static_cast<uint32_t>(step));
      const int expected = ref.scan(pkt.data(), now);
      ASSERT_EQ(find_call_slot(&m.ctx.egress, pkt.data(), now), expected) << where();
      note_coverage(ref, pkt.data(), now, expected, cov);
      fake_io.clock = now;
      ASSERT_EQ(egress_rtp(&m.ctx, pkt.data(), pkt.size(), static_cast<uint32_t>(now)), 0)
          << where();
      ref.mux(pkt.data(), pkt.size(), now);
    }
    ASSERT_TRUE(same_frames(m, ref)) << where();
    if (step % 8 == 0 || step == steps - 1) {
      ASSERT_TRUE(same_table(m, ref)) << where();
    }
    for (int i = 0; i < MAX_CALL_SLOTS; i++) was_live[i] = ref.live(i, now);
  }
}

TEST(CallIndex, AgreesWithThePlainScanOverRandomTraffic) {
  coverage cov;
  for (uint32_t seed = 1; seed <= 80; seed++) {
    run_random(seed, 1500, &cov);
    if (HasFatalFailure()) return;
  }
  // The run must have met every case where an index could go wrong.
  EXPECT_GT(cov.live_hits, 10000);
  EXPECT_GT(cov.hit_past_free_slot, 100);
  EXPECT_GT(cov.duplicate_lower_not_live, 20);
  EXPECT_GT(cov.duplicate_higher, 20);
  EXPECT_GT(cov.revived, 20);
  EXPECT_GT(cov.silent_for_a_cycle, 100);
  EXPECT_GT(cov.table_full, 100);
  EXPECT_GT(cov.recovery_on_live, 100);
  EXPECT_GT(cov.opened_in_place_of_other, 100);
  EXPECT_GT(cov.beyond_max_call, 0);
  printf("lookups %ld, live hits %ld, past a free slot %ld, duplicate below %ld, above %ld, "
         "revived %ld, silent for a cycle %ld, table full %ld, recoveries of live calls %ld, "
         "slots taken over %ld, held beyond max_call %ld\n",
         cov.lookups, cov.live_hits, cov.hit_past_free_slot, cov.duplicate_lower_not_live,
         cov.duplicate_higher, cov.revived, cov.silent_for_a_cycle, cov.table_full, cov.recovery_on_live,
         cov.opened_in_place_of_other, cov.beyond_max_call);
}

// A stream held in two slots at once. It opens in slot 1 (slot 0 busy),
// falls silent, and comes back into slot 0 once that is free: slot 1 keeps
// the stream's expired entry. Then the old entry of slot 1 is made live again
// by hand (the egress side never does that, but the index must cope).
TEST(CallIndex, LowestLiveSlotOfAStreamHeldTwice) {
  media_ctx m;
  m.cfg.rtp_timeout = 1000;
  rtp_fields a, b;
  b.sport = 4002;
  const bytes pa = make_rtp(a), pb = make_rtp(b);
  ASSERT_EQ(mux_at(m, pb, 100), 0);   // b: slot 0
  ASSERT_EQ(mux_at(m, pa, 600), 0);   // a: slot 1
  ASSERT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 600), 1);
  // At 1700 both have expired; a comes back into the lowest free slot, 0.
  ASSERT_EQ(mux_at(m, pa, 1700), 0);
  ASSERT_EQ(m.ctx.egress.calls[0]->last_seen, 1700u);
  ASSERT_EQ(m.ctx.egress.calls[1]->last_seen, 600u);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 1701), 0);

  // Slot 1 as if last seen at 2000: at 2700 slot 0 (1700) is expired and
  // slot 1 is live. The stream is found in slot 1.
  m.ctx.egress.calls[1]->last_seen = 2000;
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[0], 2700, 1000), SLOT_EXPIRED);
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[1], 2700, 1000), SLOT_LIVE);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 2700), 1);

  // Both live at 2100: the lower one wins.
  EXPECT_EQ(call_slot_state(m.ctx.egress.calls[0], 2100, 1000), SLOT_LIVE);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 2100), 0);

  // A recovery request for call 1 leaves slot 1 as the stream's live slot.
  egress_force_full(&m.ctx.egress, 1);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 2100), 1);
  // And one for call 2 leaves none: the lowest free slot, 0.
  egress_force_full(&m.ctx.egress, 2);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 2100), 0);
}

// A slot taken over by another stream is no longer found for its old one.
TEST(CallIndex, SlotTakenByAnotherStreamLeavesTheOldOne) {
  media_ctx m;
  m.cfg.rtp_timeout = 1000;
  m.cfg.max_call = 2;
  rtp_fields a, b, c;
  b.sport = 4002;
  c.sport = 4004;
  const bytes pa = make_rtp(a), pb = make_rtp(b), pc = make_rtp(c);
  ASSERT_EQ(mux_at(m, pa, 0), 0);    // slot 0
  ASSERT_EQ(mux_at(m, pb, 10), 0);   // slot 1
  ASSERT_EQ(mux_at(m, pc, 20), 0);   // table full
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pc.data(), 20), -1);
  ASSERT_EQ(mux_at(m, pc, 1005), 0);  // a expired: c in 0
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pc.data(), 1006), 0);
  // a's stream is gone from slot 0; with slot 1 live, a finds no slot.
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 1006), -1);
  // When b expires, a opens in slot 1 and c stays in slot 0.
  ASSERT_EQ(mux_at(m, pa, 1010), 0);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pa.data(), 1011), 1);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pc.data(), 1011), 0);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pb.data(), 1011), -1);
}

// Slots at or above max_call are never returned, also when they hold the
// stream (a table filled under a larger max_call).
TEST(CallIndex, SlotsBeyondMaxCallAreNotFound) {
  media_ctx m;
  rtp_fields s[4];
  for (int i = 0; i < 4; i++) {
    s[i].sport = static_cast<uint16_t>(4000 + 2 * i);
    const bytes p = make_rtp(s[i]);
    ASSERT_EQ(mux_at(m, p, 100), 0);
  }
  const bytes p3 = make_rtp(s[3]);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, p3.data(), 101), 3);
  m.cfg.max_call = 3;
  EXPECT_EQ(find_call_slot(&m.ctx.egress, p3.data(), 101), -1);  // slots 0..2 live, 3 out of reach
  m.cfg.max_call = 4;
  EXPECT_EQ(find_call_slot(&m.ctx.egress, p3.data(), 101), 3);
}

// The end of a run empties the index with the table: a stream that was in a
// high slot opens in slot 0 of the next run.
TEST(CallIndex, EmptyAfterTheEntriesAreFreed) {
  media_ctx m;
  std::vector<bytes> pkts;
  for (int i = 0; i < MAX_CALL_SLOTS; i++) {
    rtp_fields f;
    f.src_last = static_cast<uint8_t>(i);
    f.sport = static_cast<uint16_t>(6000 + 2 * i);
    pkts.push_back(make_rtp(f));
    ASSERT_EQ(mux_at(m, pkts.back(), 50), 0);
  }
  for (int i = 0; i < MAX_CALL_SLOTS; i++) ASSERT_EQ(find_call_slot(&m.ctx.egress, pkts[i].data(), 51), i);
  free_call_entries(&m.ctx.egress);
  for (uint8_t h : m.ctx.egress.index_head) ASSERT_EQ(h, 0);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pkts[254].data(), 51), 0);
  ASSERT_EQ(mux_at(m, pkts[254], 52), 0);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pkts[254].data(), 53), 0);
  EXPECT_EQ(find_call_slot(&m.ctx.egress, pkts[0].data(), 53), 1);
}

}  // namespace
