// Per-packet user-space cost of the data path, against the no-op seam of
// null_netio.cc: egress (a packet from the TUN device through the RTP test
// to the stream in the last live slot, appended to the frame, frames XORed
// and "sent"; the clocks are read once per drain by the loop and handed in),
// the table search on its own, ingress (a whole frame walked and every
// packet rebuilt and "written"), and the registration digest.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "config.h"
#include "egress.h"
#include "ingress.h"
#include "null_netio.h"
#include "registration.h"
#include "session.h"
#include "wire.h"

namespace {

constexpr char PASSWORD[] = "bench-secret";
// The loop clock (stamps frames) and the egress clock (call liveness) as
// the loop hands them over.
constexpr uint32_t NOW = 0x12345678u;
constexpr uint64_t CLOCK = 0x12345678u;
// Monotonic microseconds handed to the datagram path.
constexpr uint64_t NOW_US = 1000000000u;
constexpr size_t MAX_PKT = 1500;

// A session as the loop has it, on endpoints that are no real ones: the
// defaults, a password, a loopback server address and every module prepared
// as session_open prepares it; frames are sent one by one (no batch).
struct bench_ctx {
  mux_ctx s;
  mux_config cfg;
  bool ok;

  bench_ctx() {
    memset(&s, 0, sizeof s);
    memset(&cfg, 0, sizeof cfg);
    config_set_defaults(&cfg);
    cfg.password = PASSWORD;
    s.link.fd = 3;
    s.link.alt_fd = -1;
    s.link.stats = &s.stats;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(42000);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    memcpy(&s.link.addr, &a, sizeof a);
    s.link.addrlen = sizeof a;
    s.tun.fd = 4;
    s.tun.stats = &s.stats;
    ok = session_prepare(&s, &cfg) == 0;
  }
  ~bench_ctx() {
    egress_free(&s.egress);
    free_rx_templates(&s.ingress);
    free(s.rx_block);
  }
  bench_ctx(const bench_ctx&) = delete;
  bench_ctx& operator=(const bench_ctx&) = delete;

