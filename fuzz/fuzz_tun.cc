// Fuzz target: every packet the TUN device can deliver, through
// session_tun_packet (the RTP test, the egress call table and frame
// building, media carried whole when its sub-packet can never fit a frame,
// the forwarding filter and the non-RTP send), plus the server's recovery
// requests and the event loop's time-based flush, across many packets and
// clock values.
//
// Input: 11 setting bytes, then records (fuzz_support.h). Settings:
//   s0 mtu choice, s1 max_call choice,
//   s2 bits 0-1 password (0 none, 1 empty, 2-3 length s3 [+256 with bit 2]),
//      bit 3 allow_all, bit 4 allow_ping, bit 5 make every raw packet's IPv4
//      total length equal to its length, bit 6 verbose, bit 7 sip_port 40000,
//   s3 password length, s4 rtp_timeout choice, s5 max_muxing_time choice,
//   s6-s9 loop clock at start (the egress clock, 64 bits, starts at the same
//   value and moves with it, but never wraps), s10 password seed.
// Record: ctl bits 0-1 the event (0-1 a TUN packet, 2 a recovery request for
// call id aux, 3 a pass with nothing ready), bits 2-3 the result of the sends
// of this pass, bits 4-6 how far the clock moves (aux << {0,0,8,12,16,20,24,
// 28}, none for 0), bit 7 build the packet from the record: byte 0 stream,
// byte 1 RTP byte 1 (marker, payload type), byte 2 flags (bit 0 ICMP, bit 1
// RTP version 0, bit 2 from sip_port, bit 3 to sip_port), the rest payload
// behind a 40-byte IPv4/UDP/RTP header; otherwise the bytes are the packet.
//
// A reference model of the call table and frame building predicts every
// frame and non-RTP message byte for byte (media too large for any frame goes
// whole in a non-RTP message), frame_len and frame_stamp, and the counts of
// packets sent as non-RTP and as RTP carried whole; it stops comparing for
// the rest of an input at the first case the rules leave open (a packet of
// 30 to 39 bytes opening a call, a 1-byte payload).
// Invariants checked always: frame_len <= mtu, every frame sent <= mtu and
// starting with a valid call id, every non-RTP message decodes to its packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "bytes.h"
#include "classify.h"
#include "config.h"
#include "fuzz_support.h"
#include "log.h"
#include "netio.h"
#include "session.h"
#include "wire.h"

namespace {

// PHASE_FRAME: only frames may leave (the time-based flush); PHASE_PACKET:
// one packet from the TUN device, which may send frames and at most one
// non-RTP message carrying it.
enum phase_kind { PHASE_IDLE, PHASE_FRAME, PHASE_PACKET };

constexpr size_t MAX_SENDS = 64;

struct expected_send {
  size_t offset;
  size_t len;
};

struct seam_state {
  mux_ctx* ctx;
  const mux_config* cfg;
  phase_kind phase;
  uint8_t cur_ctl;
  uint8_t cur_aux;
  bool check_frames;  // raw packets carry their true length
  const uint8_t* sip_pkt;
  size_t sip_len;
  size_t sip_sends;
  // Model predictions for the current call.
  bool compare;
  expected_send sends[MAX_SENDS];
  size_t n_sends;
  size_t next_send;
  // Room for the sends of one call: at most two frames of up to 65535 bytes
  // (the one flushed before an append, the one filled by it) or a message.
  uint8_t arena[MAX_SENDS * 4200 + 2 * 65536];
  size_t arena_used;
  uint8_t scratch[65536 + 8];
  // The egress clock: it moves with the loop clock but, 64 bits wide, never
  // wraps.
  uint64_t clock;
};

seam_state* S;

void dump(const char* what, const uint8_t* p, size_t len) {
  size_t show = len < 64 ? len : 64;
  fprintf(stderr, "  %s (%zu bytes):", what, len);
  for (size_t i = 0; i < show; i++) fprintf(stderr, " %02x", p[i]);
  fprintf(stderr, "\n");
}

// A sent frame, XOR undone, must be a clean run of sub-packets.
void check_frame_layout(const uint8_t* buf, size_t len) {
  uint8_t* f = S->scratch;
  memcpy(f, buf, len);
  ref_password_xor(f, len, S->cfg->password, S->ctx->egress.password_len);
  size_t o = 0;
  while (o < len) {
    FZ_CHECK(len - o >= 2);
    uint8_t cid = f[o];
    uint8_t h = f[o + 1];
    FZ_CHECK(cid >= 1 && cid <= S->cfg->max_call);
    size_t item;
    if (h == 0x00) {
      FZ_CHECK(len - o >= 6);
      item = 2u + get_be16(f + o + 4);
    } else if (h < 0x80) {
      item = 2u + h;
    } else {
      FZ_CHECK(h == 0x80);
      FZ_CHECK(len - o >= 4);
      size_t n = get_be16(f + o + 2);
      // Only payloads of 128 bytes and more, or of one byte (which the
      // receiver refuses in the short form), go in the long form.
      FZ_CHECK(n >= 128 || n == 1);
      item = 4u + n;
    }
    FZ_CHECK(item <= len - o);
    o += item;
  }
}

}  // namespace