  const sockaddr* server() const { return reinterpret_cast<const sockaddr*>(&s.link.addr); }
};

// An IPv4/UDP/RTP packet of `len` bytes for stream number `stream`: phones
// 10.1.x.y on even ports, all calling one far host, as on a busy LAN.
void make_rtp(uint8_t* p, size_t len, int stream, uint8_t pt, uint16_t seq) {
  memset(p, 0, len);
  p[0] = 0x45;
  put_be16(p + 2, static_cast<uint16_t>(len));
  p[8] = 64;
  p[9] = 17;
  const uint8_t src[4] = {10, 1, static_cast<uint8_t>(stream >> 6),
                          static_cast<uint8_t>(2 + (stream & 63))};
  const uint8_t dst[4] = {10, 99, 2, 1};
  memcpy(p + 12, src, 4);
  memcpy(p + 16, dst, 4);
  put_be16(p + 20, static_cast<uint16_t>(16384 + 2 * stream));
  put_be16(p + 22, static_cast<uint16_t>(20000 + 2 * stream));
  put_be16(p + 24, static_cast<uint16_t>(len - 20));
  p[28] = 0x80;
  p[29] = pt;
  put_be16(p + 30, seq);
  put_be32(p + 36, 0x5000u + static_cast<uint32_t>(stream));
  for (size_t i = 40; i < len; i++) p[i] = static_cast<uint8_t>(i * 7 + stream);
  put_be16(p + 10, ipv4_header_checksum(p));
}

// Opens `calls` streams, slots 0 .. calls-1, each by its first packet.
bool open_streams(bench_ctx& b, int calls, size_t len) {
  if (!b.ok) return false;
  uint8_t pkt[MAX_PKT];
  for (int s = 0; s < calls; s++) {
    make_rtp(pkt, len, s, 0, 1);
    if (session_tun_packet(&b.s, pkt, len, NOW, CLOCK) != 0) return false;
  }
  for (int s = 0; s < calls; s++) {
    const call_entry* e = b.s.egress.calls[s];
    if (call_slot_state(e, CLOCK, b.cfg.rtp_timeout) != SLOT_LIVE) return false;
  }
  return true;
}

// Egress: session_tun_packet for the stream in the last live slot, packet
// after packet; every full frame is XORed and handed to the no-op send.
void BM_egress_last_slot(benchmark::State& state) {
  const int calls = static_cast<int>(state.range(0));
  const size_t len = static_cast<size_t>(state.range(1));
  bench_ctx b;
  if (!open_streams(b, calls, len)) {
    state.SkipWithError("streams did not open");
    return;
  }
  uint8_t pkt[MAX_PKT];
  make_rtp(pkt, len, calls - 1, 0, 2);
  if (find_call_slot(&b.s.egress, pkt, CLOCK) != calls - 1) {
    state.SkipWithError("stream not found in the last slot");
    return;
  }
  const uint64_t sends_before = null_io.sends;
  for (auto _ : state) {
    int rc = session_tun_packet(&b.s, pkt, len, NOW, CLOCK);
    benchmark::DoNotOptimize(rc);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frames_per_pkt"] =
      static_cast<double>(null_io.sends - sends_before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_egress_last_slot)
    ->ArgNames({"live_calls", "pkt_len"})
    ->Args({1, 200})
    ->Args({64, 200})
    ->Args({255, 200})
    ->Args({1, 60})
    ->Args({64, 60})
    ->Args({255, 60});

// The table search alone, for the stream in the last live slot.
void BM_find_call_slot(benchmark::State& state) {
  const int calls = static_cast<int>(state.range(0));
  bench_ctx b;
  if (!open_streams(b, calls, 200)) {
    state.SkipWithError("streams did not open");
    return;
  }
  uint8_t pkt[MAX_PKT];
  make_rtp(pkt, 200, calls - 1, 0, 2);
  for (auto _ : state) {
    int slot = find_call_slot(&b.s.egress, pkt, CLOCK);
    benchmark::DoNotOptimize(slot);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_find_call_slot)->ArgName("live_calls")->Arg(1)->Arg(64)->Arg(255);

// The same search done as a plain scan of every slot in order, as a yardstick
// for what the index saves.
int plain_scan(const egress_state* eg, const uint8_t* pkt, uint64_t now) {
  int free_slot = -1;
  for (int i = 0; i < eg->cfg->max_call && i < MAX_CALL_SLOTS; i++) {
    const call_entry* e = eg->calls[i];
    if (call_slot_state(e, now, eg->cfg->rtp_timeout) != SLOT_LIVE) {
      if (free_slot < 0) free_slot = i;
      continue;
    }
    if (memcmp(e->src_addr, pkt + 12, 4) == 0 && memcmp(e->src_port, pkt + 20, 2) == 0 &&
        memcmp(e->dst_addr, pkt + 16, 4) == 0 && memcmp(e->dst_port, pkt + 22, 2) == 0) {
      return i;
    }
  }
  return free_slot;
}

void BM_plain_scan(benchmark::State& state) {
  const int calls = static_cast<int>(state.range(0));
  bench_ctx b;
  if (!open_streams(b, calls, 200)) {
    state.SkipWithError("streams did not open");
    return;
  }
  uint8_t pkt[MAX_PKT];
  make_rtp(pkt, 200, calls - 1, 0, 2);
  if (plain_scan(&b.s.egress, pkt, CLOCK) != calls - 1) {
    state.SkipWithError("scan disagrees");
    return;
  }
  for (auto _ : state) {
    int slot = plain_scan(&b.s.egress, pkt, CLOCK);
    benchmark::DoNotOptimize(slot);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_plain_scan)->ArgName("live_calls")->Arg(1)->Arg(64)->Arg(255);

// Ingress: one frame from the server as full as mtu allows, every sub-packet
// compressed, for calls whose templates are known. Per iteration the datagram
// is copied into the receive slot (the receive's copy), handed to
// session_datagram, the XOR undone, the frame walked and each packet rebuilt
// and written to the no-op TUN.
void BM_ingress_frame(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  bench_ctx b;
  if (!b.ok) {
    state.SkipWithError("session not prepared");
    return;
  }
  const size_t n = len - MEDIA_HEADER_LEN;
  const size_t item = sub_packet_size(compressed_type_for(n), n);
  const int per_frame = static_cast<int>(b.cfg.mtu / item);
  if (per_frame < 1 || per_frame > MAX_CALL_SLOTS) {
    state.SkipWithError("bad packet length");
    return;
  }
  uint8_t pkt[MAX_PKT];
  uint8_t dgram[RX_SLOT_SIZE];
  // The templates: one full-form frame per call.
  for (int c = 0; c < per_frame; c++) {
    make_rtp(pkt, len, c, 0, 1);
    dgram[0] = static_cast<uint8_t>(c + 1);
    dgram[1] = SUB_FULL;
    memcpy(dgram + 2, pkt, len);
    password_xor(dgram, len + 2, PASSWORD, b.s.ingress.password_len);
    memcpy(b.s.rx_block, dgram, len + 2);
    if (session_datagram(&b.s, b.s.rx_block, len + 2, b.server(), b.s.link.addrlen, NOW_US,
                         CLOCK) != 0 ||
        b.s.ingress.templates[c] == nullptr) {
      state.SkipWithError("template not taken");
      return;
    }
  }
  // The measured frame.
  size_t flen = 0;
  for (int c = 0; c < per_frame; c++) {
    make_rtp(pkt, len, c, 0, 2);
    flen += write_sub_packet_head(dgram + flen, static_cast<uint8_t>(c + 1), compressed_type_for(n),
                                  static_cast<uint16_t>(n));
    memcpy(dgram + flen, pkt + MEDIA_HEADER_LEN, n);
    flen += n;
  }
  password_xor(dgram, flen, PASSWORD, b.s.ingress.password_len);
  const uint64_t writes_before = null_io.writes;
  for (auto _ : state) {
    memcpy(b.s.rx_block, dgram, flen);
    int rc = session_datagram(&b.s, b.s.rx_block, flen, b.server(), b.s.link.addrlen, NOW_US,
                              CLOCK);
    benchmark::DoNotOptimize(rc);
  }
  const uint64_t written = null_io.writes - writes_before;
  if (written != static_cast<uint64_t>(per_frame) * state.iterations()) {
    state.SkipWithError("not every packet was written");
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(written));
  state.counters["pkts_per_frame"] = per_frame;
  state.counters["frame_bytes"] = static_cast<double>(flen);
}
BENCHMARK(BM_ingress_frame)->ArgName("pkt_len")->Arg(200)->Arg(60);

// The registration digest over a challenge of 16 to 63 bytes and the password.
void BM_registration_digest(benchmark::State& state) {
  const auto clen = static_cast<uint8_t>(state.range(0));
  uint8_t challenge[64];
  for (int i = 0; i < 64; i++) challenge[i] = static_cast<uint8_t>(i * 13 + 1);
  const auto plen = static_cast<uint8_t>(strlen(PASSWORD));
  uint8_t out[16];
  for (auto _ : state) {
    int rc = compute_registration_digest(challenge, clen, PASSWORD, plen, out);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_registration_digest)->ArgName("challenge_len")->Arg(16)->Arg(32)->Arg(63);

}  // namespace

BENCHMARK_MAIN();