// ------------------------------------------------------------------ seam --

ssize_t io_sendto(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t tolen) {
  FZ_CHECK(fd == FZ_SOCK_FD);
  FZ_CHECK(buf != nullptr);
  FZ_CHECK(fz_is_server_address(S->ctx, to, tolen));
  FZ_CHECK(S->phase != PHASE_IDLE);
  fz_touch(buf, len);
  const auto* p = static_cast<const uint8_t*>(buf);

  bool non_rtp = len >= 2 && p[0] == 0x00 && p[1] == 0x00;
  if (non_rtp) {
    // A non-RTP message: 0x00 0x00, the pad, the packet XORed with the pad,
    // built in the forwarding buffer. (A frame comes from the frame buffer
    // and is bounded by mtu, which may be as large as 65535.)
    FZ_CHECK(len <= FORWARD_BUF_SIZE);
    size_t pad = S->ctx->forward.password_len;
    FZ_CHECK(S->phase == PHASE_PACKET);
    FZ_CHECK(++S->sip_sends == 1);
    FZ_CHECK(len == 2 + pad + S->sip_len);
    for (size_t j = 0; j < S->sip_len; j++) {
      uint8_t key = pad ? p[2 + (j % pad)] : 0;
      FZ_CHECK((p[2 + pad + j] ^ key) == S->sip_pkt[j]);
    }
  } else {
    // A multiplexed frame.
    FZ_CHECK(S->phase == PHASE_FRAME || S->phase == PHASE_PACKET);
    FZ_CHECK(len >= 1 && len <= S->cfg->mtu);
    FZ_CHECK(p[0] >= 1 && p[0] <= S->cfg->max_call);
    if (S->check_frames) check_frame_layout(p, len);
  }

  if (S->compare) {
    if (S->next_send >= S->n_sends) {
      dump("unexpected send", p, len);
      FZ_CHECK(!"more sends than the model predicts");
    }
    const expected_send& e = S->sends[S->next_send++];
    if (e.len != len || memcmp(S->arena + e.offset, p, len) != 0) {
      fprintf(stderr, "send %zu differs from the model\n", S->next_send - 1);
      dump("got     ", p, len);
      dump("expected", S->arena + e.offset, e.len);
      FZ_CHECK(!"send differs from the model");
    }
  }

  return fz_send_return(S->cur_ctl, S->cur_aux, len);
}

ssize_t io_write(int, const void*, size_t) {
  FZ_CHECK(!"the egress side never writes to the TUN device");
  return -1;
}

uint64_t io_monotonic_clock() { return S->clock; }

// The packet path is handed its clocks and reads no other; setting the
// session up may.
uint64_t io_monotonic_us() {
  FZ_CHECK(S->phase == PHASE_IDLE);
  return S->clock;
}
uint32_t io_loop_clock() {
  FZ_CHECK(S->phase == PHASE_IDLE);
  return static_cast<uint32_t>(S->clock);
}
int64_t io_wall_time() {
  FZ_CHECK(S->phase == PHASE_IDLE);
  return 1700000000;
}

int io_select(int, fd_set*, timeval*) {
  FZ_CHECK(!"the egress side never waits");
  return -1;
}

int io_sendmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"frames are not batched outside the loop's running phase");
  return -1;
}

int io_recvmmsg(int, mmsghdr*, unsigned) {
  FZ_CHECK(!"only the event loop receives in batches");
  return -1;
}

ssize_t io_recvfrom(int, void*, size_t, sockaddr*, socklen_t*) {
  FZ_CHECK(!"the egress side never receives");
  return -1;
}

ssize_t io_read(int, void*, size_t) {
  FZ_CHECK(!"the egress side never reads");
  return -1;
}

// ----------------------------------------------------------------- model --

namespace {

struct eg_slot {
  bool used;
  uint8_t key[12];  // packet bytes 12 to 23: addresses and ports
  uint8_t pt;
  uint64_t last_seen;  // egress clock
  // The server's recovery request makes the entry expired at any clock
  // value until a stream takes the slot again (last_seen = 0 alone would
  // leave it live while the clock is below rtp_timeout).
  bool forced;
};

struct eg_model {
  bool valid;
  eg_slot slots[MAX_CALL_SLOTS];
  uint8_t frame[65536];
  size_t frame_len;
  uint32_t stamp;
  uint32_t rng;
  uint8_t cur_ctl;
  uint64_t non_rtp;    // packets sent as non-RTP messages (kind non_rtp)
  uint64_t rtp_whole;  // media carried whole in non-RTP messages (kind rtp_whole)
  uint8_t out[FORWARD_BUF_SIZE];
};

eg_model* M;
const mux_config* CFG;
uint8_t PW_LEN;

void expect_send(const uint8_t* bytes, size_t len) {
  FZ_CHECK(S->n_sends < MAX_SENDS && sizeof S->arena - S->arena_used >= len);
  expected_send& e = S->sends[S->n_sends++];
  e.offset = S->arena_used;
  e.len = len;
  memcpy(S->arena + S->arena_used, bytes, len);
  S->arena_used += len;
}

void begin_call() {
  S->n_sends = 0;
  S->next_send = 0;
  S->arena_used = 0;
}

int model_send_frame() {
  uint8_t* tmp = S->scratch;
  memcpy(tmp, M->frame, M->frame_len);
  ref_password_xor(tmp, M->frame_len, CFG->password, PW_LEN);
  expect_send(tmp, M->frame_len);
  M->frame_len = 0;
  return fz_send_result(M->cur_ctl) == FZ_FATAL ? -1 : 0;
}

int model_append(uint8_t cid, uint8_t type, const uint8_t* data, size_t n, size_t item,
                 uint32_t now) {
  if (item > CFG->mtu) {
    M->valid = false;  // does not fit even an empty frame: handling is open
    return 0;
  }
  if (type == 0x00 && (n < 4 || get_be16(data + 2) != n)) {
    // A full form whose IPv4 total length is not its size would make the
    // receiver misread the frame; the TUN device never delivers one, and
    // what the sender does with it is open.
    M->valid = false;
    return 0;
  }
  if (M->frame_len + item > CFG->mtu) {
    if (model_send_frame() != 0) return -1;
  }
  if (M->frame_len == 0) M->stamp = now;
  uint8_t* w = M->frame + M->frame_len;
  w[0] = cid;
  w[1] = type;
  size_t head = 2;
  if (type == 0x80) {
    put_be16(w + 2, static_cast<uint16_t>(n));
    head = 4;
  }
  memcpy(w + head, data, n);
  M->frame_len += item;
  return 0;
}

// A packet sent whole in a non-RTP message: a fresh pad from the generator,
// the packet XORed with it. Nothing is sent (nor a pad drawn) when the
// message would not fit the forwarding buffer.
int model_message(const uint8_t* pkt, size_t len, uint64_t* counter) {
  size_t p = PW_LEN;
  if (2 + p + len > FORWARD_BUF_SIZE) return 0;
  uint8_t* o = M->out;
  o[0] = o[1] = 0;
  for (size_t k = 0; k < p; k++) {
    M->rng = ref_xorshift32(M->rng);
    o[2 + k] = static_cast<uint8_t>(M->rng);
  }
  for (size_t j = 0; j < len; j++) o[2 + p + j] = pkt[j] ^ (p ? o[2 + (j % p)] : 0);
  (*counter)++;
  expect_send(o, 2 + p + len);
  return fz_send_result(M->cur_ctl) == FZ_FATAL ? -1 : 0;
}

int model_sip(const uint8_t* pkt, size_t len) { return model_message(pkt, len, &M->non_rtp); }

// Media whose sub-packet could never fit a frame of mtu bytes travels whole.
int model_whole(const uint8_t* pkt, size_t len) { return model_message(pkt, len, &M->rtp_whole); }

int model_mux(const uint8_t* pkt, size_t len, uint32_t now, uint64_t clock) {
  int live = -1;
  int free_slot = -1;
  for (int i = 0; i < CFG->max_call; i++) {
    eg_slot& s = M->slots[i];
    bool is_live = s.used && !s.forced && clock - s.last_seen < CFG->rtp_timeout;
    if (!is_live) {
      if (free_slot < 0) free_slot = i;
      continue;
    }
    if (memcmp(s.key, pkt + 12, 12) == 0) {
      live = i;
      break;
    }
  }
  int rc = 0;
  uint8_t pt = pkt[29] & 0x7F;
  if (live >= 0) {
    eg_slot& s = M->slots[live];
    if (len > 40) {
      s.last_seen = clock;
      uint8_t cid = static_cast<uint8_t>(live + 1);
      if (pt != s.pt) {
        // A full form that cannot travel: whole, and the stream keeps its
        // old payload type so that its next packet tries the full form again.
        if (2 + len > CFG->mtu) return model_whole(pkt, len);
        s.pt = pt;
        rc = model_append(cid, 0x00, pkt, len, 2 + len, now);
      } else {
        size_t n = len - 40;
        if (n == 1) {
          M->valid = false;  // short or long form for a 1-byte payload: open
          return 0;
        }
        const uint8_t type = n < 128 ? static_cast<uint8_t>(n) : 0x80;
        const size_t item = (type == 0x80 ? 4 : 2) + n;
        if (item > CFG->mtu) return model_whole(pkt, len);
        rc = model_append(cid, type, pkt + 40, n, item, now);
      }
    }
  } else if (free_slot >= 0) {
    if (len < 40) {
      M->valid = false;  // too short to give the receiver a header: open
      return 0;
    }
    // A stream whose full form cannot travel is not opened: whole.
    if (2 + len > CFG->mtu) return model_whole(pkt, len);
    eg_slot& s = M->slots[free_slot];
    s.used = true;
    s.forced = false;
    memcpy(s.key, pkt + 12, 12);
    s.pt = pt;
    s.last_seen = clock;
    rc = model_append(static_cast<uint8_t>(free_slot + 1), 0x00, pkt, len, 2 + len, now);
  }
  if (rc == 0 && M->valid && M->frame_len == CFG->mtu && M->frame_len != 0) rc = model_send_frame();
  return rc;
}

void finish_call(const mux_ctx* ctx, int rc, int want) {
  const egress_state* eg = &ctx->egress;
  FZ_CHECK(eg->frame_len <= CFG->mtu);
  if (!S->compare || !M->valid) return;
  if (S->next_send != S->n_sends) {
    fprintf(stderr, "%zu of %zu predicted sends happened\n", S->next_send, S->n_sends);
  }
  FZ_CHECK(S->next_send == S->n_sends);
  FZ_CHECK(rc == want);
  FZ_CHECK(ctx->stats.packets[DIR_EGRESS][KIND_NON_RTP] == M->non_rtp);
  FZ_CHECK(ctx->stats.packets[DIR_EGRESS][KIND_RTP_WHOLE] == M->rtp_whole);
  if (rc == 0) {
    if (eg->frame_len != M->frame_len) {
      fprintf(stderr, "frame_len %u, model %zu\n", eg->frame_len, M->frame_len);
    }
    FZ_CHECK(eg->frame_len == M->frame_len);
    if (eg->frame_len != 0) FZ_CHECK(eg->frame_stamp == M->stamp);
  }
}

// Builds a packet from a structured record into `out`; returns its length.
size_t build_packet(const fz_record& rec, uint8_t* out, uint16_t sip_port_n) {
  uint8_t stream = rec.len > 0 ? rec.data[0] : 0;
  uint8_t rtp1 = rec.len > 1 ? rec.data[1] : 0;
  uint8_t flags = rec.len > 2 ? rec.data[2] : 0;
  size_t payload = rec.len > 3 ? rec.len - 3 : 0;
  if (payload > RX_SLOT_SIZE - 40) payload = RX_SLOT_SIZE - 40;
  size_t len = 40 + payload;
  memset(out, 0, 40);
  out[0] = 0x45;
  put_be16(out + 2, static_cast<uint16_t>(len));
  put_be16(out + 4, static_cast<uint16_t>(stream * 31));
  out[8] = 64;
  out[9] = (flags & 1) ? 1 : 17;
  const uint8_t src[4] = {192, 0, 2, static_cast<uint8_t>(1 + (stream & 3))};
  const uint8_t dst[4] = {198, 51, 100, static_cast<uint8_t>(1 + ((stream >> 2) & 1))};
  memcpy(out + 12, src, 4);
  memcpy(out + 16, dst, 4);
  put_be16(out + 20, static_cast<uint16_t>(16384 + 2 * ((stream >> 3) & 7)));
  put_be16(out + 22, static_cast<uint16_t>(30000 + 2 * ((stream >> 6) & 3)));
  if (flags & 4) memcpy(out + 20, &sip_port_n, 2);
  if (flags & 8) memcpy(out + 22, &sip_port_n, 2);
  put_be16(out + 24, static_cast<uint16_t>(len - 20));
  out[28] = (flags & 2) ? 0x00 : 0x80;
  out[29] = rtp1;
  put_be16(out + 30, static_cast<uint16_t>(flags << 4));
  out[36] = 0x12;
  out[37] = 0x34;
  out[38] = 0x56;
  out[39] = stream;
  if (payload > 0) memcpy(out + 40, rec.data + 3, payload);
  return len;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet_stdout();
  S = static_cast<seam_state*>(calloc(1, sizeof(seam_state)));
  M = static_cast<eg_model*>(calloc(1, sizeof(eg_model)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_reader r{data, size, 0};
  uint8_t s0 = fz_u8(&r);
  uint8_t s1 = fz_u8(&r);
  uint8_t s2 = fz_u8(&r);
  uint8_t s3 = fz_u8(&r);
  uint8_t s4 = fz_u8(&r);
  uint8_t s5 = fz_u8(&r);
  uint32_t now = fz_be32(&r);
  uint8_t s10 = fz_u8(&r);

  char* password = fz_pick_password(s2, s3 + ((s2 & 4u) ? 256u : 0u), s10);
  mux_config cfg;
  fz_config_init(&cfg, password);
  cfg.mtu = fz_pick_mtu(s0);
  cfg.max_call = fz_pick_max_call(s1);
  cfg.allow_all = (s2 & 8u) ? 1 : 0;
  cfg.allow_ping = (s2 & 16u) ? 1 : 0;
  if (s2 & 0x80u) cfg.sip_port = htons(40000);
  cfg.rtp_timeout = fz_pick_timeout(s4);
  cfg.max_muxing_time = fz_pick_muxing_time(s5);
  bool fix_lengths = (s2 & 0x20u) != 0;
  verbose = (s2 & 0x40u) ? 1 : 0;

  static mux_ctx ctx;
  S->ctx = &ctx;
  S->cfg = &cfg;
  S->phase = PHASE_IDLE;
  S->clock = now;
  fz_session_init(&ctx, &cfg, false, FZ_SOCK_FD, FZ_TUN_FD, false);

  S->check_frames = true;
  CFG = &cfg;
  PW_LEN = ctx.egress.password_len;
  FZ_CHECK(ctx.forward.password_len == PW_LEN);
  memset(M->slots, 0, sizeof M->slots);
  M->valid = true;
  M->frame_len = 0;
  M->stamp = 0;
  M->rng = pad_rng_state;
  M->non_rtp = 0;
  M->rtp_whole = 0;
  S->clock = now;

  static const bool trace = getenv("FUZZ_TRACE") != nullptr;
  if (trace) {
    fprintf(stderr, "mtu %u max_call %u password %zu allow_all %u allow_ping %u rtp_timeout %u "
            "max_muxing_time %u now %08x\n", cfg.mtu, cfg.max_call,
            password ? strlen(password) : 0, cfg.allow_all, cfg.allow_ping, cfg.rtp_timeout,
            cfg.max_muxing_time, now);
  }
  static const int shifts[8] = {-1, 0, 8, 12, 16, 20, 24, 28};
  static uint8_t pkt_buf[RX_SLOT_SIZE];
  fz_record rec;
  bool ended = false;
  while (!ended && fz_next_record(&r, &rec)) {
    S->cur_ctl = rec.ctl;
    S->cur_aux = rec.aux;
    M->cur_ctl = rec.ctl;
    int shift = shifts[(rec.ctl >> 4) & 7];
    if (shift >= 0) {
      now += static_cast<uint32_t>(rec.aux) << shift;
      S->clock += static_cast<uint64_t>(rec.aux) << shift;
    }

    // The pass's time-based flush, as the event loop does it.
    S->compare = M->valid;
    begin_call();
    if (ctx.egress.frame_len != 0 && now - ctx.egress.frame_stamp >= cfg.max_muxing_time) {
      int want = 0;
      if (M->valid) {
        FZ_CHECK(M->frame_len == ctx.egress.frame_len);
        want = model_send_frame();
      }
      S->phase = PHASE_FRAME;
      int rc = egress_send_frame(&ctx.egress, FLUSH_AGE);
      S->phase = PHASE_IDLE;
      FZ_CHECK(rc == 0 || rc == -1);
      FZ_CHECK(ctx.egress.frame_len == 0);
      finish_call(&ctx, rc, want);
      if (rc != 0) break;
    }

    unsigned event = rec.ctl & 3u;
    if (trace) {
      fprintf(stderr, "pass now %08x event %u send %d aux %u len %zu%s frame_len %u\n", now, event,
              static_cast<int>(fz_send_result(rec.ctl)), rec.aux, rec.len,
              (rec.ctl & 0x80u) ? " built" : "", ctx.egress.frame_len);
    }
    if (event == 3) continue;
    if (event == 2) {
      uint8_t cid = rec.aux == 0 ? 1 : rec.aux;
      egress_force_full(&ctx.egress, cid);
      if (M->slots[cid - 1].used) {
        M->slots[cid - 1].last_seen = 0;
        M->slots[cid - 1].forced = true;
      }
      continue;
    }

    size_t len;
    const uint8_t* src_bytes;
    if (rec.ctl & 0x80u) {
      len = build_packet(rec, pkt_buf, cfg.sip_port);
      src_bytes = pkt_buf;
    } else {
      len = rec.len;
      memcpy(pkt_buf, rec.data, len);
      if (fix_lengths && len >= 4) put_be16(pkt_buf + 2, static_cast<uint16_t>(len));
      src_bytes = pkt_buf;
    }
    // Raw packets whose total length field lies cannot be walked as frames.
    if (!fix_lengths && (rec.ctl & 0x80u) == 0) S->check_frames = false;
    fz_fill_rx(&ctx, src_bytes, len);
    const uint8_t* pkt = ctx.rx_block;

    bool rtp = is_rtp_packet(pkt, len);
    if (len >= 30) {
      FZ_CHECK(rtp == ref_is_rtp(src_bytes, len));
      uint8_t pt = src_bytes[29] & 0x7F;
      FZ_CHECK(is_static_payload_type(pt) == ref_is_static_pt(pt));
    }
    S->compare = M->valid;
    begin_call();
    int want = 0;
    if (rtp) {
      if (M->valid) want = model_mux(src_bytes, len, now, S->clock);
    } else {
      bool decided;
      bool want_fwd = ref_is_forwardable(&cfg, src_bytes, len, &decided);
      bool fwd = is_forwardable(&cfg, pkt, len);
      if (decided) FZ_CHECK(fwd == want_fwd);
      if (fwd && M->valid) want = model_sip(src_bytes, len);
    }
    S->compare = S->compare && M->valid;
    S->phase = PHASE_PACKET;
    S->sip_pkt = src_bytes;
    S->sip_len = len;
    S->sip_sends = 0;
    int rc = session_tun_packet(&ctx, pkt, len, now, S->clock);
    S->phase = PHASE_IDLE;
    FZ_CHECK(rc == 0 || rc == -1);
    // A message that would not fit the forwarding buffer is never sent.
    if (2 + PW_LEN + len > FORWARD_BUF_SIZE) FZ_CHECK(S->sip_sends == 0);
    finish_call(&ctx, rc, want);
    if (rc != 0) ended = true;
  }

  fz_end_input(&ctx, password);
  return 0;
}
